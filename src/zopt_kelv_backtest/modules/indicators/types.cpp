// The Python classes: one template gives each kernel its constructor, `update`
// (METH_FASTCALL, the hot path), `compute`, `reset`, `value` and parameters;
// a traits struct per indicator holds what differs (names, parameters, docs).
#include "types.hpp"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include "convert.hpp"
#include "kernels.hpp"

namespace zki {
namespace {

// ---- parameters ------------------------------------------------------------

enum class ParamKind { Count, Scale };  // an int >= 1; a finite float >= 0

struct ParamDef {
  const char* name;
  ParamKind kind;
  std::size_t offset;  // in the kernel's Params
  bool has_default;
  double default_value;
};

bool read_param(PyObject* obj, const ParamDef& def, const char* cls, void* params) {
  char* field = static_cast<char*>(params) + def.offset;
  if (def.kind == ParamKind::Scale) {
    double v;
    if (PyBool_Check(obj) || !(PyFloat_Check(obj) || PyLong_Check(obj) ||
                               PyType_GetSlot(Py_TYPE(obj), Py_nb_float))) {
      PyErr_Format(PyExc_TypeError, "%s(): %s must be a real number, not %.200s", cls, def.name,
                   Py_TYPE(obj)->tp_name);
      return false;
    }
    v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) return false;
    if (!std::isfinite(v) || v < 0.0) {
      PyErr_Format(PyExc_ValueError, "%s(): %s must be finite and >= 0, got %R", cls, def.name, obj);
      return false;
    }
    std::memcpy(field, &v, sizeof v);
    return true;
  }
  if (PyBool_Check(obj) || PyFloat_Check(obj) || !PyType_GetSlot(Py_TYPE(obj), Py_nb_index)) {
    PyErr_Format(PyExc_TypeError, "%s(): %s must be an int, not %.200s", cls, def.name, Py_TYPE(obj)->tp_name);
    return false;
  }
  Ref index(PyNumber_Index(obj));
  if (!index) return false;
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && v < 1)) {
    PyErr_Format(PyExc_ValueError, "%s(): %s must be at least 1, got %S", cls, def.name, index.get());
    return false;
  }
  if (overflow > 0 || static_cast<unsigned long long>(v) > (1ULL << 40)) {
    PyErr_Format(PyExc_ValueError, "%s(): %s is too large: %S", cls, def.name, index.get());
    return false;
  }
  const std::size_t n = static_cast<std::size_t>(v);
  std::memcpy(field, &n, sizeof n);
  return true;
}

// Binds positional and keyword arguments to the parameter table, like a
// Python signature with defaults.
bool parse_params(PyObject* args, PyObject* kwargs, const ParamDef* defs, int count, const char* cls,
                  void* params) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > count) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %d argument%s (%zd given)", cls, count,
                 count == 1 ? "" : "s", nargs);
    return false;
  }
  Py_ssize_t used_kwargs = 0;
  for (int i = 0; i < count; ++i) {
    const ParamDef& def = defs[i];
    PyObject* value = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
    Ref keyword;
    if (kwargs) {
      PyObject* found = PyDict_GetItemString(kwargs, def.name);  // borrowed; held until read below
      if (found) {
        if (value) {
          PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", cls, def.name);
          return false;
        }
        Py_INCREF(found);
        keyword = Ref(found);
        value = found;
        ++used_kwargs;
      }
    }
    if (value) {
      if (!read_param(value, def, cls, params)) return false;
    } else if (def.has_default) {
      char* field = static_cast<char*>(params) + def.offset;
      if (def.kind == ParamKind::Scale) {
        std::memcpy(field, &def.default_value, sizeof(double));
      } else {
        const std::size_t n = static_cast<std::size_t>(def.default_value);
        std::memcpy(field, &n, sizeof n);
      }
    } else {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", cls, def.name);
      return false;
    }
  }
  if (kwargs && PyDict_GET_SIZE(kwargs) > used_kwargs) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      bool known = false;
      for (int i = 0; i < count && !known; ++i) {
        known = PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, defs[i].name) == 0;
      }
      if (!known) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument %R", cls, key);
        return false;
      }
    }
  }
  return true;
}

// ---- the indicators' differences ---------------------------------------------

PyObject* box_float(const double* out) { return PyFloat_FromDouble(out[0]); }
PyObject* box_int(const double* out) { return PyLong_FromLong(static_cast<long>(out[0])); }
PyObject* box_triple(const double* out) {
  Ref a(PyFloat_FromDouble(out[0])), b(PyFloat_FromDouble(out[1])), c(PyFloat_FromDouble(out[2]));
  if (!a || !b || !c) return nullptr;
  return PyTuple_Pack(3, a.get(), b.get(), c.get());
}

