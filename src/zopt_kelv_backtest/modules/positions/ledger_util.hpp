// Small Python-object helpers for the position ledger: number operations with
// Python semantics, text formatting as f-strings do it, and calls to the
// object's own methods with a direct path when they are still ours.
#pragma once

#include <initializer_list>

#include "bodies.hpp"

namespace zk::ledger {

// An int constant made once and kept for the life of the process.
#define ZK_INT(n)                                                       \
    ([]() -> py::handle {                                               \
        static PyObject* i_ = PyLong_FromLong(n);                       \
        return py::handle(i_);                                          \
    }())

inline py::object borrow(py::handle h) { return py::reinterpret_borrow<py::object>(h); }

// ---- numbers: the number protocol, with a double path when both are floats
// (float + float in C gives the very same bits as float.__add__).
inline bool both_float(py::handle a, py::handle b) {
    return PyFloat_CheckExact(a.ptr()) && PyFloat_CheckExact(b.ptr());
}
inline py::object fl(double d) { return steal(PyFloat_FromDouble(d)); }
inline double dv(py::handle h) { return PyFloat_AS_DOUBLE(h.ptr()); }

inline py::object add(py::handle a, py::handle b) {
    if (both_float(a, b)) return fl(dv(a) + dv(b));
    return steal(PyNumber_Add(a.ptr(), b.ptr()));
}
// `a += b`; the same as add() for int and float, but honours __iadd__.
inline py::object iadd(py::handle a, py::handle b) {
    if (both_float(a, b)) return fl(dv(a) + dv(b));
    return steal(PyNumber_InPlaceAdd(a.ptr(), b.ptr()));
}
inline py::object isub(py::handle a, py::handle b) {
    if (both_float(a, b)) return fl(dv(a) - dv(b));
    return steal(PyNumber_InPlaceSubtract(a.ptr(), b.ptr()));
}
inline py::object sub(py::handle a, py::handle b) {
    if (both_float(a, b)) return fl(dv(a) - dv(b));
    return steal(PyNumber_Subtract(a.ptr(), b.ptr()));
}
inline py::object mul(py::handle a, py::handle b) {
    if (both_float(a, b)) return fl(dv(a) * dv(b));
    return steal(PyNumber_Multiply(a.ptr(), b.ptr()));
}
inline py::object truediv(py::handle a, py::handle b) {
    if (both_float(a, b) && dv(b) != 0.0) return fl(dv(a) / dv(b));
    return steal(PyNumber_TrueDivide(a.ptr(), b.ptr()));
}
inline py::object neg(py::handle a) {
    if (PyFloat_CheckExact(a.ptr())) return fl(-dv(a));
    return steal(PyNumber_Negative(a.ptr()));
}

inline bool truth(py::handle a) {
    int r = PyObject_IsTrue(a.ptr());
    if (r < 0) throw_py();
    return r == 1;
}

// Python's `a <op> b` followed by a truth test (no identity shortcut).
inline bool compare(py::handle a, py::handle b, int op) {
    if (PyUnicode_CheckExact(a.ptr()) && PyUnicode_CheckExact(b.ptr()) && (op == Py_EQ || op == Py_NE)) {
        const bool same = PyUnicode_Compare(a.ptr(), b.ptr()) == 0;
        return op == Py_EQ ? same : !same;
    }
    py::object r = steal(PyObject_RichCompare(a.ptr(), b.ptr(), op));
    if (r.ptr() == Py_True) return true;
    if (r.ptr() == Py_False) return false;
    return truth(r);
}
inline bool eq(py::handle a, py::handle b) { return compare(a, b, Py_EQ); }

// ---- containers
inline py::object attr_of(py::handle o, py::handle name) {
    return steal(PyObject_GetAttr(o.ptr(), name.ptr()));
}
// o[key], with the interpreter's own KeyError.
inline py::object item(py::handle o, py::handle key) {
    if (PyDict_CheckExact(o.ptr())) {
        if (PyObject* v = PyDict_GetItemWithError(o.ptr(), key.ptr())) return borrow(v);
        if (PyErr_Occurred()) throw_py();
    }
    return steal(PyObject_GetItem(o.ptr(), key.ptr()));
}
inline void set_item(py::handle o, py::handle key, py::handle value) {
    if (PyObject_SetItem(o.ptr(), key.ptr(), value.ptr()) < 0) throw_py();
}
inline bool contains(py::handle o, py::handle key) {
    int r = PySequence_Contains(o.ptr(), key.ptr());
    if (r < 0) throw_py();
    return r == 1;
}
inline void append(py::handle list, py::handle value) {
    if (PyList_CheckExact(list.ptr())) {
        if (PyList_Append(list.ptr(), value.ptr()) < 0) throw_py();
    } else {
        steal(PyObject_CallMethodOneArg(list.ptr(), ZK_STR("append").ptr(), value.ptr()));
    }
}

// A dict sized for `n` keys, filled with put(): no resizing on the way.
inline py::dict new_dict(Py_ssize_t n) { return py::reinterpret_steal<py::dict>(steal(_PyDict_NewPresized(n)).release()); }
inline void put(const py::dict& d, py::handle key, py::handle value) {
    if (PyDict_SetItem(d.ptr(), key.ptr(), value.ptr()) < 0) throw_py();
}

// ---- text
// format(value) as an f-string field without a spec does it.
inline py::object fmt(py::handle v) {
    PyObject* o = v.ptr();
    if (PyUnicode_CheckExact(o)) return borrow(v);
    if (PyLong_CheckExact(o) || PyFloat_CheckExact(o)) return steal(PyObject_Str(o));
    return steal(PyObject_Format(o, ZK_STR("").ptr()));
}

// Concatenation of str pieces.
inline py::object concat(std::initializer_list<py::handle> parts) {
    py::object list = steal(PyList_New(static_cast<Py_ssize_t>(parts.size())));
    Py_ssize_t i = 0;
    for (py::handle p : parts) PyList_SET_ITEM(list.ptr(), i++, Py_NewRef(p.ptr()));
    return steal(PyUnicode_Join(ZK_STR("").ptr(), list.ptr()));
}

[[noreturn]] inline void raise_text(PyObject* type, const py::object& text) {
    PyErr_SetObject(type, text.ptr());
    throw_py();
}

// ---- the object's own methods
// `self.<name>` as Python finds it; `native` tells whether it is our own
// function bound to self, so the body can be run without re-parsing.
struct Method {
    py::object attr;
    bool native;
};
inline Method lookup_method(py::handle self, py::handle name, Body body) {
    py::object attr = attr_of(self, name);
    PyObject* m = attr.ptr();
    const bool native = PyMethod_Check(m) && PyMethod_GET_SELF(m) == self.ptr() &&
                        is_native_body(PyMethod_GET_FUNCTION(m), body);
    return {std::move(attr), native};
}

// The argument parser's annotation TypeError, for checks made ahead of a call.
[[noreturn]] inline void raise_arg_type(const char* param, PyTypeObject* expected, PyObject* got) {
    set_arg_type_error(param, expected, got);
    throw_py();
}

// self.__calculate_trade_cost(code, action, price, quantity, product_type, <keywords>).
enum class CostCall { Cover, CoveredEntry, Entry };
py::object trade_cost(py::handle self, CostCall kind, py::handle code, py::handle action, py::handle price,
                      py::handle quantity, py::handle product_type);

}  // namespace zk::ledger
