// QuoteManager's tick store: constructor, code tick state and add_tick.
//
// add_tick has two renderings of the same rule. The fast one works on integer
// wall-clock microseconds and builds the stored ticks with the datetime C API;
// it runs only when every object it would otherwise consult is the genuine,
// plain kind (module datetime/timedelta, naive datetimes, a plain dict of
// time windows, a set of holiday texts), so no Python code can run while it
// works. Anything else goes through the literal rendering, which calls the
// Python objects step by step in the order a Python method would.
#include "bodies.hpp"
#include "core/dispatch.hpp"
#include "core/local_clock.hpp"
#include "quote_manager/datetime_api.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>

namespace zk {
namespace {

// A new stored-tick dict with the eight keys in order (values to be replaced).
// Cloned from a template grown key by key, so it has the compact str-only key
// table a dict display gets; a presized dict would use the larger general kind.
RecordKeys<8> stored_tick({"dt", "market_type", "code", "close", "qty", "tick_type", "is_simulate", "is_virtual"});

py::object new_dict8() { return steal(PyDict_Copy(stored_tick.shape())); }

// ---- civil calendar on integers (proleptic Gregorian, days from 1970-01-01) ----

using civil::Civil;
using civil::civil_from_days;
using civil::floor_div;
using civil::kUsPerDay;
using civil::kUsPerMin;
using civil::kUsPerSec;

// A naive datetime (fold 0, exact type) at wall-clock microseconds `us`.
py::object make_datetime(std::int64_t us) {
    const civil::WallTime w = civil::wall_time(us);
    return steal(PyDateTimeAPI->DateTime_FromDateAndTime(w.date.y, w.date.m, w.date.d, w.hour, w.minute, w.second,
                                                         w.micro, Py_None, PyDateTimeAPI->DateTimeType));
}

// The fast path keeps to years where "%Y" is four digits and every step of a
// gap (a day back, minutes forward) stays representable.
bool plain_naive_datetime(PyObject* o) {
    if (!PyDateTime_CheckExact(o) || !naive(o)) return false;
    const int y = PyDateTime_GET_YEAR(o);
    return y >= 1900 && y <= 9000;
}

// Time-of-day window [start, end] in microseconds, from two naive time objects.
struct Window {
    std::int64_t start, end;
    int sh, sm, ss;
};

bool plain_time(PyObject* o, std::int64_t& us) {
    if (!PyTime_CheckExact(o) || PyDateTime_TIME_GET_TZINFO(o) != Py_None) return false;
    us = (PyDateTime_TIME_GET_HOUR(o) * 3600LL + PyDateTime_TIME_GET_MINUTE(o) * 60LL +
          PyDateTime_TIME_GET_SECOND(o)) * kUsPerSec +
         PyDateTime_TIME_GET_MICROSECOND(o);
    return true;
}

// Reads the window list of one market if it is a list/tuple of [start, end]
// pairs of naive times; false for anything else (the literal path decides).
bool plain_windows(PyObject* seq, std::vector<Window>& out) {
    if (!PyList_CheckExact(seq) && !PyTuple_CheckExact(seq)) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    out.clear();
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* w = PySequence_Fast_GET_ITEM(seq, i);
        if ((!PyList_CheckExact(w) && !PyTuple_CheckExact(w)) || PySequence_Fast_GET_SIZE(w) != 2)
            return false;
        Window win{};
        PyObject* s = PySequence_Fast_GET_ITEM(w, 0);
        if (!plain_time(s, win.start) || !plain_time(PySequence_Fast_GET_ITEM(w, 1), win.end))
            return false;
        win.sh = PyDateTime_TIME_GET_HOUR(s);
        win.sm = PyDateTime_TIME_GET_MINUTE(s);
        win.ss = PyDateTime_TIME_GET_SECOND(s);
        out.push_back(win);
    }
    return true;
}

// Python's float floor division and modulo, bit for bit.
void py_divmod(double vx, double wx, double& floordiv, double& mod) {
    mod = std::fmod(vx, wx);
    double div = (vx - mod) / wx;
    if (mod != 0.0) {
        if ((wx < 0) != (mod < 0)) {
            mod += wx;
            div -= 1.0;
        }
    } else {
        mod = std::copysign(0.0, wx);
    }
    if (div != 0.0) {
        floordiv = std::floor(div);
        if (div - floordiv > 0.5) floordiv += 1.0;
    } else {
        floordiv = std::copysign(0.0, vx / wx);
    }
}

// ---- the stored tick ------------------------------------------------------

// The tick record's values found in one pass over its entries, when every key
// is the interned str itself (as literal keys are). Held, so a hook that
// rebinds a key cannot free them; read again after Python code may have run,
// since the steps read each value at their own moment.
struct TickView {
    enum { Timestamp, Code, MarketType, Close, Qty, TickType, IsSimulate, N };
    py::object v[N];
    bool full = false;
};

void scan_tick(PyObject* T, TickView& tv) {
    tv = TickView{};
    if (PyDict_GET_SIZE(T) > 16) return;
    PyObject* const keys[TickView::N] = {
        names::timestamp.ptr(), names::code.ptr(),      names::market_type.ptr(),
        names::close.ptr(),     names::qty.ptr(),       names::tick_type.ptr(),
        names::is_simulate.ptr()};
    Py_ssize_t pos = 0;
    PyObject *k, *val;
    int found = 0;
    while (PyDict_Next(T, &pos, &k, &val))
        for (int j = 0; j < TickView::N; ++j)
            if (k == keys[j]) {
                tv.v[j] = py::reinterpret_borrow<py::object>(val);
                ++found;
                break;
            }
    tv.full = found == TickView::N;
}

py::object real_tick(const py::dict& T, py::handle dt, const TickView* tv = nullptr) {
    // Each value is read before the dict is built so that a missing key leaves nothing behind.
    auto read = [&](int j, py::handle key) {
        return tv && tv->full ? tv->v[j] : get_item(T, key);
    };
    py::object mt = read(TickView::MarketType, names::market_type);
    py::object code = read(TickView::Code, names::code);
    py::object close = read(TickView::Close, names::close);
    py::object qty = read(TickView::Qty, names::qty);
    py::object tick_type = read(TickView::TickType, names::tick_type);
    py::object sim = read(TickView::IsSimulate, names::is_simulate);
    py::object d = new_dict8();
    PyObject* o = d.ptr();
    if (PyDict_SetItem(o, names::dt.ptr(), dt.ptr()) < 0 ||
        PyDict_SetItem(o, names::market_type.ptr(), mt.ptr()) < 0 ||
        PyDict_SetItem(o, names::code.ptr(), code.ptr()) < 0 ||
        PyDict_SetItem(o, names::close.ptr(), close.ptr()) < 0 ||
        PyDict_SetItem(o, names::qty.ptr(), qty.ptr()) < 0 ||
        PyDict_SetItem(o, names::tick_type.ptr(), tick_type.ptr()) < 0 ||
        PyDict_SetItem(o, names::is_simulate.ptr(), sim.ptr()) < 0 ||
        PyDict_SetItem(o, names::is_virtual.ptr(), Py_False) < 0)
        throw_py();
    return d;
}

py::object virtual_tick(py::handle dt, py::handle mt, py::handle code, py::handle close) {
    py::object d = new_dict8();
    PyObject* o = d.ptr();
    PyObject* zero = names::int_0.ptr();
    if (PyDict_SetItem(o, names::dt.ptr(), dt.ptr()) < 0 ||
        PyDict_SetItem(o, names::market_type.ptr(), mt.ptr()) < 0 ||
        PyDict_SetItem(o, names::code.ptr(), code.ptr()) < 0 ||
        PyDict_SetItem(o, names::close.ptr(), close.ptr()) < 0 ||
        PyDict_SetItem(o, names::qty.ptr(), zero) < 0 ||
        PyDict_SetItem(o, names::tick_type.ptr(), zero) < 0 ||
        PyDict_SetItem(o, names::is_simulate.ptr(), Py_False) < 0 ||
        PyDict_SetItem(o, names::is_virtual.ptr(), Py_True) < 0)
        throw_py();
    return d;
}

// ---- the literal rendering: gap filling and storing, one minute at a time ----

// time(0) and the session cut, the bounds of a futures weekend morning; made
// at first use, with the datetime C API (see datetime_api.hpp).
py::handle genuine_time(PyObject*& slot, int hour) {
    if (!slot && !(slot = PyDateTimeAPI->Time_FromTime(hour, 0, 0, 0, Py_None, PyDateTimeAPI->TimeType))) throw_py();
    return slot;
}
PyObject* g_midnight = nullptr;
PyObject* g_session_cut = nullptr;
py::handle midnight() { return genuine_time(g_midnight, 0); }
py::handle session_cut() { return genuine_time(g_session_cut, civil::kSessionCutHour); }

bool le(py::handle a, py::handle b) { return compare(a, b, Py_LE); }

// The next value `for start, end in windows` unpacks, `got` of them so far.
py::object unpack_next(PyObject* it, int got) {
    PyObject* v = PyIter_Next(it);
    if (!v) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", got);
        throw_py();
    }
    return steal(v);
}

