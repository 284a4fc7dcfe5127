#include "palavras_pdf.hpp"

#include <algorithm>
#include <cmath>

namespace sc::layout {

bool is_word_separator(char32_t c) noexcept {
    if (c <= 0x20) return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20);
    if (c < 0x85) return false;
    switch (c) {
        case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
        case 0xFFFE:
            return true;
        default:
            return c >= 0x2000 && c <= 0x200A;
    }
}

namespace {

bool is_line_end(char32_t c) noexcept { return c == U'\r' || c == U'\n' || c == 0xFFFE; }

struct Found {
    std::uint32_t start, end;
    int first, last;  // PDFium character indices
    bool line_end;
};

}  // namespace

template <class CharT>
std::vector<MeasuredWord> measure_words(const CharT* text, std::size_t n, bool aligned, void* text_page,
                                        CharBoxFn box, CharIndexFn index, double page_height) {
    // The words, and which end their line (a line break before the next word).
    std::vector<Found> words;
    for (std::size_t i = 0; i < n;) {
        const char32_t c = static_cast<char32_t>(text[i]);
        if (is_word_separator(c)) {
            if (is_line_end(c) && !words.empty()) words.back().line_end = true;
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        while (j < n && !is_word_separator(static_cast<char32_t>(text[j]))) ++j;
        int first = static_cast<int>(i), last = static_cast<int>(j - 1);
        if (!aligned) {
            first = index(text_page, static_cast<int>(i));
            last = index(text_page, static_cast<int>(j - 1));
        }
        if (first >= 0 && last >= 0)
            words.push_back({static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j), first, last, false});
        i = j;
    }
    if (!words.empty()) words.back().line_end = true;

    // Boxes of the first and last characters; left, top, bottom and the last character's right edge.
    struct Boxed {
        std::uint32_t start, end, flags;
        double left, y0, y1, right;
        std::size_t length;  // characters of the word as shown (with its hyphen)
    };
    std::vector<Boxed> kept;
    kept.reserve(words.size());
    for (const Found& w : words) {
        CharRect a{}, b{};
        if (!box(text_page, w.first, &a)) {
            if (w.line_end && !kept.empty()) kept.back().flags |= kLineEnd;
            continue;
        }
        double right = a.right;
        if (w.last != w.first) right = box(text_page, w.last, &b) ? static_cast<double>(b.right) : a.left;
        std::uint32_t flags = w.line_end ? kLineEnd : 0;
        if (aligned && w.end < n && static_cast<char32_t>(text[w.end]) == 0xFFFE) flags |= kHyphen;
        kept.push_back({w.start, w.end, flags, static_cast<double>(a.left), page_height - static_cast<double>(a.top),
                        page_height - static_cast<double>(a.bottom), right,
                        (w.end - w.start) + ((flags & kHyphen) ? 1u : 0u)});
    }

    std::vector<MeasuredWord> out;
    out.reserve(kept.size());
    for (std::size_t k = 0; k < kept.size(); ++k) {
        const Boxed& w = kept[k];
        const double h = w.y1 - w.y0;
        double x1 = std::max(w.left, w.right);
        if (k + 1 < kept.size()) {
            const Boxed& next = kept[k + 1];
            const double gap = next.left - w.left;
            // The narrowest letters take a fifth of the box height: a span this short leaves no room
            // for a column's gutter after the word.
            if (std::fabs(next.y0 - w.y0) < 0.2 * h && 0 < gap &&
                gap <= 0.19 * h * static_cast<double>(w.length) + 2.4 * h)
                x1 = std::max(w.left, next.left - 0.24 * h);
        }
        out.push_back({w.start, w.end, w.left, w.y0, x1, w.y1, w.flags, 0});
    }
    return out;
}

template std::vector<MeasuredWord> measure_words(const std::uint8_t*, std::size_t, bool, void*, CharBoxFn,
                                                 CharIndexFn, double);
template std::vector<MeasuredWord> measure_words(const std::uint16_t*, std::size_t, bool, void*, CharBoxFn,
                                                 CharIndexFn, double);
template std::vector<MeasuredWord> measure_words(const char32_t*, std::size_t, bool, void*, CharBoxFn,
                                                 CharIndexFn, double);

}  // namespace sc::layout

namespace sc::layout {

namespace {
inline bool token_char(char32_t c) noexcept { return (c >= U'0' && c <= U'9') || (c >= U'a' && c <= U'z'); }
}  // namespace

template <class CharT>
std::vector<Token> page_tokens(const CharT* text, std::size_t n) {
    std::vector<Token> out;
    std::size_t word = 0;
    for (std::size_t i = 0; i < n;) {
        const char32_t c = static_cast<char32_t>(text[i]);
        if (c == U' ' || c == U'\n') {
            ++word;
            ++i;
        } else if (token_char(c)) {
            std::size_t j = i + 1;
            while (j < n && token_char(static_cast<char32_t>(text[j]))) ++j;
            out.push_back({i, j, word});
            i = j;
        } else {
            ++i;
        }
    }
    return out;
}

template std::vector<Token> page_tokens(const std::uint8_t*, std::size_t);
template std::vector<Token> page_tokens(const std::uint16_t*, std::size_t);
template std::vector<Token> page_tokens(const char32_t*, std::size_t);

}  // namespace sc::layout
