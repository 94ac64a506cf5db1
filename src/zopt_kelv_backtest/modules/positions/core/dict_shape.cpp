// Dicts of a fixed key order made many times over (records, rows, query
// results): a copy of a shape dict, its values then put in place.
//
// A copy of a compact dict with only str keys clones the key table byte for
// byte, entries in insertion order. Where that table can be read (see
// compat.hpp), the values of a fresh copy are written into its entries
// directly instead of by one hash lookup per key; the dict is new and not
// seen by anyone yet. Anywhere else each value goes in by PyDict_SetItem.
#include "core/object.hpp"
#include "core/compat.hpp"

#include <array>
#include <cstdint>

namespace zk {

PyObject* dict_shape(const char* const* keys, size_t count) {
    PyObject* d = PyDict_New();
    if (!d) throw_py();
    for (size_t i = 0; i < count; ++i) {
        PyObject* key = PyUnicode_InternFromString(keys[i]);
        if (!key || PyDict_SetItem(d, key, Py_None) < 0) throw_py();
        Py_DECREF(key);
    }
    return d;
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
