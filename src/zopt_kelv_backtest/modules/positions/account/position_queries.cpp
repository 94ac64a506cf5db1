// Position queries: the open lots of one account valued at the latest tick,
// as one summary per code or one detail per lot, handed over through the
// position queue.
#include "core/compat.hpp"
#include "account/ledger_util.hpp"

#include <charconv>
#include <cmath>
#include <vector>

namespace zk {
namespace {

using namespace ledger;

// The rows a position query returns, one per code (summary) or per lot (detail).
RecordKeys<9> stock_summary_record({"code", "quantity", "avg_price", "pnl", "cond", "margin_purchase_amount",
                                    "collateral", "short_sale_margin", "interest"});
RecordKeys<4> future_summary_record({"code", "quantity", "avg_price", "pnl"});
RecordKeys<9> stock_detail_record({"date", "code", "quantity", "cost", "pnl", "fee", "trade_id",
                                   "margin_purchase_amount", "collateral"});
RecordKeys<7> future_detail_record({"date", "code", "quantity", "cost", "pnl", "fee", "trade_id"});

// Codes of the book traded under `product_type`, in the book's order.
std::vector<py::object> select_codes(py::handle self, py::handle product_type) {
    py::object positions = self_attr(self, names::positions);
    py::object mapper = self_attr(self, names::product_type_mapper);
    py::object keys = PyDict_CheckExact(positions.ptr()) ? steal(PyDict_Keys(positions.ptr()))
                                                          : steal(PySequence_List(positions.ptr()));
    std::vector<py::object> codes;
    const Py_ssize_t n = PyList_GET_SIZE(keys.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::object code = borrow(PyList_GET_ITEM(keys.ptr(), i));
        if (eq(get_item(mapper, code), product_type)) codes.push_back(std::move(code));
    }
    return codes;
}

// The list a query returns, made once its items are all there: a list that
// grows item by item is visited by every collection its allocations start.
class Results {
public:
    void append(py::object item) { items_.push_back(std::move(item)); }
    py::object list() {
        py::object l = steal(PyList_New(static_cast<Py_ssize_t>(items_.size())));
        for (size_t i = 0; i < items_.size(); ++i)
            PyList_SET_ITEM(l.ptr(), static_cast<Py_ssize_t>(i), items_[i].release().ptr());
        items_.clear();
        return l;
    }

private:
    std::vector<py::object> items_;
};

// A code without a tick yet gets None, so later lookups find it.
void mark_untracked(py::handle self, const py::object& code) {
    py::object ticks = self_attr(self, names::current_tick_infos);
    if (!contains(ticks, code)) set_item(ticks, code, py::none());
}

// A number held in C while it is an int that fits 64 bits or a float; the
// operations follow the interpreter's (int op int stays int, a float makes
// the other operand a double), and anything else leaves `ok` false.
struct Num {
    bool ok = true;
    bool is_int = true;
    long long i = 0;
    double d = 0.0;

