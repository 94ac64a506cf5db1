// The indicators extension: SMA, EMA, RSI, ATR, Bollinger, MACD, CrossOver.
// Public path: zopt_kelv_backtest.indicators, which re-exports these classes.
#include "object.hpp"
#include "types.hpp"

namespace {

int module_exec(PyObject* module) { return zki::add_types(module) ? 0 : -1; }

PyModuleDef_Slot g_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(module_exec)}, {0, nullptr}};

PyModuleDef g_def = {PyModuleDef_HEAD_INIT,
                     "indicators",
                     "Technical indicators with O(1) updates; see zopt_kelv_backtest.indicators.",
                     0,
                     nullptr,
                     g_slots,
                     nullptr,
                     nullptr,
                     nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_indicators() { return PyModuleDef_Init(&g_def); }
