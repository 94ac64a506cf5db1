// The one layer for operations on Python objects, shared by every part of the
// extension: one name per operation. Lookups return owned references
// (py::object); a function that hands out a borrowed PyObject* says
// `borrowed` in its name, and such a pointer is not used after anything that
// can run Python code. Interned names and small ints come from names.hpp;
// values a source needs on every call are made at module exec (ExecCache,
// RecordKeys); CPython internals are read through compat.hpp only. The bodies
// that are not inline live in object.cpp.
//
// Hot code (what a back-test runs per tick, per fill or per query) uses these
// names only. pybind11's own spellings (`.attr`, py::str, py::setattr, calling
// a py::object, building a py::dict or py::list) stay on purpose where they
// read best and cost nothing that matters:
// - module exec: module.cpp (imports, the report template), the classes and
//   function objects (core/class_builder.cpp, make_function in
//   core/native_function.cpp);
// - a function's __signature__, built when first asked for (native_function.cpp);
// - report writing: account/reports.cpp and the template's tojson filter
//   (module.cpp). What report writing keeps of the libraries it loads on
//   demand (pandas, matplotlib, quantstats) is made there, on first use.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>

#include "core/names.hpp"

namespace py = pybind11;

namespace zk {

// Raise the pending Python error as a C++ exception (for raw C API calls).
[[noreturn]] inline void throw_py() { throw py::error_already_set(); }

// Steal a new reference from a raw C API call; a NULL means an error is set.
inline py::object steal(PyObject* o) {
    if (!o) throw_py();
    return py::reinterpret_steal<py::object>(o);
}
// A new reference to `h`.
inline py::object borrow(py::handle h) { return py::reinterpret_borrow<py::object>(h); }

// Module namespace (borrowed; alive for the process since the module is never freed).
PyObject* module_dict_borrowed();
// Module exec: the namespace module_dict_borrowed() gives from then on.
void set_module_dict(PyObject* ns);

// A module global by its interned name (names::...), looked up at call time
// like Python's LOAD_GLOBAL: module namespace first, then builtins; NameError
// when neither has it.
py::object global(py::handle key);
// The same without raising: borrowed, null when neither has it.
PyObject* global_borrowed(py::handle key);

// d[key] of a dict, borrowed (null when absent), kept in `kept` (one per
// call site, for a key that lives as long) while the dict is unchanged.
struct KeptLookup {
    PyObject* dict = nullptr;
    std::uint64_t tag = 0;  // the dict's change tag then, 0 when nothing is kept
    PyObject* value = nullptr;
};
PyObject* dict_get_kept_borrowed(PyObject* d, PyObject* key, KeptLookup& kept);

// The shape of a dict display, made once: these keys in order, values None.
// A copy of it has the compact str-only key table and needs no resizing.
PyObject* dict_shape(const char* const* keys, size_t n);
inline PyObject* dict_shape(std::initializer_list<const char*> keys) { return dict_shape(keys.begin(), keys.size()); }
// d[key] for an exact dict, borrowed; null when absent (or on error, set).
PyObject* dict_get_borrowed(PyObject* d, PyObject* key);
// The entries of a small str-keyed table of an exact dict, in insertion order
// (a deleted one has no key), or null when its layout is not the one known.
struct DictEntry {
    PyObject* key;
    PyObject* value;
};
const DictEntry* small_dict_entries_borrowed(PyObject* d, Py_ssize_t& n);

// d[key] for each of these interned keys of an exact dict, borrowed, when
// every one is found cheaply and without running any Python code; false
// otherwise (nothing is raised: the caller takes the lookup path). `hints`
// (one per key, zero at first) remember where the keys were found last.
template <size_t N>
inline bool dict_get_all(PyObject* d, const std::array<PyObject*, N>& keys, PyObject** out, Py_ssize_t* hints) {
    Py_ssize_t n = 0;
    const DictEntry* e = small_dict_entries_borrowed(d, n);
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

// The keys of a fixed-key record, declared once where the record is made:
// the interned keys and the dict shape are made at module exec (a failure
// fails the import), so every use is a plain read.
struct RecordShape {
    RecordShape(const char* const* names, size_t count, PyObject** keys);
    RecordShape(const RecordShape&) = delete;
    RecordShape& operator=(const RecordShape&) = delete;
    const char* const* names;
    size_t count;
    PyObject** keys;
    PyObject* shape = nullptr;
    RecordShape* next;  // every record of the extension, in one list
};
// Module exec: the keys and shapes of every record.
void make_records();

// A value a source file needs on every call (a built tuple, a type, a bound
// function, a probe's answer), made once at module exec, after the names and
// records and before the module's imports; reads are plain after that. A
// failure fails the import with ImportError naming `what`. Declare one at
// namespace scope: `const ExecCache kw_cover{"kw_cover", [] { return ...; }};`
// The maker returns a new reference (kept for the process) or null with an
// error set.
struct ExecCache {
    using Maker = PyObject* (*)();
    ExecCache(const char* what, Maker make);
    ExecCache(const ExecCache&) = delete;
    ExecCache& operator=(const ExecCache&) = delete;
    // Borrowed: alive for the process.
    PyObject* borrowed() const { return value; }
    py::handle handle() const { return value; }
    const char* what;
    Maker make;
    PyObject* value = nullptr;
    ExecCache* next;  // every cache of the extension, in one list
};
// Module exec: every ExecCache, in no promised order (a maker may not read another cache).
void make_exec_caches();
// ImportError "cannot make <what> at import", the pending error (if any) as its cause.
[[noreturn]] void raise_import_failure(const char* what);

template <size_t N>
struct RecordKeys {
    std::array<const char*, N> names;
    std::array<PyObject*, N> keys{};
    RecordShape made{names.data(), N, keys.data()};
    explicit RecordKeys(const std::array<const char*, N>& n) : names(n) {}
    PyObject* shape() const { return made.shape; }
    py::object dict(const std::array<py::object, N>& values) const {
        std::array<py::handle, N> h;
        for (size_t i = 0; i < N; ++i) h[i] = values[i];
        return dict_of_shape(shape(), h.data(), N);
    }
    py::object dict(std::initializer_list<py::handle> values) const {
        if (values.size() != N) throw std::logic_error("record: value count");
        return dict_of_shape(shape(), values.begin(), N);
    }
};

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

// ---- truth and comparison
// bool(a), honouring __bool__ / __len__.
inline bool truth(py::handle a) {
    int r = PyObject_IsTrue(a.ptr());
    if (r < 0) throw_py();
    return r == 1;
}
// Python's `a <op> b` as an object (an expression object, for polars columns).
inline py::object rich_compare(py::handle a, py::handle b, int op) {
    return steal(PyObject_RichCompare(a.ptr(), b.ptr(), op));
}
// Python's `a <op> b` followed by a truth test (no identity shortcut).
inline bool compare(py::handle a, py::handle b, int op) {
    if (PyUnicode_CheckExact(a.ptr()) && PyUnicode_CheckExact(b.ptr()) && (op == Py_EQ || op == Py_NE)) {
        const bool same = PyUnicode_Compare(a.ptr(), b.ptr()) == 0;
        return op == Py_EQ ? same : !same;
    }
    py::object r = rich_compare(a, b, op);
    if (r.ptr() == Py_True) return true;
    if (r.ptr() == Py_False) return false;
    return truth(r);
}
inline bool eq(py::handle a, py::handle b) { return compare(a, b, Py_EQ); }

// ---- attributes and items
inline py::object get_attr(py::handle o, py::handle name) { return steal(PyObject_GetAttr(o.ptr(), name.ptr())); }
inline void set_attr(py::handle o, py::handle name, py::handle value) {
    if (PyObject_SetAttr(o.ptr(), name.ptr(), value.ptr()) < 0) throw_py();
}
// o[key]; an exact dict without the key raises dict's own KeyError.
inline py::object get_item(py::handle o, py::handle key) {
    if (PyDict_CheckExact(o.ptr())) {
        if (PyObject* v = dict_get_borrowed(o.ptr(), key.ptr())) return borrow(v);
        if (PyErr_Occurred()) throw_py();
        PyObject* args = PyTuple_Pack(1, key.ptr());
        if (!args) throw_py();
        PyErr_SetObject(PyExc_KeyError, args);
        Py_DECREF(args);
        throw_py();
    }
    return steal(PyObject_GetItem(o.ptr(), key.ptr()));
}
inline void set_item(py::handle o, py::handle key, py::handle value) {
    if (PyObject_SetItem(o.ptr(), key.ptr(), value.ptr()) < 0) throw_py();
}
// `key in o`.
inline bool contains(py::handle o, py::handle key) {
    int r = PySequence_Contains(o.ptr(), key.ptr());
    if (r < 0) throw_py();
    return r == 1;
}
// o[key], or an empty object when o is a dict without the key (`key in o`
// then `o[key]` for other mappings).
inline py::object find(py::handle o, py::handle key) {
    if (PyDict_CheckExact(o.ptr())) {
        if (PyObject* v = dict_get_borrowed(o.ptr(), key.ptr())) return borrow(v);
        if (PyErr_Occurred()) throw_py();
        return py::object();
    }
    return contains(o, key) ? get_item(o, key) : py::object();
}
// d[key] of an exact dict, owned; empty when absent.
inline py::object dict_find(PyObject* d, py::handle key) {
    PyObject* v = PyDict_GetItemWithError(d, key.ptr());
    if (!v && PyErr_Occurred()) throw_py();
    return v ? borrow(v) : py::object();
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
    return get_attr(o, name);
}
// list.append(value), or the object's own append.
// o.name(*args), as the interpreter calls a method (no bound method made).
template <class... A>
py::object call_method(py::handle o, py::handle name, const A&... args) {
    PyObject* argv[] = {o.ptr(), py::handle(args).ptr()...};
    return steal(PyObject_VectorcallMethod(name.ptr(), argv, sizeof...(A) + 1, nullptr));
}

inline void append(py::handle list, py::handle value) {
    if (PyList_CheckExact(list.ptr())) {
        if (PyList_Append(list.ptr(), value.ptr()) < 0) throw_py();
    } else {
        steal(PyObject_CallMethodOneArg(list.ptr(), names::append.ptr(), value.ptr()));
    }
}

// ---- text
// format(value) as an f-string field without a spec does it.
inline py::object fmt(py::handle v) {
    PyObject* o = v.ptr();
    if (PyUnicode_CheckExact(o)) return borrow(v);
    if (PyLong_CheckExact(o) || PyFloat_CheckExact(o)) return steal(PyObject_Str(o));
    return steal(PyObject_Format(o, names::empty.ptr()));
}
// a + b + ... of str pieces (joined at once when all are str; otherwise left
// to right, with str's own TypeError for the piece that is not one).
py::object concat(std::initializer_list<py::handle> parts);

// ---- errors
// Raise `type(text)` with a str built from UTF-8.
[[noreturn]] inline void raise(PyObject* type, const std::string& text) {
    PyErr_SetString(type, text.c_str());
    throw_py();
}
[[noreturn]] inline void raise_text(PyObject* type, const py::object& text) {
    PyErr_SetObject(type, text.ptr());
    throw_py();
}
// `type(f"{prefix}{value}")`: the value as an f-string field writes it.
[[noreturn]] void raise_with_value(PyObject* type, const char* prefix, py::handle value);

// console.print(text) through the module global, looked up now (core/console.cpp).
void console_print(const py::object& text);
// Module exec, once the console's module is imported: what console_print
// needs to queue a line as the package console would.
void init_console();

}  // namespace zk

// ---- calls and small constructors
namespace zk {
// fn(*args), as the interpreter calls it.
template <class... A>
py::object call(py::handle fn, const A&... args) {
    PyObject* argv[] = {nullptr, py::handle(args).ptr()...};
    return steal(PyObject_Vectorcall(fn.ptr(), argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
// fn(*args, **{name: value, ...}) with interned keyword names (names::...).
inline py::object call_kw(py::handle fn, std::initializer_list<py::handle> args,
                          std::initializer_list<std::pair<py::handle, py::handle>> kwargs) {
    constexpr std::size_t kMax = 8;
    if (args.size() + kwargs.size() > kMax) throw std::logic_error("call_kw: too many arguments");
    PyObject* argv[kMax + 1] = {};  // argv[0] free for the callee (PY_VECTORCALL_ARGUMENTS_OFFSET)
    std::size_t i = 1;
    for (py::handle a : args) argv[i++] = a.ptr();
    py::object kwnames = steal(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
    Py_ssize_t k = 0;
    for (const auto& [name, value] : kwargs) {
        PyTuple_SET_ITEM(kwnames.ptr(), k++, Py_NewRef(name.ptr()));
        argv[i++] = value.ptr();
    }
    return steal(PyObject_Vectorcall(fn.ptr(), argv + 1, args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     kwargs.size() ? kwnames.ptr() : nullptr));
}
// o.name(*args, **{name: value, ...}).
inline py::object call_method_kw(py::handle o, py::handle name, std::initializer_list<py::handle> args,
                                 std::initializer_list<std::pair<py::handle, py::handle>> kwargs) {
    return call_kw(get_attr(o, name), args, kwargs);
}
// A new int.
inline py::object int_of(long long v) { return steal(PyLong_FromLongLong(v)); }
// An exact int or float: arithmetic on it runs no Python code.
inline bool is_exact_number(py::handle o) { return PyFloat_CheckExact(o.ptr()) || PyLong_CheckExact(o.ptr()); }
}  // namespace zk