    [[gnu::always_inline]] static Num of(PyObject* o) {
        Num n;
        if (PyLong_CheckExact(o)) {
            if (compat::compact_int(o, n.i)) return n;
            int overflow = 0;
            n.i = PyLong_AsLongLongAndOverflow(o, &overflow);
            n.ok = !overflow;
        } else if (PyFloat_CheckExact(o)) {
            n.is_int = false;
            n.d = PyFloat_AS_DOUBLE(o);
        } else {
            n.ok = false;
        }
        return n;
    }
    static Num bad() {
        Num n;
        n.ok = false;
        return n;
    }
    static Num real(double v) {
        Num n;
        n.is_int = false;
        n.d = v;
        return n;
    }
    double dbl() const { return is_int ? static_cast<double>(i) : d; }
    py::object box() const { return is_int ? steal(PyLong_FromLongLong(i)) : fl(d); }
};

[[gnu::always_inline]] inline Num operator+(const Num& a, const Num& b) {
    if (!a.ok || !b.ok) return Num::bad();
    if (a.is_int && b.is_int) {
        Num r;
        if (__builtin_add_overflow(a.i, b.i, &r.i)) return Num::bad();
        return r;
    }
    return Num::real(a.dbl() + b.dbl());
}
[[gnu::always_inline]] inline Num operator-(const Num& a, const Num& b) {
    if (!a.ok || !b.ok) return Num::bad();
    if (a.is_int && b.is_int) {
        Num r;
        if (__builtin_sub_overflow(a.i, b.i, &r.i)) return Num::bad();
        return r;
    }
    return Num::real(a.dbl() - b.dbl());
}
[[gnu::always_inline]] inline Num operator*(const Num& a, const Num& b) {
    if (!a.ok || !b.ok) return Num::bad();
    if (a.is_int && b.is_int) {
        Num r;
        if (__builtin_mul_overflow(a.i, b.i, &r.i)) return Num::bad();
        return r;
    }
    return Num::real(a.dbl() * b.dbl());
}
Num operator-(const Num& a) { return Num::of(names::int_0.ptr()) - a; }

// Unrealised profit of one lot: (close - price) x quantity x unit, negated
// first for a short lot.
[[gnu::always_inline]] inline Num lot_pnl_num(const Num& close, const Num& price, const Num& qty, bool long_side,
                                             const Num& unit) {
    Num diff = close - price;
    if (!long_side && diff.ok) diff = diff.is_int ? -diff : Num::real(-diff.d);
    return diff * qty * unit;
}
Num lot_pnl_num(const py::object& close, const py::object& price, const py::object& qty, bool long_side,
                const py::object& unit) {
    return lot_pnl_num(Num::of(close.ptr()), Num::of(price.ptr()), Num::of(qty.ptr()), long_side,
                       Num::of(unit.ptr()));
}

// The same in the interpreter's arithmetic, for values that are not plain numbers.
py::object lot_pnl(const py::object& close, const py::object& price, const py::object& qty, bool long_side,
                   const py::object& unit) {
    py::object diff = sub(close, price);
    if (!long_side) diff = neg(diff);
    return mul(mul(diff, qty), unit);
}

// round(x, 2) of a float as the interpreter's float.__round__ gives it: the
// decimal correctly rounded (half to even) at two places, read back.
const ExecCache builtin_round{"builtins.round", [] {
    py::object mod = steal(PyImport_ImportModule("builtins"));
    return PyObject_GetAttr(mod.ptr(), names::round.ptr());
}};

py::object round2(const py::object& x) {
    py::object fn = global(names::round);
    if (fn.ptr() == builtin_round.borrowed() && PyFloat_CheckExact(x.ptr()) && std::isfinite(PyFloat_AS_DOUBLE(x.ptr()))) {
        char buf[400];
        auto res = std::to_chars(buf, buf + sizeof buf, PyFloat_AS_DOUBLE(x.ptr()), std::chars_format::fixed, 2);
        double r = 0;
        if (res.ec == std::errc() && std::from_chars(buf, res.ptr, r).ec == std::errc()) return fl(r);
    }
    return steal(PyObject_CallFunctionObjArgs(fn.ptr(), x.ptr(), names::int_2.ptr(), nullptr));
}

void print_no_tick() {
    console_print(borrow(names::no_tick_line));
}

// Values one code's lots against its latest tick. The algorithm reads
// self.current_tick_infos[code] and the unit value afresh for every lot; they
// are kept here between lots while no Python code can have run, and read
// again after anything that may have run some (a console line, an override,
// a value of an unusual type).
class Valuer {
public:
    Valuer(py::handle self, const py::object& code) : self_(self), code_(code) {}

    void python_ran() {
        tick_ = close_ = future_unit_ = py::object();
        close_num_.ok = unit_num_.ok = false;
        ++ran_;
    }
    // lot[key], read again only when Python code may have run since `slot` was read.
    struct Field {
        py::object value;
        unsigned generation = 0;
    };
    const py::object& read(const py::object& lot, py::handle key, Field& slot) {
        if (!slot.value || slot.generation != ran_) {
            const unsigned before = ran_;
            slot.value = lot_item(lot, key);
            slot.generation = before;
        }
        return slot.value;
    }
    // lot[key]; a lot that is not a plain dict runs its own __getitem__.
    py::object lot_item(const py::object& lot, py::handle key) {
        py::object v = get_item(lot, key);
        if (!PyDict_CheckExact(lot.ptr())) python_ran();
        return v;
    }