constexpr ParamDef kN{"n", ParamKind::Count, 0, false, 0.0};
constexpr ParamDef kN14{"n", ParamKind::Count, 0, true, 14.0};

struct Sma {
  using Kernel = SmaKernel;
  static constexpr const char* name = "SMA";
  static constexpr ParamDef params[] = {kN};
  static constexpr const char* args[] = {"x"};
  static constexpr double missing = kNaN;
  static constexpr auto box = box_float;
  static constexpr const char* doc =
      "SMA(n)\n--\n\n"
      "Simple moving average: the mean of the last n values, NaN before the n-th.";
  static constexpr const char* update_doc =
      "update($self, x, /)\n--\n\n"
      "Add one value and return the current average (NaN until n values).";
  static constexpr const char* compute_doc =
      "compute($self, x, /)\n--\n\n"
      "The whole series as repeated updates from a fresh state would give it, as a\n"
      "float64 array; the instance's own state is neither read nor changed.";
};

struct Ema {
  using Kernel = EmaKernel;
  static constexpr const char* name = "EMA";
  static constexpr ParamDef params[] = {kN};
  static constexpr const char* args[] = {"x"};
  static constexpr double missing = kNaN;
  static constexpr auto box = box_float;
  static constexpr const char* doc =
      "EMA(n)\n--\n\n"
      "Exponential moving average, alpha = 2/(n+1): the mean of the first n values,\n"
      "then ema += alpha * (x - ema).";
  static constexpr const char* update_doc =
      "update($self, x, /)\n--\n\n"
      "Add one value and return the current average (NaN until n values).";
  static constexpr const char* compute_doc = Sma::compute_doc;
};

struct Rsi {
  using Kernel = RsiKernel;
  static constexpr const char* name = "RSI";
  static constexpr ParamDef params[] = {kN14};
  static constexpr const char* args[] = {"x"};
  static constexpr double missing = kNaN;
  static constexpr auto box = box_float;
  static constexpr const char* doc =
      "RSI(n=14)\n--\n\n"
      "Wilder's relative strength index, 0 to 100. Gains and losses of consecutive\n"
      "values are averaged: the mean of the first n, then avg += (v - avg) / n.\n"
      "RSI = 100 - 100 / (1 + avg_gain / avg_loss); 100 when avg_loss is 0, 50 when\n"
      "both are 0. The first value comes with the (n+1)-th input.";
  static constexpr const char* update_doc =
      "update($self, x, /)\n--\n\n"
      "Add one value and return the current RSI (NaN until n+1 values).";
  static constexpr const char* compute_doc = Sma::compute_doc;
};

struct Atr {
  using Kernel = AtrKernel;
  static constexpr const char* name = "ATR";
  static constexpr ParamDef params[] = {kN14};
  static constexpr const char* args[] = {"high", "low", "close"};
  static constexpr double missing = kNaN;
  static constexpr auto box = box_float;
  static constexpr const char* doc =
      "ATR(n=14)\n--\n\n"
      "Wilder's average true range. True range = max(high - low, |high - prev_close|,\n"
      "|low - prev_close|), high - low for the first bar; averaged as the mean of the\n"
      "first n, then atr += (tr - atr) / n.";
  static constexpr const char* update_doc =
      "update($self, high, low, close, /)\n--\n\n"
      "Add one bar and return the current ATR (NaN until n bars).";
  static constexpr const char* compute_doc =
      "compute($self, high, low, close, /)\n--\n\n"
      "The whole series as repeated updates from a fresh state would give it, as a\n"
      "float64 array; the instance's own state is neither read nor changed.";
};

struct Bollinger {
  using Kernel = BollingerKernel;
  static constexpr const char* name = "Bollinger";
  static constexpr ParamDef params[] = {{"n", ParamKind::Count, offsetof(Kernel::Params, n), true, 20.0},
                                        {"k", ParamKind::Scale, offsetof(Kernel::Params, k), true, 2.0}};
  static constexpr const char* args[] = {"x"};
  static constexpr double missing = kNaN;
  static constexpr auto box = box_triple;
  static constexpr const char* doc =
      "Bollinger(n=20, k=2.0)\n--\n\n"
      "Bollinger bands (lower, middle, upper): middle = the mean of the last n values,\n"
      "lower/upper = middle -/+ k * their population standard deviation.";
  static constexpr const char* update_doc =
      "update($self, x, /)\n--\n\n"
      "Add one value and return (lower, middle, upper) (NaNs until n values).";
  static constexpr const char* compute_doc =
      "compute($self, x, /)\n--\n\n"
      "The arrays (lower, middle, upper) as repeated updates from a fresh state would\n"
      "give them; the instance's own state is neither read nor changed.";
};