// `start <= value <= end` over the windows of `self.not_trade_times.get(market_type, [])`;
// returns the index of the first window that holds, or -1. `value_fn` makes the
// compared value once per window, as the chained comparison evaluates it.
template <class ValueFn>
Py_ssize_t literal_window_hit(py::handle self, const py::dict& T, py::object& hit_start,
                              ValueFn value_fn) {
    py::object ntt = get_attr(self, names::not_trade_times);
    py::object get = get_attr(ntt, names::get);
    py::object mt = get_item(T, names::market_type);
    py::object windows = call(get, mt, steal(PyList_New(0)));
    py::object it = steal(PyObject_GetIter(windows.ptr()));
    Py_ssize_t idx = 0;
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        py::object w = py::reinterpret_steal<py::object>(raw);
        py::object wit = steal(PyObject_GetIter(w.ptr()));
        // `for start, end in windows` unpacks exactly two values.
        py::object start = unpack_next(wit.ptr(), 0);
        py::object end = unpack_next(wit.ptr(), 1);
        if (PyObject* extra = PyIter_Next(wit.ptr())) {
            Py_DECREF(extra);
            PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
            throw_py();
        }
        if (PyErr_Occurred()) throw_py();
        py::object v = value_fn();
        if (le(start, v) && le(v, end)) {
            hit_start = start;
            return idx;
        }
        ++idx;
    }
    if (PyErr_Occurred()) throw_py();
    return -1;
}