    // self.current_tick_infos[code], and whether it is true.
    bool has_tick() {
        py::object t = tick();  // held: python_ran() lets go of the cached one
        if (t.ptr() == Py_None) return false;
        if (PyDict_CheckExact(t.ptr())) return PyDict_GET_SIZE(t.ptr()) != 0;
        python_ran();  // a __bool__ or __len__ of its own
        return truth(t);
    }
    py::object close() {
        if (close_) return close_;
        if (!PyDict_CheckExact(tick().ptr())) {
            py::object t = std::move(tick_);
            python_ran();
            return get_item(t, names::close);
        }
        close_ = get_item(tick_, names::close);
        return close_;
    }

    // Money value of a price step of 1 on a quantity of 1, by the lot's product type.
    py::object unit(const py::object& lot) {
        py::object type = lot_item(lot, names::product_type);
        if (!PyUnicode_CheckExact(type.ptr())) python_ran();
        if (eq(type, names::Stock)) return borrow(names::int_1000);
        if (!eq(type, names::Future)) raise_with_value(PyExc_Exception, "不支援的商品類型: ", type);
        if (future_unit_) return future_unit_;
        Method m = own_method(self_, names::private_apply_future_contract_value,
                                 pos_apply_future_contract_value);
        if (m.own && PyUnicode_CheckExact(code_.ptr())) {
            const py::handle args[1] = {code_};
            py::object values = borrow(global_borrowed(names::FutureIndexContractValue));
            py::object u = pos_apply_future_contract_value(self_, args);
            // A plain dict of plain numbers answers the same until Python code runs.
            if (values && PyDict_CheckExact(values.ptr()) && (PyLong_CheckExact(u.ptr()) || PyFloat_CheckExact(u.ptr())))
                future_unit_ = u;
            return u;
        }
        py::object u = m.call(self_, code_);
        python_ran();
        return u;
    }

    // The same three, only when they are known without running Python code:
    // a plain dict tick with a plain number close, a plain str product type.
    [[gnu::always_inline]] bool quiet_close(Num& close) {
        if (close_num_.ok) {  // nothing ran since it was read
            close = close_num_;
            return true;
        }
        if (!tick_ && !quiet_tick()) return false;
        if (!PyDict_CheckExact(tick_.ptr()) || PyDict_GET_SIZE(tick_.ptr()) == 0) return false;
        if (!close_) {
            PyObject* c = dict_get_borrowed(tick_.ptr(), names::close.ptr());
            if (!c) return false;  // the lookup path raises its KeyError
            close_ = borrow(c);
        }
        close = close_num_ = Num::of(close_.ptr());
        return close.ok;
    }
    [[gnu::always_inline]] bool quiet_unit(PyObject* type, Num& unit) {
        if (type == names::Stock.ptr()) {
            unit = Num();
            unit.i = 1000;
            return true;
        }
        if (type != names::Future.ptr() || !future_unit_) return false;
        if (!unit_num_.ok) unit_num_ = Num::of(future_unit_.ptr());
        unit = unit_num_;
        return unit.ok;
    }

private:
    const py::object& tick() {  // self.current_tick_infos[code]
        if (!tick_ && !quiet_tick()) {
            py::object t = get_item(self_attr(self_, names::current_tick_infos), code_);
            python_ran();  // a mapping's own __getitem__, or an attribute of its own
            tick_ = std::move(t);
        }
        return tick_;
    }
    // The same, only when it is read without running Python code.
    bool quiet_tick() {
        PyObject* infos = quiet_attr_borrowed(self_, names::current_tick_infos);
        if (!infos || !PyDict_CheckExact(infos) || !PyUnicode_CheckExact(code_.ptr())) return false;
        py::object held = borrow(infos);
        PyObject* t = dict_get_borrowed(infos, code_.ptr());
        if (!t) {
            if (PyErr_Occurred()) throw_py();
            return false;  // the lookup path raises its KeyError
        }
        tick_ = borrow(t);
        return true;
    }

