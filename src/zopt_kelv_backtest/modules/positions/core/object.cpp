// Bodies of the object helpers of core/object.hpp that are not inline.
#include "core/object.hpp"

#include <array>
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


// ---- dict shapes
// Dicts of a fixed key order made many times over (records, rows, query
// results): a copy of a shape dict, its values then put in place.
//
// A copy of a compact dict with only str keys clones the key table byte for
// byte, entries in insertion order. Where that table can be read (see
// compat.hpp), the values of a fresh copy are written into its entries
// directly instead of by one hash lookup per key; the dict is new and not
// seen by anyone yet. Anywhere else each value goes in by PyDict_SetItem.

PyObject* dict_shape(const char* const* keys, size_t count) {
    py::object d = steal(PyDict_New());
    for (size_t i = 0; i < count; ++i)
        if (PyDict_SetItem(d.ptr(), steal(PyUnicode_InternFromString(keys[i])).ptr(), Py_None) < 0) throw_py();
    return d.release().ptr();
}

namespace {
RecordShape* g_records = nullptr;  // constant-initialized, so set before any record registers
}  // namespace

RecordShape::RecordShape(const char* const* names_, size_t count_, PyObject** keys_)
    : names(names_), count(count_), keys(keys_), next(g_records) {
    g_records = this;
}

void make_records() {
    for (RecordShape* r = g_records; r; r = r->next) {
        if (r->shape) continue;
        for (size_t i = 0; i < r->count; ++i)
            if (!(r->keys[i] = PyUnicode_InternFromString(r->names[i]))) throw_py();
        r->shape = dict_shape(r->names, r->count);
    }
}

namespace {
// A copy of `shape` with values[i] put at entry slot(i), for i < count.
template <class Slot>
py::object fill_copy(PyObject* shape, Slot slot, const py::handle* values, size_t count) {
    py::object d = steal(PyDict_Copy(shape));
    const Py_ssize_t n = PyDict_GET_SIZE(shape);
    Py_ssize_t entries = 0;
    compat::StrEntry* e = compat::str_entries_borrowed(d.ptr(), n, entries);
    if (e && entries == n && PyDict_GET_SIZE(d.ptr()) == n) {
        bool container = false;
        for (size_t i = 0; i < count; ++i) {
            compat::StrEntry& at = e[slot(i)];
            PyObject* old = at.value;
            at.value = Py_NewRef(values[i].ptr());
            Py_DECREF(old);
            container = container || PyType_IS_GC(Py_TYPE(values[i].ptr()));
        }
        // The collector must see a dict that may hold containers.
        if (container && !PyObject_GC_IsTracked(d.ptr())) PyObject_GC_Track(d.ptr());
        return d;
    }
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    // Replacing the values of present keys keeps the key table as it is.
    for (size_t i = 0, at = 0; i < count; ++at) {
        if (!PyDict_Next(d.ptr(), &pos, &k, &v)) throw_py();
        if (at != slot(i)) continue;
        if (PyDict_SetItem(d.ptr(), k, values[i].ptr()) < 0) throw_py();
        ++i;
    }
    if (PyDict_GET_SIZE(d.ptr()) != n) throw std::logic_error("dict_of_shape: value count");
    return d;
}
}  // namespace

py::object dict_of_shape(PyObject* shape, const py::handle* values, size_t count) {
    if (static_cast<Py_ssize_t>(count) != PyDict_GET_SIZE(shape)) throw std::logic_error("dict_of_shape: value count");
    return fill_copy(shape, [](size_t i) { return i; }, values, count);
}

py::object dict_fill(PyObject* shape, const unsigned char* slots, const py::handle* values, size_t count) {
    return fill_copy(shape, [slots](size_t i) { return size_t{slots[i]}; }, values, count);
}

py::object shape_with(PyObject* shape, const py::handle* fixed, size_t count) {
    if (count > 16 || static_cast<Py_ssize_t>(count) != PyDict_GET_SIZE(shape))
        throw std::logic_error("shape_with: value count");
    std::array<py::handle, 16> values;
    for (size_t i = 0; i < count; ++i) values[i] = fixed[i] ? fixed[i] : py::handle(Py_None);
    return dict_of_shape(shape, values.data(), count);
}

// In a small str-keyed table the entry holding this very key object is the
// one a lookup finds (keys are unique), found without hashing.
PyObject* dict_get_borrowed(PyObject* d, PyObject* key) {
    Py_ssize_t n = 0;
    if (compat::StrEntry* e = compat::str_entries_borrowed(d, 16, n))
        for (Py_ssize_t i = 0; i < n; ++i)
            if (e[i].key == key && e[i].value) return e[i].value;
    return PyDict_GetItemWithError(d, key);
}

const DictEntry* small_dict_entries_borrowed(PyObject* d, Py_ssize_t& n) {
    static_assert(sizeof(DictEntry) == sizeof(compat::StrEntry));
    n = 0;
    return reinterpret_cast<const DictEntry*>(compat::str_entries_borrowed(d, 16, n));
}

}  // namespace zk
