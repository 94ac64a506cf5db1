// Dicts of a fixed key order made many times over (records, rows, query
// results): a copy of a shape dict, its values then put in place.
//
// On 3.11 and 3.12 a copy of a compact dict with only str keys clones the
// key table byte for byte, with the entries (key, value) in insertion order
// right after the index table. When a probe shape shows exactly that layout,
// the values of a fresh copy are written into its entries directly instead of
// by one hash lookup per key; the dict is new and not seen by anyone yet.
// Anywhere else, or if the probe disagrees, each value goes in by
// PyDict_SetItem.
#include <array>
#include <cstdint>

#include "common.hpp"

namespace zk {
namespace {

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030D0000
#define ZK_DIRECT_FILL 1
// The head of a key table (PyDictKeysObject) on these versions.
struct KeysHead {
    Py_ssize_t dk_refcnt;
    std::uint8_t dk_log2_size;
    std::uint8_t dk_log2_index_bytes;
    std::uint8_t dk_kind;
    std::uint32_t dk_version;
    Py_ssize_t dk_usable;
    Py_ssize_t dk_nentries;
};
struct StrEntry {
    PyObject* key;
    PyObject* value;
};
constexpr std::uint8_t kStrKeys = 1;  // DICT_KEYS_UNICODE

// The entries of a combined str-keys table holding n entries, or null.
StrEntry* str_entries(PyObject* d, Py_ssize_t n) {
    auto* mp = reinterpret_cast<PyDictObject*>(d);
    if (mp->ma_values || mp->ma_used != n) return nullptr;
    auto* head = reinterpret_cast<KeysHead*>(mp->ma_keys);
    if (head->dk_kind != kStrKeys || head->dk_nentries != n || head->dk_log2_index_bytes > 8) return nullptr;
    char* indices = reinterpret_cast<char*>(head + 1);
    return reinterpret_cast<StrEntry*>(indices + (std::size_t{1} << head->dk_log2_index_bytes));
}

// Does a copy of a probe shape have the layout assumed above? Only pointer
// values are compared, nothing read through them.
bool layout_holds() {
    PyObject* keys[3] = {PyUnicode_InternFromString("zk_a"), PyUnicode_InternFromString("zk_b"),
                         PyUnicode_InternFromString("zk_c")};
    PyObject* shape = PyDict_New();
    bool ok = shape && keys[0] && keys[1] && keys[2];
    for (int i = 0; ok && i < 3; ++i) ok = PyDict_SetItem(shape, keys[i], Py_None) == 0;
    PyObject* copy = ok ? PyDict_Copy(shape) : nullptr;
    ok = copy && PyDict_GET_SIZE(copy) == 3;
    StrEntry* e = ok ? str_entries(copy, 3) : nullptr;
    ok = e && reinterpret_cast<PyDictObject*>(copy)->ma_keys != reinterpret_cast<PyDictObject*>(shape)->ma_keys;
    for (int i = 0; ok && i < 3; ++i) ok = e[i].key == keys[i] && e[i].value == Py_None;
    Py_XDECREF(copy);
    Py_XDECREF(shape);
    for (PyObject* k : keys) Py_XDECREF(k);
    PyErr_Clear();
    return ok;
}

bool layout_ok() {
    static const bool ok = layout_holds();
    return ok;
}
#endif

}  // namespace

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
// A copy of `shape` with values[i] put at entry slot(i), for i < count.
template <class Slot>
py::object fill_copy(PyObject* shape, Slot slot, const py::handle* values, size_t count) {
    py::object d = steal(PyDict_Copy(shape));
    const Py_ssize_t n = PyDict_GET_SIZE(shape);
#ifdef ZK_DIRECT_FILL
    if (StrEntry* e = layout_ok() ? str_entries(d.ptr(), n) : nullptr) {
        bool container = false;
        for (size_t i = 0; i < count; ++i) {
            StrEntry& at = e[slot(i)];
            PyObject* old = at.value;
            at.value = Py_NewRef(values[i].ptr());
            Py_DECREF(old);
            container = container || PyType_IS_GC(Py_TYPE(values[i].ptr()));
        }
        // The collector must see a dict that may hold containers.
        if (container && !PyObject_GC_IsTracked(d.ptr())) PyObject_GC_Track(d.ptr());
        return d;
    }
#endif
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

#ifdef ZK_DIRECT_FILL
namespace {
// The entries of a small combined str-keyed table (deleted ones have no key), or null.
StrEntry* small_entries(PyObject* d, Py_ssize_t& n) {
    auto* mp = reinterpret_cast<PyDictObject*>(d);
    if (mp->ma_values || !layout_ok()) return nullptr;
    auto* head = reinterpret_cast<KeysHead*>(mp->ma_keys);
    if (head->dk_kind != kStrKeys || head->dk_nentries > 16 || head->dk_log2_index_bytes > 8) return nullptr;
    n = head->dk_nentries;
    char* indices = reinterpret_cast<char*>(head + 1);
    return reinterpret_cast<StrEntry*>(indices + (std::size_t{1} << head->dk_log2_index_bytes));
}
}  // namespace
#endif

// In a small str-keyed table the entry holding this very key object is the
// one a lookup finds (keys are unique), found without hashing.
PyObject* dict_get(PyObject* d, PyObject* key) {
#ifdef ZK_DIRECT_FILL
    Py_ssize_t n = 0;
    if (StrEntry* e = small_entries(d, n))
        for (Py_ssize_t i = 0; i < n; ++i)
            if (e[i].key == key && e[i].value) return e[i].value;
#endif
    return PyDict_GetItemWithError(d, key);
}

const DictEntry* small_dict_entries(PyObject* d, Py_ssize_t& n) {
#ifdef ZK_DIRECT_FILL
    static_assert(sizeof(DictEntry) == sizeof(StrEntry));
    return reinterpret_cast<const DictEntry*>(small_entries(d, n));
#else
    (void)d;
    n = 0;
    return nullptr;
#endif
}

}  // namespace zk