    py::handle self_;
    const py::object& code_;
    py::object tick_;
    py::object close_;
    py::object future_unit_;
    Num close_num_ = Num::bad(), unit_num_ = Num::bad();  // the two above as numbers, when known
    unsigned ran_ = 0;
};

// `value == 0` for a lot's quantity; false positives of foreign types run their __eq__.
bool is_zero(const py::object& value, Valuer& v) {
    if (PyLong_CheckExact(value.ptr())) {
        int overflow = 0;
        return PyLong_AsLongLongAndOverflow(value.ptr(), &overflow) == 0 && !overflow;
    }
    v.python_ran();
    return eq(value, names::int_0);
}

// The lots lie scattered over the heap, each made among a fill's other
// objects: the dicts a few places on and their key tables are asked for
// ahead of use, so the waits for memory overlap.
[[gnu::always_inline]] inline void prefetch_ahead(PyObject* lots, Py_ssize_t i) {
    const Py_ssize_t n = PyList_GET_SIZE(lots);
    if (i + 4 < n) __builtin_prefetch(PyList_GET_ITEM(lots, i + 4));
    if (i + 2 < n) {  // its dict asked for two lots ago
        compat::prefetch_key_table(PyList_GET_ITEM(lots, i + 2));
    }
}

// Calls fn(lot, long_side) for every lot of the code, long side first, in
// stored order; the lists are read live, as a for loop over them would.
template <class Fn>
void for_each_lot(const py::object& book, Fn&& fn) {
    for (bool long_side : {true, false}) {
        py::handle side = long_side ? names::buy : names::sell;
        py::object lots = PyDict_CheckExact(book.ptr())
                              ? [&] {
                                    PyObject* v = PyDict_GetItemWithError(book.ptr(), side.ptr());
                                    if (!v && PyErr_Occurred()) throw_py();
                                    return v ? borrow(v) : py::object(py::list());
                                }()
                              : steal(PyObject_CallMethodObjArgs(book.ptr(), names::get.ptr(), side.ptr(),
                                                                 py::list().ptr(), nullptr));
        if (PyList_CheckExact(lots.ptr())) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lots.ptr()); ++i) {
                prefetch_ahead(lots.ptr(), i);
                fn(borrow(PyList_GET_ITEM(lots.ptr(), i)), long_side);
            }
        } else {
            py::object it = steal(PyObject_GetIter(lots.ptr()));
            while (PyObject* lot = PyIter_Next(it.ptr())) fn(steal(lot), long_side);
            if (PyErr_Occurred()) throw_py();
        }
    }
}

}  // namespace

