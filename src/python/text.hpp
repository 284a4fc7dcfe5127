// str <-> core conversions: kind dispatch, folding, UTF-8 views.
#pragma once

#include <string>

#include "../core/scratch.hpp"
#include "../core/unicode.hpp"
#include "binding.hpp"

namespace sc::py {

// Calls f(const CharT* data, size_t n) with the string's own code units
// (uint8_t for one-byte strings, uint16_t, or char32_t).
template <class F>
decltype(auto) visit_str(PyObject* s, F&& f) {
    const std::size_t n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND: return f(static_cast<const std::uint8_t*>(PyUnicode_DATA(s)), n);
        case PyUnicode_2BYTE_KIND: return f(static_cast<const std::uint16_t*>(PyUnicode_DATA(s)), n);
        default: return f(reinterpret_cast<const char32_t*>(PyUnicode_DATA(s)), n);
    }
}

inline Ref from_latin1(const std::string& s) {
    return own(PyUnicode_FromKindAndData(PyUnicode_1BYTE_KIND, s.data(), static_cast<Py_ssize_t>(s.size())));
}
inline Ref from_u32(const char32_t* s, std::size_t n) {
    return own(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, s, static_cast<Py_ssize_t>(n)));
}
inline Ref from_u32(const std::u32string& s) { return from_u32(s.data(), s.size()); }

// Folded form of a str: NFD, Mn removed, lower-cased; optionally stripped
// of whitespace at both ends. One-byte strings stay one-byte.
struct Folded {
    bool latin1 = true;
    std::string bytes;     // latin1: one byte per code point
    std::u32string wide;   // otherwise
    void strip();
    Ref to_str() const;
};

// A Folded kept as scratch space gives back what grew past the limit.
inline void release_if_large(Folded& f) noexcept {
    sc::release_if_large(f.bytes);
    sc::release_if_large(f.wide);
}

void fold_str(PyObject* s, Folded& out);
Ref fold_to_str(PyObject* s, bool strip);

}  // namespace sc::py
