// Tick frames, K-bar aggregation and the cached incremental K-bar query.
//
// A key is built from the old ticks by its first query only; later queries
// merge into whatever frame the cache holds. Each key remembers, outside the
// documented containers, the last drained tick it read: while that tick is
// still among the code's old ticks, every tick after it is merged, whichever
// query drained it, so no width loses ticks to another and callers may trim
// the old ticks or the cached bars.
#include "bodies.hpp"
#include "core/dispatch.hpp"
#include "core/bar_label.hpp"
#include "core/civil_time.hpp"
#include "core/compat.hpp"
#include "quote_manager/tick_columns.hpp"

#include <cmath>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>

namespace zk {
namespace {

const char* const kUnitError = "'unit' must be one of ['m', 'h', 'd', 'w', 'mo', 'q', 'y']";
// The units a query accepts, in the order of the error text.
const ExecCache kUnits{"the K-bar units", []() -> PyObject* {
    const py::handle units[] = {names::unit_m, names::unit_h,  names::unit_d, names::unit_w,
                                names::unit_mo, names::unit_q, names::unit_y};
    PyObject* list = PyList_New(7);
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < 7; ++i) PyList_SET_ITEM(list, i, Py_NewRef(units[i].ptr()));
    return list;
}};


// ---- conversions

// frame.sort("dt", maintain_order=True)
py::object sorted_by_dt(py::handle frame) {
    return call_method_kw(frame, names::sort, {names::dt}, {{names::maintain_order, Py_True}});
}

py::object literal_tick_frame(py::handle ticks) {
    py::object pl = global(names::pl);
    py::object col = get_attr(pl, names::col);
    py::object select = get_attr(call_method(pl, names::DataFrame, ticks), names::select);
    const py::handle casts[][2] = {{names::dt, names::Datetime},   {names::market_type, names::Utf8},
                                   {names::code, names::Utf8},     {names::close, names::Float64},
                                   {names::qty, names::Int64},     {names::tick_type, names::Int8},
                                   {names::is_simulate, names::Boolean}, {names::is_virtual, names::Boolean}};
    py::object args = steal(PyTuple_New(8));
    for (int i = 0; i < 8; ++i) {
        py::object typed = get_attr(call(col, casts[i][0]), names::cast);
        PyTuple_SET_ITEM(args.ptr(), i, call(typed, get_attr(pl, casts[i][1])).release().ptr());
    }
    return sorted_by_dt(steal(PyObject_Call(select.ptr(), args.ptr(), nullptr)));
}

// A tick frame of `ticks`, read natively when every value has its usual type.
py::object tick_frame_of(py::handle ticks) {
    if (cols::genuine_polars(global(names::pl))) {
        cols::TickColumns c;
        if (cols::read_ticks(ticks, 0, c)) {
            auto order = cols::stable_order_by_dt(c.dt);
            if (!order.empty()) c.permute(order);
            return cols::tick_frame(c);
        }
    }
    // A copy: polars' conversion runs Python code, during which another
    // thread may append to the list, and the caller records what was read.
    if (PyList_CheckExact(ticks.ptr())) return literal_tick_frame(steal(PyList_GetSlice(ticks.ptr(), 0, PY_SSIZE_T_MAX)));
    return literal_tick_frame(ticks);
}

// ---- bar labels (core/bar_label.hpp)

using bars::label_range;
using bars::python_date;
using bars::Truncator;

// The truncation of f"{freq}{unit}" when it is computed natively.
std::optional<Truncator> truncator(py::handle unit, py::handle freq) {
    if (!PyUnicode_CheckExact(unit.ptr()) || !PyLong_CheckExact(freq.ptr())) return std::nullopt;
    int overflow = 0;
    long long f = PyLong_AsLongLongAndOverflow(freq.ptr(), &overflow);
    if (overflow || f < 1 || f > bars::kMaxFreq) {
        PyErr_Clear();
        return std::nullopt;  // polars decides (and reports) the odd widths
    }
    const char* u = PyUnicode_AsUTF8(unit.ptr());
    if (!u) throw_py();
    return bars::truncator(u, f);
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
        if (!bars::plain_price(px)) return false;
        if (!label_range(c.dt[i])) return false;
        const std::int64_t l = trunc(c.dt[i]);
        if (!python_date(l)) return false;
        if (!keep(l)) continue;
        if (!open || l != label) {
            flush();
            label = l;
            open = true;
        }
        std::string_view code = c.code.at(i);
        auto it = group.find(code);
        if (it == group.end()) {
            group.emplace(code, cols::Bar{l, std::string(code), px, px, px, px, c.qty[i]});
        } else if (!bars::fold_tick(it->second, px, c.qty[i])) {
            return false;
        }
    }
    flush();
    return true;
}

// ---- per-key progress