void store_and_extend(py::handle self, py::handle code, const py::list& new_ticks) {
    py::object last = steal(PySequence_GetItem(new_ticks.ptr(), -1));
    set_item(get_item(get_attr(self, names::ticks), code), names::last_tick, last);
    py::object ticks = get_item(get_item(get_attr(self, names::ticks), code), names::ticks);
    call_method(ticks, names::extend, new_ticks);
}

// Candidates from..count-1 of a gap, step by step as the Python method takes them.
void literal_gap(py::handle self, const py::dict& T, const py::object& ts, const py::object& last_tick,
                 const py::list& new_ticks, long long from, long long count) {
    for (long long i = from; i < count; ++i) {
        py::object base = call_method_kw(get_item(last_tick, names::dt), names::replace, {},
                                         {{names::second, names::int_0}, {names::microsecond, names::int_0}});
        py::object step = call_kw(global(names::timedelta), {}, {{names::minutes, steal(PyLong_FromLongLong(i + 1))}});
        py::object new_dt = add(base, step);
        // Never a virtual tick from after the tick that reveals the gap.
        if (compare(new_dt, ts, Py_GT)) break;
        if (compare(call_method(new_dt, names::weekday), names::int_5, Py_GE)) {
            bool keep = false;
            if (eq(get_item(T, names::market_type), names::Future)) {
                py::object t = call_method(new_dt, names::time);
                keep = le(midnight(), t) && le(t, session_cut());
            }
            if (!keep) continue;
        }
        py::object unused;
        if (literal_window_hit(self, T, unused, [&] { return call_method(new_dt, names::time); }) >= 0) continue;
        py::object day_of = new_dt;
        if (le(call_method(new_dt, names::time), session_cut()))
            day_of = sub(new_dt, call_kw(global(names::timedelta), {}, {{names::days, names::int_1}}));
        py::object text = call_method(day_of, names::strftime, names::ymd_format);
        if (contains(get_attr(self, names::holiday_search_set), text)) continue;
        py::object vmt = get_item(last_tick, names::market_type);
        py::object vcode = get_item(last_tick, names::code);
        py::object vclose = get_item(last_tick, names::close);
        if (PyList_Append(new_ticks.ptr(), virtual_tick(new_dt, vmt, vcode, vclose).ptr()) < 0)
            throw_py();
    }
}

