#include "series.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "core/bar_label.hpp"

namespace zkr {
namespace {

PyTypeObject* g_block_type = nullptr;
PyTypeObject* g_bars_type = nullptr;

// ---- BarBlock: the memory of a series' columns, exported read-only

struct BarBlock {
  PyObject_HEAD
  Py_ssize_t capacity;
  unsigned char* data;  // kColumns columns of `capacity` 8-byte values
};

void block_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyMem_Free(reinterpret_cast<BarBlock*>(self)->data);
  type->tp_free(self);
  Py_DECREF(type);
}

int block_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  if (flags & PyBUF_WRITABLE) {
    PyErr_SetString(PyExc_BufferError, "bars are read-only");
    view->obj = nullptr;
    return -1;
  }
  auto* b = reinterpret_cast<BarBlock*>(self);
  return PyBuffer_FillInfo(view, self, b->data, b->capacity * kColumns * 8, 1, flags);
}

PyType_Slot g_block_slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(block_dealloc)},
                               {Py_bf_getbuffer, reinterpret_cast<void*>(block_getbuffer)},
                               {Py_tp_doc, const_cast<char*>("Memory of a bar series (internal).")},
                               {0, nullptr}};
PyType_Spec g_block_spec = {"zopt_kelv_backtest.modules.replay.replay.BarBlock", sizeof(BarBlock), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                            g_block_slots};

Ref new_block(Py_ssize_t capacity) {
  Ref obj(PyType_GenericAlloc(g_block_type, 0));
  if (!obj) return obj;
  auto* b = reinterpret_cast<BarBlock*>(obj.get());
  b->data = static_cast<unsigned char*>(PyMem_Calloc(static_cast<size_t>(capacity) * kColumns, 8));
  if (!b->data) {
    PyErr_NoMemory();
    return Ref();
  }
  b->capacity = capacity;
  return obj;
}

unsigned char* column(PyObject* block, int col) {
  auto* b = reinterpret_cast<BarBlock*>(block);
  return b->data + static_cast<size_t>(col) * static_cast<size_t>(b->capacity) * 8;
}

template <class T>
void put(PyObject* block, int col, Py_ssize_t i, T v) {
  static_assert(sizeof(T) == 8);
  std::memcpy(column(block, col) + static_cast<size_t>(i) * 8, &v, 8);
}

// ---- Bars: the view a strategy receives

struct Bars {
  PyObject_HEAD
  Py_ssize_t n;
  PyObject* key;
  PyObject* code;
  PyObject* bases[kColumns];  // numpy arrays over the whole block
  PyObject* views[kColumns];  // their first n rows, made on first read
};

int bars_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* b = reinterpret_cast<Bars*>(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(b->key);
  Py_VISIT(b->code);
  for (int i = 0; i < kColumns; ++i) {
    Py_VISIT(b->bases[i]);
    Py_VISIT(b->views[i]);
  }
  return 0;
}

int bars_clear(PyObject* self) {
  auto* b = reinterpret_cast<Bars*>(self);
  Py_CLEAR(b->key);
  Py_CLEAR(b->code);
  for (int i = 0; i < kColumns; ++i) {
    Py_CLEAR(b->bases[i]);
    Py_CLEAR(b->views[i]);
  }
  return 0;
}

void bars_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  bars_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

Py_ssize_t bars_len(PyObject* self) { return reinterpret_cast<Bars*>(self)->n; }

PyObject* bars_column(PyObject* self, void* closure) {
  auto* b = reinterpret_cast<Bars*>(self);
  const auto col = static_cast<int>(reinterpret_cast<std::intptr_t>(closure));
  if (!b->views[col]) {
    if (!b->bases[col]) {
      PyErr_SetString(PyExc_RuntimeError, "this bars view was cleared");
      return nullptr;
    }
    Ref stop(PyLong_FromSsize_t(b->n));
    if (!stop) return nullptr;
    Ref slice(PySlice_New(nullptr, stop.get(), nullptr));
    if (!slice) return nullptr;
    b->views[col] = PyObject_GetItem(b->bases[col], slice.get());
    if (!b->views[col]) return nullptr;
  }
  return Py_NewRef(b->views[col]);
}

