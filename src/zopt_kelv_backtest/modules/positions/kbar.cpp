// Tick frames, K-bar aggregation and the cached incremental K-bar query.
//
// Every cached key remembers, outside the documented containers, how far into
// the code's "old_ticks" its frame has read (a watermark kept per frame object).
// A query merges every tick drained since then, whichever query drained it, so
// no width loses ticks to another. The watermark is trusted only while the
// frame, the old-ticks list and the last tick read are still the very objects
// it was taken from; otherwise the key is rebuilt from all old ticks.
#include <cmath>
#include <map>
#include <optional>
#include <unordered_map>

#include "bodies.hpp"
#include "compat.hpp"
#include "tick_columns.hpp"

namespace zk {
namespace {

const char* const kUnitError = "'unit' must be one of ['m', 'h', 'd', 'w', 'mo', 'q', 'y']";
const char* const kUnits[] = {"m", "h", "d", "w", "mo", "q", "y"};

py::object borrow(py::handle h) { return py::reinterpret_borrow<py::object>(h); }

bool truthy(py::handle h) {
    int r = PyObject_IsTrue(h.ptr());
    if (r < 0) throw_py();
    return r != 0;
}

py::object getitem(py::handle o, py::handle key) { return steal(PyObject_GetItem(o.ptr(), key.ptr())); }

py::object compare(py::handle a, py::handle b, int op) {
    return steal(PyObject_RichCompare(a.ptr(), b.ptr(), op));
}

// ---- conversions

py::object literal_tick_frame(py::handle ticks) {
    py::object pl = global("pl");
    py::object col = pl.attr("col");
    auto cast = [&](const char* name, const char* type) { return col(name).attr("cast")(pl.attr(type)); };
    return pl.attr("DataFrame")(ticks)
        .attr("select")(cast("dt", "Datetime"), cast("market_type", "Utf8"), cast("code", "Utf8"),
                        cast("close", "Float64"), cast("qty", "Int64"), cast("tick_type", "Int8"),
                        cast("is_simulate", "Boolean"), cast("is_virtual", "Boolean"))
        .attr("sort")("dt", py::arg("maintain_order") = true);
}

// A tick frame of `ticks`, read natively when every value has its usual type.
py::object tick_frame_of(py::handle ticks) {
    if (cols::genuine_polars(global("pl"))) {
        cols::TickColumns c;
        if (cols::read_ticks(ticks, 0, c)) {
            auto order = cols::stable_order_by_dt(c.dt);
            if (!order.empty()) c.permute(order);
            return cols::tick_frame(c);
        }
    }
    return literal_tick_frame(ticks);
}

// ---- bar labels: polars' dt.truncate for naive times, verified against it in tests

struct Truncator {
    enum Kind { Fixed, Week, Month } kind = Fixed;
    std::int64_t every = 0;  // microseconds, or months
    std::int64_t operator()(std::int64_t t) const {
        constexpr std::int64_t kDay = 86400LL * 1000000LL;
        auto rem = [](std::int64_t a, std::int64_t b) { return ((a % b) + b) % b; };
        switch (kind) {
            case Fixed: return t - rem(t, every);
            case Week: return t - rem(t - 4 * kDay, every);  // weeks start on Monday 1970-01-05
            case Month: {
                int y = 0, m = 0;
                cols::us_to_year_month(t, y, m);
                std::int64_t total = (static_cast<std::int64_t>(y) - 1970) * 12 + (m - 1);
                total -= rem(total, every);
                std::int64_t yy = 1970 + (total >= 0 ? total / 12 : -((-total + 11) / 12));
                return cols::month_start_us(yy, static_cast<int>(total - (yy - 1970) * 12) + 1);
            }
        }
        return t;
    }
};

// The truncation of f"{freq}{unit}" when it is computed natively.
std::optional<Truncator> truncator(py::handle unit, py::handle freq) {
    if (!PyUnicode_CheckExact(unit.ptr()) || !PyLong_CheckExact(freq.ptr())) return std::nullopt;
    int overflow = 0;
    long long f = PyLong_AsLongLongAndOverflow(freq.ptr(), &overflow);
    if (overflow || f < 1 || f > 100000) {
        PyErr_Clear();
        return std::nullopt;  // polars decides (and reports) the odd widths
    }
    const char* u = PyUnicode_AsUTF8(unit.ptr());
    if (!u) throw_py();
    const std::string_view s(u);
    constexpr std::int64_t kMin = 60LL * 1000000LL;
    Truncator t;
    if (s == "m") t.every = f * kMin;
    else if (s == "h") t.every = f * 60 * kMin;
    else if (s == "d") t.every = f * 1440 * kMin;
    else if (s == "w") t = {Truncator::Week, f * 7 * 1440 * kMin};
    else if (s == "mo") t = {Truncator::Month, f};
    else if (s == "q") t = {Truncator::Month, 3 * f};
    else if (s == "y") t = {Truncator::Month, 12 * f};
    else return std::nullopt;
    return t;
}

// Times the native labels are checked for; polars labels anything else.
bool label_range(std::int64_t t) {
    constexpr std::int64_t kYear = 366LL * 86400LL * 1000000LL;
    return t > -70 * kYear && t < 230 * kYear;  // about 1900 to 2200
}

// ---- native aggregation

// Bars of the rows (already in stable "dt" order) that pass `keep`, labelled
// by `trunc`, one per (label, code) in (label, code) order. False when a value
// needs polars' own rules (NaN or -0.0 prices, out-of-range times, overflow).
template <class Keep>
bool aggregate(const cols::TickColumns& c, const Truncator& trunc, Keep keep,
               std::vector<cols::Bar>& out) {
    std::int64_t label = 0;
    bool open = false;
    std::map<std::string_view, cols::Bar> group;  // bars of the current label, by code
    auto flush = [&]() {
        for (auto& [code, bar] : group) out.push_back(std::move(bar));
        group.clear();
    };
    for (std::size_t i = 0; i < c.size(); ++i) {
        if (c.is_simulate[i]) continue;
        const double px = c.close[i];
        if (std::isnan(px) || (px == 0.0 && std::signbit(px))) return false;
        if (!label_range(c.dt[i])) return false;
        const std::int64_t l = trunc(c.dt[i]);
        if (!keep(l)) continue;
        if (!open || l != label) {
            flush();
            label = l;
            open = true;
        }
        std::string_view code = c.code.at(i);
        auto it = group.find(code);
        if (it == group.end()) {
            group.emplace(code, cols::Bar{l, std::string(code), px, px, px, px, c.qty[i], c.dt[i], c.dt[i]});
        } else {
            cols::Bar& b = it->second;
            b.high = std::max(b.high, px);
            b.low = std::min(b.low, px);
            b.close = px;
            b.last_dt = c.dt[i];
            if (__builtin_add_overflow(b.volume, c.qty[i], &b.volume)) return false;
        }
    }
    flush();
    return true;
}

// ---- per-key watermarks

struct KeyMark {
    py::object weak;        // weak reference to the cached frame
    py::object key;         // (code, unit, freq) it was stored under
    PyObject* old_ticks;    // identity of the list read; compared, never dereferenced
    Py_ssize_t seen;        // old_ticks[:seen] are in the frame
    py::object last_seen;   // old_ticks[seen - 1], or None
    Py_ssize_t height;      // rows of the frame
    bool has_tail = false;  // the bars of the newest label are known
    std::vector<cols::Bar> tail;
    int chunks = 1;
};

std::unordered_map<PyObject*, KeyMark>& marks() {
    static auto* m = new std::unordered_map<PyObject*, KeyMark>();  // outlives interpreter exit
    return *m;
}

// Weak-reference callback: the frame is gone, so is its watermark.
PyObject* forget_frame(PyObject* addr, PyObject* weak) {
    auto& m = marks();
    auto it = m.find(static_cast<PyObject*>(PyLong_AsVoidPtr(addr)));
    if (it != m.end() && it->second.weak.ptr() == weak) {
        KeyMark gone = std::move(it->second);  // released after the entry is erased
        m.erase(it);
    }
    Py_RETURN_NONE;
}

PyMethodDef g_forget_def = {"_forget_frame", forget_frame, METH_O, nullptr};

py::object height_of(py::handle frame) { return frame.attr("height"); }

void remember(py::handle frame, py::handle key, py::handle old_ticks, bool has_tail,
              std::vector<cols::Bar> tail, int chunks) {
    if (!PyList_CheckExact(old_ticks.ptr())) return;  // nothing to check against later
    py::object addr = steal(PyLong_FromVoidPtr(frame.ptr()));
    py::object cb = steal(PyCFunction_New(&g_forget_def, addr.ptr()));
    PyObject* w = PyWeakref_NewRef(frame.ptr(), cb.ptr());
    if (!w) {
        PyErr_Clear();  // a frame without weak references simply has no watermark
        return;
    }
    KeyMark mark;
    mark.weak = py::reinterpret_steal<py::object>(w);
    mark.key = borrow(key);
    mark.old_ticks = old_ticks.ptr();
    mark.seen = PyList_GET_SIZE(old_ticks.ptr());
    mark.last_seen = mark.seen ? borrow(PyList_GET_ITEM(old_ticks.ptr(), mark.seen - 1)) : py::none();
    mark.height = py::cast<Py_ssize_t>(height_of(frame));
    mark.has_tail = has_tail;
    mark.tail = std::move(tail);
    mark.chunks = chunks;
    KeyMark replaced;
    auto& m = marks();
    auto it = m.find(frame.ptr());
    if (it != m.end()) replaced = std::move(it->second);
    m[frame.ptr()] = std::move(mark);
}

// The watermark of `frame` when it still describes it exactly.
const KeyMark* mark_of(py::handle frame, py::handle key, py::handle old_ticks, bool check_height = true) {
    auto& m = marks();
    auto it = m.find(frame.ptr());
    if (it == m.end() || !PyList_CheckExact(old_ticks.ptr())) return nullptr;
    // Calling a weak reference gives its object, or None once that is gone.
    if (steal(PyObject_CallNoArgs(it->second.weak.ptr())).ptr() != frame.ptr()) return nullptr;
    if (it->second.old_ticks != old_ticks.ptr()) return nullptr;
    const Py_ssize_t seen = it->second.seen;
    if (seen > PyList_GET_SIZE(old_ticks.ptr())) return nullptr;
    PyObject* last = seen ? PyList_GET_ITEM(old_ticks.ptr(), seen - 1) : Py_None;
    if (last != it->second.last_seen.ptr()) return nullptr;
    py::object stored_key = it->second.key;
    const Py_ssize_t height = it->second.height;
    // Comparing keys or asking the height may run Python code: look the entry up again.
    int same = PyObject_RichCompareBool(stored_key.ptr(), key.ptr(), Py_EQ);
    if (same < 0) throw_py();
    if (!same || (check_height && py::cast<Py_ssize_t>(height_of(frame)) != height)) return nullptr;
    it = m.find(frame.ptr());
    return it == m.end() ? nullptr : &it->second;
}

// Bars of the newest label of a frame we stored, read back from the frame.
bool read_tail(py::handle frame, std::vector<cols::Bar>& tail) {
    py::object pl = global("pl");
    py::object dt = pl.attr("col")("dt");
    py::object rows = frame.attr("filter")(compare(dt, dt.attr("max")(), Py_EQ)).attr("rows")();
    if (!cols::genuine_polars(pl)) return false;
    for (py::handle row : rows) {
        py::tuple r = py::reinterpret_borrow<py::tuple>(row);
        if (r.size() != 7 || !PyUnicode_CheckExact(r[1].ptr())) return false;
        py::handle when = r[0];
        for (int i = 2; i < 6; ++i)
            if (!PyFloat_CheckExact(r[i].ptr())) return false;
        if (!PyLong_CheckExact(r[6].ptr())) return false;
        // The label as microseconds, through the same reading as the ticks.
        py::dict probe;
        probe["dt"] = when;
        probe["market_type"] = r[1];
        probe["code"] = r[1];
        probe["close"] = r[2];
        probe["qty"] = r[6];
        probe["tick_type"] = 0;
        probe["is_simulate"] = false;
        probe["is_virtual"] = false;
        py::list one;
        one.append(probe);
        cols::TickColumns c;
        if (!cols::read_ticks(one, 0, c)) return false;
        // The frame does not say when Open and Close traded: take the bar's start,
        // so later ticks merge as the frame-level rule has it.
        tail.push_back(cols::Bar{c.dt[0], std::string(c.code.at(0)), r[2].cast<double>(),
                                 r[3].cast<double>(), r[4].cast<double>(), r[5].cast<double>(),
                                 c.qty[0], c.dt[0], c.dt[0]});
    }
    return !tail.empty();
}

// ---- the query

struct Query {
    py::handle self, code, unit, freq, exprs;
    py::object return_fn;
    py::object key;

