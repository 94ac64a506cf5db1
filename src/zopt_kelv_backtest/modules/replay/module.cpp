// The native replay: the loop of a back-test run (Engine) and the closed-bar
// arrays a strategy may take instead of frames (Bars). Driven by
// zopt_kelv_backtest.backtest.replay; not a public entry point of its own.
#include "engine.hpp"
#include "series.hpp"

namespace {

int module_exec(PyObject* module) { return zkr::add_series_types(module) && zkr::add_engine_type(module) ? 0 : -1; }

PyModuleDef_Slot g_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(module_exec)}, {0, nullptr}};

PyModuleDef g_def = {PyModuleDef_HEAD_INIT,
                     "replay",
                     "The native replay loop and closed-bar arrays; driven by zopt_kelv_backtest.backtest.",
                     0,
                     nullptr,
                     g_slots,
                     nullptr,
                     nullptr,
                     nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_replay() { return PyModuleDef_Init(&g_def); }
