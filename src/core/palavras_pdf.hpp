// Words of a PDF text page and their boxes, measured from PDFium's character
// boxes.
//
// A word is a run of characters that are neither whitespace (Python's str
// whitespace) nor PDFium's mark of a hyphen ending a line inside a word
// (U+FFFE). Its top, bottom and left edge are those of its first character;
// its right edge is the last character's, except for a short word followed on
// the same line by another at an ordinary distance, whose right edge is the
// next word's left edge less a space (a character's loose box may run wide).
// Boxes are in PDF points from the page's top left corner.
//
// PDFium is called through the function pointers given (the library is the
// one the caller loaded); this file knows nothing of Python or of PDFium's
// headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sc::layout {

struct CharRect {  // PDFium's FS_RECTF
    float left, top, right, bottom;
};
using CharBoxFn = int (*)(void* text_page, int index, CharRect* rect);
using CharIndexFn = int (*)(void* text_page, int text_index);

// One measured word, as stored: text offsets, the box, and flags.
struct MeasuredWord {
    std::uint32_t start, end;  // in the page's text
    double x0, y0, x1, y1;
    std::uint32_t flags;  // kLineEnd | kHyphen
    std::uint32_t unused = 0;  // fills the padding: the stored bytes are all set
};
static_assert(sizeof(MeasuredWord) == 48);
constexpr std::uint32_t kLineEnd = 1;  // the word ends its line
constexpr std::uint32_t kHyphen = 2;   // a hyphen ending the line follows it (U+FFFE)

bool is_word_separator(char32_t c) noexcept;

// The words of a page's text (code units of one width), each measured. When
// `aligned`, text offsets are PDFium's character indices; otherwise each is
// mapped with `index` (words whose characters have none are dropped). Words
// whose first character has no box are dropped.
template <class CharT>
std::vector<MeasuredWord> measure_words(const CharT* text, std::size_t n, bool aligned, void* text_page,
                                        CharBoxFn box, CharIndexFn index, double page_height);

}  // namespace sc::layout

namespace sc::layout {

// The tokens of a page's folded words: runs of ASCII digits and lower-case
// letters, each with the index of the word it is in (words are separated by a
// space or a line feed, one after each word).
struct Token {
    std::size_t start, end;
    std::size_t word;
};
template <class CharT>
std::vector<Token> page_tokens(const CharT* text, std::size_t n);

}  // namespace sc::layout
