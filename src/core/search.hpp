// Which of a set of patterns occur in a text.
//
// Patterns and texts are code point sequences. Short texts are searched
// pattern by pattern; long ones with an Aho-Corasick automaton over the
// classes of the code points that the patterns use, run as four interleaved
// streams over quarters of the text (each overlapping the previous quarter
// by the longest pattern), and stopped once every pattern has been seen.
// One-byte texts can be scanned through a byte map (for instance a fold
// table) without materialising the mapped text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace sc::search {

class Automaton {
public:
    explicit Automaton(const std::vector<std::u32string>& patterns);

    // found[i] = 1 for each pattern i seen in the text; found must have one
    // slot per pattern (already-set slots are kept).
    void scan(const std::uint8_t* text, std::size_t n, const std::uint8_t* byte_map, std::vector<char>& found) const;
    void scan(const char32_t* text, std::size_t n, std::vector<char>& found) const;

private:
    template <class CharT, class ClassOf>
    void run(const CharT* text, std::size_t n, ClassOf cls, std::vector<char>& found) const;
    bool report(std::uint32_t state, std::vector<char>& found, std::size_t& seen) const;
    unsigned wide_class(char32_t c) const;

    std::uint8_t cls_[256] = {};
    std::vector<std::pair<char32_t, std::uint32_t>> wide_;  // sorted, for code points > 255
    std::uint32_t nclasses_ = 1;
    std::vector<std::uint32_t> delta_;      // premultiplied: state*K + class -> next*K
    std::uint32_t out_base_ = 0;            // premultiplied id of the first state with output
    std::vector<std::int32_t> term_head_;   // by state id: first pattern ending there, -1 none
    std::vector<std::int32_t> term_next_;   // by pattern: next pattern ending at the same state
    std::vector<std::uint32_t> dict_link_;  // by state id: nearest suffix state with output, 0 none
    std::size_t maxlen_ = 0;
    std::size_t distinct_ = 0;
};

// found[i] = 1 when patterns[i] occurs in text (the empty pattern always
// does). A one-byte text is read through byte_map when given.
void find_all(const std::uint8_t* text, std::size_t n, const std::uint8_t* byte_map,
              const std::vector<std::u32string>& patterns, std::vector<char>& found);
void find_all(const char32_t* text, std::size_t n, const std::vector<std::u32string>& patterns,
              std::vector<char>& found);

}  // namespace sc::search