struct Macd {
  using Kernel = MacdKernel;
  static constexpr const char* name = "MACD";
  static constexpr ParamDef params[] = {
      {"fast", ParamKind::Count, offsetof(Kernel::Params, fast), true, 12.0},
      {"slow", ParamKind::Count, offsetof(Kernel::Params, slow), true, 26.0},
      {"signal", ParamKind::Count, offsetof(Kernel::Params, signal), true, 9.0}};
  static constexpr const char* args[] = {"x"};
  static constexpr double missing = kNaN;
  static constexpr auto box = box_triple;
  static const char* invalid_params(const Kernel::Params& p) {
    return p.fast < p.slow ? nullptr : "fast must be less than slow";
  }
  static constexpr const char* doc =
      "MACD(fast=12, slow=26, signal=9)\n--\n\n"
      "Moving average convergence divergence (macd, signal, histogram), from EMAs as\n"
      "EMA computes them: macd = EMA(fast) - EMA(slow) from the slow-th value on;\n"
      "signal = EMA(signal) of the macd values; histogram = macd - signal.";
  static constexpr const char* update_doc =
      "update($self, x, /)\n--\n\n"
      "Add one value and return (macd, signal, histogram), each NaN until warm.";
  static constexpr const char* compute_doc =
      "compute($self, x, /)\n--\n\n"
      "The arrays (macd, signal, histogram) as repeated updates from a fresh state\n"
      "would give them; the instance's own state is neither read nor changed.";
};

struct CrossOver {
  using Kernel = CrossOverKernel;
  static constexpr const char* name = "CrossOver";
  static constexpr const ParamDef* params = nullptr;
  static constexpr const char* args[] = {"a", "b"};
  static constexpr double missing = 0.0;
  static constexpr auto box = box_int;
  static constexpr const char* doc =
      "CrossOver()\n--\n\n"
      "Sign change of a - b: update(a, b) returns 1 when a crosses above b, -1 when\n"
      "it crosses below, else 0. A tie (a == b) is no side: the cross is reported\n"
      "when a - b takes the opposite sign of its last non-zero sign.";
  static constexpr const char* update_doc =
      "update($self, a, b, /)\n--\n\n"
      "Add one pair and return 1 (a crossed above b), -1 (below) or 0.";
  static constexpr const char* compute_doc =
      "compute($self, a, b, /)\n--\n\n"
      "The whole series (1.0, -1.0 or 0.0) as repeated updates from a fresh state\n"
      "would give it, as a float64 array; the instance's state is neither read nor\n"
      "changed.";
};

template <class T>
constexpr int param_count() {
  if constexpr (requires { std::size(T::params); }) {
    return static_cast<int>(std::size(T::params));
  } else {
    return 0;
  }
}

// ---- the generic class -----------------------------------------------------

template <class T>
struct Object {
  using Kernel = typename T::Kernel;
  PyObject_HEAD
  bool constructed;
  double value[Kernel::kOut];
  alignas(Kernel) unsigned char storage[sizeof(Kernel)];

  Kernel& kernel() { return *std::launder(reinterpret_cast<Kernel*>(storage)); }
};

template <class T>
Object<T>* self_of(PyObject* self) {
  return reinterpret_cast<Object<T>*>(self);
}

template <class T>
void fill_missing(double* out) {
  for (int i = 0; i < T::Kernel::kOut; ++i) out[i] = T::missing;
}

template <class T>
PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  typename T::Kernel::Params params{};
  if constexpr (param_count<T>() == 0) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0)) {
      PyErr_Format(PyExc_TypeError, "%s() takes no arguments", T::name);
      return nullptr;
    }
  } else {
    if (!parse_params(args, kwargs, T::params, param_count<T>(), T::name, &params)) return nullptr;
    if constexpr (requires { T::invalid_params(params); }) {
      if (const char* why = T::invalid_params(params)) {
        PyErr_Format(PyExc_ValueError, "%s(): %s", T::name, why);
        return nullptr;
      }
    }
  }
  Ref self(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  Object<T>* obj = self_of<T>(self.get());
  try {
    new (obj->storage) typename T::Kernel(params);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::length_error&) {
    return PyErr_NoMemory();
  }
  obj->constructed = true;
  fill_missing<T>(obj->value);
  return self.release();
}

