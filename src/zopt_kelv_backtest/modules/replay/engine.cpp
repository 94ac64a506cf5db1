// The replay loop: every tick into the quote manager and each account, and
// the strategy's moments (a new code, a new trading day, a closed bar, a
// session's end, progress) handed to the Python driver that owns them.
// Python code runs only in the driver, the accounts' callables and the
// strategy's hooks; the loop holds a strong reference to everything it uses
// across those calls.
#include "engine.hpp"

#include <cmath>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include "core/bar_label.hpp"
#include "core/local_clock.hpp"
#include "datetime.h"
#include "series.hpp"

namespace zkr {
namespace {

namespace bars = zk::bars;

// Interned names, kept for the life of the process: a static owner would release them after the
// interpreter is gone, at exit.
struct Name {
  PyObject* p = nullptr;
  PyObject* get() const { return p; }
};

struct Names {
  Name timestamp, code, ticks, old_ticks, dt, close, qty, is_simulate, current_tick_infos;
  Name end_sessions, mark, start_code, enter_day, bar_closed, kbar_columns, local_wall_us;
} g_names;

bool make_names() {
  auto s = [](Name& n, const char* text) {
    if (!n.p) n.p = PyUnicode_InternFromString(text);
    return n.p != nullptr;
  };
  return s(g_names.timestamp, "timestamp") && s(g_names.code, "code") && s(g_names.ticks, "ticks") &&
         s(g_names.old_ticks, "old_ticks") && s(g_names.dt, "dt") && s(g_names.close, "close") &&
         s(g_names.qty, "qty") && s(g_names.is_simulate, "is_simulate") &&
         s(g_names.current_tick_infos, "current_tick_infos") &&
         s(g_names.end_sessions, "end_sessions") && s(g_names.mark, "mark") &&
         s(g_names.start_code, "start_code") && s(g_names.enter_day, "enter_day") &&
         s(g_names.bar_closed, "bar_closed") &&
         s(g_names.kbar_columns, "kbar_columns") && s(g_names.local_wall_us, "local_wall_us");
}

// ---- small owned-reference helpers

// d[key] for a mapping; an exact dict is read without running code.
Ref item(PyObject* d, PyObject* key) {
  if (PyDict_CheckExact(d)) {
    PyObject* v = PyDict_GetItemWithError(d, key);
    if (v) return Ref(Py_NewRef(v));
    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
    return Ref();
  }
  return Ref(PyObject_GetItem(d, key));
}

// An exact dict's value for an exact str key, borrowed; null when absent or not plain.
PyObject* plain_get(PyObject* d, PyObject* key) {
  if (!d || !PyDict_CheckExact(d)) return nullptr;
  PyObject* v = PyDict_GetItemWithError(d, key);
  if (!v) PyErr_Clear();
  return v;
}

Ref call(PyObject* fn, std::initializer_list<PyObject*> args) {
  PyObject* argv[4];
  size_t n = 0;
  for (PyObject* a : args) argv[n++] = a;
  return Ref(PyObject_Vectorcall(fn, argv, n, nullptr));
}

// PyArg_ParseTuple takes tuples only (anything else is a SystemError).
bool tuple_of(PyObject* o, const char* what) {
  if (PyTuple_Check(o)) return true;
  PyErr_Format(PyExc_TypeError, "%s, got %.200s", what, Py_TYPE(o)->tp_name);
  return false;
}

bool as_double(PyObject* o, double& out) {
  out = PyFloat_AsDouble(o);
  return !(out == -1.0 && PyErr_Occurred());
}

// Microseconds of a plain naive datetime (exact type, no tzinfo), or false.
bool naive_us(PyObject* o, std::int64_t& out) {
  if (!PyDateTime_CheckExact(o) || PyDateTime_DATE_GET_TZINFO(o) != Py_None) return false;
  out = zk::civil::civil_to_us(PyDateTime_GET_YEAR(o), PyDateTime_GET_MONTH(o), PyDateTime_GET_DAY(o),
                               PyDateTime_DATE_GET_HOUR(o), PyDateTime_DATE_GET_MINUTE(o),
                               PyDateTime_DATE_GET_SECOND(o), PyDateTime_DATE_GET_MICROSECOND(o));
  return true;
}

// A stored tick's fields as the K-bar query reads them natively; false for anything else.
struct StoredTick {
  std::int64_t dt;
  double close;
  std::int64_t qty;
  bool simulate;
};
bool read_stored(PyObject* t, StoredTick& out) {
  if (!PyDict_CheckExact(t)) return false;
  PyObject* dt = plain_get(t, g_names.dt.get());
  PyObject* close = plain_get(t, g_names.close.get());
  PyObject* qty = plain_get(t, g_names.qty.get());
  PyObject* sim = plain_get(t, g_names.is_simulate.get());
  if (!dt || !close || !qty || !sim || !PyFloat_CheckExact(close) || !PyLong_CheckExact(qty) || !PyBool_Check(sim))
    return false;
  if (!naive_us(dt, out.dt)) return false;
  int overflow = 0;
  const long long q = PyLong_AsLongLongAndOverflow(qty, &overflow);
  if (overflow || (q == -1 && PyErr_Occurred())) {
    PyErr_Clear();
    return false;
  }
  out.close = PyFloat_AS_DOUBLE(close);
  out.qty = q;
  out.simulate = sim == Py_True;
  return true;
}

// ---- per-code state

struct Watch {
  bars::Truncator moment;  // a change of this label is when closed bars may be ready
  bars::Truncator rule;    // the key's own bar label
  Ref key;                 // (unit, freq)
  Ref index;               // its position among the code's watches, as the driver knows it
  bool has_label = false;
  std::int64_t label = 0;
  Py_ssize_t announced = 0;
  Series series;  // the bars, when the strategy takes arrays
};

struct Code {
  Ref code;
  bool traded = false;
  bool arrays = false;
  std::vector<Watch> watches;
  // Arrays: the code's pending stored ticks read so far, from the quote
  // manager's own containers. Dirty means "rebuild from the query's frame".
  Ref state;    // the code's tick state dict those ticks came from
  Ref pending;  // its pending list
  Py_ssize_t seen = 0;
  bool dirty = true;
  std::int64_t last_dt = std::numeric_limits<std::int64_t>::min();
};

struct Account {
  Ref set_current_tick, latest, resting, match, on_tick, on_bar;  // on_bar: arrays only
  bool with_key = false;     // on_bar takes the key as a third argument
  bool own_current = false;  // set_current_tick is the account itself, whose method is the core's own
};

// The account's current tick: the core's own set_current_tick stores the tick under its code in
// current_tick_infos, and for a group of accounts doing that here saves a call per account per tick.
bool set_current(Account& a, PyObject* tick, PyObject* code) {
  if (!a.own_current) return bool(call(a.set_current_tick.get(), {tick}));
  Ref infos(PyObject_GetAttr(a.set_current_tick.get(), g_names.current_tick_infos.get()));
  return infos && PyObject_SetItem(infos.get(), code, tick) == 0;
}

// A hook's result: hooks return None.
bool returned_none(const Ref& r, const char* hook) {
  if (!r) return false;
  if (r.get() == Py_None) return true;
  PyErr_Format(PyExc_TypeError, "Strategy.%s must return None, got %.200s", hook, Py_TYPE(r.get())->tp_name);
  return false;
}

struct State {
  Ref qm, add_tick, driver, session_last;
  double gap = 0;
  std::vector<Account> accounts;
  Ref codes;                               // code -> position in `states`
  std::deque<std::unique_ptr<Code>> states;  // stays put while hooks run
  bool running = false;
};

struct Engine {
  PyObject_HEAD
  State* st;
};

// The watch label: the key's own truncation for fixed widths; for calendar
// units the day or month, which moves at least as often (a move costs a check).
std::optional<bars::Truncator> moment_of(std::string_view unit, long long freq) {
  if (unit == "w") return bars::truncator("d", 1);
  if (unit == "mo" || unit == "q" || unit == "y") return bars::truncator("mo", 1);
  return bars::truncator(unit, freq);
}

// A new code's state from the driver's answer: None (not traded) or (keys, arrays).
Code* start_code(State& st, PyObject* code) {
  Ref answer = call(Ref(PyObject_GetAttr(st.driver.get(), g_names.start_code.get())).get(), {code});
  if (!answer) return nullptr;
  auto c = std::make_unique<Code>();
  c->code = Ref(Py_NewRef(code));
  if (answer.get() != Py_None) {
    PyObject* keys = nullptr;
    int arrays = 0;
    if (!tuple_of(answer.get(), "start_code must return None or (keys, arrays)") ||
        !PyArg_ParseTuple(answer.get(), "Op;start_code must return None or (keys, arrays)", &keys, &arrays))
      return nullptr;
    Ref seq(PySequence_Fast(keys, "start_code keys must be a sequence"));
    if (!seq) return nullptr;
    c->traded = true;
    c->arrays = arrays != 0;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
      PyObject* key = PySequence_Fast_GET_ITEM(seq.get(), i);
      const char* unit = nullptr;
      long long freq = 0;
      if (!tuple_of(key, "a bar key is (unit, freq)") ||
          !PyArg_ParseTuple(key, "sL;a bar key is (unit, freq)", &unit, &freq))
        return nullptr;
      auto moment = moment_of(unit, freq);
      auto rule = bars::truncator(unit, freq);
      if (!moment || !rule) {
        PyErr_Format(PyExc_ValueError, "bar key %R has no native label", key);
        return nullptr;
      }
      Watch w;
      w.moment = *moment;
      w.rule = *rule;
      w.key = Ref(Py_NewRef(key));
      w.index = Ref(PyLong_FromSsize_t(i));
      if (!w.index) return nullptr;
      c->watches.push_back(std::move(w));
    }
  }
  Ref pos(PyLong_FromSize_t(st.states.size()));
  if (!pos || PyDict_SetItem(st.codes.get(), code, pos.get()) < 0) return nullptr;
  st.states.push_back(std::move(c));
  return st.states.back().get();
}

Code* find_code(State& st, PyObject* code, bool& error) {
  PyObject* pos = PyDict_GetItemWithError(st.codes.get(), code);
  if (!pos) {
    error = PyErr_Occurred() != nullptr;
    return nullptr;
  }
  const Py_ssize_t i = PyLong_AsSsize_t(pos);
  return st.states[static_cast<size_t>(i)].get();
}

// The code's tick state dict in the quote manager, or null (no error) when not plain.
Ref tick_state(State& st, PyObject* code) {
  Ref ticks(PyObject_GetAttr(st.qm.get(), g_names.ticks.get()));
  if (!ticks) {
    PyErr_Clear();
    return Ref();
  }
  PyObject* s = plain_get(ticks.get(), code);
  return s && PyDict_CheckExact(s) ? Ref(Py_NewRef(s)) : Ref();
}

// Folds the code's stored ticks that arrived since the last read into each
// watch's series; anything the native fold cannot take marks the code dirty.
void ingest(State& st, Code& c) {
  if (c.dirty) return;
  Ref state = tick_state(st, c.code.get());
  PyObject* list = plain_get(state.get(), g_names.ticks.get());
  if (state.get() != c.state.get() || !list || !PyList_CheckExact(list)) {
    c.dirty = true;  // the ticks were cleared or replaced
    return;
  }
  Py_ssize_t from = 0;
  if (list == c.pending.get()) {
    from = c.seen;
    if (PyList_GET_SIZE(list) < from) {  // someone took ticks out
      c.dirty = true;
      return;
    }
  } else {
    c.pending = Ref(Py_NewRef(list));  // a query drained the old list into the old ticks
  }
  const Py_ssize_t n = PyList_GET_SIZE(list);
  for (Py_ssize_t i = from; i < n; ++i) {
    StoredTick t;
    if (!read_stored(PyList_GET_ITEM(list, i), t)) {
      c.dirty = true;
      return;
    }
    if (t.simulate) continue;
    if (t.dt < c.last_dt || !bars::plain_price(t.close) || !bars::label_range(t.dt)) {
      c.dirty = true;  // late ticks are re-sorted by the query; odd values follow polars
      return;
    }
    c.last_dt = t.dt;
    for (Watch& w : c.watches) {
      const std::int64_t label = w.rule(t.dt);
      if (!bars::python_date(label) || !w.series.add(label, t.close, t.qty)) {
        PyErr_Clear();
        c.dirty = true;
        return;
      }
    }
  }
  c.seen = n;
}

// The latest non-simulated stored tick time over a list, or false when a tick is not plain.
bool latest_dt(PyObject* list, std::int64_t& latest) {
  if (!list || !PyList_CheckExact(list)) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    StoredTick t;
    if (!read_stored(PyList_GET_ITEM(list, i), t)) return false;
    if (!t.simulate && t.dt > latest) latest = t.dt;
  }
  return true;
}