namespace {

// One code's running totals for its summary, held in C while every value is
// a plain int or float.
struct SummaryTotals {
    bool in_c = true;
    Num c_qty, c_weighted, c_pnl;
    py::object pnl, quantity, weighted;
    SummaryTotals() : pnl(borrow(names::int_0)), quantity(pnl), weighted(pnl) {}
    void to_python() {
        if (!in_c) return;
        in_c = false;
        quantity = c_qty.box();
        weighted = c_weighted.box();
        pnl = c_pnl.box();
    }
};

// A lot whose fields are all plain, added in C; false when the general path must take it.
[[gnu::always_inline]] inline bool add_plain_lot(SummaryTotals& t, Valuer& valuer, const py::object& lot,
                                                 bool long_side, Py_ssize_t* hints) {
    const std::array<PyObject*, 3> keys = {names::quantity.ptr(), names::price.ptr(), names::product_type.ptr()};
    PyObject* f[3];
    Num q_close, q_unit;
    if (!t.in_c || !PyDict_CheckExact(lot.ptr()) || !dict_get_all(lot.ptr(), keys, f, hints) ||
        !PyLong_CheckExact(f[0]))
        return false;
    Num q = Num::of(f[0]);
    if (q.ok && q.i == 0) return true;
    Num p = Num::of(f[1]);
    Num nq = t.c_qty + q, nw = t.c_weighted + p * q;
    // The unit first: it only compares f[2] by identity with interned texts.
    if (!nq.ok || !nw.ok || !valuer.quiet_unit(f[2], q_unit) || !valuer.quiet_close(q_close)) return false;
    Num np = t.c_pnl + lot_pnl_num(q_close, p, q, long_side, q_unit);
    if (!np.ok) return false;
    t.c_qty = nq;
    t.c_weighted = nw;
    t.c_pnl = np;
    return true;
}

// A lot the way the algorithm reads it, field by field.
void add_lot(SummaryTotals& t, Valuer& valuer, const py::object& lot, bool long_side) {
    Valuer::Field qty_f, price_f;
    if (is_zero(valuer.read(lot, names::quantity, qty_f), valuer)) return;
    {
        const py::object& qty = valuer.read(lot, names::quantity, qty_f);
        const py::object& price = valuer.read(lot, names::price, price_f);
        if (t.in_c) {
            Num q = Num::of(qty.ptr());
            Num nq = t.c_qty + q, nw = t.c_weighted + Num::of(price.ptr()) * q;
            if (nq.ok && nw.ok) {
                t.c_qty = nq;
                t.c_weighted = nw;
            } else {
                t.to_python();
            }
        }
        if (!t.in_c) {
            valuer.python_ran();
            t.quantity = iadd(t.quantity, qty);
            // Weighted by quantity: one lot of 2 at 100 averages 100, not 50.
            t.weighted = iadd(t.weighted, mul(price, qty));
        }
    }
    if (!valuer.has_tick()) {
        print_no_tick();
        valuer.python_ran();
        return;
    }
    py::object unit = valuer.unit(lot);
    py::object close = valuer.close();
    const py::object& price = valuer.read(lot, names::price, price_f);
    const py::object& qty = valuer.read(lot, names::quantity, qty_f);
    if (t.in_c) {
        Num np = t.c_pnl + lot_pnl_num(close, price, qty, long_side, unit);
        if (np.ok) {
            t.c_pnl = np;
            return;
        }
        t.to_python();
    }
    valuer.python_ran();
    t.pnl = iadd(t.pnl, lot_pnl(close, price, qty, long_side, unit));
}

// The summary row of one code, or nothing when its lots hold no quantity.
py::object summary_of(py::handle self, const py::object& code, bool stock, Py_ssize_t* hints) {
    SummaryTotals t;
    mark_untracked(self, code);
    Valuer valuer(self, code);
    py::object book = get_item(self_attr(self, names::positions), code);
    for_each_lot(book, [&](const py::object& lot, bool long_side) {
        if (!add_plain_lot(t, valuer, lot, long_side, hints)) add_lot(t, valuer, lot, long_side);
    });
    t.to_python();
    py::object zero = borrow(names::int_0);
    if (eq(t.quantity, zero)) return py::object();
    py::object avg = zero;
    if (compare(t.quantity, zero, Py_GT)) avg = round2(truediv(t.weighted, t.quantity));
    if (!stock) return dict_of_shape(future_summary_record.shape(), {code, t.quantity, avg, t.pnl});
    py::object cash = get_attr(global(names::OrderCond), names::CASH);
    return dict_of_shape(stock_summary_record.shape(), {code, t.quantity, avg, t.pnl, cash, zero, zero, zero, zero});
}

}  // namespace

ZK_BODY(pos_format_position_summary, product_type) {
    const bool stock = eq(product_type, names::Stock);
    Results result;
    Py_ssize_t hints[3] = {};
    for (const py::object& code : select_codes(self, product_type)) {
        if (!contains(self_attr(self, names::positions), code)) continue;
        if (py::object row = summary_of(self, code, stock, hints)) result.append(std::move(row));
    }
    return result.list();
}

