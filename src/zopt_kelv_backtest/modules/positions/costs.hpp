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
    py::object m = steal(PyObject_GetAttr(self.ptr(), name.ptr()));
    bool native = PyMethod_Check(m.ptr()) && PyMethod_GET_SELF(m.ptr()) == self.ptr() &&
                  is_native_body(PyMethod_GET_FUNCTION(m.ptr()), body);
    return {std::move(m), native};
}

}  // namespace zk
