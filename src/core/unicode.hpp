// Unicode text folding with the semantics of the host interpreter:
// canonical decomposition (NFD), removal of nonspacing marks (category Mn),
// full lower-case mapping as str.lower does it (final sigma included),
// and the character classes str.isspace, str.isdecimal and regex \w.
//
// Pure C++: takes code units of any width, returns plain values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sc::uni {

struct Record {
    std::uint8_t ccc;
    std::uint8_t flags;
    std::uint16_t dec_off;
    std::uint8_t dec_len;
    std::uint16_t low_off;
    std::uint8_t low_len;
};

enum : std::uint8_t {
    F_MN = 1,
    F_SPACE = 2,
    F_DECIMAL = 4,
    F_WORD = 8,
    F_CASED = 16,
    F_IGNORABLE = 32,
    F_HANGUL = 64,
};

const Record& record(char32_t c) noexcept;
const char32_t* pool() noexcept;
const char* unidata_version() noexcept;

inline bool is_space(char32_t c) noexcept {
    if (c < 128) return c == ' ' || (c >= 9 && c <= 13) || (c >= 28 && c <= 31);
    return record(c).flags & F_SPACE;
}
inline bool is_decimal(char32_t c) noexcept {
    if (c < 128) return c >= '0' && c <= '9';
    return record(c).flags & F_DECIMAL;
}
inline bool is_word(char32_t c) noexcept {
    if (c < 128)
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    return record(c).flags & F_WORD;
}

// Fold of each one-byte (Latin-1) character: NFD, Mn removed, lower-cased.
// Every Latin-1 character folds to exactly one Latin-1 character.
const std::uint8_t* latin1_fold_table() noexcept;

// NFD, drop Mn, lower: appends the folded code points of [s, s+n) to out.
void fold(const std::uint8_t* s, std::size_t n, std::u32string& out);
void fold(const std::uint16_t* s, std::size_t n, std::u32string& out);
void fold(const char32_t* s, std::size_t n, std::u32string& out);

// Latin-1 fast path: out receives one byte per input byte.
void fold_latin1(const std::uint8_t* s, std::size_t n, std::string& out);

// Range [b, e) of s with str.strip() whitespace removed at both ends.
template <class CharT>
inline void strip_bounds(const CharT* s, std::size_t n, std::size_t& b, std::size_t& e) noexcept {
    b = 0;
    e = n;
    while (b < e && is_space(static_cast<char32_t>(s[b]))) ++b;
    while (e > b && is_space(static_cast<char32_t>(s[e - 1]))) --e;
}

}  // namespace sc::uni