// How far a cached key has read: the last drained tick it merged, kept alive
// and compared by identity, so it is found again after the caller trims the
// old ticks at the front or replaces the list by one that still holds it.
// With it, for the native merge, what is known of the frame stored last.
struct Progress {
    py::object last;        // a stored tick, or null when nothing is known
    Py_ssize_t at = 0;      // where it was in the old ticks (where to look first)
    py::object frame_weak;  // weak reference to the frame stored, or null
    Py_ssize_t height = 0;  // rows of that frame
    bool has_tail = false;  // the bars of its newest label are known
    std::vector<cols::Bar> tail;
    int chunks = 1;          // chunks of that frame
    Py_ssize_t settled = 0;  // its first rows, held in its first chunk, that no merge removes
};

// Queries on one QuoteManager take turns: a query stores its frame and what
// it read after polars calls, which let other threads run, so two at once
// could store an older frame over a newer one. The thread holding the turn
// may query again (a hook of the query's own values).
struct TurnLock {
    PyThread_type_lock lock = PyThread_allocate_lock();
    unsigned long holder = 0;
    int depth = 0;
    TurnLock() {
        if (!lock) throw std::bad_alloc();
    }
    TurnLock(const TurnLock&) = delete;
    TurnLock& operator=(const TurnLock&) = delete;
    ~TurnLock() { PyThread_free_lock(lock); }
};

// The progress of every key of one QuoteManager, kept while it lives.
struct Owner {
    py::object weak;
    std::unordered_map<std::string, Progress> keys;
    std::unique_ptr<TurnLock> turn = std::make_unique<TurnLock>();  // stays put when the owner moves
};

std::unordered_map<PyObject*, Owner>& owners() {
    static auto* m = new std::unordered_map<PyObject*, Owner>();  // outlives interpreter exit
    return *m;
}

// Weak-reference callback: the QuoteManager is gone, so is what its keys read.
PyObject* forget_owner(PyObject* addr, PyObject* weak) {
    auto& m = owners();
    auto it = m.find(static_cast<PyObject*>(PyLong_AsVoidPtr(addr)));
    if (it != m.end() && it->second.weak.ptr() == weak) {
        Owner gone = std::move(it->second);  // released after the entry is erased
        m.erase(it);
    }
    Py_RETURN_NONE;
}

PyMethodDef g_forget_def = {"_forget_owner", forget_owner, METH_O, nullptr};

