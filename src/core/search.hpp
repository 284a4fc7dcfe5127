// Which of a set of byte patterns occur in a text.
//
// Short texts are searched pattern by pattern; long ones in a single pass of
// an Aho-Corasick automaton over byte classes, which stops as soon as every
// pattern has been seen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sc::search {

// found[i] becomes 1 when patterns[i] occurs in text (the empty pattern
// always occurs). found is resized to patterns.size().
void find_all(std::string_view text, const std::vector<std::string>& patterns, std::vector<char>& found);

class Automaton {
public:
    explicit Automaton(const std::vector<std::string>& patterns);
    void scan(std::string_view text, std::vector<char>& found) const;

private:
    std::uint8_t cls_[256] = {};
    unsigned nclasses_ = 1;
    std::vector<std::uint32_t> delta_;        // state * nclasses_ + class -> state
    std::vector<std::int32_t> term_head_;     // first pattern ending at the state, -1 if none
    std::vector<std::int32_t> term_next_;     // next pattern ending at the same state
    std::vector<std::uint32_t> dict_link_;    // nearest proper suffix state with an output (0: none)
    std::vector<char> has_out_;
    std::size_t distinct_ = 0;
};

}  // namespace sc::search