PyObject* bars_key(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<Bars*>(self)->key); }
PyObject* bars_code(PyObject* self, void*) { return Py_NewRef(reinterpret_cast<Bars*>(self)->code); }

// The frame is made by the package's Python helper, looked up at call time.
PyObject* bars_to_polars(PyObject* self, PyObject*) {
  Ref mod(PyImport_ImportModule("zopt_kelv_backtest.backtest.bars"));
  if (!mod) return nullptr;
  Ref fn(PyObject_GetAttrString(mod.get(), "bars_frame"));
  if (!fn) return nullptr;
  return PyObject_CallOneArg(fn.get(), self);
}

PyObject* bars_repr(PyObject* self) {
  auto* b = reinterpret_cast<Bars*>(self);
  return PyUnicode_FromFormat("<Bars %R %R: %zd closed>", b->code, b->key, b->n);
}

#define ZKR_COLUMN(name, col, doc) \
  {name, bars_column, nullptr, doc, reinterpret_cast<void*>(static_cast<std::intptr_t>(col))}

PyGetSetDef g_bars_getset[] = {
    {"key", bars_key, nullptr, "The (unit, freq) K-bar key these bars belong to.", nullptr},
    {"code", bars_code, nullptr, "The code these bars belong to.", nullptr},
    ZKR_COLUMN("open", Open, "Opening prices (read-only float64 array), oldest bar first."),
    ZKR_COLUMN("high", High, "Highest prices (read-only float64 array), oldest bar first."),
    ZKR_COLUMN("low", Low, "Lowest prices (read-only float64 array), oldest bar first."),
    ZKR_COLUMN("close", Close, "Closing prices (read-only float64 array), oldest bar first."),
    ZKR_COLUMN("volume", Volume, "Volumes (read-only float64 array), oldest bar first."),
    ZKR_COLUMN("time", Time, "Bar starts, local wall-clock time (read-only datetime64[us] array)."),
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef g_bars_methods[] = {
    {"to_polars", bars_to_polars, METH_NOARGS,
     "to_polars($self, /)\n--\n\nThese bars as a frame: QuoteManager.get_kbar(code, unit, freq) without its "
     "forming bar."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot g_bars_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(bars_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(bars_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(bars_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(bars_repr)},
    {Py_sq_length, reinterpret_cast<void*>(bars_len)},
    {Py_mp_length, reinterpret_cast<void*>(bars_len)},
    {Py_tp_getset, g_bars_getset},
    {Py_tp_methods, g_bars_methods},
    {Py_tp_doc, const_cast<char*>("Closed K-bars of one key of one code, oldest first, as read-only numpy "
                                  "arrays\nthat share the run's memory (no copy per bar).")},
    {0, nullptr}};
PyType_Spec g_bars_spec = {"zopt_kelv_backtest.modules.replay.replay.Bars", sizeof(Bars), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC |
                               Py_TPFLAGS_DISALLOW_INSTANTIATION,
                           g_bars_slots};

PyObject* g_frombuffer = nullptr;  // numpy.frombuffer, imported at the first view
PyObject* g_dtypes[2] = {nullptr, nullptr};

bool numpy_ready() {
  if (g_frombuffer) return true;
  Ref np(PyImport_ImportModule("numpy"));
  if (!np) return false;
  Ref fb(PyObject_GetAttrString(np.get(), "frombuffer"));
  Ref f64(PyUnicode_FromString("float64"));
  Ref dt64(PyUnicode_FromString("datetime64[us]"));
  if (!fb || !f64 || !dt64) return false;
  g_dtypes[0] = f64.release();
  g_dtypes[1] = dt64.release();
  g_frombuffer = fb.release();
  return true;
}

}  // namespace

bool Series::reserve(Py_ssize_t n) {
  if (n <= capacity_) return true;
  Py_ssize_t cap = std::max<Py_ssize_t>(256, capacity_);
  while (cap < n) cap *= 2;
  Ref fresh = new_block(cap);
  if (!fresh) return false;
  for (int c = 0; c < kColumns; ++c)
    if (count_ > 0) std::memcpy(column(fresh.get(), c), column(block_.get(), c), static_cast<size_t>(count_) * 8);
  block_ = std::move(fresh);
  capacity_ = cap;
  for (auto& b : bases_) b = Ref();
  return true;
}

void Series::write_forming() {
  const Py_ssize_t i = count_ - 1;
  PyObject* b = block_.get();
  put(b, Open, i, forming_.open);
  put(b, High, i, forming_.high);
  put(b, Low, i, forming_.low);
  put(b, Close, i, forming_.close);
  put(b, Volume, i, static_cast<double>(forming_.volume));
  put(b, Time, i, last_label_);
}

bool Series::add(std::int64_t label, double px, std::int64_t qty) {
  if (count_ == 0 || label != last_label_) {
    if (!reserve(count_ + 1)) return false;
    ++count_;
    last_label_ = label;
    forming_ = {px, px, px, px, qty};
  } else if (!zk::bars::fold_tick(forming_, px, qty)) {
    return false;
  }
  write_forming();
  return true;
}

bool Series::assign(Py_ssize_t n, const std::int64_t* time, const double* open, const double* high,
                    const double* low, const double* close, const std::int64_t* volume) {
  // Views handed out keep the old block: a rebuild may change bars they show.
  Ref fresh = new_block(std::max<Py_ssize_t>(256, n + n / 2));
  if (!fresh) return false;
  block_ = std::move(fresh);
  capacity_ = reinterpret_cast<BarBlock*>(block_.get())->capacity;
  for (auto& b : bases_) b = Ref();
  count_ = n;
  for (Py_ssize_t i = 0; i < n; ++i) {
    put(block_.get(), Open, i, open[i]);
    put(block_.get(), High, i, high[i]);
    put(block_.get(), Low, i, low[i]);
    put(block_.get(), Close, i, close[i]);
    put(block_.get(), Volume, i, static_cast<double>(volume[i]));
    put(block_.get(), Time, i, time[i]);
  }
  if (n > 0) {
    last_label_ = time[n - 1];
    forming_ = {open[n - 1], high[n - 1], low[n - 1], close[n - 1], volume[n - 1]};
  }
  return true;
}

bool Series::bases(std::array<Ref, kColumns>& out) {
  if (!block_ && !reserve(1)) return false;
  if (!bases_[0]) {
    if (!numpy_ready()) return false;
    for (int c = 0; c < kColumns; ++c) {
      Ref count(PyLong_FromSsize_t(capacity_));
      Ref offset(PyLong_FromSsize_t(static_cast<Py_ssize_t>(c) * capacity_ * 8));
      Ref kwargs(PyDict_New());
      Ref args(PyTuple_Pack(2, block_.get(), g_dtypes[c == Time ? 1 : 0]));
      if (!count || !offset || !kwargs || !args || PyDict_SetItemString(kwargs.get(), "count", count.get()) < 0 ||
          PyDict_SetItemString(kwargs.get(), "offset", offset.get()) < 0)
        return false;
      Ref arr(PyObject_Call(g_frombuffer, args.get(), kwargs.get()));
      if (!arr) return false;
      bases_[c] = std::move(arr);
    }
  }
  for (int c = 0; c < kColumns; ++c) out[c] = Ref(Py_NewRef(bases_[c].get()));
  return true;
}

bool add_series_types(PyObject* module) {
  Ref block(PyType_FromModuleAndSpec(module, &g_block_spec, nullptr));
  Ref bars(PyType_FromModuleAndSpec(module, &g_bars_spec, nullptr));
  if (!block || !bars || PyModule_AddObjectRef(module, "Bars", bars.get()) < 0) return false;
  g_block_type = reinterpret_cast<PyTypeObject*>(block.release());
  g_bars_type = reinterpret_cast<PyTypeObject*>(bars.release());
  return true;
}

PyObject* new_bars(Series& series, Py_ssize_t n, PyObject* key, PyObject* code) {
  std::array<Ref, kColumns> bases;
  if (!series.bases(bases)) return nullptr;
  auto* b = PyObject_GC_New(Bars, g_bars_type);
  if (!b) return nullptr;
  b->n = n;
  b->key = Py_NewRef(key);
  b->code = Py_NewRef(code);
  for (int c = 0; c < kColumns; ++c) {
    b->bases[c] = bases[c].release();
    b->views[c] = nullptr;
  }
  PyObject_GC_Track(reinterpret_cast<PyObject*>(b));
  return reinterpret_cast<PyObject*>(b);
}

}  // namespace zkr
