// Substring and multi-pattern search.
//
// contains: whether one text occurs in another, in linear time whatever the
// texts.
//
// find_all / Automaton: which of a set of patterns occur in a text. Patterns
// and texts are code point sequences. Short texts are searched pattern by
// pattern; long ones with an Aho-Corasick automaton over the classes of the
// code points that the patterns use. While its full transition table stays
// within kMaxDenseCells, the automaton runs as four interleaved streams over
// quarters of the text (each overlapping the previous quarter by the longest
// pattern); past that it keeps sorted edge lists with failure links, whose
// size follows the patterns' total length. Either way the scan stops once
// every pattern has been seen. One-byte texts can be scanned through a byte
// map (for instance a fold table) without materialising the mapped text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sc::search {

// Whether needle occurs in text, in time linear in both lengths whatever the
// texts (Knuth-Morris-Pratt): a periodic needle against a periodic text, as
// "a"*n + "b" in "a"*2n, costs no more than any other pair.
template <class C>
bool contains(std::basic_string_view<C> text, std::basic_string_view<C> needle) {
    const std::size_t n = text.size(), m = needle.size();
    if (m == 0) return true;
    if (m > n) return false;
    // border[i]: length of the longest proper border of needle[0..i].
    constexpr std::size_t kInline = 64;
    std::uint32_t inline_border[kInline];
    std::vector<std::uint32_t> heap_border;
    std::uint32_t* border = inline_border;
    if (m > kInline) {
        heap_border.resize(m);
        border = heap_border.data();
    }
    border[0] = 0;
    for (std::size_t i = 1, k = 0; i < m; ++i) {
        while (k && needle[i] != needle[k]) k = border[k - 1];
        if (needle[i] == needle[k]) ++k;
        border[i] = static_cast<std::uint32_t>(k);
    }
    for (std::size_t i = 0, k = 0; i < n; ++i) {
        while (k && text[i] != needle[k]) k = border[k - 1];
        if (text[i] == needle[k] && ++k == m) return true;
        if (n - i - 1 < m - k) return false;  // too little text left to finish a match
    }
    return false;
}
template <class S>
bool contains(const S& text, const S& needle) {
    using C = typename S::value_type;
    return contains(std::basic_string_view<C>(text), std::basic_string_view<C>(needle));
}

class Automaton {
public:
    explicit Automaton(const std::vector<std::u32string>& patterns);

    // found[i] = 1 for each pattern i seen in the text; found must have one
    // slot per pattern (already-set slots are kept).
    void scan(const std::uint8_t* text, std::size_t n, const std::uint8_t* byte_map, std::vector<char>& found) const;
    void scan(const char32_t* text, std::size_t n, std::vector<char>& found) const;

    // Whether the transitions are held as a full table (states x classes)
    // rather than as edge lists with failure links.
    bool dense() const noexcept { return dense_; }

    // Largest full table, in cells; beyond it (thousands of patterns over
    // thousands of distinct characters) the edge lists are used, whose size
    // grows with the patterns' total length only.
    static constexpr std::size_t kMaxDenseCells = std::size_t{1} << 22;

private:
    template <class CharT, class ClassOf>
    void run(const CharT* text, std::size_t n, ClassOf cls, std::vector<char>& found) const;
    template <class CharT, class ClassOf>
    void run_sparse(const CharT* text, std::size_t n, ClassOf cls, std::vector<char>& found) const;
    template <class CharT, class ClassOf>
    void dispatch(const CharT* text, std::size_t n, ClassOf cls, std::vector<char>& found) const;
    bool report(std::uint32_t state, std::vector<char>& found, std::size_t& seen) const;
    unsigned wide_class(char32_t c) const;
    std::uint32_t child(std::uint32_t state, std::uint32_t cls) const;

    std::uint16_t cls_[256] = {};  // up to 256 classes besides 0
    std::vector<std::pair<char32_t, std::uint32_t>> wide_;  // sorted, for code points > 255
    std::uint32_t nclasses_ = 1;
    bool dense_ = true;
    // full table
    std::vector<std::uint32_t> delta_;      // premultiplied: state*K + class -> next*K
    std::uint32_t out_base_ = 0;            // premultiplied id of the first state with output
    // edge lists
    std::vector<std::uint32_t> root_;        // by class: the root's transition
    std::vector<std::uint32_t> edge_begin_;  // by state: first edge (one extra slot at the end)
    std::vector<std::uint32_t> edge_class_;  // by edge, ascending within a state
    std::vector<std::uint32_t> edge_to_;
    std::vector<std::uint32_t> fail_;        // by state
    std::uint32_t out_first_ = 0;            // id of the first state with output
    // both
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