// The real stored tick, its closing pull-back and the store.
void literal_finish(py::handle self, const py::dict& T, const py::object& ts, const py::object& code,
                    const py::list& new_ticks) {
    if (PyList_Append(new_ticks.ptr(), real_tick(T, ts).ptr()) < 0) throw_py();

    py::object start;
    if (literal_window_hit(self, T, start, [&] { return call_method(ts, names::time); }) >= 0) {
        py::object replace = get_attr(ts, names::replace);
        py::object h = get_attr(start, names::hour);
        py::object m = get_attr(start, names::minute);
        py::object s = get_attr(start, names::second);
        py::object moved = call_kw(replace, {}, {{names::hour, h}, {names::minute, m}, {names::second, s}});
        py::object one_sec = call_kw(global(names::timedelta), {}, {{names::seconds, names::int_1}});
        py::object last = steal(PySequence_GetItem(new_ticks.ptr(), -1));
        set_item(last, names::dt, sub(moved, one_sec));
    }
    store_and_extend(self, code, new_ticks);
}


void add_tick_literal(py::handle self, const py::dict& T, const py::object& ts,
                      const py::object& code, const py::object& last_tick) {
    py::list new_ticks;
    if (truth(last_tick)) {
        py::object delta = sub(ts, get_item(last_tick, names::dt));
        py::object diff_seconds = call_method(delta, names::total_seconds);
        py::object sixty = steal(PyLong_FromLong(60));
        py::object diff_minute = steal(PyNumber_Long(steal(PyNumber_FloorDivide(diff_seconds.ptr(), sixty.ptr())).ptr()));
        py::object rest_second = borrow(names::int_0);
        if (compare(steal(PyNumber_Remainder(diff_seconds.ptr(), sixty.ptr())), names::int_0, Py_GT)) {
            py::object m1 = get_attr(ts, names::minute);
            py::object m0 = get_attr(get_item(last_tick, names::dt), names::minute);
            if (compare(sub(m1, m0), names::int_1, Py_GT)) rest_second = borrow(names::int_1);
        }
        py::object missing = add(diff_minute, rest_second);
        if (compare(missing, names::int_1, Py_GT)) {
            int overflow = 0;
            long long count = PyLong_AsLongLongAndOverflow(missing.ptr(), &overflow);
            if (count == -1 && PyErr_Occurred()) throw_py();
            if (overflow) count = LLONG_MAX;  // the look-ahead stop ends the loop
            literal_gap(self, T, ts, last_tick, new_ticks, 0, count);
        }
    }
    literal_finish(self, T, ts, code, new_ticks);
}

// ---- the fast rendering ---------------------------------------------------

// Everything the fast path needs, gathered without running Python code.
// `ok` false means some object is not of the plain kind: take the literal path.
// The objects are held: a hook run by a holiday look-up may drop them.
struct FastView {
    bool ok = false;
    py::object last_dt;   // null when there is no gap to measure
    py::object mt;        // T["market_type"], null when missing
    py::object ntt;       // self.not_trade_times
    py::object windows;   // its list for mt, null when it has none
    py::object holidays;  // self.holiday_search_set (set or frozenset)
    Py_ssize_t holiday_count = 0;
    std::vector<Window> times;
};

void fast_view(py::handle self, const py::dict& T, PyObject* last_tick, const TickView& tv, FastView& v) {
    PyObject* td = global_borrowed(names::timedelta);
    if (td != reinterpret_cast<PyObject*>(PyDateTimeAPI->DeltaType)) return;
    if (last_tick != Py_None) {
        if (!PyDict_CheckExact(last_tick)) return;
        if (PyDict_GET_SIZE(last_tick) != 0) {
            PyObject* dt = PyDict_GetItemWithError(last_tick, names::dt.ptr());
            if (!dt) {
                PyErr_Clear();
                return;
            }
            if (!plain_naive_datetime(dt)) return;
            v.last_dt = py::reinterpret_borrow<py::object>(dt);
        }
    }
    v.mt = tv.full ? tv.v[TickView::MarketType] : dict_find(T.ptr(), names::market_type);
    if (v.mt && !PyUnicode_CheckExact(v.mt.ptr())) return;
    v.ntt = quiet_attr(self, names::not_trade_times);
    if (!v.ntt || !PyDict_CheckExact(v.ntt.ptr())) return;
    if (v.mt) {
        v.windows = dict_find(v.ntt.ptr(), v.mt);
        if (v.windows && !plain_windows(v.windows.ptr(), v.times)) return;
    }
    if (v.last_dt) {
        v.holidays = quiet_attr(self, names::holiday_search_set);
        if (!v.holidays || !(PySet_CheckExact(v.holidays.ptr()) || PyFrozenSet_CheckExact(v.holidays.ptr()))) return;
        v.holiday_count = PySet_GET_SIZE(v.holidays.ptr());
    }
    v.ok = true;
}

