// Bodies of the object helpers of core/object.hpp that are not inline.
#include "core/object.hpp"

#include <cstdint>

#include "core/compat.hpp"

namespace zk {

namespace {
ExecCache* g_exec_caches = nullptr;
}  // namespace

ExecCache::ExecCache(const char* what_, Maker make_) : what(what_), make(make_), next(g_exec_caches) {
    g_exec_caches = this;
}

void raise_import_failure(const char* what) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_Format(PyExc_ImportError, "cannot make %s at import", what);
    if (value) {
        PyObject *t2, *v2, *tb2;
        PyErr_Fetch(&t2, &v2, &tb2);
        PyErr_NormalizeException(&t2, &v2, &tb2);
        PyErr_NormalizeException(&type, &value, &tb);
        PyException_SetCause(v2, value);  // steals value
        value = nullptr;
        PyErr_Restore(t2, v2, tb2);
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    throw_py();
}

void make_exec_caches() {
    for (ExecCache* c = g_exec_caches; c; c = c->next)
        if (!c->value && !(c->value = c->make())) raise_import_failure(c->what);
}

namespace {
PyObject* g_module_dict = nullptr;  // the module's namespace, alive for the process
}  // namespace

void set_module_dict(PyObject* ns) { g_module_dict = ns; }
PyObject* module_dict_borrowed() { return g_module_dict; }

void raise_with_value(PyObject* type, const char* prefix, py::handle value) {
    py::object head = steal(PyUnicode_FromString(prefix));
    raise_text(type, concat({head, fmt(value)}));
}

py::object concat(std::initializer_list<py::handle> parts) {
    bool all_str = true;
    for (py::handle p : parts) all_str = all_str && PyUnicode_Check(p.ptr());
    if (!all_str) {
        py::object out = borrow(names::empty);
        for (py::handle p : parts) out = steal(PyUnicode_Concat(out.ptr(), p.ptr()));
        return out;
    }
    py::object list = steal(PyList_New(static_cast<Py_ssize_t>(parts.size())));
    Py_ssize_t i = 0;
    for (py::handle p : parts) PyList_SET_ITEM(list.ptr(), i++, Py_NewRef(p.ptr()));
    return steal(PyUnicode_Join(names::empty.ptr(), list.ptr()));
}

namespace {
struct GlobalSlot {
    PyObject* key = nullptr;
    PyObject* module = nullptr;  // the namespace the lookup went to first
    std::uint64_t module_tag = 0;
    PyObject* builtins = nullptr;  // null when found in the module namespace
    std::uint64_t builtins_tag = 0;
    PyObject* value = nullptr;
};
GlobalSlot g_global_slots[16];
unsigned g_next_slot = 0;
}  // namespace

// A lookup made while both namespaces keep their change tags holds: the
// value is still the one they give, and they keep it alive.
PyObject* global_borrowed(py::handle key) {
    PyObject* mod = module_dict_borrowed();
    GlobalSlot* slot = nullptr;
    for (GlobalSlot& s : g_global_slots)
        if (s.key == key.ptr()) {
            slot = &s;
            break;
        }
    if (slot && mod && slot->module_tag && slot->module == mod && slot->module_tag == compat::dict_tag(mod) &&
        (!slot->builtins || (slot->builtins == PyEval_GetBuiltins() && slot->builtins_tag &&
                             slot->builtins_tag == compat::dict_tag(slot->builtins))))
        return slot->value;
    const std::uint64_t module_tag = mod ? compat::dict_watch(mod) : 0;
    PyObject* builtins = nullptr;
    std::uint64_t builtins_tag = 0;
    PyObject* v = mod ? PyDict_GetItemWithError(mod, key.ptr()) : nullptr;
    if (!v && !PyErr_Occurred()) {
        builtins = PyEval_GetBuiltins();
        builtins_tag = compat::dict_watch(builtins);
        v = PyDict_GetItemWithError(builtins, key.ptr());
    }
    if (!v && PyErr_Occurred()) throw_py();
    // Kept only when no change came during the lookups themselves.
    if (v && module_tag && module_tag == compat::dict_tag(mod) &&
        (!builtins || (builtins_tag && builtins_tag == compat::dict_tag(builtins)))) {
        if (!slot) {
            // The slot holds its key, so no other key can come to its address.
            slot = &g_global_slots[g_next_slot++ % 16];
            Py_XSETREF(slot->key, Py_NewRef(key.ptr()));
        }
        *slot = {slot->key, mod, module_tag, builtins, builtins_tag, v};
    }
    return v;
}

PyObject* dict_get_kept_borrowed(PyObject* d, PyObject* key, KeptLookup& kept) {
    if (kept.tag && kept.dict == d && kept.tag == compat::dict_tag(d)) return kept.value;
    const std::uint64_t tag = compat::dict_watch(d);
    PyObject* v = PyDict_GetItemWithError(d, key);
    if (!v && PyErr_Occurred()) throw_py();
    if (v && tag && tag == compat::dict_tag(d)) kept = {d, tag, v};
    return v;
}

py::object global(py::handle key) {
    if (PyObject* v = global_borrowed(key)) return py::reinterpret_borrow<py::object>(v);
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", key.ptr());
    throw_py();
}

}  // namespace zk
