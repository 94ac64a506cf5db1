// Small Python-object helpers for the position ledger: number operations with
// Python semantics, text formatting as f-strings do it, and calls to the
// object's own methods with a direct path when they are still ours.
#pragma once

#include <initializer_list>

#include <array>

#include "bodies.hpp"
#include "account/costs.hpp"
#include "account/ledger_text.hpp"

namespace zk::ledger {

inline py::object borrow(py::handle h) { return py::reinterpret_borrow<py::object>(h); }

// ---- numbers: the number protocol, with a double path when one side is a
// float and the other a float or an exact int (float arithmetic converts the
// int by PyLong_AsDouble, so C gives the very same bits as float.__add__ etc.).
inline py::object fl(double d) { return steal(PyFloat_FromDouble(d)); }
inline double dv(py::handle h) { return PyFloat_AS_DOUBLE(h.ptr()); }

inline bool as_float_operand(PyObject* o, double& d) {
    if (PyFloat_CheckExact(o)) {
        d = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (!PyLong_CheckExact(o)) return false;
    d = PyLong_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();  // too large: the protocol raises it below
        return false;
    }
    return true;
}
// Both operands as doubles, when the operation is float arithmetic.
inline bool float_pair(py::handle a, py::handle b, double& x, double& y) {
    PyObject *pa = a.ptr(), *pb = b.ptr();
    if (!PyFloat_CheckExact(pa) && !PyFloat_CheckExact(pb)) return false;
    return as_float_operand(pa, x) && as_float_operand(pb, y);
}

inline py::object add(py::handle a, py::handle b) {
    double x, y;
    if (float_pair(a, b, x, y)) return fl(x + y);
    return steal(PyNumber_Add(a.ptr(), b.ptr()));
}
// `a += b`; the same as add() for int and float, but honours __iadd__.
inline py::object iadd(py::handle a, py::handle b) {
    double x, y;
    if (float_pair(a, b, x, y)) return fl(x + y);
    return steal(PyNumber_InPlaceAdd(a.ptr(), b.ptr()));
}
inline py::object isub(py::handle a, py::handle b) {
    double x, y;
    if (float_pair(a, b, x, y)) return fl(x - y);
    return steal(PyNumber_InPlaceSubtract(a.ptr(), b.ptr()));
}
inline py::object sub(py::handle a, py::handle b) {
    double x, y;
    if (float_pair(a, b, x, y)) return fl(x - y);
    return steal(PyNumber_Subtract(a.ptr(), b.ptr()));
}
inline py::object mul(py::handle a, py::handle b) {
    double x, y;
    if (float_pair(a, b, x, y)) return fl(x * y);
    return steal(PyNumber_Multiply(a.ptr(), b.ptr()));
}
inline py::object truediv(py::handle a, py::handle b) {
    double x, y;
    if (float_pair(a, b, x, y) && y != 0.0) return fl(x / y);
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
        if (PyObject* v = dict_get(o.ptr(), key.ptr())) return borrow(v);
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
// o[key], or an empty object when o is a dict without the key (`key in o`
// then `o[key]` for other mappings).
inline py::object find(py::handle o, py::handle key) {
    if (PyDict_CheckExact(o.ptr())) {
        if (PyObject* v = dict_get(o.ptr(), key.ptr())) return borrow(v);
        if (PyErr_Occurred()) throw_py();
        return py::object();
    }
    return contains(o, key) ? item(o, key) : py::object();
}
// What storing into `o` would raise, raised now, for kinds that cannot store at all.
inline void check_settable(py::handle o) {
    PyTypeObject* tp = Py_TYPE(o.ptr());
    if (PyDict_CheckExact(o.ptr()) || (tp->tp_as_mapping && tp->tp_as_mapping->mp_ass_subscript)) return;
    PyErr_Format(PyExc_TypeError, "'%.200s' object does not support item assignment", tp->tp_name);
    throw_py();
}

// o.<name> fetched ahead of its call, unless o is an exact list (whose own
// operation cannot fail): a later step then cannot fail for want of it.
inline py::object method_ahead(py::handle o, py::handle name) {
    if (PyList_CheckExact(o.ptr())) return py::object();
    return attr_of(o, name);
}

inline void append(py::handle list, py::handle value) {
    if (PyList_CheckExact(list.ptr())) {
        if (PyList_Append(list.ptr(), value.ptr()) < 0) throw_py();
    } else {
        steal(PyObject_CallMethodOneArg(list.ptr(), ZK_STR("append").ptr(), value.ptr()));
    }
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
using Method = BoundMethod;

// The argument parser's annotation TypeError, for checks made ahead of a call.
[[noreturn]] inline void raise_arg_type(const char* param, PyTypeObject* expected, PyObject* got) {
    set_arg_type_error(param, expected, got);
    throw_py();
}

// A record the algorithm reads key by key: the values we computed ourselves,
// or the dict an overriding method returned, read with a lookup at each use
// as the algorithm would.
template <size_t N, const RecordKeys<N>& (*Keys)()>
struct Record {
    py::object dict;
    std::array<py::object, N> own;
    py::object operator[](size_t i) const { return dict ? item(dict, Keys().keys[i]) : own[i]; }
};

// The trade cost of one leg.
using Leg = Record<7, cost_keys>;

// self.__calculate_trade_cost(code, action, price, quantity, product_type, <keywords>):
// a covering leg with tax, or an entry leg without; both slip as the settings say.
enum class CostCall { Cover, Entry };
Leg trade_cost(py::handle self, CostCall kind, py::handle code, py::handle action, py::handle price,
               py::handle quantity, py::handle product_type);

// str() of the leg's trade-cost dict.
void put_cost(Text& t, const Leg& leg);

}  // namespace zk::ledger