// The values of a virtual tick, as last_tick holds them now (null when missing).
struct Source {
    py::object mt, code, close;
    explicit Source(PyObject* last_tick)
        : mt(dict_find(last_tick, names::market_type)), code(dict_find(last_tick, names::code)),
          close(dict_find(last_tick, names::close)) {}
};

// After a holiday look-up, which may have run an element's __eq__: is every
// object the fast path relies on still the one it read? Identity of held
// objects, so no freed object can pass for one.
bool view_unchanged(py::handle self, const py::dict& T, PyObject* last_tick, const FastView& v,
                    const TickView& tv, const Source& src) {
    if (global_borrowed(names::timedelta) != reinterpret_cast<PyObject*>(PyDateTimeAPI->DeltaType)) return false;
    TickView now;
    scan_tick(T.ptr(), now);
    if (now.full != tv.full) return false;
    for (int j = 0; j < TickView::N; ++j)
        if (now.v[j].ptr() != tv.v[j].ptr()) return false;
    if (!tv.full && dict_find(T.ptr(), names::market_type).ptr() != v.mt.ptr()) return false;
    if (quiet_attr_borrowed(self, names::not_trade_times) != v.ntt.ptr()) return false;
    if (v.mt) {
        py::object w = dict_find(v.ntt.ptr(), v.mt);
        std::vector<Window> times;
        if (w.ptr() != v.windows.ptr() || (w && !plain_windows(w.ptr(), times))) return false;
        if (times.size() != v.times.size()) return false;
        for (std::size_t k = 0; k < times.size(); ++k)
            if (times[k].start != v.times[k].start || times[k].end != v.times[k].end) return false;
    }
    if (quiet_attr_borrowed(self, names::holiday_search_set) != v.holidays.ptr() ||
        PySet_GET_SIZE(v.holidays.ptr()) != v.holiday_count)
        return false;
    if (dict_find(last_tick, names::dt).ptr() != v.last_dt.ptr()) return false;
    const Source again(last_tick);
    return again.mt.ptr() == src.mt.ptr() && again.code.ptr() == src.code.ptr() && again.close.ptr() == src.close.ptr();
}

// The minutes of the gap from `last_dt` to `ts` that may get a virtual tick,
// as the Python method counts them (float seconds, floor division); false when
// the difference is too large for a double to hold exactly.
bool gap_minutes(PyObject* ts, PyObject* last_dt, std::int64_t ts_us, std::int64_t lt_us, long long& missing) {
    const std::int64_t diff = ts_us - lt_us;
    // Exact as a double (Python divides such ints with one rounding).
    if (diff >= (std::int64_t{1} << 53) || diff <= -(std::int64_t{1} << 53)) return false;
    double fdiv, fmod_;
    py_divmod(static_cast<double>(diff) / 1e6, 60.0, fdiv, fmod_);
    const int rest_second =
        (fmod_ > 0 && PyDateTime_DATE_GET_MINUTE(ts) - PyDateTime_DATE_GET_MINUTE(last_dt) > 1) ? 1 : 0;
    missing = static_cast<long long>(fdiv) + rest_second;
    return true;
}

// Does the market trade in this minute (a weekday, or a futures weekend
// morning of the night session, and outside every not-trade window)?
bool trading_minute(std::int64_t day, std::int64_t minute_of_day, bool is_future, const std::vector<Window>& times) {
    if (civil::weekday(day) >= 5 && !(is_future && civil::before_session_cut(minute_of_day))) return false;
    const std::int64_t tod = minute_of_day * kUsPerMin;
    for (const Window& w : times)
        if (w.start <= tod && tod <= w.end) return false;
    return true;
}

