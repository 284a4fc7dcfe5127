#include "cnpj_core.hpp"

#include "scratch.hpp"

#include <algorithm>
#include <string_view>
#include <vector>

namespace sc::cnpj {

int check_digit(const char* base, std::size_t n) noexcept {
    int sum = 0;
    int weight = 2;
    for (std::size_t i = n; i-- > 0;) {
        sum += (static_cast<unsigned char>(base[i]) - 48) * weight;
        weight = weight == 9 ? 2 : weight + 1;
    }
    const int r = sum % 11;
    return r < 2 ? 0 : 11 - r;
}

bool check_digits_agree(const char* c) noexcept {
    if (c[12] - '0' != check_digit(c, 12)) return false;
    return c[13] - '0' == check_digit(c, 13);
}

namespace {

inline char32_t cp(char c) noexcept { return static_cast<unsigned char>(c); }
inline char32_t cp(char32_t c) noexcept { return c; }

// Words that the address form abbreviates (or drops), in the order they are
// applied. Each stands as a whole word (\bword\b), and no replacement is
// itself a later word of the table, so one pass over the words of the text
// gives the same result as one pass per entry.
struct Abbrev {
    std::string_view word;
    std::string_view repl;
};
constexpr Abbrev kAbbrev[] = {
    {"rua", "r"},       {"avenida", "av"},   {"avd", "av"},      {"avda", "av"},   {"travessa", "tv"},
    {"praca", "pc"},    {"pracas", "pc"},    {"edificio", "ed"}, {"predio", "ed"}, {"conjunto", "cj"},
    {"conj", "cj"},     {"sala", "sl"},      {"andar", "and"},   {"bairro", ""},   {"cep", ""},
};

template <class S>
const Abbrev* abbreviation(const S& s, std::size_t b, std::size_t e) noexcept {
    const std::size_t len = e - b;
    if (len < 3 || len > 8) return nullptr;
    for (const Abbrev& a : kAbbrev) {
        if (a.word.size() != len) continue;
        std::size_t k = 0;
        while (k < len && cp(s[b + k]) == static_cast<char32_t>(a.word[k])) ++k;
        if (k == len) return &a;
    }
    return nullptr;
}

inline bool is_separator(char32_t c) noexcept {
    return c == '.' || c == ',' || c == ';' || c == ':' || c == '-' || c == '/' || c == '\\';
}

template <class S>
void normalize_impl(S& s, S& t) {
    using Ch = typename S::value_type;
    // Whitespace runs become one space; each separator becomes a space.
    // No step lengthens the text, so one reservation serves them all.
    t.clear();
    t.reserve(s.size());
    for (std::size_t i = 0, n = s.size(); i < n;) {
        const char32_t c = cp(s[i]);
        if (uni::is_space(c)) {
            t.push_back(Ch(' '));
            while (i < n && uni::is_space(cp(s[i]))) ++i;
            continue;
        }
        t.push_back(is_separator(c) ? Ch(' ') : s[i]);
        ++i;
    }
    // "n", "nº" or "no" at the start of a word, with the blanks after it, goes.
    s.clear();
    for (std::size_t i = 0, n = t.size(); i < n;) {
        if (t[i] == Ch('n') && (i == 0 || !uni::is_word(cp(t[i - 1])))) {
            std::size_t j = i + 1;
            if (j < n && (t[j] == Ch(0xBA) || t[j] == Ch('o'))) ++j;
            while (j < n && uni::is_space(cp(t[j]))) ++j;
            i = j;
            continue;
        }
        s.push_back(t[i++]);
    }
    // Street types and the other listed words, whole words only.
    t.clear();
    for (std::size_t i = 0, n = s.size(); i < n;) {
        if (!uni::is_word(cp(s[i]))) {
            t.push_back(s[i++]);
            continue;
        }
        std::size_t e = i + 1;
        while (e < n && uni::is_word(cp(s[e]))) ++e;
        if (const Abbrev* a = abbreviation(s, i, e)) {
            for (char c : a->repl) t.push_back(Ch(c));
        } else {
            t.append(s, i, e - i);
        }
        i = e;
    }
    std::size_t b = 0, e = t.size();
    while (b < e && uni::is_space(cp(t[b]))) ++b;
    while (e > b && uni::is_space(cp(t[e - 1]))) --e;
    s.assign(t, b, e - b);
}

template <class S>
using View = std::basic_string_view<typename S::value_type>;

template <class S>
void words(const S& s, std::vector<View<S>>& out) {
    out.clear();
    const auto* d = s.data();
    for (std::size_t i = 0, n = s.size(); i < n;) {
        while (i < n && uni::is_space(cp(s[i]))) ++i;
        std::size_t e = i;
        while (e < n && !uni::is_space(cp(s[e]))) ++e;
        if (e - i >= 3) out.emplace_back(d + i, e - i);
        i = e;
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
}

template <class S>
bool similarity_impl(const S& a, const S& b, double& out) {
    thread_local std::vector<View<S>> wa, wb;
    ScratchScope keep(wa, wb);
    words(a, wa);
    words(b, wb);
    if (wa.empty() || wb.empty()) return false;
    std::size_t common = 0;
    for (std::size_t i = 0, j = 0; i < wa.size() && j < wb.size();) {
        if (wa[i] < wb[j]) {
            ++i;
        } else if (wb[j] < wa[i]) {
            ++j;
        } else {
            ++common;
            ++i;
            ++j;
        }
    }
    const std::size_t all = wa.size() + wb.size() - common;
    out = static_cast<double>(common) / static_cast<double>(all);
    return true;
}

}  // namespace

void normalize_address(std::string& s, std::string& scratch) { normalize_impl(s, scratch); }
void normalize_address(std::u32string& s, std::u32string& scratch) { normalize_impl(s, scratch); }

bool word_similarity(const std::string& a, const std::string& b, double& out) { return similarity_impl(a, b, out); }
bool word_similarity(const std::u32string& a, const std::u32string& b, double& out) {
    return similarity_impl(a, b, out);
}

}  // namespace sc::cnpj