// The text of a cache key made only of exact str, str and int (no Python code
// runs to make it); nothing for any other key, whose progress is not kept.
// `loose` takes a str subclass for the unit too.
std::optional<std::string> key_text(py::handle code, py::handle unit, py::handle freq, bool loose) {
    if (!PyUnicode_CheckExact(code.ptr()) || !PyLong_CheckExact(freq.ptr()) ||
        !(loose ? PyUnicode_Check(unit.ptr()) : PyUnicode_CheckExact(unit.ptr())))
        return std::nullopt;
    Py_ssize_t nc = 0, nu = 0;
    const char* c = PyUnicode_AsUTF8AndSize(code.ptr(), &nc);
    const char* u = c ? PyUnicode_AsUTF8AndSize(unit.ptr(), &nu) : nullptr;
    int overflow = 0;
    const long long f = u ? PyLong_AsLongLongAndOverflow(freq.ptr(), &overflow) : 0;
    if (!u || overflow || PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return std::to_string(nc) + ':' + std::string(c, static_cast<std::size_t>(nc)) + std::string(u, static_cast<std::size_t>(nu)) +
           ':' + std::to_string(f);
}

// What is kept for a QuoteManager while it lives, made when `create`; null
// when the object cannot be weakly referenced.
Owner* owner_of(py::handle self, bool create) {
    auto& m = owners();
    auto it = m.find(self.ptr());
    if (it != m.end()) return &it->second;
    if (!create) return nullptr;
    py::object addr = steal(PyLong_FromVoidPtr(self.ptr()));
    py::object cb = steal(PyCFunction_New(&g_forget_def, addr.ptr()));
    PyObject* w = PyWeakref_NewRef(self.ptr(), cb.ptr());
    if (!w) {
        PyErr_Clear();  // no weak references: every query merges what it drained
        return nullptr;
    }
    return &m.emplace(self.ptr(), Owner{py::reinterpret_steal<py::object>(w), {}}).first->second;
}

// The progress slot of a key (stable while the QuoteManager lives), made when
// `create`; null when the object cannot be weakly referenced.
Progress* progress_of(py::handle self, const std::string& key, bool create) {
    Owner* o = owner_of(self, create);
    if (!o) return nullptr;
    auto k = o->keys.find(key);
    if (k == o->keys.end()) {
        if (!create) return nullptr;
        k = o->keys.emplace(key, Progress{}).first;
    }
    return &k->second;
}

// The query's turn on its QuoteManager, from the query's first change of
// state until its frame and progress are stored. Waiting lets other threads
// run; without weak references there is no turn to take.
class Turn {
  public:
    explicit Turn(py::handle self) {
        Owner* o = owner_of(self, true);
        if (!o) return;
        TurnLock& t = *o->turn;
        const unsigned long me = PyThread_get_thread_ident();
        if (t.depth > 0 && t.holder == me) {
            ++t.depth;
        } else {
            if (!PyThread_acquire_lock(t.lock, NOWAIT_LOCK)) {
                Py_BEGIN_ALLOW_THREADS
                PyThread_acquire_lock(t.lock, WAIT_LOCK);
                Py_END_ALLOW_THREADS
            }
            t.holder = me;
            t.depth = 1;
        }
        held_ = &t;
    }
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;
    ~Turn() { release(); }
    void release() {
        if (!held_) return;
        if (--held_->depth == 0) {
            held_->holder = 0;
            PyThread_release_lock(held_->lock);
        }
        held_ = nullptr;
    }

  private:
    TurnLock* held_ = nullptr;
};

// Replaces a key's progress; what it held is released last (a release may run
// Python code, which must find the table in order).
void set_progress(py::handle self, const std::optional<std::string>& key, Progress&& p) {
    if (!key) return;
    Progress* slot = progress_of(self, *key, true);
    if (!slot) return;
    Progress old = std::move(*slot);
    *slot = std::move(p);
}

// Index of `tick` in the list `old`, looking first where it was; -1 when absent.
Py_ssize_t find_tick(PyObject* old, PyObject* tick, Py_ssize_t hint) {
    const Py_ssize_t n = PyList_GET_SIZE(old);
    if (hint >= 0 && hint < n && PyList_GET_ITEM(old, hint) == tick) return hint;
    // A list trimmed at the front holds it earlier; a replaced one anywhere.
    for (Py_ssize_t i = std::min(hint, n - 1); i >= 0; --i)
        if (PyList_GET_ITEM(old, i) == tick) return i;
    for (Py_ssize_t i = std::max<Py_ssize_t>(hint + 1, 0); i < n; ++i)
        if (PyList_GET_ITEM(old, i) == tick) return i;
    return -1;
}

// Where a key resumes in `old` (an exact list): the index after its last
// tick, or -1 when that tick is not there (or nothing is known).
Py_ssize_t resume_at(py::handle self, const std::optional<std::string>& key, py::handle old) {
    if (!key || !old || !PyList_CheckExact(old.ptr())) return -1;
    Progress* p = progress_of(self, *key, false);
    if (!p || !p->last) return -1;
    const Py_ssize_t i = find_tick(old.ptr(), p->last.ptr(), p->at);
    return i < 0 ? -1 : i + 1;
}

// The length of `old` now, when it is a list (what a read of it covers), or -1.
Py_ssize_t read_end(py::handle old) {
    return old && PyList_CheckExact(old.ptr()) ? PyList_GET_SIZE(old.ptr()) : -1;
}

// The progress after a key read the first `end` ticks of `old` (all of them
// when -1), with the frame it stored. A drain by another thread may have
// added ticks after those since: the next query merges them.
Progress progress_after(py::handle old, Py_ssize_t end, py::handle frame, bool has_tail, std::vector<cols::Bar> tail,
                        int chunks, Py_ssize_t settled = 0) {
    Progress p;
    if (old && PyList_CheckExact(old.ptr())) {
        const Py_ssize_t n = PyList_GET_SIZE(old.ptr());
        if (end < 0 || end > n) end = n;
        if (end > 0) {
            p.at = end - 1;
            p.last = borrow(PyList_GET_ITEM(old.ptr(), p.at));
        }
    }
    if (frame) {
        PyObject* w = PyWeakref_NewRef(frame.ptr(), nullptr);
        if (w) {
            p.frame_weak = py::reinterpret_steal<py::object>(w);
            py::object h = get_attr(frame, names::height);
            p.height = PyLong_AsSsize_t(h.ptr());
            if (p.height == -1 && PyErr_Occurred()) throw_py();
            p.has_tail = has_tail;
            p.tail = std::move(tail);
            p.chunks = chunks;
            p.settled = settled;
        } else {
            PyErr_Clear();  // a frame without weak references is merged by polars
        }
    }
    return p;
}

// Bars of the newest label of a frame we stored, read back from the frame.
// Labels are read as integers: one outside Python's dates has no datetime.
bool read_tail(py::handle frame, std::vector<cols::Bar>& tail) {
    py::object pl = global(names::pl);
    if (!cols::genuine_polars(pl)) return false;
    const py::handle bar_columns[] = {names::dt,  names::code,  names::Open,  names::High,
                                      names::Low, names::Close, names::Volume};
    py::list want;
    for (py::handle n : bar_columns) want.append(n);
    if (!eq(get_attr(frame, names::columns), want)) return false;
    py::object dt_type = get_item(get_attr(frame, names::schema), names::dt);
    if (!eq(dt_type, call_method(pl, names::Datetime, names::us))) return false;
    py::object dt = call_method(pl, names::col, names::dt);
    py::object newest = call_method(frame, names::filter, rich_compare(dt, call_method(dt, names::max), Py_EQ));
    py::object epoch = call_method(get_attr(dt, names::dt), names::epoch, names::us);
    py::object rows = call_method(call_method(newest, names::select, epoch, names::code, names::Open, names::High,
                                              names::Low, names::Close, names::Volume),
                                  names::rows);
    auto as_ll = [](PyObject* o) {
        const long long v = PyLong_AsLongLong(o);
        if (v == -1 && PyErr_Occurred()) throw_py();
        return static_cast<std::int64_t>(v);
    };
    for (py::handle row : rows) {
        PyObject* r = row.ptr();
        if (!PyTuple_CheckExact(r) || PyTuple_GET_SIZE(r) != 7) return false;
        auto at = [&](int i) { return PyTuple_GET_ITEM(r, i); };
        if (!PyLong_CheckExact(at(0)) || !PyUnicode_CheckExact(at(1)) || !PyLong_CheckExact(at(6))) return false;
        for (int i = 2; i < 6; ++i)
            if (!PyFloat_CheckExact(at(i))) return false;
        const std::int64_t when = as_ll(at(0));
        if (!python_date(when)) return false;
        Py_ssize_t n = 0;
        const char* code = PyUnicode_AsUTF8AndSize(at(1), &n);
        if (!code) throw_py();
        tail.push_back(cols::Bar{when, std::string(code, static_cast<std::size_t>(n)), PyFloat_AS_DOUBLE(at(2)),
                                 PyFloat_AS_DOUBLE(at(3)), PyFloat_AS_DOUBLE(at(4)), PyFloat_AS_DOUBLE(at(5)),
                                 as_ll(at(6))});
    }
    return !tail.empty();
}

// ---- the query

struct Query {
    py::handle self, code, unit, freq, exprs;
    py::object return_fn;
    py::object key;
    std::optional<std::string> text;  // the key's progress slot, when kept
    Turn* turn = nullptr;             // given back once the state is stored

    py::object finish(py::object df) const {
        if (turn) turn->release();
        return call(return_fn, df);
    }
    // The caller's expressions on top of the cached frame (which stays as it is).
    py::object with_exprs(py::object df) const {
        if (turn) turn->release();
        if (truth(exprs)) df = call_method(df, names::with_columns, exprs);
        return finish(df);
    }
};

// The last tick a key's progress holds, or null.
py::object progress_last(const Query& q) {
    Progress* p = q.text ? progress_of(q.self, *q.text, false) : nullptr;
    return p ? p->last : py::object();
}

// Every method the native query stands in for is still our own.
bool own_methods(py::handle self) {
    return all_own_methods(self, {{names::poped_tick_to_df, qm_poped_tick_to_df},
                                  {names::poped_old_ticks_to_df, qm_poped_old_ticks_to_df},
                                  {names::aggregate_kbar, qm_aggregate_kbar},
                                  {names::get_empty_tick_df, qm_get_empty_tick_df}});
}

py::object every_text(const Query& q) {
    return steal(PyUnicode_FromFormat("%S%S", q.freq.ptr(), q.unit.ptr()));
}

// The bar label column.
py::object labelled(py::handle tick_df, const Query& q) {
    py::object pl = global(names::pl);
    py::object dt = call_method(pl, names::col, names::dt);
    py::object as_dt = call_method(call_method(dt, names::cast, get_attr(pl, names::Datetime)), names::alias, names::dt);
    py::object label = call_method(call_method(get_attr(dt, names::dt), names::truncate, every_text(q)), names::alias,
                                   names::kbar_time);
    return call_method(tick_df, names::with_columns, as_dt, label);
}

py::object not_simulated() {
    return rich_compare(call_method(global(names::pl), names::col, names::is_simulate), Py_True, Py_NE);
}

// Caches a new frame (sorted by "dt") and records what the key has read.
py::object store_and_return(const Query& q, py::object kbar_df, py::handle old_ticks, Py_ssize_t end) {
    if (truth(call_method(kbar_df, names::is_empty))) return q.finish(kbar_df);
    py::list by;
    by.append(names::dt);
    kbar_df = call_method(kbar_df, names::sort, by);
    set_item(get_item(get_item(get_attr(q.self, names::ticks), q.code), names::cached_kbars), q.key, kbar_df);
    std::vector<cols::Bar> tail;
    const bool has_tail = read_tail(kbar_df, tail);
    set_progress(q.self, q.text, progress_after(old_ticks, end, kbar_df, has_tail, std::move(tail), 1));
    return q.with_exprs(kbar_df);
}

// The incremental merge of new ticks (a labelled tick frame) into the frame the
// cache holds, whatever the caller left of it: Open of its newest bar, High and
// Low over both, Close of the new part, Volume summed; older labels are dropped,
// and so are simulated ticks.
py::object polars_merge(const Query& q, py::handle cached, py::object tick_df) {
    py::object col = get_attr(global(names::pl), names::col);
    py::object dt = call(col, names::dt);
    py::object last_dt = call_method(get_item(cached, names::dt), names::max);
    py::object completed = call_method(cached, names::filter, rich_compare(dt, last_dt, Py_LT));
    py::object last_kbar = call_method(cached, names::filter, rich_compare(dt, last_dt, Py_EQ));
    py::object newer = rich_compare(call(col, names::kbar_time), last_dt, Py_GE);
    tick_df = call_method(tick_df, names::filter, steal(PyNumber_And(newer.ptr(), not_simulated().ptr())));
    py::object new_last = call_method(q.self, names::aggregate_kbar, tick_df);
    py::object last_kbars = call_method(last_kbar, names::vstack, new_last);
    py::list aggs;
    aggs.append(call_method(call(col, names::Open), names::first));
    aggs.append(call_method(call(col, names::High), names::max));
    aggs.append(call_method(call(col, names::Low), names::min));
    aggs.append(call_method(call(col, names::Close), names::last));
    aggs.append(call_method(call(col, names::Volume), names::sum));
    py::list by;
    by.append(names::dt);
    by.append(names::code);
    last_kbars = call_method(call_method(last_kbars, names::group_by, by), names::agg, aggs);
    return call_method(completed, names::vstack, last_kbars);
}

// What the native path did before handing over: the drain, and where it left off.
struct Drained {
    bool done = false;
    py::object old;          // the old-ticks list it extended
    Py_ssize_t before = -1;  // its length before the drain
    Py_ssize_t pending = -1;  // ticks waiting to be drained then, when known
};

// The old ticks before the general query's drain: those after the key's last
// tick were drained by other queries, and this key merges them too.
void before_drain(const Query& q, Drained& d) {
    try {
        py::object ticks = get_attr(q.self, names::ticks);
        if (PySequence_Contains(ticks.ptr(), q.code.ptr()) == 1) {
            py::object state = get_item(ticks, q.code);
            d.old = get_item(state, names::old_ticks);
            if (PyList_CheckExact(d.old.ptr())) d.before = PyList_GET_SIZE(d.old.ptr());
            // Read where no Python code runs, so the drain that follows takes exactly these.
            py::object pending = PyDict_CheckExact(state.ptr()) ? dict_find(state.ptr(), names::ticks) : py::object();
            if (pending && PyList_CheckExact(pending.ptr())) d.pending = PyList_GET_SIZE(pending.ptr());
        }
    } catch (py::error_already_set&) {
        // Odd state: the query's own lookups report it.
    }
    PyErr_Clear();
}

// The query through the object's own methods and polars' own operations.
py::object general_query(const Query& q, Drained d) {
    if (!d.done) before_drain(q, d);
    const py::object last_before = progress_last(q);
    py::object missed;
    if (d.before >= 0) {
        const Py_ssize_t from = resume_at(q.self, q.text, d.old);
        if (from >= 0 && from < d.before) missed = steal(PyList_GetSlice(d.old.ptr(), from, d.before));
    }
    py::object tick_df;
    Py_ssize_t end = -1;  // where the ticks this query merges end in d.old, when known
    if (!d.done) {
        tick_df = call_method(q.self, names::poped_tick_to_df, q.code);
        // The drain appended the pending ticks; another thread's may have added more since.
        if (d.before >= 0 && d.pending >= 0 && PyList_CheckExact(d.old.ptr()) &&
            PyList_GET_SIZE(d.old.ptr()) >= d.before + d.pending)
            end = d.before + d.pending;
    } else {
        end = PyList_GET_SIZE(d.old.ptr());
        if (end > d.before) tick_df = tick_frame_of(steal(PyList_GetSlice(d.old.ptr(), d.before, end)));
    }

    py::object state = get_item(get_attr(q.self, names::ticks), q.code);
    py::object cached_kbars = get_item(state, names::cached_kbars);
    py::object old_ticks;
    try {
        old_ticks = get_item(state, names::old_ticks);
    } catch (py::error_already_set&) {
        PyErr_Clear();
    }
    int has = PySequence_Contains(cached_kbars.ptr(), q.key.ptr());
    if (has < 0) throw_py();
    if (!has) {
        // The key's first query builds it from every old tick (simulated ones
        // left out, as the merge leaves them out); later ones only merge.
        const Py_ssize_t built_end = read_end(old_ticks);
        py::object df = labelled(call_method(q.self, names::poped_old_ticks_to_df, q.code), q);
        df = call_method(df, names::filter, not_simulated());
        return store_and_return(q, call_method(q.self, names::aggregate_kbar, df), old_ticks, built_end);
    }
    py::object cached = get_item(cached_kbars, q.key);
    if (old_ticks.ptr() != d.old.ptr()) end = -1;
    if (progress_last(q).ptr() != last_before.ptr() && PyList_CheckExact(old_ticks.ptr())) {
        // A query made meanwhile (from a hook of this one's state) stored this
        // key: merge only what it did not read.
        const Py_ssize_t stop = end >= 0 ? end : PyList_GET_SIZE(old_ticks.ptr());
        const Py_ssize_t from = resume_at(q.self, q.text, old_ticks);
        if (from >= 0) {
            missed = py::object();
            tick_df = from < stop ? tick_frame_of(steal(PyList_GetSlice(old_ticks.ptr(), from, stop))) : py::object();
        }
    }
    if (missed) {
        // One part in drain order, as one conversion of all of them orders it.
        py::object part = tick_frame_of(missed);
        if (tick_df) part = sorted_by_dt(call_method(part, names::vstack, tick_df));
        tick_df = part;
    }
    if (!tick_df) tick_df = call_method(q.self, names::get_empty_tick_df);
    tick_df = labelled(tick_df, q);
    if (truth(call_method(tick_df, names::is_empty))) {
        set_progress(q.self, q.text, progress_after(old_ticks, end, {}, false, {}, 1));
        return q.with_exprs(cached);
    }
    return store_and_return(q, polars_merge(q, cached, tick_df), old_ticks, end);
}

// The native merge of new ticks (in drain order) into the frame this key
// stored, whose newest bars `p` knows; nothing when a value needs polars.
std::optional<py::object> native_merge(const Query& q, const Truncator& trunc, py::handle cached,
                                       py::handle ck, py::handle old_ticks, Py_ssize_t from, const Progress& p) {
    cols::TickColumns cols;
    const Py_ssize_t end = read_end(old_ticks);
    if (!cols::read_ticks(old_ticks, from, cols)) return std::nullopt;
    auto order = cols::stable_order_by_dt(cols.dt);
    if (!order.empty()) cols.permute(order);
    const std::int64_t last = p.tail.front().dt;
    std::vector<cols::Bar> fresh;
    if (!aggregate(cols, trunc, [&](std::int64_t l) { return l >= last; }, fresh)) return std::nullopt;
    // The cached newest bars and the new part of the same label become one row
    // each: Open stays, Close is the new part's, the new part comes after.
    std::vector<cols::Bar> merged = p.tail;
    std::size_t i = 0;
    for (; i < fresh.size() && fresh[i].dt == last; ++i) {
        auto it = std::find_if(merged.begin(), merged.end(),
                               [&](const cols::Bar& b) { return b.code == fresh[i].code; });
        if (it == merged.end()) {
            merged.push_back(fresh[i]);
            continue;
        }
        it->high = std::max(it->high, fresh[i].high);
        it->low = std::min(it->low, fresh[i].low);
        it->close = fresh[i].close;
        if (__builtin_add_overflow(it->volume, fresh[i].volume, &it->volume)) return std::nullopt;
    }
    std::vector<cols::Bar> tail = merged;
    for (; i < fresh.size(); ++i) merged.push_back(fresh[i]);
    if (fresh.size() > 0 && fresh.back().dt != last) {
        tail.clear();
        for (const auto& b : fresh)
            if (b.dt == fresh.back().dt) tail.push_back(b);
    }
    const Py_ssize_t keep = p.height - static_cast<Py_ssize_t>(p.tail.size());
    const Py_ssize_t height = keep + static_cast<Py_ssize_t>(merged.size());
    // Each query adds a chunk, and every chunk slows the next slice and vstack.
    // Every few queries the chunks after the settled rows become one; all of
    // them become one only when those later rows are a sizeable share, so a
    // long frame is not copied whole every few queries.
    int chunks = p.chunks + 1;
    Py_ssize_t settled = p.settled > 0 && p.settled <= keep ? p.settled : 0;
    enum { Keep, Recent, Whole } compact = Keep;
    if (chunks > 8) compact = settled == 0 || (height - settled) * 64 > height ? Whole : Recent;
    // The same steps on polars' inner frame (one wrapper at the end) or on the frame.
    auto build = [&](py::handle df, py::handle part, bool inner) {
        auto n = [](Py_ssize_t v) { return steal(PyLong_FromSsize_t(v)); };
        py::object out = call_method(call_method(df, names::slice, names::int_0, n(keep)), names::vstack, part);
        if (compact == Whole) {
            out = call_method(out, names::rechunk);
            chunks = 1;
            settled = height - static_cast<Py_ssize_t>(tail.size());
        } else if (compact == Recent) {
            py::object head = call_method(out, names::slice, names::int_0, n(settled));
            py::object rest = call_method(out, names::slice, n(settled), n(height - settled));
            rest = inner ? cols::rechunk_small_inner_frame(rest) : call_method(rest, names::rechunk);
            out = call_method(head, names::vstack, rest);
            chunks = 2;
        }
        return out;
    };
    py::object frame;
    if (auto inner = cols::kbar_inner_frame(merged)) {
        frame = cols::wrap_inner_frame(build(get_attr(cached, names::_df), *inner, true));
    } else {
        frame = build(cached, cols::kbar_frame(merged), false);
    }
    if (PyDict_SetItem(ck.ptr(), q.key.ptr(), frame.ptr()) < 0) throw_py();
    set_progress(q.self, q.text, progress_after(old_ticks, end, frame, true, std::move(tail), chunks, settled));
    return q.with_exprs(frame);
}

// The query when every piece is our own: drain, read, label and aggregate natively.
// Returns nothing when a value needs polars' own rules; `d` then says what was drained.
std::optional<py::object> native_query(const Query& q, const Truncator& trunc, Drained& d) {
    py::object ticks = get_attr(q.self, names::ticks);
    if (!PyDict_CheckExact(ticks.ptr())) return std::nullopt;
    PyObject* st = PyDict_GetItemWithError(ticks.ptr(), q.code.ptr());
    if (!st) {
        if (PyErr_Occurred()) throw_py();
        PyErr_SetObject(PyExc_KeyError, q.code.ptr());  // no tick state: nothing to drain
        throw_py();
    }
    py::object state = borrow(st);
    if (!PyDict_CheckExact(st)) return std::nullopt;
    // Each value is owned at once: a look-up may run a key's Python code.
    auto field = [&](py::handle name) {
        PyObject* v = PyDict_GetItemWithError(state.ptr(), name.ptr());
        if (!v && PyErr_Occurred()) throw_py();
        return v ? borrow(v) : py::object();
    };
    py::object pending = field(names::ticks);
    py::object old_ticks = field(names::old_ticks);
    py::object ck = field(names::cached_kbars);
    if (!pending || !old_ticks || !ck || !PyList_CheckExact(pending.ptr()) || !PyList_CheckExact(old_ticks.ptr()) ||
        !PyDict_CheckExact(ck.ptr()))
        return std::nullopt;

    // Drain (poped_tick_to_df without its frame: nothing reads it here).
    const Py_ssize_t before = PyList_GET_SIZE(old_ticks.ptr());
    if (PyList_GET_SIZE(pending.ptr()) > 0) {
        if (PyList_SetSlice(old_ticks.ptr(), before, before, pending.ptr()) < 0) throw_py();
        py::object fresh = steal(PyList_New(0));
        if (PyDict_SetItem(state.ptr(), names::ticks.ptr(), fresh.ptr()) < 0) throw_py();
    }
    d = Drained{true, old_ticks, before};

    PyObject* c = PyDict_GetItemWithError(ck.ptr(), q.key.ptr());
    if (!c && PyErr_Occurred()) throw_py();
    py::object cached = c ? borrow(c) : py::object();
    if (!cached) {
        // The key's first query: a full build over every old tick.
        cols::TickColumns cols;
        const Py_ssize_t end = read_end(old_ticks);
        if (!cols::read_ticks(old_ticks, 0, cols)) return std::nullopt;
        auto order = cols::stable_order_by_dt(cols.dt);
        if (!order.empty()) cols.permute(order);
        std::vector<cols::Bar> bars;
        if (!aggregate(cols, trunc, [](std::int64_t) { return true; }, bars)) return std::nullopt;
        py::object frame = cols::kbar_frame(bars);
        if (bars.empty()) return q.finish(frame);
        if (PyDict_SetItem(ck.ptr(), q.key.ptr(), frame.ptr()) < 0) throw_py();
        std::vector<cols::Bar> tail;
        for (const auto& b : bars)
            if (b.dt == bars.back().dt) tail.push_back(b);
        set_progress(q.self, q.text, progress_after(old_ticks, end, frame, true, std::move(tail), 1));
        return q.with_exprs(frame);
    }
    // Every tick after the key's last one, or else the batch this query drained.
    Py_ssize_t from = resume_at(q.self, q.text, old_ticks);
    const bool found = from >= 0;
    if (!found) from = before;
    if (from == PyList_GET_SIZE(old_ticks.ptr())) {
        // Nothing new for this key: the frame goes back as it is.
        if (!found) set_progress(q.self, q.text, progress_after(old_ticks, from, {}, false, {}, 1));
        return q.with_exprs(cached);
    }
    Progress* p = q.text ? progress_of(q.self, *q.text, false) : nullptr;
    if (p && p->has_tail && p->frame_weak &&
        call(p->frame_weak).ptr() == cached.ptr()) {
        Progress known = *p;  // reading the height may run code that changes the slot
        py::object h = get_attr(cached, names::height);
        const Py_ssize_t height = PyLong_AsSsize_t(h.ptr());
        if (height == -1 && PyErr_Occurred()) throw_py();
        if (height == known.height) return native_merge(q, trunc, cached, ck, old_ticks, from, known);
    }
    return std::nullopt;  // a frame this path does not know: polars merges into it
}

// `self` is the closure: the query's to_pandas_df.
ZK_BODY(return_fn_body, df) {
    if (truth(self)) return call_method(df, names::to_pandas);
    return borrow(df);
}

const FunctionSpec kReturnFn{"return_fn", false, {{"df", "pl.DataFrame"}}, nullptr, nullptr,
                             "轉換為 pandas DataFrame", return_fn_body};

}  // namespace

