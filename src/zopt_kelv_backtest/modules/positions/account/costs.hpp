// Price rules and trade cost of Positions, for reuse by other parts of the extension.
#pragma once

#include "core/compat.hpp"
#include "core/native_function.hpp"

#include <utility>

namespace zk {

// The attribute `name` of `self`; `native` is true when it is our own `body`
// bound to `self`, so the caller may run the body directly and skip parsing.
// When native, `obj` is the function itself (not bound): call() passes self.
struct BoundMethod {
    py::object obj;
    bool native;
    template <class... Args>
    py::object call(py::handle self, Args&&... args) const {
        if (native) return obj(self, std::forward<Args>(args)...);
        return obj(std::forward<Args>(args)...);
    }
};

// Without making a bound method when the class's own function is found, as
// the interpreter's method calls do: a function is a non-data descriptor, so
// only an instance attribute of the same name can hide it.
inline BoundMethod lookup_method(py::handle self, py::handle name, Body body) {
    PyTypeObject* tp = Py_TYPE(self.ptr());
    if (tp->tp_getattro == PyObject_GenericGetAttr) {
        bool known = false;
        PyObject* found = compat::type_lookup(tp, name.ptr(), known);
        PyObject** dictptr = known && found && is_native_body(found, body) ? compat::instance_dict(self.ptr()) : nullptr;
        if (dictptr) {
            // Held: the instance dict lookup may run a key's __eq__.
            py::object fn = py::reinterpret_borrow<py::object>(found);
            py::object dict = py::reinterpret_borrow<py::object>(*dictptr);
            PyObject* shadow = dict ? PyDict_GetItemWithError(dict.ptr(), name.ptr()) : nullptr;
            if (!shadow && PyErr_Occurred()) throw_py();
            if (!shadow) return {std::move(fn), true};
        }
    }
    py::object m = steal(PyObject_GetAttr(self.ptr(), name.ptr()));
    if (PyMethod_Check(m.ptr()) && PyMethod_GET_SELF(m.ptr()) == self.ptr() &&
        is_native_body(PyMethod_GET_FUNCTION(m.ptr()), body))
        return {py::reinterpret_borrow<py::object>(PyMethod_GET_FUNCTION(m.ptr())), true};
    return {std::move(m), false};
}

// The seven values of a trade cost, in the order of its dict.
enum CostField : size_t { Fee, Tax, FixedCost, Qty, MinQty, Price, OriginPrice };
using TradeCost = std::array<py::object, 7>;
const RecordKeys<7>& cost_keys();

// What __calculate_trade_cost computes for its checked arguments `a` (code,
// action, price as a float, quantity, product_type, ignore_tax, is_cover),
// without making the dict; and the dict itself.
TradeCost compute_trade_cost(py::handle self, const py::handle* a);

}  // namespace zk