template <class T>
void tp_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  Object<T>* obj = self_of<T>(self);
  if (obj->constructed) std::destroy_at(&obj->kernel());
  type->tp_free(self);
  Py_DECREF(type);
}

template <class T>
PyObject* arg_count_error(const char* method, Py_ssize_t nargs) {
  constexpr int want = T::Kernel::kIn;
  return PyErr_Format(PyExc_TypeError, "%s.%s() takes exactly %d positional argument%s (%zd given)", T::name,
                      method, want, want == 1 ? "" : "s", nargs);
}

// Why a row of finite inputs is refused, if it is.
template <class T>
const char* invalid_row(const double* in) {
  if constexpr (requires { T::Kernel::invalid(in); }) {
    return T::Kernel::invalid(in);
  } else {
    return nullptr;
  }
}

template <class T>
PyObject* update(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  constexpr int kIn = T::Kernel::kIn;
  if (nargs != kIn) return arg_count_error<T>("update", nargs);
  double in[kIn];
  for (int i = 0; i < kIn; ++i) {
    if (PyFloat_CheckExact(args[i])) {
      in[i] = PyFloat_AS_DOUBLE(args[i]);
    } else if (!to_double(args[i], in[i], T::name, "update")) {
      return nullptr;
    }
  }
  // Every argument is converted: from here on no Python code runs until the
  // state has changed, so a re-entrant call cannot see it half-updated.
  bool missing = false;
  for (int i = 0; i < kIn; ++i) {
    if (std::isinf(in[i])) {
      return PyErr_Format(PyExc_ValueError, "%s.update(): %s is infinite", T::name, T::args[i]);
    }
    missing = missing || std::isnan(in[i]);
  }
  if (missing) {  // a missing observation: skipped, the state and value stay
    double out[T::Kernel::kOut];
    fill_missing<T>(out);
    return T::box(out);
  }
  if (const char* why = invalid_row<T>(in)) {
    return PyErr_Format(PyExc_ValueError, "%s.update(): %s", T::name, why);
  }
  Object<T>* obj = self_of<T>(self);
  obj->kernel().push(in, obj->value);
  return T::box(obj->value);
}

