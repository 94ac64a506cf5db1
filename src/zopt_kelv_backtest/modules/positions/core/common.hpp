// Python-object helpers shared by every part of the extension.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>
#include <initializer_list>

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

// An int constant made once and kept for the life of the process.
#define ZK_INT(n)                                                       \
    ([]() -> py::handle {                                               \
        static PyObject* i_ = PyLong_FromLong(n);                       \
        return py::handle(i_);                                          \
    }())

// A module global looked up at call time, like Python's LOAD_GLOBAL:
// module namespace first, then builtins; NameError when neither has it.
py::object global(const char* name);
// The same by an interned key (ZK_STR), so the hot path makes no string.
py::object load_global(py::handle key);
// Without raising: borrowed, null when neither the module nor builtins has it.
PyObject* peek_global(py::handle key);

// d[key] of a dict, borrowed (null when absent), kept in `kept` (one per
// call site, for a key that lives as long) while the dict is unchanged.
struct KeptLookup {
    PyObject* dict = nullptr;
    std::uint64_t tag = 0;  // the dict's change tag then, 0 when nothing is kept
    PyObject* value = nullptr;
};
PyObject* dict_get_kept(PyObject* d, PyObject* key, KeptLookup& kept);

// Instance attribute read without running Python code: only when the type
// uses generic lookup and defines nothing under that name (no descriptor).
// Borrowed; null when not plain or absent (the caller takes the literal path).
PyObject* plain_attr(py::handle self, py::handle name);
// self.<name> as Python reads it, by the plain path when it can be taken.
py::object self_attr(py::handle self, py::handle name);

// The shape of a dict display, made once: these keys in order, values None.
// A copy of it has the compact str-only key table and needs no resizing.
PyObject* dict_shape(const char* const* keys, size_t n);
inline PyObject* dict_shape(std::initializer_list<const char*> keys) { return dict_shape(keys.begin(), keys.size()); }
// d[key] for an exact dict, borrowed; null when absent (or on error, set).
PyObject* dict_get(PyObject* d, PyObject* key);
// The entries of a small str-keyed table of an exact dict, in insertion order
// (a deleted one has no key), or null when its layout is not the one known.
struct DictEntry {
    PyObject* key;
    PyObject* value;
};
const DictEntry* small_dict_entries(PyObject* d, Py_ssize_t& n);

// d[key] for each of these interned keys of an exact dict, borrowed, when
// every one is found cheaply and without running any Python code; false
// otherwise (nothing is raised: the caller takes the lookup path). `hints`
// (one per key, zero at first) remember where the keys were found last.
template <size_t N>
inline bool dict_get_all(PyObject* d, const std::array<PyObject*, N>& keys, PyObject** out, Py_ssize_t* hints) {
    Py_ssize_t n = 0;
    const DictEntry* e = small_dict_entries(d, n);
    if (!e) return false;
    for (size_t k = 0; k < N; ++k) {
        // Dicts made alike hold the key at the same place: try that first.
        Py_ssize_t at = hints[k];
        if (at >= n || e[at].key != keys[k]) {
            for (at = 0; at < n && e[at].key != keys[k]; ++at) {
            }
            if (at == n) return false;
            hints[k] = at;
        }
        if (!(out[k] = e[at].value)) return false;
    }
    return true;
}
// A new dict of that shape holding `values` in key order.
py::object dict_of_shape(PyObject* shape, const py::handle* values, size_t n);
inline py::object dict_of_shape(PyObject* shape, std::initializer_list<py::handle> values) {
    return dict_of_shape(shape, values.begin(), values.size());
}
// A shape whose values are fixed where `fixed` has one; a null handle leaves
// the slot open for dict_fill.
py::object shape_with(PyObject* shape, const py::handle* fixed, size_t n);
// A new dict of that shape with values[i] at key position slots[i] (rising).
py::object dict_fill(PyObject* shape, const unsigned char* slots, const py::handle* values, size_t n);

// The keys of a fixed-key record: names, interned strs and dict shape, made once.
template <size_t N>
struct RecordKeys {
    std::array<const char*, N> names;
    std::array<PyObject*, N> keys{};
    PyObject* shape = nullptr;
    explicit RecordKeys(const std::array<const char*, N>& n) : names(n) {
        for (size_t i = 0; i < N; ++i)
            if (!(keys[i] = PyUnicode_InternFromString(names[i]))) throw_py();
        shape = dict_shape(names.data(), N);
    }
    py::object dict(const std::array<py::object, N>& values) const {
        std::array<py::handle, N> h;
        for (size_t i = 0; i < N; ++i) h[i] = values[i];
        return dict_of_shape(shape, h.data(), N);
    }
};

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
