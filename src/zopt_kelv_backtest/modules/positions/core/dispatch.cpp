#include "core/dispatch.hpp"

namespace zk {

PyObject* quiet_attr_borrowed(py::handle self, py::handle name) {
    if (!attr_is_quiet(self, name)) return nullptr;
    PyObject** dictptr = compat::instance_dict(self.ptr());
    if (!dictptr || !*dictptr || !PyDict_CheckExact(*dictptr)) return nullptr;
    PyObject* v = PyDict_GetItemWithError(*dictptr, name.ptr());
    if (!v) PyErr_Clear();
    return v;
}

Method own_method(py::handle self, py::handle name, Body body) {
    PyTypeObject* tp = Py_TYPE(self.ptr());
    if (tp->tp_getattro == PyObject_GenericGetAttr) {
        bool known = false;
        PyObject* found = compat::type_lookup_borrowed(tp, name.ptr(), known);
        PyObject** dictptr = known && found && is_native_body(found, body) ? compat::instance_dict(self.ptr()) : nullptr;
        if (dictptr) {
            // Held: the instance dict lookup may run a key's __eq__.
            py::object fn = borrow(found);
            py::object dict = py::reinterpret_borrow<py::object>(*dictptr);
            PyObject* shadow = dict ? PyDict_GetItemWithError(dict.ptr(), name.ptr()) : nullptr;
            if (!shadow && PyErr_Occurred()) throw_py();
            if (!shadow) return {std::move(fn), true};
        }
    }
    py::object m = get_attr(self, name);
    if (PyMethod_Check(m.ptr()) && PyMethod_GET_SELF(m.ptr()) == self.ptr() &&
        is_native_body(PyMethod_GET_FUNCTION(m.ptr()), body))
        return {borrow(PyMethod_GET_FUNCTION(m.ptr())), true};
    return {std::move(m), false};
}

bool all_own_methods(py::handle self, std::initializer_list<std::pair<py::handle, Body>> methods) {
    for (const auto& [name, body] : methods)
        if (!own_method(self, name, body).own) return false;
    return true;
}

}  // namespace zk
