// Python-object helpers shared by every part of the extension.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace zk {

// An interned str made once and kept for the life of the process.
#define ZK_STR(text)                                                    \
    ([]() -> py::handle {                                               \
        static PyObject* s_ = PyUnicode_InternFromString(text);         \
        return py::handle(s_);                                          \
    }())

// Raise the pending Python error as a C++ exception (for raw C API calls).
[[noreturn]] inline void throw_py() { throw py::error_already_set(); }

// Steal a new reference from a raw C API call; a NULL means an error is set.
inline py::object steal(PyObject* o) {
    if (!o) throw_py();
    return py::reinterpret_steal<py::object>(o);
}

// Module namespace (borrowed; alive for the process since the module is never freed).
PyObject* module_dict();

// A module global looked up at call time, like Python's LOAD_GLOBAL:
// module namespace first, then builtins; NameError when neither has it.
py::object global(const char* name);

// Raise `type(text)` with a str built from UTF-8.
[[noreturn]] inline void raise(PyObject* type, const std::string& text) {
    PyErr_SetString(type, text.c_str());
    throw_py();
}

// `prefix` followed by str(value), as Python's f"{prefix}{value}" would give.
[[noreturn]] void raise_with_value(PyObject* type, const char* prefix, py::handle value);

// console.print(text) through the module global, looked up now.
void console_print(const py::object& text);

// A function body that is not built yet.
[[noreturn]] void not_implemented(const char* name);

}  // namespace zk
