// Console lines of the ledger, built in one buffer of code points and made
// into a str once. Values are written as format(value) (and, inside a dict,
// repr(value)) would write them; the common scalars are rendered here,
// everything else by the interpreter.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>

#include "core/common.hpp"

namespace zk::ledger {

// A text literal (U"..."), its length and largest code point known at compile time.
struct Lit {
    const char32_t* s;
    size_t n;
    char32_t max = 0x7f;
    template <size_t N>
    consteval Lit(const char32_t (&a)[N]) : s(a), n(N - 1) {
        for (size_t i = 0; i + 1 < N; ++i)
            if (a[i] > max) max = a[i];
    }
};

class Text {
public:
    Text() = default;
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;

    // Text as written in the source.
    Text& lit(const Lit& l) {
        std::copy(l.s, l.s + l.n, room(l.n));
        len_ += l.n;
        if (l.max > max_) max_ = l.max;
        return *this;
    }
    // format(value), as an f-string field without a spec.
    Text& fmt(py::handle value);
    // str(value) of a dict, as f"{d}" writes it.
    Text& dict(py::handle d);
    // What str() of a dict of these values writes, `heads[i]` being the ASCII
    // text before value i ("{'key': ", then ", 'key': "); the "}" is added.
    Text& items(const std::string* heads, const py::object* values, size_t n);
    py::object str() const;  // the finished line

private:
    char32_t* room(size_t n) {  // space for n more code points at the end
        if (len_ + n > cap()) grow(n);
        return data() + len_;
    }
    void grow(size_t n);
    char32_t* data() { return heap_.empty() ? inline_ : heap_.data(); }
    const char32_t* data() const { return heap_.empty() ? inline_ : heap_.data(); }
    size_t cap() const { return heap_.empty() ? sizeof inline_ / sizeof inline_[0] : heap_.size(); }
    void put_char(char32_t c) { *room(1) = c, ++len_; }
    void put_str(PyObject* s);     // a str object's text
    void put_ascii(const char* s, size_t n);
    void put_repr(PyObject* v);    // repr(v)
    bool put_scalar(PyObject* v);  // int, float, bool, None; false when not one

    char32_t inline_[320];
    std::u32string heap_;  // used once a line outgrows the inline buffer
    size_t len_ = 0;
    char32_t max_ = 0x7f;  // the largest code point's kind bound, so the str is made in its own kind
};

// console.print(text) through the module global, looked up now; when that is
// the package console with its own line printer, and the line is one the
// printer would queue as it is, the line is queued here the same way (no
// Python call per line).
void print_line(const py::object& text);

}  // namespace zk::ledger