template <class T>
PyObject* compute(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  constexpr int kIn = T::Kernel::kIn, kOut = T::Kernel::kOut;
  if (nargs != kIn) return arg_count_error<T>("compute", nargs);
  char who[48];
  PyOS_snprintf(who, sizeof who, "%s.compute()", T::name);
  Column columns[kIn];
  for (int i = 0; i < kIn; ++i) {
    if (!columns[i].load(args[i], T::name, T::args[i])) return nullptr;
  }
  const Py_ssize_t n = columns[0].size();
  for (int i = 1; i < kIn; ++i) {
    if (columns[i].size() != n) {
      return PyErr_Format(PyExc_ValueError, "%s: %s and %s differ in length (%zd and %zd)", who, T::args[0],
                          T::args[i], n, columns[i].size());
    }
  }
  // The outputs are made before the loop: nothing in it can run Python code.
  Ref numpy(PyImport_ImportModule("numpy"));
  if (!numpy) return nullptr;
  Ref arrays[kOut];
  BufferView views[kOut];
  double* out_data[kOut];
  for (int j = 0; j < kOut; ++j) {
    arrays[j] = Ref(PyObject_CallMethod(numpy.get(), "empty", "n", n));
    if (!arrays[j] || !views[j].acquire(arrays[j].get(), PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS)) return nullptr;
    out_data[j] = static_cast<double*>(views[j].view().buf);
  }
  try {
    typename T::Kernel kernel(self_of<T>(self)->kernel().params);
    double in[kIn], out[kOut];
    for (Py_ssize_t r = 0; r < n; ++r) {
      bool missing = false;
      for (int i = 0; i < kIn; ++i) {
        in[i] = columns[i].data()[r];
        if (std::isinf(in[i])) {
          return PyErr_Format(PyExc_ValueError, "%s: %s[%zd] is infinite", who, T::args[i], r);
        }
        missing = missing || std::isnan(in[i]);
      }
      if (missing) {
        fill_missing<T>(out);
      } else if (const char* why = invalid_row<T>(in)) {
        return PyErr_Format(PyExc_ValueError, "%s: row %zd: %s", who, r, why);
      } else {
        kernel.push(in, out);
      }
      for (int j = 0; j < kOut; ++j) out_data[j][r] = out[j];
    }
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  for (auto& view : views) view.release();
  if constexpr (kOut == 1) {
    return arrays[0].release();
  } else {
    return PyTuple_Pack(3, arrays[0].get(), arrays[1].get(), arrays[2].get());
  }
}

template <class T>
PyObject* reset(PyObject* self, PyObject*) {
  Object<T>* obj = self_of<T>(self);
  obj->kernel().clear();
  fill_missing<T>(obj->value);
  Py_RETURN_NONE;
}

template <class T>
PyObject* get_value(PyObject* self, void*) {
  return T::box(self_of<T>(self)->value);
}

template <class T>
PyObject* get_param(PyObject* self, void* closure) {
  const ParamDef& def = *static_cast<const ParamDef*>(closure);
  const char* field = reinterpret_cast<const char*>(&self_of<T>(self)->kernel().params) + def.offset;
  if (def.kind == ParamKind::Scale) {
    double v;
    std::memcpy(&v, field, sizeof v);
    return PyFloat_FromDouble(v);
  }
  std::size_t n;
  std::memcpy(&n, field, sizeof n);
  return PyLong_FromSize_t(n);
}

template <class T>
PyObject* tp_repr(PyObject* self) {
  Ref parts(PyList_New(0));
  if (!parts) return nullptr;
  for (int i = 0; i < param_count<T>(); ++i) {
    const ParamDef& def = T::params[i];
    Ref value(get_param<T>(self, const_cast<ParamDef*>(&def)));
    if (!value) return nullptr;
    Ref part(PyUnicode_FromFormat("%s=%R", def.name, value.get()));
    if (!part || PyList_Append(parts.get(), part.get()) < 0) return nullptr;
  }
  Ref sep(PyUnicode_FromString(", "));
  if (!sep) return nullptr;
  Ref joined(PyUnicode_Join(sep.get(), parts.get()));
  if (!joined) return nullptr;
  return PyUnicode_FromFormat("%s(%U)", T::name, joined.get());
}

// The method and attribute tables, one set per class.
template <class T>
struct Tables {
  static inline PyMethodDef methods[] = {
      {"update", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(update<T>)), METH_FASTCALL,
       T::update_doc},
      {"compute", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compute<T>)), METH_FASTCALL,
       T::compute_doc},
      {"reset", reset<T>, METH_NOARGS, "reset($self, /)\n--\n\nForget every value: back to the new state."},
      {nullptr, nullptr, 0, nullptr}};

  static inline PyGetSetDef getset[param_count<T>() + 2] = {};

  static PyGetSetDef* fill_getset() {
    getset[0] = {"value", get_value<T>, nullptr,
                 "The value after the last real observation (read-only): NaN until warm, kept\n"
                 "as it was by a skipped NaN input.", nullptr};
    for (int i = 0; i < param_count<T>(); ++i) {
      getset[i + 1] = {T::params[i].name, get_param<T>, nullptr, "A parameter (read-only).",
                       const_cast<ParamDef*>(&T::params[i])};
    }
    return getset;
  }

  static inline std::string qualified = std::string("zopt_kelv_backtest.modules.indicators.indicators.") + T::name;

  static PyType_Spec spec() {
    static PyType_Slot slots[] = {{Py_tp_new, reinterpret_cast<void*>(tp_new<T>)},
                                  {Py_tp_dealloc, reinterpret_cast<void*>(tp_dealloc<T>)},
                                  {Py_tp_repr, reinterpret_cast<void*>(tp_repr<T>)},
                                  {Py_tp_methods, methods},
                                  {Py_tp_getset, fill_getset()},
                                  {Py_tp_doc, const_cast<char*>(T::doc)},
                                  {0, nullptr}};
    return {qualified.c_str(), static_cast<int>(sizeof(Object<T>)), 0,
            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  }
};

template <class T>
bool add_type(PyObject* module) {
  static PyType_Spec spec = Tables<T>::spec();
  Ref type(PyType_FromModuleAndSpec(module, &spec, nullptr));
  return type && PyModule_AddObjectRef(module, T::name, type.get()) == 0;
}

}  // namespace

bool add_types(PyObject* module) {
  return add_type<Sma>(module) && add_type<Ema>(module) && add_type<Rsi>(module) && add_type<Atr>(module) &&
         add_type<Bollinger>(module) && add_type<Macd>(module) && add_type<CrossOver>(module);
}

}  // namespace zki
