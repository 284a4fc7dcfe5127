// Keyword counts per page, for choosing the pages of a long document.
//
// A page is folded as the engine's selection folds it: canonical
// decomposition, nonspacing marks (Mn) removed, then full case folding
// (str.casefold). Each keyword, already folded by the caller, is counted
// without overlaps (as str.count does) and the counts are summed.
//
// All keywords are found in one pass with an Aho-Corasick automaton over the
// classes of the code points the keywords use. A one-byte (Latin-1) page is
// read through a table that folds and classifies each byte at once, so it
// is never copied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace sc::pages {

class KeywordCounter {
public:
    // Keywords must be non-empty.
    explicit KeywordCounter(const std::vector<std::u32string>& keywords);

    std::size_t count(const std::uint8_t* page, std::size_t n);
    std::size_t count(const std::uint16_t* page, std::size_t n);
    std::size_t count(const char32_t* page, std::size_t n);

private:
    template <class CharT, class ClassOf>
    std::size_t run(const CharT* text, std::size_t n, ClassOf cls);
    std::size_t count_folded(const std::u32string& folded);
    std::uint32_t wide_class(char32_t c) const;

    std::uint32_t nclasses_ = 1;
    std::uint32_t cls_[256] = {};       // class of a folded Latin-1 character
    std::uint32_t raw_cls_[256] = {};   // class of a Latin-1 character before folding
    std::vector<std::pair<char32_t, std::uint32_t>> wide_;  // sorted: classes of code points > 255
    std::vector<std::uint32_t> delta_;    // state * nclasses_ + class -> next state * nclasses_
    std::vector<std::uint8_t> has_out_;   // by premultiplied state: some pattern ends there
    std::vector<std::uint32_t> out_begin_, out_;  // by state: patterns ending there (suffixes included)
    std::vector<std::uint32_t> lengths_;
    std::vector<std::size_t> next_free_;  // by pattern: first position a new match may start at
    std::u32string lowered_, folded_;     // scratch
};

// Casefold of lowered text: appends to out.
void casefold_lowered(const std::u32string& lowered, std::u32string& out);

}  // namespace sc::pages