ZK_BODY(qm_aggregate_kbar, tick_df) {
    py::object col = get_attr(global(names::pl), names::col);
    py::list by;
    by.append(names::kbar_time);
    by.append(names::code);
    auto agg = [&](py::handle column, py::handle how, py::handle alias) {
        return call_method(call_method(call(col, column), how), names::alias, alias);
    };
    py::list aggs;
    aggs.append(agg(names::close, names::first, names::Open));
    aggs.append(agg(names::close, names::max, names::High));
    aggs.append(agg(names::close, names::min, names::Low));
    aggs.append(agg(names::close, names::last, names::Close));
    aggs.append(agg(names::qty, names::sum, names::Volume));
    py::dict renames;
    renames[names::kbar_time] = names::dt;
    return call_method(call_method(call_method(tick_df, names::group_by, by), names::agg, aggs), names::rename, renames);
}

namespace {

// `code in self.ticks`, read as the method's first line does.
bool has_code(py::handle self, py::handle code) { return contains(get_attr(self, names::ticks), code); }

// self.ticks[code][key]
py::object code_entry(py::handle self, py::handle code, py::handle key) {
    return get_item(get_item(get_attr(self, names::ticks), code), key);
}

py::object empty_tick_df(py::handle self) { return call_method(self, names::get_empty_tick_df); }

}  // namespace

