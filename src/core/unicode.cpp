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

// Final sigma: preceded by a cased letter (case-ignorables skipped) and not
// followed by one, within s[from, end). The classes are read on the lowered
// text: lowering keeps them (the table generator checks this for every code
// point), so the answer is the one str.lower gives on the unlowered text.
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

// One pass: streams the NFD of the input, drops Mn, lowers what it keeps.
// Kept non-starters are buffered so a run of them can be put in canonical
// order (stable by combining class); a starter, kept or dropped, ends the
// run. A capital sigma is written as is and settled once its right-hand
// context is known.
struct Folder {
    std::u32string& out;
    std::size_t from;
    std::vector<std::pair<std::uint8_t, char32_t>> run;
    std::vector<std::size_t> sigmas;

    void push_lower(char32_t c, const Record& r) {
        if (c == 0x3A3) {
            sigmas.push_back(out.size());
            out.push_back(c);
        } else if (r.low_len) {
            out.append(kPool + r.low_off, r.low_len);
        } else {
            out.push_back(c);
        }
    }
    void flush() {
        if (run.size() > 1)
            std::stable_sort(run.begin(), run.end(),
                             [](const auto& a, const auto& b) { return a.first < b.first; });
        for (auto& p : run) push_lower(p.second, record(p.second));
        run.clear();
    }
    void emit(char32_t c, const Record& r) {
        if (r.ccc == 0) {
            if (!run.empty()) flush();
            if (!(r.flags & F_MN)) push_lower(c, r);
        } else if (!(r.flags & F_MN)) {
            run.emplace_back(r.ccc, c);
        }
    }
    void put(char32_t c) {
        if (c < 0x80) {  // ASCII: starter, not Mn
            if (!run.empty()) flush();
            out.push_back((c >= 'A' && c <= 'Z') ? c + 32 : c);
            return;
        }
        const Record& r = record(c);
        if (r.flags & F_HANGUL) {  // algorithmic decomposition into uncased jamo
            const char32_t si = c - S_BASE;
            if (!run.empty()) flush();
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
    void finish() {
        if (!run.empty()) flush();
        for (std::size_t i : sigmas) out[i] = final_sigma(out, from, i) ? 0x3C2 : 0x3C3;
    }
};

template <class CharT>
void fold_impl(const CharT* s, std::size_t n, std::u32string& out) {
    const std::size_t from = out.size();
    out.reserve(from + n + n / 8);
    Folder f{out, from, {}, {}};
    for (std::size_t i = 0; i < n; ++i) f.put(static_cast<char32_t>(s[i]));
    f.finish();
}

}  // namespace

void fold(const std::uint8_t* s, std::size_t n, std::u32string& out) { fold_impl(s, n, out); }
void fold(const std::uint16_t* s, std::size_t n, std::u32string& out) { fold_impl(s, n, out); }
void fold(const char32_t* s, std::size_t n, std::u32string& out) { fold_impl(s, n, out); }

}  // namespace sc::uni