// One column of the driver's rebuild answer as a C-contiguous 8-byte buffer.
bool column_view(PyObject* arr, char kind, zki::BufferView& view, Py_ssize_t& n) {
  if (!view.acquire(arr, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) return false;
  const Py_buffer& b = view.view();
  const std::string_view fmt = b.format ? b.format : "B";
  const bool ok = b.itemsize == 8 && b.ndim == 1 &&
                  (kind == 'd' ? fmt == "d" || fmt == "<d" || fmt == "=d"
                               : fmt == "q" || fmt == "l" || fmt == "<q" || fmt == "<l" || fmt == "=q");
  if (!ok) {
    PyErr_SetString(PyExc_TypeError, "kbar_columns must give 1-d int64/float64 arrays");
    return false;
  }
  n = b.shape ? b.shape[0] : b.len / 8;
  return true;
}

// Every watch of the code anew from the query's frames, then reading on from
// the code's pending ticks. Stays dirty when those ticks are not plain.
bool rebuild(State& st, Code& c) {
  Ref fn(PyObject_GetAttr(st.driver.get(), g_names.kbar_columns.get()));
  if (!fn) return false;
  for (size_t i = 0; i < c.watches.size(); ++i) {
    Ref cols = call(fn.get(), {c.code.get(), c.watches[i].index.get()});
    if (!cols) return false;
    if (!PyTuple_Check(cols.get()) || PyTuple_GET_SIZE(cols.get()) != kColumns) {
      PyErr_SetString(PyExc_TypeError, "kbar_columns must return six arrays");
      return false;
    }
    // (time, open, high, low, close, volume)
    zki::BufferView v[kColumns];
    Py_ssize_t n = -1;
    for (int k = 0; k < kColumns; ++k) {
      Py_ssize_t m = 0;
      const char kind = (k == 0 || k == kColumns - 1) ? 'q' : 'd';
      if (!column_view(PyTuple_GET_ITEM(cols.get(), k), kind, v[k], m)) return false;
      if (n >= 0 && m != n) {
        PyErr_SetString(PyExc_ValueError, "kbar_columns arrays differ in length");
        return false;
      }
      n = m;
    }
    auto d = [&](int k) { return static_cast<const double*>(v[k].view().buf); };
    auto q = [&](int k) { return static_cast<const std::int64_t*>(v[k].view().buf); };
    if (!c.watches[i].series.assign(n, q(0), d(1), d(2), d(3), d(4), q(5))) return false;
  }
  // The queries drained the pending ticks: read on from what is pending now.
  Ref state = tick_state(st, c.code.get());
  PyObject* pending = plain_get(state.get(), g_names.ticks.get());
  std::int64_t latest = std::numeric_limits<std::int64_t>::min();
  if (latest_dt(plain_get(state.get(), g_names.old_ticks.get()), latest) && latest_dt(pending, latest)) {
    c.state = std::move(state);
    c.pending = Ref(Py_NewRef(pending));
    c.seen = PyList_GET_SIZE(pending);
    c.last_dt = latest;
    c.dirty = false;
  }
  return true;
}

// A watch's label moved: closed bars go to the driver when there are new ones.
bool bars_moment(State& st, Code& c, size_t i) {
  if (!c.arrays) {
    Ref fn(PyObject_GetAttr(st.driver.get(), g_names.bar_closed.get()));
    return fn && call(fn.get(), {c.code.get(), c.watches[i].index.get()});
  }
  if (c.dirty && !rebuild(st, c)) return false;
  Watch& w = c.watches[i];
  const Py_ssize_t closed = w.series.count() - 1;
  if (closed <= 0 || closed == w.announced) return true;
  w.announced = closed;
  Ref view(new_bars(w.series, closed, w.key.get(), c.code.get()));
  if (!view) return false;
  for (Account& a : st.accounts) {
    if (!a.on_bar) continue;
    Ref r = a.with_key ? call(a.on_bar.get(), {c.code.get(), view.get(), w.key.get()})
                       : call(a.on_bar.get(), {c.code.get(), view.get()});
    if (!returned_none(r, "on_bar")) return false;
  }
  return true;
}

// Local wall-clock microseconds of a stamp, as datetime.fromtimestamp gives it.
bool wall_us(State& st, PyObject* stamp, std::int64_t& out) {
  if (zk::local_clock::local_us(stamp, out)) return true;
  Ref fn(PyObject_GetAttr(st.driver.get(), g_names.local_wall_us.get()));
  if (!fn) return false;
  Ref v = call(fn.get(), {stamp});
  if (!v) return false;
  const long long us = PyLong_AsLongLong(v.get());
  if (us == -1 && PyErr_Occurred()) return false;
  out = us;
  return true;
}

struct Loop {
  State& st;
  double deadline = std::numeric_limits<double>::infinity();
  double traded_day_end = -std::numeric_limits<double>::infinity();
  long long count = 0;
  double next_mark = 0;

  bool driver_number(PyObject* name, std::initializer_list<PyObject*> args, double& out) {
    Ref fn(PyObject_GetAttr(st.driver.get(), name));
    if (!fn) return false;
    Ref v = call(fn.get(), args);
    return v && as_double(v.get(), out);
  }

  bool tick(PyObject* tick);
  bool traded_tick(Code& c, PyObject* tick, PyObject* stamp, double ts);
};

bool Loop::tick(PyObject* tick) {
  Ref stamp = item(tick, g_names.timestamp.get());
  if (!stamp) return false;
  double ts = 0;
  if (!as_double(stamp.get(), ts)) return false;
  if (ts > deadline && !driver_number(g_names.end_sessions.get(), {stamp.get()}, deadline)) return false;
  if (!call(st.add_tick.get(), {tick})) return false;
  Ref code = item(tick, g_names.code.get());
  if (!code) return false;
  bool error = false;
  Code* c = find_code(st, code.get(), error);
  if (error) return false;
  if (c && c->arrays) ingest(st, *c);  // before anything can drain the new ticks
  for (Account& a : st.accounts)
    if (!set_current(a, tick, code.get())) return false;
  ++count;
  if (count >= next_mark) {
    Ref n(PyLong_FromLongLong(count));
    if (!n || !driver_number(g_names.mark.get(), {n.get()}, next_mark)) return false;
  }
  if (!c) {
    c = start_code(st, code.get());
    if (!c) return false;
  }
  if (!c->traded) return true;
  return traded_tick(*c, tick, stamp.get(), ts);
}

bool Loop::traded_tick(Code& c, PyObject* tick, PyObject* stamp, double ts) {
  PyObject* code = c.code.get();
  if (ts >= traded_day_end && !driver_number(g_names.enter_day.get(), {tick, code}, traded_day_end)) return false;
  for (Account& a : st.accounts) {
    if (PyObject_SetItem(a.latest.get(), code, tick) < 0) return false;
    if (a.match) {
      const int resting = PySequence_Contains(a.resting.get(), code);
      if (resting < 0 || (resting && !call(a.match.get(), {code, tick}))) return false;
    }
  }
  const int open = PyDict_Contains(st.session_last.get(), code);
  if (open < 0) return false;
  if (!open) deadline = std::min(deadline, ts + st.gap);
  if (PyDict_SetItem(st.session_last.get(), code, stamp) < 0) return false;
  if (!c.watches.empty()) {
    std::int64_t local = 0;
    if (!wall_us(st, stamp, local)) return false;
    for (size_t i = 0; i < c.watches.size(); ++i) {
      Watch& w = c.watches[i];
      const std::int64_t label = w.moment(local);
      if (w.has_label && label != w.label && !bars_moment(st, c, i)) return false;
      w.label = label;  // the watches stay put: hooks cannot add codes or keys
      w.has_label = true;
    }
  }
  for (Account& a : st.accounts)
    if (a.on_tick && !returned_none(call(a.on_tick.get(), {tick}), "on_tick")) return false;
  return true;
}

// ---- the Python type

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* kw[] = {"quote_manager", "add_tick", "accounts", "driver", "session_last", "session_gap",
                             nullptr};
  PyObject *qm, *add_tick, *accounts, *driver, *session_last;
  double gap = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO!d:Engine", const_cast<char**>(kw), &qm, &add_tick,
                                   &accounts, &driver, &PyDict_Type, &session_last, &gap))
    return nullptr;
  if (!PyDict_CheckExact(session_last)) {
    PyErr_SetString(PyExc_TypeError, "session_last must be a dict");
    return nullptr;
  }
  auto st = std::make_unique<State>();
  st->qm = Ref(Py_NewRef(qm));
  st->add_tick = Ref(Py_NewRef(add_tick));
  st->driver = Ref(Py_NewRef(driver));
  st->session_last = Ref(Py_NewRef(session_last));
  st->gap = gap;
  st->codes = Ref(PyDict_New());
  if (!st->codes) return nullptr;
  Ref seq(PySequence_Fast(accounts, "accounts must be a sequence"));
  if (!seq) return nullptr;
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
    PyObject *sct, *latest, *resting, *match, *on_tick, *on_bar;
    int with_key = 0, own_current = 0;
    if (!tuple_of(PySequence_Fast_GET_ITEM(seq.get(), i), "an account is a tuple") ||
        !PyArg_ParseTuple(PySequence_Fast_GET_ITEM(seq.get(), i),
                          "OOOOOOpp;an account is (set_current_tick or positions, latest, resting, match, "
                          "on_tick, on_bar, with_key, own_current)",
                          &sct, &latest, &resting, &match, &on_tick, &on_bar, &with_key, &own_current))
      return nullptr;
    auto opt = [](PyObject* o) { return o == Py_None ? Ref() : Ref(Py_NewRef(o)); };
    st->accounts.push_back({Ref(Py_NewRef(sct)), Ref(Py_NewRef(latest)), opt(resting), opt(match), opt(on_tick),
                            opt(on_bar), with_key != 0, own_current != 0});
    if (st->accounts.back().match && !st->accounts.back().resting) {
      PyErr_SetString(PyExc_TypeError, "an account with match needs resting");
      return nullptr;
    }
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  reinterpret_cast<Engine*>(self)->st = st.release();
  return self;
}

