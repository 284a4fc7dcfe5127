// CNPJ numbers and address comparison, over code units of any width.
//
// CNPJ: the clean form keeps the decimal digits (str.isdecimal) of the
// text; the alphanumeric form (12 characters of [0-9A-Z] and two numeric
// check digits) is recognised when the text, without blanks and the
// separators ". / -", is exactly such a number with at least one letter.
//
// Addresses: the normaliser works on text already folded (NFD, Mn dropped,
// lower-cased), held as one byte per Latin-1 code point (std::string) or as
// code points (std::u32string), and applies the street-type substitutions
// with the regular-expression meaning of \b and \s over Unicode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "unicode.hpp"

namespace sc::cnpj {

constexpr std::size_t kLength = 14;

// Check digit of a base of 12 or 13 characters of [0-9A-Z]: each character
// counts its code minus 48, weights 2..9 from the right, modulus 11.
int check_digit(const char* base, std::size_t n) noexcept;

// True when the 14 upper-case characters end in the two check digits of the
// first twelve.
bool check_digits_agree(const char* c) noexcept;

// The alphanumeric form of [s, s+n): out receives the 14 characters,
// upper-cased. False when the text is anything else (numeric numbers
// included: they keep the digits-only rule).
template <class C>
bool alnum_form(const C* s, std::size_t n, char* out) noexcept {
    std::size_t k = 0;
    bool letter = false;
    for (std::size_t i = 0; i < n; ++i) {
        const char32_t c = static_cast<char32_t>(s[i]);
        char u;
        if (c >= '0' && c <= '9') {
            u = static_cast<char>(c);
        } else if (c >= 'A' && c <= 'Z') {
            u = static_cast<char>(c);
            letter = true;
        } else if (c >= 'a' && c <= 'z') {
            u = static_cast<char>(c - 32);
            letter = true;
        } else if (c == '.' || c == '/' || c == '-' || uni::is_space(c)) {
            continue;
        } else {
            return false;
        }
        if (k == kLength) return false;
        out[k++] = u;
    }
    if (k != kLength || !letter) return false;
    if (out[12] < '0' || out[12] > '9' || out[13] < '0' || out[13] > '9') return false;
    return check_digits_agree(out);
}

// The first postal code "\d{5}\s*-?\s*\d{3}" of [s, s+n): its eight digits
// go to out. False when there is none.
template <class C>
bool find_cep(const C* s, std::size_t n, char32_t* out) noexcept {
    auto dec = [&](std::size_t i) { return i < n && uni::is_decimal(static_cast<char32_t>(s[i])); };
    auto spc = [&](std::size_t i) { return i < n && uni::is_space(static_cast<char32_t>(s[i])); };
    for (std::size_t i = 0; i + 8 <= n; ++i) {
        std::size_t j = i;
        while (j < i + 5 && dec(j)) ++j;
        if (j < i + 5) {
            i = j;  // no match can start at or before the non-digit
            continue;
        }
        while (spc(j)) ++j;
        if (j < n && s[j] == '-') ++j;
        while (spc(j)) ++j;
        if (dec(j) && dec(j + 1) && dec(j + 2)) {
            for (int k = 0; k < 5; ++k) out[k] = static_cast<char32_t>(s[i + k]);
            for (int k = 0; k < 3; ++k) out[5 + k] = static_cast<char32_t>(s[j + k]);
            return true;
        }
    }
    return false;
}

// Street-type substitutions and the trimming of a folded address. scratch
// is working space kept by the caller between calls.
void normalize_address(std::string& s, std::string& scratch);
void normalize_address(std::u32string& s, std::u32string& scratch);

// Word overlap of two normalised addresses: words are the runs between
// whitespace, counted when at least 3 code points long. Gives false when
// either side has no counted word; else the Jaccard index of the two sets.
bool word_similarity(const std::string& a, const std::string& b, double& out);
bool word_similarity(const std::u32string& a, const std::u32string& b, double& out);

}  // namespace sc::cnpj