// A day as the holiday set writes it, "%Y-%m-%d".
py::object day_text(std::int64_t day) {
    const Civil c = civil_from_days(day);
    char buf[32];  // room for any int the compiler cannot bound
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", c.y, c.m, c.d);
    return steal(PyUnicode_FromString(buf));
}

// A virtual tick at `us` with the values last_tick holds now.
py::object virtual_tick_of(PyObject* last_tick, std::int64_t us) {
    py::object vmt = get_item(last_tick, names::market_type);
    py::object vcode = get_item(last_tick, names::code);
    py::object vclose = get_item(last_tick, names::close);
    return virtual_tick(make_datetime(us), vmt, vcode, vclose);
}

// How the fast gap fill ended: no holiday looked up, one looked up (which may
// have run an element's __eq__), or the whole tick finished the literal way.
enum class Gap { Filled, LookedUp, Finished };

// Virtual ticks for the `missing` minutes after last_tick's, onto new_ticks.
Gap fast_gap(py::handle self, const py::dict& T, const py::object& ts, const py::object& code,
             const py::object& last_tick, const FastView& v, const TickView& tv, std::int64_t ts_us,
             std::int64_t lt_us, long long missing, const py::list& new_ticks) {
    PyObject* last_tick_obj = last_tick.ptr();
    const std::int64_t base_min = floor_div(lt_us, kUsPerMin);
    py::object templ;  // the first virtual tick of this gap
    // The first candidate always lies within the gap and reads the market type
    // first, so a missing key fails here as it would there.
    if (!v.mt) get_item(T, names::market_type);
    const bool is_future = eq(v.mt, names::Future);
    const Source src(last_tick_obj);
    std::int64_t cached_day = INT64_MIN;
    bool cached_holiday = false;
    for (long long i = 0; i < missing; ++i) {
        const std::int64_t minute = base_min + i + 1;
        const std::int64_t cand_us = minute * kUsPerMin;
        if (cand_us > ts_us) break;  // never a virtual tick from after the incoming tick
        const std::int64_t day = floor_div(minute, 1440);
        const std::int64_t mod = minute - day * 1440;
        if (!trading_minute(day, mod, is_future, v.times)) continue;
        const std::int64_t trade_day = civil::before_session_cut(mod) ? day - 1 : day;
        if (trade_day != cached_day) {
            const int hit = PySet_Contains(v.holidays.ptr(), day_text(trade_day).ptr());
            if (hit < 0) throw_py();
            cached_day = trade_day;
            cached_holiday = hit != 0;
            if (!view_unchanged(self, T, last_tick_obj, v, tv, src)) {
                // An element's __eq__ changed what the steps read: from here on
                // they read it as the Python method does.
                if (!cached_holiday) append(new_ticks, virtual_tick_of(last_tick_obj, cand_us));
                literal_gap(self, T, ts, last_tick, new_ticks, i + 1, missing);
                literal_finish(self, T, ts, code, new_ticks);
                return Gap::Finished;
            }
        }
        if (cached_holiday) continue;
        if (!templ) {
            templ = virtual_tick_of(last_tick_obj, cand_us);
            append(new_ticks, templ);
            continue;
        }
        // Same keys, same values but "dt": a copy clones the key table at once.
        py::object vt = steal(PyDict_Copy(templ.ptr()));
        if (PyDict_SetItem(vt.ptr(), names::dt.ptr(), make_datetime(cand_us).ptr()) < 0) throw_py();
        append(new_ticks, vt);
    }
    return cached_day == INT64_MIN ? Gap::Filled : Gap::LookedUp;
}

// The closing pull-back: a tick inside a not-trade window moves to one second before it.
void pull_back(PyObject* stored, std::int64_t ts_us, const std::vector<Window>& times) {
    const std::int64_t day = floor_div(ts_us, kUsPerDay);
    const std::int64_t tod = ts_us - day * kUsPerDay;
    for (const Window& w : times)
        if (w.start <= tod && tod <= w.end) {
            const std::int64_t us =
                day * kUsPerDay + (w.sh * 3600LL + w.sm * 60LL + w.ss - 1) * kUsPerSec + tod % kUsPerSec;
            if (PyDict_SetItem(stored, names::dt.ptr(), make_datetime(us).ptr()) < 0) throw_py();
            return;
        }
}