ZK_BODY(pos_format_position_detail, product_type) {
    PyObject* stock_shape = stock_detail_record.shape();
    PyObject* future_shape = future_detail_record.shape();
    // date, quantity, cost, pnl, trade_id: what differs from lot to lot.
    constexpr unsigned char open_slots[5] = {0, 2, 3, 4, 6};
    py::object zero = borrow(names::int_0);
    const bool stock = eq(product_type, names::Stock);
    Results result;
    const std::array<PyObject*, 5> detail_keys = {names::quantity.ptr(), names::price.ptr(),
                                                  names::product_type.ptr(), names::exchange_ts.ptr(),
                                                  names::trade_id.ptr()};
    Py_ssize_t hints[5] = {};
    for (const py::object& code : select_codes(self, product_type)) {
        mark_untracked(self, code);
        // The code and the zeros are the same in every detail of the code.
        const py::handle fixed[9] = {{}, code, {}, {}, {}, zero, {}, zero, zero};
        py::object code_shape = shape_with(stock ? stock_shape : future_shape, fixed, stock ? 9 : 7);
        Valuer valuer(self, code);
        py::object book = get_item(self_attr(self, names::positions), code);
        for_each_lot(book, [&](const py::object& lot, bool long_side) {
            PyObject* f[5];
            Num q_close, q_unit;
            if (PyDict_CheckExact(lot.ptr()) &&
                dict_get_all(lot.ptr(), detail_keys, f, hints) &&
                PyLong_CheckExact(f[0])) {
                // Held at once, since an allocation may run a collection and with it a __del__.
                py::object date = borrow(f[3]), qty = borrow(f[0]), cost = borrow(f[1]);
                py::object type = borrow(f[2]), trade_id = borrow(f[4]);
                Num q = Num::of(f[0]);
                if (q.ok && q.i == 0) return;
                if (q.ok && valuer.quiet_unit(type.ptr(), q_unit) && valuer.quiet_close(q_close)) {
                    Num pnl = lot_pnl_num(q_close, Num::of(cost.ptr()), q, long_side, q_unit);
                    if (pnl.ok) {
                        py::object boxed = pnl.box();
                        const py::handle values[5] = {date, qty, cost, boxed, trade_id};
                        result.append(dict_fill(code_shape.ptr(), open_slots, values, 5));
                        return;
                    }
                }
            }
            Valuer::Field qty_f, price_f;
            if (is_zero(valuer.read(lot, names::quantity, qty_f), valuer)) return;
            py::object unit = valuer.unit(lot);
            py::object pnl = zero;
            if (valuer.has_tick()) {
                py::object close = valuer.close();
                const py::object& price = valuer.read(lot, names::price, price_f);
                const py::object& qty = valuer.read(lot, names::quantity, qty_f);
                Num n = lot_pnl_num(close, price, qty, long_side, unit);
                if (n.ok) {
                    pnl = n.box();
                } else {
                    valuer.python_ran();
                    pnl = lot_pnl(close, price, qty, long_side, unit);
                }
            } else {
                print_no_tick();
                valuer.python_ran();
            }
            py::object date = valuer.lot_item(lot, names::exchange_ts);
            py::object qty = valuer.read(lot, names::quantity, qty_f);
            py::object cost = valuer.read(lot, names::price, price_f);
            py::object trade_id = get_item(lot, names::trade_id);
            const py::handle values[5] = {date, qty, cost, pnl, trade_id};
            result.append(dict_fill(code_shape.ptr(), open_slots, values, 5));
        });
    }
    return result.list();
}

ZK_BODY(pos_fetch_positions, account_type, fetch_detail) {
    if (!eq(account_type, names::Stock) && !eq(account_type, names::Future))
        raise_with_value(PyExc_Exception, "不支援的帳戶類型: ", account_type);
    const bool detail = truth(fetch_detail);
    Body body = detail ? pos_format_position_detail : pos_format_position_summary;
    Method fmt_m = own_method(
        self, detail ? names::private_format_position_detail : names::private_format_position_summary,
        body);
    py::object positions = fmt_m.own && PyUnicode_CheckExact(account_type.ptr())
                               ? body(self, &account_type)
                               : fmt_m.call(self, account_type);
    Method put = own_method(self, names::add_positions_to_queue, pos_add_positions_to_queue);
    if (put.own) {
        const py::handle args[1] = {positions};
        pos_add_positions_to_queue(self, args);
    } else {
        put.call(self, positions);
    }
    return py::none();
}

}  // namespace zk
