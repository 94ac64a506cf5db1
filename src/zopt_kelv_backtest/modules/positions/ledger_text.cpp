#include "ledger_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace zk::ledger {

// The shortest digits that read back as x (what the interpreter's repr
// uses too), laid out by its rules: exponent form below 1e-4 and from 1e16
// on, a trailing ".0" for integral values.
void append_float_repr(std::string& out, double x) {
    if (std::isnan(x)) {
        out += "nan";
        return;
    }
    if (std::isinf(x)) {
        out += x > 0 ? "inf" : "-inf";
        return;
    }
    char tmp[64];
    auto res = std::to_chars(tmp, tmp + sizeof tmp - 1, x, std::chars_format::scientific);
    *res.ptr = '\0';
    const char* p = tmp;
    if (*p == '-') {
        out += '-';
        ++p;
    }
    char digits[32];
    int nd = 0;
    for (; p < res.ptr && *p != 'e'; ++p)
        if (*p != '.') digits[nd++] = *p;
    const int decpt = std::atoi(p + 1) + 1;  // value = 0.d1d2... x 10^decpt
    if (decpt <= -4 || decpt > 16) {
        out += digits[0];
        if (nd > 1) {
            out += '.';
            out.append(digits + 1, static_cast<size_t>(nd - 1));
        }
        const int e = decpt - 1;
        out += e < 0 ? "e-" : "e+";
        const int ae = e < 0 ? -e : e;
        if (ae < 10) out += '0';
        out += std::to_string(ae);
    } else if (decpt <= 0) {
        out += "0.";
        out.append(static_cast<size_t>(-decpt), '0');
        out.append(digits, static_cast<size_t>(nd));
    } else if (decpt >= nd) {
        out.append(digits, static_cast<size_t>(nd));
        out.append(static_cast<size_t>(decpt - nd), '0');
        out += ".0";
    } else {
        out.append(digits, static_cast<size_t>(decpt));
        out += '.';
        out.append(digits + decpt, static_cast<size_t>(nd - decpt));
    }
}

bool Text::put_scalar(PyObject* v) {
    if (PyFloat_CheckExact(v)) {
        append_float_repr(buf_, PyFloat_AS_DOUBLE(v));
        return true;
    }
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow) return false;
        char tmp[24];
        auto res = std::to_chars(tmp, tmp + sizeof tmp, n);
        buf_.append(tmp, res.ptr);
        return true;
    }
    if (v == Py_True || v == Py_False || v == Py_None) {
        buf_ += v == Py_True ? "True" : v == Py_False ? "False" : "None";
        return true;
    }
    return false;
}

void Text::flush() {
    if (!pieces_) pieces_ = steal(PyList_New(0));
    if (!buf_.empty()) {
        py::object s = steal(PyUnicode_DecodeUTF8(buf_.data(), static_cast<Py_ssize_t>(buf_.size()), nullptr));
        if (PyList_Append(pieces_.ptr(), s.ptr()) < 0) throw_py();
        buf_.clear();
    }
}

void Text::put_str(PyObject* s) {
    Py_ssize_t n = 0;
    if (const char* u = PyUnicode_AsUTF8AndSize(s, &n)) {
        buf_.append(u, static_cast<size_t>(n));
        return;
    }
    // Not UTF-8 encodable (lone surrogates): keep the str object itself.
    PyErr_Clear();
    flush();
    if (PyList_Append(pieces_.ptr(), s) < 0) throw_py();
}

Text& Text::fmt(py::handle value) {
    PyObject* v = value.ptr();
    if (PyUnicode_CheckExact(v)) {
        put_str(v);
    } else if (!put_scalar(v)) {
        py::object s = steal(PyObject_Format(v, nullptr));
        put_str(s.ptr());
    }
    return *this;
}

// A str that repr() writes as itself between apostrophes.
static bool plain_ascii(PyObject* s) {
    if (!PyUnicode_IS_ASCII(s)) return false;
    const char* p = static_cast<const char*>(PyUnicode_DATA(s));
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(s); i < n; ++i)
        if (p[i] < 0x20 || p[i] == 0x7f || p[i] == '\'' || p[i] == '\\') return false;
    return true;
}

void Text::put_repr(PyObject* v) {
    if (PyUnicode_CheckExact(v) && plain_ascii(v)) {
        buf_ += '\'';
        buf_.append(static_cast<const char*>(PyUnicode_DATA(v)), static_cast<size_t>(PyUnicode_GET_LENGTH(v)));
        buf_ += '\'';
    } else if (!put_scalar(v)) {
        py::object s = steal(PyObject_Repr(v));
        put_str(s.ptr());
    }
}

Text& Text::dict(py::handle d) {
    PyObject* o = d.ptr();
    bool simple = PyDict_CheckExact(o);
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (simple && PyDict_Next(o, &pos, &k, &v))
        simple = PyUnicode_CheckExact(k) && (PyUnicode_CheckExact(v) || PyFloat_CheckExact(v) ||
                                             PyLong_CheckExact(v) || PyBool_Check(v) || v == Py_None);
    if (!simple) return fmt(d);
    // Only scalars inside: no user code runs while the items are read.
    buf_ += '{';
    pos = 0;
    bool first = true;
    while (PyDict_Next(o, &pos, &k, &v)) {
        if (!first) buf_ += ", ";
        first = false;
        put_repr(k);
        buf_ += ": ";
        put_repr(v);
    }
    buf_ += '}';
    return *this;
}

py::object Text::str() {
    if (!pieces_)
        return steal(PyUnicode_DecodeUTF8(buf_.data(), static_cast<Py_ssize_t>(buf_.size()), nullptr));
    flush();
    return steal(PyUnicode_Join(ZK_STR("").ptr(), pieces_.ptr()));
}

}  // namespace zk::ledger