// The store: plain containers directly, anything else through its own
// protocol. `state` is the code's state dict when it was read from plain
// containers with no Python code run since.
void store_fast(py::handle self, const py::object& code, py::object state, const py::object& stored,
                const py::list& new_ticks) {
    // A code that is not an exact str hashes with its own code: the literal steps.
    if (!PyUnicode_CheckExact(code.ptr())) {
        store_and_extend(self, code, new_ticks);
        return;
    }
    if (!state) {
        py::object ticks = quiet_attr(self, names::ticks);
        if (ticks && PyDict_CheckExact(ticks.ptr())) state = dict_find(ticks.ptr(), code);
    }
    if (!state || !PyDict_CheckExact(state.ptr())) {
        store_and_extend(self, code, new_ticks);
        return;
    }
    if (PyDict_SetItem(state.ptr(), names::last_tick.ptr(), stored.ptr()) < 0) throw_py();
    py::object lst = dict_find(state.ptr(), names::ticks);
    if (lst && PyList_CheckExact(lst.ptr())) {
        const Py_ssize_t n = PyList_GET_SIZE(new_ticks.ptr());
        for (Py_ssize_t i = 0; i < n; ++i)
            if (PyList_Append(lst.ptr(), PyList_GET_ITEM(new_ticks.ptr(), i)) < 0) throw_py();
        return;
    }
    call_method(get_item(state, names::ticks), names::extend, new_ticks);
}

// The fast rendering: gap fill, the stored tick, the store. `known_state` as
// for store_fast.
void add_tick_fast(py::handle self, const py::dict& T, const py::object& ts, const py::object& code,
                   const py::object& last_tick, const FastView& v, py::object known_state, TickView& tv) {
    py::list new_ticks(0);
    const std::int64_t ts_us = datetime_us(ts.ptr());
    if (v.last_dt) {
        const std::int64_t lt_us = datetime_us(v.last_dt.ptr());
        long long missing = 0;
        if (!gap_minutes(ts.ptr(), v.last_dt.ptr(), ts_us, lt_us, missing)) {
            add_tick_literal(self, T, ts, code, last_tick);
            return;
        }
        if (missing > 1) {
            const Gap g = fast_gap(self, T, ts, code, last_tick, v, tv, ts_us, lt_us, missing, new_ticks);
            if (g == Gap::Finished) return;
            if (g == Gap::LookedUp) known_state = py::object();  // look the state up again
        }
    }
    py::object stored = real_tick(T, ts, &tv);
    pull_back(stored.ptr(), ts_us, v.times);
    append(new_ticks, stored);
    store_fast(self, code, std::move(known_state), stored, new_ticks);
}

py::object init_ticks_info() {
    py::object d = steal(PyDict_New());
    set_item(d, names::ticks, steal(PyList_New(0)));
    set_item(d, names::old_ticks, steal(PyList_New(0)));
    set_item(d, names::last_tick, Py_None);
    set_item(d, names::cached_kbars, steal(PyDict_New()));
    return d;
}

}  // namespace

namespace {

// A time of day as datetime.strptime(text, "%H:%M:%S").time() gives it.
py::object time_of(const char* text) {
    py::object parsed = call_method(global(names::datetime), names::strptime, steal(PyUnicode_FromString(text)),
                                    names::hms_format);
    return call_method(parsed, names::time);
}

// [[start, end], [start, end]] of two not-trade windows, made in that order.
py::object two_windows(const char* a0, const char* a1, const char* b0, const char* b1) {
    py::object ta0 = time_of(a0), ta1 = time_of(a1), tb0 = time_of(b0), tb1 = time_of(b1);
    return py::list(py::make_tuple(py::list(py::make_tuple(ta0, ta1)), py::list(py::make_tuple(tb0, tb1))));
}

}  // namespace

ZK_BODY(qm_init) {
    py::object read_csv = get_attr(global(names::pl), names::read_csv);
    py::object path = call_method(get_attr(global(names::os), names::path), names::join, global(names::static_dir),
                                  names::holiday_file);
    py::object holiday_search_df = call_kw(read_csv, {path}, {{names::has_header, Py_True}});
    py::object dates = get_item(holiday_search_df, names::Date);
    set_attr(self, names::holiday_search_set, steal(PySet_New(dates.ptr())));
    set_attr(self, names::ticks, steal(PyDict_New()));
    char cut[16];  // the futures' night session ends at the session cut
    std::snprintf(cut, sizeof cut, "%02d:00:00", civil::kSessionCutHour);
    py::object ntt = steal(PyDict_New());
    set_item(ntt, names::Stock, two_windows("13:30:00", "23:59:59", "00:00:00", "08:59:59"));
    set_item(ntt, names::Future, two_windows("13:45:00", "14:59:59", cut, "08:44:59"));
    set_attr(self, names::not_trade_times, ntt);
    return py::none();
}

