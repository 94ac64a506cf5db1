// Console lines of the ledger, built in one buffer. Values are written as
// format(value) (and, inside a dict, repr(value)) would write them; the
// common scalars are rendered here, everything else by the interpreter.
#pragma once

#include <string>

#include "common.hpp"

namespace zk::ledger {

class Text {
public:
    // UTF-8 text as written in the source.
    Text& lit(const char* utf8) {
        buf_ += utf8;
        return *this;
    }
    // format(value), as an f-string field without a spec.
    Text& fmt(py::handle value);
    // str(value) of a dict of scalars, as f"{d}" writes it.
    Text& dict(py::handle d);
    py::object str();  // the finished line

private:
    void put_str(PyObject* s);       // a str object's text
    void put_repr(PyObject* v);      // repr(v)
    bool put_scalar(PyObject* v);    // int, float, bool, None; false when not one
    void flush();

    std::string buf_;
    py::object pieces_;  // a list, once a piece had to stay a Python str
};

// repr() of a float, as the interpreter writes it.
void append_float_repr(std::string& out, double x);

}  // namespace zk::ledger
