// Console lines of the ledger, built in one buffer of code points and made
// into a str once. Values are written as format(value) (and, inside a dict,
// repr(value)) would write them; the common scalars are rendered here,
// everything else by the interpreter.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "common.hpp"

namespace zk::ledger {

class Text {
public:
    Text() { buf_.reserve(256); }
    // Text as written in the source (a U"" literal).
    Text& lit(std::u32string_view s) {
        buf_.append(s);
        return *this;
    }
    // format(value), as an f-string field without a spec.
    Text& fmt(py::handle value);
    // str(value) of a dict, as f"{d}" writes it.
    Text& dict(py::handle d);
    // What str() of a dict holding these ASCII keys and values, in this order, writes.
    Text& items(const std::pair<const char*, py::handle>* kv, size_t n);
    py::object str() const;  // the finished line

private:
    void put_str(PyObject* s);     // a str object's text
    void put_ascii(const char* s, size_t n);
    void put_repr(PyObject* v);    // repr(v)
    bool put_scalar(PyObject* v);  // int, float, bool, None; false when not one

    std::u32string buf_;
};

// repr() of a float, as the interpreter writes it.
void append_float_repr(std::string& out, double x);

}  // namespace zk::ledger
