// "Is this attribute still our own method, and can reading it run Python code?"
// One vocabulary for both questions:
// - own: an attribute lookup on self finds our native function with this body,
//   bound to self, so a caller may run the body directly and skip the parser;
// - quiet: the value is read without running any Python code (generic
//   attribute lookup, no descriptor of that name on the type, an exact
//   instance dict), so a value read that way stays valid until Python code
//   can run again.
#pragma once

#include "core/native_function.hpp"

#include <initializer_list>
#include <utility>

#include "core/compat.hpp"

namespace zk {

// self.<name> as found by attribute lookup. When `own`, `obj` is the function
// itself (unbound): call() passes self first.
struct Method {
    py::object obj;
    bool own;
    template <class... Args>
    py::object call(py::handle self, Args&&... args) const {
        if (own) return obj(self, std::forward<Args>(args)...);
        return obj(std::forward<Args>(args)...);
    }
};

// Does the type of `self` read instance attributes generically and define
// nothing under `name` (so no descriptor or method of its own can run)?
inline bool attr_is_quiet(py::handle self, py::handle name) {
    PyTypeObject* tp = Py_TYPE(self.ptr());
    return tp->tp_getattro == PyObject_GenericGetAttr && compat::type_lacks(tp, name.ptr());
}

// self.<name> read quietly: borrowed, null when it cannot be read that way or
// is absent (the caller then takes the lookup path).
PyObject* quiet_attr_borrowed(py::handle self, py::handle name);
// The same, owned.
inline py::object quiet_attr(py::handle self, py::handle name) {
    PyObject* v = quiet_attr_borrowed(self, name);
    return v ? borrow(v) : py::object();
}
// self.<name> as Python reads it, quietly when it can be.
inline py::object self_attr(py::handle self, py::handle name) {
    if (PyObject* v = quiet_attr_borrowed(self, name)) return borrow(v);
    return get_attr(self, name);
}

// self.<name>, and whether it is our own function running `body`. Without
// making a bound method when the class's own function is found, as the
// interpreter's method calls do: a function is a non-data descriptor, so only
// an instance attribute of the same name can hide it.
Method own_method(py::handle self, py::handle name, Body body);

// Is every one of these attributes of self our own function with its body?
bool all_own_methods(py::handle self, std::initializer_list<std::pair<py::handle, Body>> methods);

}  // namespace zk
