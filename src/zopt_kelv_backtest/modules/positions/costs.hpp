// Price rules and trade cost of Positions, for reuse by other parts of the extension.
#pragma once

#include <utility>

#include "native_function.hpp"

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

inline BoundMethod lookup_method(py::handle self, py::handle name, Body body) {
#if PY_VERSION_HEX < 0x030D0000
    // The interpreter's own method lookup: no bound method is made when the
    // attribute is a method of the class not shadowed by the instance.
    PyObject* meth = nullptr;
    int unbound = _PyObject_GetMethod(self.ptr(), name.ptr(), &meth);
    if (!meth) throw_py();
    py::object m = py::reinterpret_steal<py::object>(meth);
    if (!unbound) return {std::move(m), false};
    if (is_native_body(m, body)) return {std::move(m), true};
    descrgetfunc get = Py_TYPE(meth)->tp_descr_get;
    return {steal(get(meth, self.ptr(), reinterpret_cast<PyObject*>(Py_TYPE(self.ptr())))), false};
#else
    py::object m = steal(PyObject_GetAttr(self.ptr(), name.ptr()));
    bool native = PyMethod_Check(m.ptr()) && PyMethod_GET_SELF(m.ptr()) == self.ptr() &&
                  is_native_body(PyMethod_GET_FUNCTION(m.ptr()), body);
    return {std::move(m), native};
#endif
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
