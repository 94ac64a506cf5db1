#include "core/compat.hpp"

#include <cstdlib>
#include <cstring>

namespace zk::compat {

namespace detail {
bool g_fast = true;
bool g_key_tables = false;
std::uint64_t g_epoch = 1;
}  // namespace detail

namespace {

#ifndef ZK_COMPAT_VERSION_TAGS
int g_watcher = -1;

int on_dict_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++detail::g_epoch;
    return 0;
}
#endif

#ifdef ZK_COMPAT_KEY_TABLES
// Does a copy of a probe dict have the layout mirrored: a fresh table of
// eight slots (one index byte each), str kind, its entries in insertion order
// right after the index table? Only the head's bytes and pointer values are
// compared; a table of another layout fails on the head before any entry is read.
bool key_tables_hold() {
    PyObject* keys[3] = {PyUnicode_InternFromString("zk_a"), PyUnicode_InternFromString("zk_b"),
                         PyUnicode_InternFromString("zk_c")};
    PyObject* shape = PyDict_New();
    bool ok = shape && keys[0] && keys[1] && keys[2];
    for (int i = 0; ok && i < 3; ++i) ok = PyDict_SetItem(shape, keys[i], Py_None) == 0;
    PyObject* copy = ok ? PyDict_Copy(shape) : nullptr;
    ok = copy && PyDict_GET_SIZE(copy) == 3;
    if (ok) {
        auto* mp = reinterpret_cast<PyDictObject*>(copy);
        auto* head = reinterpret_cast<detail::KeysHead*>(mp->ma_keys);
        ok = !mp->ma_values && mp->ma_keys != reinterpret_cast<PyDictObject*>(shape)->ma_keys &&
             head->dk_log2_size == 3 && head->dk_log2_index_bytes == 3 && head->dk_kind == detail::kStrKeys &&
             head->dk_nentries == 3;
    }
    if (ok) {
        auto* e = reinterpret_cast<StrEntry*>(reinterpret_cast<char*>(
                      reinterpret_cast<detail::KeysHead*>(reinterpret_cast<PyDictObject*>(copy)->ma_keys) + 1) +
                  8);
        for (int i = 0; ok && i < 3; ++i) ok = e[i].key == keys[i] && e[i].value == Py_None;
    }
    Py_XDECREF(copy);
    Py_XDECREF(shape);
    for (PyObject* k : keys) Py_XDECREF(k);
    PyErr_Clear();
    return ok;
}
#endif

}  // namespace

void init() {
    const char* off = std::getenv("ZOPT_KELV_NO_FAST_PATHS");
    if (off && *off && std::strcmp(off, "0") != 0) {
        if (std::strcmp(off, "1") != 0)
            raise(PyExc_ImportError, "ZOPT_KELV_NO_FAST_PATHS must be 0 or 1, not '" + std::string(off) + "'");
        detail::g_fast = false;
    }
#ifdef ZK_COMPAT_KEY_TABLES
    detail::g_key_tables = detail::g_fast && key_tables_hold();
#endif
#ifndef ZK_COMPAT_VERSION_TAGS
    if (detail::g_fast && g_watcher < 0) {
        g_watcher = PyDict_AddWatcher(on_dict_event);
        if (g_watcher < 0) PyErr_Clear();  // all taken: nothing is kept
    }
#endif
}

py::object fast_paths() {
    py::list names;
    if (!detail::g_fast) return py::tuple(names);
#ifdef ZK_COMPAT_VERSION_TAGS
    names.append("dict_version_tags");
#else
    if (g_watcher >= 0) names.append("dict_watcher");
#endif
    if (detail::g_key_tables) names.append("dict_key_tables");
    names.append("type_lookup");
    names.append("instance_dict");
    names.append("compact_int");
    return py::tuple(names);
}

void set_static_type_attr(PyTypeObject* tp, const char* name, const py::object& value) {
    if (PyDict_SetItemString(tp->tp_dict, name, value.ptr()) < 0) throw_py();
    PyType_Modified(tp);
}

std::uint64_t dict_watch(PyObject* d) {
    if (!detail::g_fast || !PyDict_CheckExact(d)) return 0;
#ifdef ZK_COMPAT_VERSION_TAGS
    return dict_tag(d);
#else
    if (g_watcher < 0 || PyDict_Watch(g_watcher, d) < 0) {
        PyErr_Clear();
        return 0;
    }
    return detail::g_epoch;
#endif
}

}  // namespace zk::compat
