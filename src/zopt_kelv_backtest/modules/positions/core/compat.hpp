// Every CPython internal the extension reads, in one place.
//
// Each entry says what it mirrors (the CPython source that defines it and the
// versions whose layout it follows), and its fallback. A fallback gives the same results by public calls only
// (or says "not known" so the caller takes its generic path); it is taken
// where the fast branch is not built, where a probe at module exec finds a
// layout other than the one mirrored, and everywhere when the environment
// variable ZOPT_KELV_NO_FAST_PATHS=1 is set at import (the tests run the
// suite that way too). No version has a branch of its own: 3.10 builds
// 3.11's branch and 3.12 builds 3.13's, so the interpreters CI runs (3.11,
// 3.13, 3.14) compile every branch there is. Callers hold no version tests.
#pragma once

#include "core/object.hpp"

#include <cstddef>
#include <cstdint>

namespace zk::compat {

// Module exec: read the switch, probe the layouts, set up the dict watcher.
void init();
// The names of the fast branches in use here, as a tuple of str.
py::object fast_paths();

namespace detail {
extern bool g_fast;        // false when the switch forces every fallback
extern bool g_key_tables;  // the key-table mirror was probed and holds
extern std::uint64_t g_epoch;  // dict watchers: moves on every watched change
}  // namespace detail

#if PY_VERSION_HEX < 0x030C0000
#define ZK_COMPAT_VERSION_TAGS 1
#define ZK_COMPAT_LEGACY_STR 1
#endif
#ifndef Py_GIL_DISABLED
#define ZK_COMPAT_KEY_TABLES 1
#endif

// ---- Dict change tags
// Mirrors: `ma_version_tag` of PyDictObject (Include/cpython/dictobject.h,
// CPython 3.10-3.11; PEP 509), a new value on every change of that dict.
// 3.12 on, dict watchers (the public PyDict_AddWatcher): one epoch that moves
// on every event of any dict being watched, freeing included.
// Fallback: dict_watch() gives 0, "not known", and nothing is kept.
// Use: kept = {d, dict_watch(d), value}; later the value holds while
// kept.tag != 0 && kept.dict == d && kept.tag == dict_tag(d).
inline std::uint64_t dict_tag(PyObject* d) {
#ifdef ZK_COMPAT_VERSION_TAGS
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject*>(d)->ma_version_tag;
#pragma GCC diagnostic pop
#else
    (void)d;
    return detail::g_epoch;
#endif
}
// Follow changes of `d` (an exact dict) from now on; its tag, or 0.
std::uint64_t dict_watch(PyObject* d);

// ---- Ready str
// Mirrors: PyUnicode_READY (Include/cpython/unicodeobject.h, CPython
// 3.10-3.11), where a str made through the legacy wchar_t calls must be made
// ready before its kind and data are read. 3.12 on, every str is ready and the
// call is gone.
// Fallback: none needed; both branches are public calls. -1 with an exception
// when the str cannot be made ready.
inline int str_ready(PyObject* s) {
#ifdef ZK_COMPAT_LEGACY_STR
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return PyUnicode_READY(s);
#pragma GCC diagnostic pop
#else
    (void)s;
    return 0;
#endif
}

// ---- Key tables of compact str-keyed dicts
// Mirrors: the head of `struct _dictkeysobject` and PyDictUnicodeEntry
// (Include/internal/pycore_dict.h, CPython 3.11-3.14, builds with the GIL;
// `ma_keys`/`ma_values` of PyDictObject, Include/cpython/dictobject.h). 3.10
// builds the same branch; its key table (Objects/dict-common.h) is another
// layout, which the probe at module exec detects, so it takes the fallback.
// Fallback: null, and callers use the PyDict_* calls.
struct StrEntry {
    PyObject* key;  // null for a deleted entry
    PyObject* value;
};
// The entries of a combined str-keyed table of an exact dict holding at most
// `max` entries (deleted ones counted), their number in `n`; or null.
#ifdef ZK_COMPAT_KEY_TABLES
namespace detail {
struct KeysHead {
    Py_ssize_t dk_refcnt;
    std::uint8_t dk_log2_size;
    std::uint8_t dk_log2_index_bytes;
    std::uint8_t dk_kind;
    std::uint32_t dk_version;
    Py_ssize_t dk_usable;
    Py_ssize_t dk_nentries;
};
constexpr std::uint8_t kStrKeys = 1;  // DICT_KEYS_UNICODE
}  // namespace detail
#endif
inline StrEntry* str_entries_borrowed(PyObject* d, Py_ssize_t max, Py_ssize_t& n) {
#ifdef ZK_COMPAT_KEY_TABLES
    if (!detail::g_key_tables) return nullptr;
    auto* mp = reinterpret_cast<PyDictObject*>(d);
    if (mp->ma_values) return nullptr;
    auto* head = reinterpret_cast<detail::KeysHead*>(mp->ma_keys);
    if (head->dk_kind != detail::kStrKeys || head->dk_nentries > max || head->dk_log2_index_bytes > 8)
        return nullptr;
    n = head->dk_nentries;
    char* indices = reinterpret_cast<char*>(head + 1);
    return reinterpret_cast<StrEntry*>(indices + (std::size_t{1} << head->dk_log2_index_bytes));
#else
    (void)d, (void)max, (void)n;
    return nullptr;
#endif
}
// Ask for the key table of an exact dict ahead of use: a hint only, from
// `ma_keys` of PyDictObject (Include/cpython/dictobject.h, CPython 3.10-3.14).
// Fallback: no hint.
[[gnu::always_inline]] inline void prefetch_key_table(PyObject* d) {
    if (!detail::g_fast || !PyDict_CheckExact(d)) return;
    const char* keys = reinterpret_cast<const char*>(reinterpret_cast<PyDictObject*>(d)->ma_keys);
    for (int line = 0; line < 4; ++line) __builtin_prefetch(keys + 64 * line);
}

// ---- Lookups along a type's method resolution order
// Mirrors: _PyType_Lookup (Include/cpython/object.h, CPython 3.10-3.14), the
// interpreter's cached lookup of a name on a type and its bases (borrowed, no
// Python code).
// Fallback: `known` is false, and callers read the attribute by
// PyObject_GetAttr.
inline PyObject* type_lookup_borrowed(PyTypeObject* tp, PyObject* name, bool& known) {
    known = detail::g_fast;
    return known ? _PyType_Lookup(tp, name) : nullptr;
}
// True when the type and its bases are known to define nothing under `name`.
inline bool type_lacks(PyTypeObject* tp, PyObject* name) {
    bool known = false;
    return !type_lookup_borrowed(tp, name, known) && known;
}
// Mirrors: _PyObject_GetDictPtr (Include/cpython/object.h, CPython
// 3.10-3.14), the instance dict slot (made on first use for a managed dict).
// Fallback: null, and callers read the attribute by PyObject_GetAttr.
inline PyObject** instance_dict(PyObject* o) { return detail::g_fast ? _PyObject_GetDictPtr(o) : nullptr; }

// ---- Small ints
// Mirrors: `ob_digit` of struct _longobject (Include/longintrepr.h in CPython
// 3.10, Include/cpython/longintrepr.h in 3.11), the sign and count in
// ob_size; 3.12 on, PyUnstable_Long_IsCompact / _CompactValue
// (Include/cpython/longobject.h, 3.12-3.14).
// Fallback: false, and callers convert by PyLong_AsLongLongAndOverflow.
[[gnu::always_inline]] inline bool compact_int(PyObject* o, long long& v) {
    if (!detail::g_fast) return false;
#if PY_VERSION_HEX >= 0x030C0000
    auto* l = reinterpret_cast<PyLongObject*>(o);
    if (!PyUnstable_Long_IsCompact(l)) return false;
    v = PyUnstable_Long_CompactValue(l);
    return true;
#else
    const Py_ssize_t size = Py_SIZE(o);
    if (size < -1 || size > 1) return false;
    v = size == 0 ? 0 : size * static_cast<long long>(reinterpret_cast<PyLongObject*>(o)->ob_digit[0]);
    return true;
#endif
}

// ---- Class attributes of a static type
// Mirrors: `tp_dict` of PyTypeObject (Include/cpython/object.h, CPython
// 3.10-3.14) for a static type of this extension (not a builtin, whose dict
// 3.12 on lives elsewhere). Such a type is immutable, so setattr refuses; its
// dict is written once, after PyType_Ready, and PyType_Modified then drops
// any cached lookup.
// Fallback: none needed; the field is the documented place for these.
void set_static_type_attr(PyTypeObject* tp, const char* name, const py::object& value);

}  // namespace zk::compat
