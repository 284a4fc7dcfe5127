#include "text.hpp"

namespace sc::py {

void Folded::strip() {
    std::size_t b, e;
    if (latin1) {
        uni::strip_bounds(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), b, e);
        bytes = bytes.substr(b, e - b);
    } else {
        uni::strip_bounds(wide.data(), wide.size(), b, e);
        wide = wide.substr(b, e - b);
    }
}

Ref Folded::to_str() const { return latin1 ? from_latin1(bytes) : from_u32(wide); }

void fold_str(PyObject* s, Folded& out) {
    const std::size_t n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
    out.bytes.clear();
    out.wide.clear();
    if (PyUnicode_KIND(s) == PyUnicode_1BYTE_KIND) {
        out.latin1 = true;
        uni::fold_latin1(static_cast<const std::uint8_t*>(PyUnicode_DATA(s)), n, out.bytes);
        return;
    }
    out.latin1 = false;
    visit_str(s, [&](const auto* d, std::size_t len) { uni::fold(d, len, out.wide); });
}

Ref fold_to_str(PyObject* s, bool strip) {
    Folded f;
    fold_str(s, f);
    if (strip) f.strip();
    return f.to_str();
}

}  // namespace sc::py