int engine_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  State* st = reinterpret_cast<Engine*>(self)->st;
  if (!st) return 0;
  Py_VISIT(st->qm.get());
  Py_VISIT(st->add_tick.get());
  Py_VISIT(st->driver.get());
  Py_VISIT(st->session_last.get());
  Py_VISIT(st->codes.get());
  for (const Account& a : st->accounts) {
    Py_VISIT(a.set_current_tick.get());
    Py_VISIT(a.latest.get());
    Py_VISIT(a.resting.get());
    Py_VISIT(a.match.get());
    Py_VISIT(a.on_tick.get());
    Py_VISIT(a.on_bar.get());
  }
  return 0;
}

int engine_clear(PyObject* self) {
  auto* e = reinterpret_cast<Engine*>(self);
  if (e->st && !e->st->running) delete std::exchange(e->st, nullptr);
  return 0;
}

void engine_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  delete std::exchange(reinterpret_cast<Engine*>(self)->st, nullptr);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* engine_run(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  auto* e = reinterpret_cast<Engine*>(self);
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "run(source, next_mark) takes two arguments");
    return nullptr;
  }
  if (!e->st) {
    PyErr_SetString(PyExc_RuntimeError, "this replay engine was cleared");
    return nullptr;
  }
  State& st = *e->st;
  if (st.running) {
    PyErr_SetString(PyExc_RuntimeError, "the replay is already running (a hook may not start it again)");
    return nullptr;
  }
  Loop loop{st};
  if (!as_double(args[1], loop.next_mark)) return nullptr;
  Ref it(PyObject_GetIter(args[0]));
  if (!it) return nullptr;
  Ref keep(Py_NewRef(self));  // a hook dropping the last other reference
  st.running = true;
  bool ok = true;
  while (ok) {
    Ref tick(PyIter_Next(it.get()));
    if (!tick) {
      ok = !PyErr_Occurred();
      break;
    }
    ok = loop.tick(tick.get());
  }
  st.running = false;
  if (!ok) return nullptr;
  return PyLong_FromLongLong(loop.count);
}

PyMethodDef g_engine_methods[] = {
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_run)), METH_FASTCALL,
     "run($self, source, next_mark, /)\n--\n\nReplay every tick of `source`; the number of ticks."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot g_engine_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(engine_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(engine_clear)},
    {Py_tp_methods, g_engine_methods},
    {Py_tp_doc, const_cast<char*>("The native replay loop of one run (internal: run_backtest drives it).")},
    {0, nullptr}};
PyType_Spec g_engine_spec = {"zopt_kelv_backtest.modules.replay.replay.Engine", sizeof(Engine), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC, g_engine_slots};

}  // namespace

bool add_engine_type(PyObject* module) {
  PyDateTime_IMPORT;
  if (!PyDateTimeAPI || !make_names()) return false;
  Ref type(PyType_FromModuleAndSpec(module, &g_engine_spec, nullptr));
  return type && PyModule_AddObjectRef(module, "Engine", type.get()) == 0;
}

}  // namespace zkr