ZK_BODY(qm_poped_tick_to_df, code) {
    if (!has_code(self, code)) return empty_tick_df(self);
    py::object poped = code_entry(self, code, names::ticks);
    if (!truth(poped)) return empty_tick_df(self);
    call_method(code_entry(self, code, names::old_ticks), names::extend, poped);
    set_item(get_item(get_attr(self, names::ticks), code), names::ticks, py::list());
    return tick_frame_of(poped);
}

ZK_BODY(qm_poped_old_ticks_to_df, code) {
    if (!has_code(self, code)) return empty_tick_df(self);
    py::object old_ticks = code_entry(self, code, names::old_ticks);
    if (!truth(old_ticks)) return empty_tick_df(self);
    return tick_frame_of(old_ticks);
}

ZK_BODY(qm_get_kbar, code, unit, freq, exprs, to_pandas_df) {
    Query q{self, code, unit, freq, exprs, {}, {}, {}, nullptr};
    if (!contains(kUnits.handle(), q.unit)) raise(PyExc_TypeError, kUnitError);
    // return_fn is made anew on every call, cloned from one prototype, made at
    // the first query since its __module__ is the module's __name__ then.
    static PyObject* proto = nullptr;
    if (!proto)
        proto = make_function(kReturnFn, "QuoteManager.get_kbar.<locals>.return_fn",
                              global(names::dunder_name))
                    .release()
                    .ptr();
    q.return_fn = clone_function(proto, to_pandas_df);
    Turn turn(self);
    q.turn = &turn;
    q.key = py::make_tuple(q.code, q.unit, q.freq);
    q.text = key_text(q.code, q.unit, q.freq, false);
    // A str subclass may stand for the same cached key: what that key read is no longer known.
    if (!q.text) set_progress(self, key_text(q.code, q.unit, q.freq, true), Progress{});
    Drained d;
    if (cols::genuine_polars(global(names::pl)) && own_methods(self)) {
        if (auto trunc = truncator(q.unit, q.freq)) {
            if (auto r = native_query(q, *trunc, d)) return *r;
        }
    }
    return general_query(q, std::move(d));
}

}  // namespace zk