ZK_BODY(qm_get_init_ticks_info) {
    return init_ticks_info();
}

ZK_BODY(qm_get_empty_tick_df) {
    py::object pl = global(names::pl);
    const py::handle types[] = {names::Datetime, names::Utf8,  names::Utf8,    names::Float64,
                                names::Int64,    names::Int8,  names::Boolean, names::Boolean};
    py::list schema;
    for (std::size_t i = 0; i < stored_tick.keys.size(); ++i)
        schema.append(py::make_tuple(py::handle(stored_tick.keys[i]), get_attr(pl, types[i])));
    return call_method_kw(pl, names::DataFrame, {steal(PyList_New(0))}, {{names::schema, schema}});
}

ZK_BODY(qm_clear_ticks) {
    set_attr(self, names::ticks, steal(PyDict_New()));
    return py::none();
}

ZK_BODY(qm_add_tick, tick) {
    const py::dict T = py::reinterpret_borrow<py::dict>(tick);
    need_datetime_api();
    const PyDateTime_CAPI* api = PyDateTimeAPI;
    bool ran = false;  // Python code may have run since the tick was scanned

    // The tick time: ts = datetime.fromtimestamp(T["timestamp"]).
    py::object dt_cls = global(names::datetime);
    const bool genuine = dt_cls.ptr() == reinterpret_cast<PyObject*>(api->DateTimeType);
    py::object ts;
    TickView tv;
    if (genuine) {
        scan_tick(T.ptr(), tv);
        py::object stamp = tv.full ? tv.v[TickView::Timestamp] : get_item(T, names::timestamp);
        std::int64_t us;
        if (local_clock::local_us(stamp.ptr(), us)) {
            ts = make_datetime(us);
        } else {
            py::object args = steal(PyTuple_Pack(1, stamp.ptr()));
            ts = steal(api->DateTime_FromTimestamp(dt_cls.ptr(), args.ptr(), nullptr));
            ran = true;  // an __index__ of the stamp, say
        }
    } else {
        py::object fn = get_attr(dt_cls, names::fromtimestamp);
        py::object stamp = get_item(T, names::timestamp);
        ts = call(fn, stamp);
    }
    if (ran) scan_tick(T.ptr(), tv);

    // The code's state, made through self's own method when new.
    py::object code = tv.full ? tv.v[TickView::Code] : get_item(T, names::code);
    py::object last_tick;
    py::object state;  // set when read from plain containers with nothing run since
    py::object plain_ticks = quiet_attr(self, names::ticks);
    if (plain_ticks && PyDict_CheckExact(plain_ticks.ptr()) && PyUnicode_CheckExact(code.ptr())) {
        state = dict_find(plain_ticks.ptr(), code);
        if (state) {
            last_tick = get_item(state, names::last_tick);
            if (!PyDict_CheckExact(state.ptr())) {
                state = py::object();  // its __getitem__ may have run code
                ran = true;
            }
        }
    }
    if (state) {
        // found above
    } else if (!last_tick) {
        ran = true;
        py::object ticks = get_attr(self, names::ticks);
        const int known = PySequence_Contains(ticks.ptr(), code.ptr());
        if (known < 0) throw_py();
        if (!known) {
            py::object m = get_attr(self, names::get_init_ticks_info);
            py::object info = call(m);
            set_item(get_attr(self, names::ticks), code, info);
            last_tick = py::none();
        } else {
            last_tick = get_item(get_item(get_attr(self, names::ticks), code), names::last_tick);
        }
    }
    if (ran && genuine) scan_tick(T.ptr(), tv);

    if (genuine && PyDateTime_CheckExact(ts.ptr()) && plain_naive_datetime(ts.ptr())) {
        FastView v;
        fast_view(self, T, last_tick.ptr(), tv, v);
        if (v.ok) {
            add_tick_fast(self, T, ts, code, last_tick, v, state, tv);
            return py::none();
        }
    }
    add_tick_literal(self, T, ts, code, last_tick);
    return py::none();
}

}  // namespace zk