    py::object finish(py::object df) const {
        return steal(PyObject_CallOneArg(return_fn.ptr(), df.ptr()));
    }
    // The caller's expressions on top of the cached frame (which stays as it is).
    py::object with_exprs(py::object df) const {
        if (truthy(exprs)) df = df.attr("with_columns")(exprs);
        return finish(df);
    }
};

const char* const kKbarMethods[] = {"poped_tick_to_df", "poped_old_ticks_to_df", "aggregate_kbar",
                                    "get_empty_tick_df"};
const Body kKbarBodies[] = {qm_poped_tick_to_df, qm_poped_old_ticks_to_df, qm_aggregate_kbar,
                            qm_get_empty_tick_df};

bool own_methods(py::handle self) {
    static PyObject* names[4] = {};
    if (!names[0])
        for (int i = 0; i < 4; ++i) names[i] = PyUnicode_InternFromString(kKbarMethods[i]);
    PyTypeObject* tp = Py_TYPE(self.ptr());
    if (tp->tp_getattro == PyObject_GenericGetAttr) {
        // Plain attribute rules: our functions are non-data descriptors, so an
        // instance attribute of the same name would win over them.
        py::object d = steal(PyObject_GenericGetDict(self.ptr(), nullptr));
        bool known = true;
        for (int i = 0; known && i < 4; ++i) {
            if (PyDict_Check(d.ptr()) && PyDict_GetItemWithError(d.ptr(), names[i])) return false;
            if (PyErr_Occurred()) throw_py();
            PyObject* fn = compat::type_lookup(tp, names[i], known);
            if (known && (!fn || !is_native_body(fn, kKbarBodies[i]))) return false;
        }
        if (known) return true;
    }
    for (int i = 0; i < 4; ++i) {
        py::object m = steal(PyObject_GetAttr(self.ptr(), names[i]));
        PyObject* fn = PyMethod_Check(m.ptr()) ? PyMethod_GET_FUNCTION(m.ptr()) : m.ptr();
        if (!is_native_body(fn, kKbarBodies[i])) return false;
    }
    return true;
}

// The module's `pl`, looked up now.
py::object current_pl() {
    if (PyObject* d = module_dict()) {
        if (PyObject* v = PyDict_GetItemWithError(d, ZK_STR("pl").ptr())) return borrow(v);
        if (PyErr_Occurred()) throw_py();
    }
    return global("pl");
}

py::object every_text(const Query& q) {
    return steal(PyUnicode_FromFormat("%S%S", q.freq.ptr(), q.unit.ptr()));
}

// Step 4.2: the bar label column.
py::object labelled(py::handle tick_df, const Query& q) {
    py::object pl = global("pl");
    py::object dt = pl.attr("col")("dt");
    return tick_df.attr("with_columns")(dt.attr("cast")(pl.attr("Datetime")).attr("alias")("dt"),
                                        dt.attr("dt").attr("truncate")(every_text(q)).attr("alias")("kbar_time"));
}

py::object not_simulated() {
    return compare(global("pl").attr("col")("is_simulate"), py::bool_(true), Py_NE);
}

// Steps 6 to 10, once the new frame is known.
py::object store_and_return(const Query& q, py::object kbar_df, py::handle old_ticks) {
    if (truthy(kbar_df.attr("is_empty")())) return q.finish(kbar_df);
    py::list by;
    by.append("dt");
    kbar_df = kbar_df.attr("sort")(by);
    getitem(getitem(q.self.attr("ticks"), q.code), py::str("cached_kbars"))[q.key] = kbar_df;
    std::vector<cols::Bar> tail;
    bool has_tail = false;
    if (old_ticks) has_tail = read_tail(kbar_df, tail);
    if (old_ticks) remember(kbar_df, q.key, old_ticks, has_tail, std::move(tail), 1);
    return q.with_exprs(kbar_df);
}

// The query through the object's own methods and polars' own operations.
// `drained`: the pending ticks were already moved to the old ticks (fast path).
py::object general_query(const Query& q, bool drained) {
    py::object pl = global("pl");
    // How many old ticks there were before this drain: they are what other
    // queries drained, which this key may not have seen yet.
    py::object old_before;
    Py_ssize_t before = -1;
    try {
        py::object ticks = q.self.attr("ticks");
        if (PySequence_Contains(ticks.ptr(), q.code.ptr()) == 1) {
            old_before = getitem(getitem(ticks, q.code), py::str("old_ticks"));
            if (PyList_CheckExact(old_before.ptr())) before = PyList_GET_SIZE(old_before.ptr());
        }
    } catch (py::error_already_set&) {
        // Odd state: the Part's own lookups below report it.
    }
    PyErr_Clear();
    py::object tick_df;
    if (!drained) tick_df = q.self.attr("poped_tick_to_df")(q.code);

    py::object state = getitem(q.self.attr("ticks"), q.code);
    py::object cached_kbars = getitem(state, py::str("cached_kbars"));
    py::object old_ticks;
    try {
        old_ticks = getitem(state, py::str("old_ticks"));
    } catch (py::error_already_set&) {
        PyErr_Clear();
    }
    const KeyMark* mark = nullptr;
    py::object cached;
    int has = PySequence_Contains(cached_kbars.ptr(), q.key.ptr());
    if (has < 0) throw_py();
    if (has) {
        cached = getitem(cached_kbars, q.key);
        if (old_ticks && old_before && old_ticks.ptr() == old_before.ptr())
            mark = mark_of(cached, q.key, old_ticks);
        if (mark && drained) before = PyList_GET_SIZE(old_ticks.ptr());
        if (mark && mark->seen > before) mark = nullptr;
    }
    py::object col = pl.attr("col");
    if (!mark) {
        // Full build, simulated ticks left out as the merge leaves them out.
        py::object df = labelled(q.self.attr("poped_old_ticks_to_df")(q.code), q);
        df = df.attr("filter")(not_simulated());
        return store_and_return(q, q.self.attr("aggregate_kbar")(df), old_ticks);
    }
    // Incremental merge of every tick this key has not seen, in drain order.
    const Py_ssize_t seen = mark->seen;
    if (seen < before) {
        py::object missed = steal(PyList_GetSlice(old_ticks.ptr(), seen, before));
        py::object missed_df = tick_frame_of(missed);
        tick_df = tick_df ? missed_df.attr("vstack")(tick_df) : missed_df;
    }
    if (!tick_df) tick_df = q.self.attr("get_empty_tick_df")();
    tick_df = labelled(tick_df, q);
    if (truthy(tick_df.attr("is_empty")())) return q.with_exprs(cached);
    py::object dt = col("dt");
    py::object last_dt = cached["dt"].attr("max")();
    py::object completed = cached.attr("filter")(compare(dt, last_dt, Py_LT));
    py::object last_kbar = cached.attr("filter")(compare(dt, last_dt, Py_EQ));
    py::object newer = compare(col("kbar_time"), last_dt, Py_GE);
    tick_df = tick_df.attr("filter")(steal(PyNumber_And(newer.ptr(), not_simulated().ptr())));
    py::object new_last = q.self.attr("aggregate_kbar")(tick_df);
    py::object last_kbars = last_kbar.attr("vstack")(new_last);
    py::list aggs;
    aggs.append(col("Open").attr("first")());
    aggs.append(col("High").attr("max")());
    aggs.append(col("Low").attr("min")());
    aggs.append(col("Close").attr("last")());
    aggs.append(col("Volume").attr("sum")());
    py::list by;
    by.append("dt");
    by.append("code");
    last_kbars = last_kbars.attr("group_by")(by).attr("agg")(aggs);
    return store_and_return(q, completed.attr("vstack")(last_kbars), old_ticks);
}

// The query when every piece is our own: drain, read, label and aggregate natively.
// Returns nothing when a value needs polars' own rules; the drain has happened then.
std::optional<py::object> native_query(const Query& q, const Truncator& trunc, bool& drained) {
    py::object ticks = q.self.attr("ticks");
    if (!PyDict_CheckExact(ticks.ptr())) return std::nullopt;
    PyObject* st = PyDict_GetItemWithError(ticks.ptr(), q.code.ptr());
    if (!st) {
        if (PyErr_Occurred()) throw_py();
        PyErr_SetObject(PyExc_KeyError, q.code.ptr());  // no tick state: nothing to drain
        throw_py();
    }
    py::object state = borrow(st);
    if (!PyDict_CheckExact(st)) return std::nullopt;
    PyObject* pending = PyDict_GetItemWithError(st, ZK_STR("ticks").ptr());
    PyObject* old = PyDict_GetItemWithError(st, ZK_STR("old_ticks").ptr());
    PyObject* ck = PyDict_GetItemWithError(st, ZK_STR("cached_kbars").ptr());
    if (PyErr_Occurred()) throw_py();
    if (!pending || !old || !ck || !PyList_CheckExact(pending) || !PyList_CheckExact(old) ||
        !PyDict_CheckExact(ck))
        return std::nullopt;
    py::object old_ticks = borrow(old), cached_kbars = borrow(ck);

    // Step 2: drain (poped_tick_to_df without its frame: nothing reads it here).
    if (PyList_GET_SIZE(pending) > 0) {
        py::object batch = borrow(pending);
        const Py_ssize_t n = PyList_GET_SIZE(old);
        if (PyList_SetSlice(old, n, n, batch.ptr()) < 0) throw_py();
        py::object fresh = steal(PyList_New(0));
        if (PyDict_SetItem(st, ZK_STR("ticks").ptr(), fresh.ptr()) < 0) throw_py();
    }
    drained = true;

    PyObject* c = PyDict_GetItemWithError(ck, q.key.ptr());
    if (!c && PyErr_Occurred()) throw_py();
    py::object cached = c ? borrow(c) : py::object();
    const Py_ssize_t total = PyList_GET_SIZE(old_ticks.ptr());
    // Nothing new for this key: the frame goes back as it is (its rows do not matter).
    const KeyMark* mark = cached ? mark_of(cached, q.key, old_ticks, false) : nullptr;
    if (mark && mark->seen == total) return q.with_exprs(cached);
    if (mark) mark = mark_of(cached, q.key, old_ticks);

    if (mark && mark->has_tail) {
        cols::TickColumns cols;
        if (!cols::read_ticks(old_ticks, mark->seen, cols)) return std::nullopt;
        auto order = cols::stable_order_by_dt(cols.dt);
        if (!order.empty()) cols.permute(order);
        const std::int64_t last = mark->tail.front().dt;
        std::vector<cols::Bar> fresh;
        if (!aggregate(cols, trunc, [&](std::int64_t l) { return l >= last; }, fresh)) return std::nullopt;
        // The cached newest bars and the new part of the same label become one row each.
        std::vector<cols::Bar> merged = mark->tail;
        std::size_t i = 0;
        for (; i < fresh.size() && fresh[i].dt == last; ++i) {
            auto it = std::find_if(merged.begin(), merged.end(),
                                   [&](const cols::Bar& b) { return b.code == fresh[i].code; });
            if (it == merged.end()) {
                merged.push_back(fresh[i]);
                continue;
            }
            // As one stable sort of all the bar's ticks would order them: an
            // earlier time takes Open; an equal or later one takes Close.
            if (fresh[i].first_dt < it->first_dt) {
                it->open = fresh[i].open;
                it->first_dt = fresh[i].first_dt;
            }
            if (fresh[i].last_dt >= it->last_dt) {
                it->close = fresh[i].close;
                it->last_dt = fresh[i].last_dt;
            }
            it->high = std::max(it->high, fresh[i].high);
            it->low = std::min(it->low, fresh[i].low);
            if (__builtin_add_overflow(it->volume, fresh[i].volume, &it->volume)) return std::nullopt;
        }
        std::vector<cols::Bar> tail = merged;
        for (; i < fresh.size(); ++i) merged.push_back(fresh[i]);
        if (fresh.size() > 0 && fresh.back().dt != last) {
            tail.clear();
            for (const auto& b : fresh)
                if (b.dt == fresh.back().dt) tail.push_back(b);
        }
        const Py_ssize_t keep = mark->height - static_cast<Py_ssize_t>(mark->tail.size());
        int chunks = mark->chunks + 1;
        // Each query adds a chunk, and every chunk slows the next slice and vstack;
        // merging them is O(rows), so only now and then.
        const bool rechunk = chunks > 16;
        if (rechunk) chunks = 1;
        py::object frame;
        if (auto inner = cols::kbar_inner_frame(merged)) {
            // Chained on the inner frames: one wrapper instead of three.
            py::object df = cached.attr("_df").attr("slice")(0, keep).attr("vstack")(*inner);
            if (rechunk) df = df.attr("rechunk")();
            frame = cols::wrap_inner_frame(df);
        } else {
            frame = cached.attr("slice")(0, keep).attr("vstack")(cols::kbar_frame(merged));
            if (rechunk) frame = frame.attr("rechunk")();
        }
        if (PyDict_SetItem(ck, q.key.ptr(), frame.ptr()) < 0) throw_py();
        remember(frame, q.key, old_ticks, true, std::move(tail), chunks);
        return q.with_exprs(frame);
    }
    if (mark) return std::nullopt;  // a watermark without its newest bars: polars merges

    // Full build over every old tick.
    cols::TickColumns cols;
    if (!cols::read_ticks(old_ticks, 0, cols)) return std::nullopt;
    auto order = cols::stable_order_by_dt(cols.dt);
    if (!order.empty()) cols.permute(order);
    std::vector<cols::Bar> bars;
    if (!aggregate(cols, trunc, [](std::int64_t) { return true; }, bars)) return std::nullopt;
    py::object frame = cols::kbar_frame(bars);
    if (bars.empty()) return q.finish(frame);
    if (PyDict_SetItem(ck, q.key.ptr(), frame.ptr()) < 0) throw_py();
    std::vector<cols::Bar> tail;
    for (const auto& b : bars)
        if (b.dt == bars.back().dt) tail.push_back(b);
    remember(frame, q.key, old_ticks, true, std::move(tail), 1);
    return q.with_exprs(frame);
}

ZK_BODY(return_fn_body) {
    if (truthy(self)) return a[0].attr("to_pandas")();
    return borrow(a[0]);
}

const FunctionSpec kReturnFn{"return_fn", false, {{"df", "pl.DataFrame"}}, nullptr, nullptr,
                             "轉換為 pandas DataFrame", return_fn_body};

}  // namespace

ZK_BODY(qm_aggregate_kbar) {
    (void)self;
    py::object pl = global("pl");
    py::object col = pl.attr("col");
    py::list by;
    by.append("kbar_time");
    by.append("code");
    py::list aggs;
    aggs.append(col("close").attr("first")().attr("alias")("Open"));
    aggs.append(col("close").attr("max")().attr("alias")("High"));
    aggs.append(col("close").attr("min")().attr("alias")("Low"));
    aggs.append(col("close").attr("last")().attr("alias")("Close"));
    aggs.append(col("qty").attr("sum")().attr("alias")("Volume"));
    py::dict names;
    names["kbar_time"] = "dt";
    return a[0].attr("group_by")(by).attr("agg")(aggs).attr("rename")(names);
}

ZK_BODY(qm_poped_tick_to_df) {
    py::handle code = a[0];
    int has = PySequence_Contains(self.attr("ticks").ptr(), code.ptr());
    if (has < 0) throw_py();
    if (!has) return self.attr("get_empty_tick_df")();
    py::object poped = getitem(getitem(self.attr("ticks"), code), py::str("ticks"));
    if (!truthy(poped)) return self.attr("get_empty_tick_df")();
    getitem(getitem(self.attr("ticks"), code), py::str("old_ticks")).attr("extend")(poped);
    getitem(self.attr("ticks"), code)[py::str("ticks")] = py::list();
    return tick_frame_of(poped);
}

ZK_BODY(qm_poped_old_ticks_to_df) {
    py::handle code = a[0];
    int has = PySequence_Contains(self.attr("ticks").ptr(), code.ptr());
    if (has < 0) throw_py();
    if (!has) return self.attr("get_empty_tick_df")();
    py::object old_ticks = getitem(getitem(self.attr("ticks"), code), py::str("old_ticks"));
    if (!truthy(old_ticks)) return self.attr("get_empty_tick_df")();
    return tick_frame_of(old_ticks);
}

ZK_BODY(qm_get_kbar) {
    Query q{self, a[0], a[1], a[2], a[3], {}, {}};
    bool valid = false;
    static PyObject* units[7] = {};
    if (!units[0])
        for (int i = 0; i < 7; ++i) units[i] = PyUnicode_InternFromString(kUnits[i]);
    for (PyObject* u : units) {
        int r = PyObject_RichCompareBool(u, q.unit.ptr(), Py_EQ);
        if (r < 0) throw_py();
        if (r) {
            valid = true;
            break;
        }
    }
    if (!valid) raise(PyExc_TypeError, kUnitError);
    // return_fn is made anew on every call, cloned from one prototype.
    static PyObject* proto = nullptr;
    if (!proto)
        proto = make_function(kReturnFn, "QuoteManager.get_kbar.<locals>.return_fn",
                              global("__name__"))
                    .release()
                    .ptr();
    q.return_fn = clone_function(proto, a[4]);
    q.key = py::make_tuple(q.code, q.unit, q.freq);
    bool drained = false;
    if (cols::genuine_polars(current_pl()) && own_methods(self)) {
        if (auto trunc = truncator(q.unit, q.freq)) {
            if (auto r = native_query(q, *trunc, drained)) return *r;
        }
    }
    return general_query(q, drained);
}

}  // namespace zk
