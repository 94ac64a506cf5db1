// The floor for add_tick: the same stored-tick dicts and datetimes, built in
// C++ with no rule at all (no gap filling, no windows, no per-code state).
// A bench-only extension, compiled by bench_add_tick.py; not part of the package.
// Datetimes come from the same cached local-time conversion add_tick uses.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <datetime.h>

#include "core/local_clock.hpp"  // the package's own timestamp conversion, so both sides pay the same

namespace {

PyObject* g_keys[8];
const char* const kNames[8] = {"dt", "market_type", "code", "close",
                               "qty", "tick_type", "is_simulate", "is_virtual"};
PyObject* g_timestamp;
PyObject* g_template;

PyObject* build(PyObject*, PyObject* ticks) {
    if (!PyList_Check(ticks)) {
        PyErr_SetString(PyExc_TypeError, "expected a list of tick dicts");
        return nullptr;
    }
    const Py_ssize_t n = PyList_GET_SIZE(ticks);
    PyObject* out = PyList_New(0);
    if (!out) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* t = PyList_GET_ITEM(ticks, i);
        PyObject* stamp = PyDict_GetItemWithError(t, g_timestamp);
        PyObject* dt = nullptr;
        std::int64_t us;
        if (stamp && zk::local_clock::local_us(stamp, us)) {
            const std::int64_t days = zk::civil::floor_div(us, 86400000000LL);
            const std::int64_t rest = us - days * 86400000000LL;
            const zk::civil::Civil c = zk::civil::civil_from_days(days);
            const long long s = rest / 1000000;
            dt = PyDateTimeAPI->DateTime_FromDateAndTime(c.y, c.m, c.d, int(s / 3600), int(s / 60 % 60),
                                                         int(s % 60), int(rest % 1000000), Py_None,
                                                         PyDateTimeAPI->DateTimeType);
        } else if (stamp) {
            PyObject* args = PyTuple_Pack(1, stamp);
            dt = args ? PyDateTime_FromTimestamp(args) : nullptr;
            Py_XDECREF(args);
        }
        PyObject* d = dt ? PyDict_Copy(g_template) : nullptr;  // str-only key table, as add_tick makes
        bool ok = d && PyDict_SetItem(d, g_keys[0], dt) == 0;
        for (int k = 1; ok && k < 7; ++k) {
            PyObject* v = PyDict_GetItemWithError(t, g_keys[k]);
            ok = v && PyDict_SetItem(d, g_keys[k], v) == 0;
        }
        ok = ok && PyDict_SetItem(d, g_keys[7], Py_False) == 0 && PyList_Append(out, d) == 0;
        Py_XDECREF(dt);
        Py_XDECREF(d);
        if (!ok) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_KeyError, "tick key");
            Py_DECREF(out);
            return nullptr;
        }
    }
    return out;
}

PyMethodDef kMethods[] = {{"build", build, METH_O, "Stored tick dicts for a list of tick dicts."},
                          {nullptr, nullptr, 0, nullptr}};
PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "tick_floor", nullptr, -1, kMethods,
                       nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_tick_floor() {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) return nullptr;
    for (int k = 0; k < 8; ++k)
        if (!(g_keys[k] = PyUnicode_InternFromString(kNames[k]))) return nullptr;
    if (!(g_timestamp = PyUnicode_InternFromString("timestamp"))) return nullptr;
    if (!(g_template = PyDict_New())) return nullptr;
    for (int k = 0; k < 8; ++k)
        if (PyDict_SetItem(g_template, g_keys[k], Py_None) < 0) return nullptr;
    return PyModule_Create(&kModule);
}
