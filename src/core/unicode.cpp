#include "unicode.hpp"

#include <algorithm>
#include <array>
#include <vector>

namespace sc::uni {
namespace {
#include "unicode_tables.inc"

constexpr char32_t S_BASE = 0xAC00, L_BASE = 0x1100, V_BASE = 0x1161, T_BASE = 0x11A7;
constexpr char32_t V_COUNT = 21, T_COUNT = 28, N_COUNT = V_COUNT * T_COUNT;
}  // namespace

const Record& record(char32_t c) noexcept {
    if (c > 0x10FFFF) c = 0x10FFFF;  // unreachable for Python strings; keeps lookups in range
    const unsigned blk = kStage1[c >> kBlockShift];
    return kRecords[kStage2[(static_cast<std::size_t>(blk) << kBlockShift) | (c & ((1u << kBlockShift) - 1))]];
}

const char32_t* pool() noexcept { return kPool; }
const char* unidata_version() noexcept { return SC_UNIDATA_VERSION; }

namespace {
std::array<std::uint8_t, 256> make_latin1_fold() {
    std::array<std::uint8_t, 256> t{};
    for (unsigned c = 0; c < 256; ++c) {
        const Record* r = &record(c);
        char32_t base = c;
        if (r->dec_len) base = kPool[r->dec_off];  // Latin-1 letters decompose to base + marks
        r = &record(base);
        char32_t low = r->low_len ? kPool[r->low_off] : base;
        t[c] = static_cast<std::uint8_t>(low);
    }
    return t;
}
const std::array<std::uint8_t, 256> kFold1 = make_latin1_fold();
}  // namespace

const std::uint8_t* latin1_fold_table() noexcept { return kFold1.data(); }

void fold_latin1(const std::uint8_t* s, std::size_t n, std::string& out) {
    const std::size_t base = out.size();
    out.resize(base + n);
    char* o = out.data() + base;
    const std::uint8_t* t = kFold1.data();
    for (std::size_t i = 0; i < n; ++i) o[i] = static_cast<char>(t[s[i]]);
}

namespace {

// Streams the NFD of the input, drops Mn, and collects the kept code points.
// Non-starters that are kept are buffered so a run of them can be put in
// canonical order (stable by combining class); a starter, kept or dropped,
// ends the run.
struct Decomposer {
    std::u32string& out;
    std::vector<std::pair<std::uint8_t, char32_t>> run;
    bool needs_lower = false;  // a kept code point beyond ASCII may change case

    void flush() {
        if (run.empty()) return;
        if (run.size() > 1)
            std::stable_sort(run.begin(), run.end(),
                             [](const auto& a, const auto& b) { return a.first < b.first; });
        for (auto& p : run) out.push_back(p.second);
        run.clear();
    }
    void emit(char32_t c, const Record& r) {
        if (r.ccc == 0) {
            flush();
            if (!(r.flags & F_MN)) out.push_back(c);
        } else if (!(r.flags & F_MN)) {
            run.emplace_back(r.ccc, c);
        }
    }
    void put(char32_t c) {
        if (c < 0x80) {  // ASCII: starter, not Mn, lowered here
            if (!run.empty()) flush();
            out.push_back((c >= 'A' && c <= 'Z') ? c + 32 : c);
            return;
        }
        needs_lower = true;
        if (c < 0xC0) {  // no decomposition, starter, not Mn
            flush();
            out.push_back(c);
            return;
        }
        const Record& r = record(c);
        if (r.flags & F_HANGUL) {
            const char32_t si = c - S_BASE;
            flush();
            out.push_back(L_BASE + si / N_COUNT);
            out.push_back(V_BASE + (si % N_COUNT) / T_COUNT);
            if (si % T_COUNT) out.push_back(T_BASE + si % T_COUNT);
            return;
        }
        if (r.dec_len == 0) {
            emit(c, r);
            return;
        }
        for (unsigned k = 0; k < r.dec_len; ++k) {
            const char32_t d = kPool[r.dec_off + k];
            emit(d, record(d));
        }
    }
};

// Final sigma: preceded by a cased letter (case-ignorables skipped) and not
// followed by one, within s[from, end).
bool final_sigma(const std::u32string& s, std::size_t from, std::size_t i) {
    bool fin = false;
    for (std::size_t j = i; j > from; --j) {
        const Record& r = record(s[j - 1]);
        if (!(r.flags & F_IGNORABLE)) {
            fin = r.flags & F_CASED;
            break;
        }
    }
    if (!fin) return false;
    for (std::size_t k = i + 1; k < s.size(); ++k) {
        const Record& r = record(s[k]);
        if (!(r.flags & F_IGNORABLE)) return !(r.flags & F_CASED);
    }
    return true;
}

// str.lower over out[from, end), in place, with the final-sigma context.
void lower_tail(std::u32string& s, std::size_t from) {
    bool needs = false;
    for (std::size_t i = from; i < s.size(); ++i) {
        const char32_t c = s[i];
        if (c < 128) {
            if (c >= 'A' && c <= 'Z') s[i] = c + 32;
            continue;
        }
        if (c == 0x3A3 || record(c).low_len) needs = true;
    }
    if (!needs) return;
    bool expands = false;
    for (std::size_t i = from; i < s.size() && !expands; ++i)
        if (s[i] >= 128 && s[i] != 0x3A3 && record(s[i]).low_len > 1) expands = true;
    if (!expands) {
        // One code point per code point: decide sigmas on the unlowered text first.
        std::vector<std::size_t> finals;
        for (std::size_t i = from; i < s.size(); ++i)
            if (s[i] == 0x3A3 && final_sigma(s, from, i)) finals.push_back(i);
        for (std::size_t i = from; i < s.size(); ++i) {
            const char32_t c = s[i];
            if (c < 128) continue;
            if (c == 0x3A3) {
                s[i] = 0x3C3;
                continue;
            }
            const Record& r = record(c);
            if (r.low_len) s[i] = kPool[r.low_off];
        }
        for (std::size_t i : finals) s[i] = 0x3C2;
        return;
    }
    std::u32string res;
    res.reserve(s.size() - from + 8);
    const std::size_t n = s.size();
    for (std::size_t i = from; i < n; ++i) {
        const char32_t c = s[i];
        if (c == 0x3A3) {
            res.push_back(final_sigma(s, from, i) ? 0x3C2 : 0x3C3);
            continue;
        }
        const Record& r = record(c);
        if (r.low_len)
            res.append(kPool + r.low_off, r.low_len);
        else
            res.push_back(c);
    }
    s.resize(from);
    s.append(res);
}

template <class CharT>
void fold_impl(const CharT* s, std::size_t n, std::u32string& out) {
    const std::size_t from = out.size();
    out.reserve(from + n + n / 8);
    Decomposer d{out, {}};
    for (std::size_t i = 0; i < n; ++i) d.put(static_cast<char32_t>(s[i]));
    d.flush();
    if (d.needs_lower) lower_tail(out, from);
}

}  // namespace

void fold(const std::uint8_t* s, std::size_t n, std::u32string& out) { fold_impl(s, n, out); }
void fold(const std::uint16_t* s, std::size_t n, std::u32string& out) { fold_impl(s, n, out); }
void fold(const char32_t* s, std::size_t n, std::u32string& out) { fold_impl(s, n, out); }

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

void to_utf8(const std::u32string& s, std::string& out) {
    out.clear();
    out.reserve(s.size() + s.size() / 2);
    for (char32_t c : s) append_utf8(out, c);
}

}  // namespace sc::uni
