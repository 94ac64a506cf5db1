// Price rules and trade cost of Positions, for reuse by other parts of the extension.
#pragma once

#include "native_function.hpp"

namespace zk {

// The attribute `name` of `self`; `native` is true when it is our own `body`
// bound to `self`, so the caller may run the body directly and skip parsing.
struct BoundMethod {
    py::object obj;
    bool native;
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

// self.__calculate_trade_cost(code, action, price, quantity, product_type,
// ignore_tax=..., is_cover=...) through the object's own method: runs the
// native body directly when it is ours and the arguments already have the
// checked types (str code, float price, int quantity), else calls the method.
py::object calculate_trade_cost(py::handle self, py::handle code, py::handle action, py::handle price,
                                py::handle quantity, py::handle product_type, bool ignore_tax, bool is_cover);

}  // namespace zk
