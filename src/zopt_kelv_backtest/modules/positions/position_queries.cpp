// Position queries: the open lots of one account valued at the latest tick,
// as one summary per code or one detail per lot, handed over through the
// position queue.
#include <vector>

#include "ledger_util.hpp"

namespace zk {
namespace {

using namespace ledger;

// Codes of the book traded under `product_type`, in the book's order.
std::vector<py::object> select_codes(py::handle self, py::handle product_type) {
    py::object positions = attr_of(self, ZK_STR("positions"));
    py::object mapper = attr_of(self, ZK_STR("product_type_mapper"));
    py::object keys = PyDict_CheckExact(positions.ptr()) ? steal(PyDict_Keys(positions.ptr()))
                                                          : steal(PySequence_List(positions.ptr()));
    std::vector<py::object> codes;
    const Py_ssize_t n = PyList_GET_SIZE(keys.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::object code = borrow(PyList_GET_ITEM(keys.ptr(), i));
        if (eq(item(mapper, code), product_type)) codes.push_back(std::move(code));
    }
    return codes;
}

// A code without a tick yet gets None, so later lookups find it.
void mark_untracked(py::handle self, const py::object& code) {
    py::object ticks = attr_of(self, ZK_STR("current_tick_infos"));
    if (!contains(ticks, code)) set_item(ticks, code, py::none());
}

py::object tick_of(py::handle self, const py::object& code) {
    return item(attr_of(self, ZK_STR("current_tick_infos")), code);
}

// Money value of a price step of 1 on a quantity of 1.
py::object unit_value(py::handle self, const py::object& code, const py::object& lot) {
    py::object type = item(lot, ZK_STR("product_type"));
    if (eq(type, ZK_STR("Stock"))) return borrow(ZK_INT(1000));
    if (eq(type, ZK_STR("Future"))) {
        Method m = lookup_method(self, ZK_STR("_Positions__apply_future_contract_value"),
                                 pos_apply_future_contract_value);
        if (m.native && PyUnicode_CheckExact(code.ptr())) {
            const py::handle args[1] = {code};
            return pos_apply_future_contract_value(self, args);
        }
        return steal(PyObject_CallOneArg(m.attr.ptr(), code.ptr()));
    }
    raise_text(PyExc_Exception, concat({ZK_STR("不支援的商品類型: "), fmt(type)}));
}

// A number held in C while it is an int that fits 64 bits or a float; the
// operations follow the interpreter's (int op int stays int, a float makes
// the other operand a double), and anything else leaves `ok` false.
struct Num {
    bool ok = true;
    bool is_int = true;
    long long i = 0;
    double d = 0.0;

    static Num of(PyObject* o) {
        Num n;
        if (PyLong_CheckExact(o)) {
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

Num operator+(const Num& a, const Num& b) {
    if (!a.ok || !b.ok) return Num::bad();
    if (a.is_int && b.is_int) {
        Num r;
        if (__builtin_add_overflow(a.i, b.i, &r.i)) return Num::bad();
        return r;
    }
    return Num::real(a.dbl() + b.dbl());
}
Num operator-(const Num& a, const Num& b) {
    if (!a.ok || !b.ok) return Num::bad();
    if (a.is_int && b.is_int) {
        Num r;
        if (__builtin_sub_overflow(a.i, b.i, &r.i)) return Num::bad();
        return r;
    }
    return Num::real(a.dbl() - b.dbl());
}
Num operator*(const Num& a, const Num& b) {
    if (!a.ok || !b.ok) return Num::bad();
    if (a.is_int && b.is_int) {
        Num r;
        if (__builtin_mul_overflow(a.i, b.i, &r.i)) return Num::bad();
        return r;
    }
    return Num::real(a.dbl() * b.dbl());
}
Num operator-(const Num& a) { return Num::of(ZK_INT(0).ptr()) - a; }

// Unrealised profit of one lot: (close - price) x quantity x unit, negated
// first for a short lot.
Num lot_pnl_num(const py::object& close, const py::object& price, const py::object& qty, bool long_side,
                const py::object& unit) {
    Num diff = Num::of(close.ptr()) - Num::of(price.ptr());
    if (!long_side && diff.ok) diff = diff.is_int ? -diff : Num::real(-diff.d);
    return diff * Num::of(qty.ptr()) * Num::of(unit.ptr());
}

py::object lot_pnl(const py::object& close, const py::object& price, const py::object& qty, bool long_side,
                   const py::object& unit) {
    Num n = lot_pnl_num(close, price, qty, long_side, unit);
    if (n.ok) return n.box();
    py::object diff = sub(close, price);
    if (!long_side) diff = neg(diff);
    return mul(mul(diff, qty), unit);
}

void print_no_tick() {
    console_print(borrow(ZK_STR("[red]尚未訂閱回測 Tick, 無法計算回測時的即時庫存損益[/red]")));
}

// Calls fn(lot, long_side) for every lot of the code, long side first, in
// stored order; the lists are read live, as a for loop over them would.
template <class Fn>
void for_each_lot(const py::object& book, Fn&& fn) {
    for (bool long_side : {true, false}) {
        py::handle side = long_side ? ZK_STR("buy") : ZK_STR("sell");
        py::object lots = PyDict_CheckExact(book.ptr())
                              ? [&] {
                                    PyObject* v = PyDict_GetItemWithError(book.ptr(), side.ptr());
                                    if (!v && PyErr_Occurred()) throw_py();
                                    return v ? borrow(v) : py::object(py::list());
                                }()
                              : steal(PyObject_CallMethodObjArgs(book.ptr(), ZK_STR("get").ptr(), side.ptr(),
                                                                 py::list().ptr(), nullptr));
        if (PyList_CheckExact(lots.ptr())) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lots.ptr()); ++i)
                fn(borrow(PyList_GET_ITEM(lots.ptr(), i)), long_side);
        } else {
            py::object it = steal(PyObject_GetIter(lots.ptr()));
            while (PyObject* lot = PyIter_Next(it.ptr())) fn(steal(lot), long_side);
            if (PyErr_Occurred()) throw_py();
        }
    }
}

void set_zeros(py::dict& d, std::initializer_list<py::handle> keys) {
    for (py::handle k : keys) put(d, k, ZK_INT(0));
}

}  // namespace

ZK_BODY(pos_format_position_summary) {
    py::handle product_type = a[0];
    py::object zero = borrow(ZK_INT(0));
    py::list result;
    for (const py::object& code : select_codes(self, product_type)) {
        if (!contains(attr_of(self, ZK_STR("positions")), code)) continue;
        // Totals stay in C while every value is a plain int or float.
        bool in_c = true;
        Num c_qty, c_weighted, c_pnl;
        py::object pnl = zero, quantity = zero, weighted = zero;
        auto to_python = [&] {
            if (!in_c) return;
            in_c = false;
            quantity = c_qty.box();
            weighted = c_weighted.box();
            pnl = c_pnl.box();
        };
        mark_untracked(self, code);
        py::object book = item(attr_of(self, ZK_STR("positions")), code);
        for_each_lot(book, [&](const py::object& lot, bool long_side) {
            py::object qty = item(lot, ZK_STR("quantity"));
            if (eq(qty, zero)) return;
            py::object price = item(lot, ZK_STR("price"));
            if (in_c) {
                Num q = Num::of(qty.ptr());
                Num nq = c_qty + q, nw = c_weighted + Num::of(price.ptr()) * q;
                if (nq.ok && nw.ok) {
                    c_qty = nq;
                    c_weighted = nw;
                } else {
                    to_python();
                }
            }
            if (!in_c) {
                quantity = iadd(quantity, qty);
                // Weighted by quantity: one lot of 2 at 100 averages 100, not 50.
                weighted = iadd(weighted, mul(price, qty));
            }
            if (!truth(tick_of(self, code))) {
                print_no_tick();
                return;
            }
            py::object unit = unit_value(self, code, lot);
            py::object close = item(tick_of(self, code), ZK_STR("close"));
            if (in_c) {
                Num np = c_pnl + lot_pnl_num(close, price, qty, long_side, unit);
                if (np.ok) {
                    c_pnl = np;
                    return;
                }
                to_python();
            }
            pnl = iadd(pnl, lot_pnl(close, price, qty, long_side, unit));
        });
        to_python();
        if (eq(quantity, zero)) continue;
        py::object avg = zero;
        if (compare(quantity, zero, Py_GT))
            avg = steal(PyObject_CallFunctionObjArgs(global("round").ptr(), truediv(weighted, quantity).ptr(),
                                                     ZK_INT(2).ptr(), nullptr));
        py::dict summary = new_dict(9);
        put(summary, ZK_STR("code"), code);
        put(summary, ZK_STR("quantity"), quantity);
        put(summary, ZK_STR("avg_price"), avg);
        put(summary, ZK_STR("pnl"), pnl);
        if (eq(product_type, ZK_STR("Stock"))) {
            put(summary, ZK_STR("cond"), attr_of(global("OrderCond"), ZK_STR("CASH")));
            set_zeros(summary, {ZK_STR("margin_purchase_amount"), ZK_STR("collateral"), ZK_STR("short_sale_margin"),
                                ZK_STR("interest")});
        }
        result.append(summary);
    }
    return result;
}

ZK_BODY(pos_format_position_detail) {
    py::handle product_type = a[0];
    py::object zero = borrow(ZK_INT(0));
    const bool stock = eq(product_type, ZK_STR("Stock"));
    py::list result;
    for (const py::object& code : select_codes(self, product_type)) {
        mark_untracked(self, code);
        py::object book = item(attr_of(self, ZK_STR("positions")), code);
        for_each_lot(book, [&](const py::object& lot, bool long_side) {
            if (eq(item(lot, ZK_STR("quantity")), zero)) return;
            py::object unit = unit_value(self, code, lot);
            py::object pnl = zero;
            if (truth(tick_of(self, code)))
                pnl = lot_pnl(item(tick_of(self, code), ZK_STR("close")), item(lot, ZK_STR("price")),
                              item(lot, ZK_STR("quantity")), long_side, unit);
            else
                print_no_tick();
            py::dict detail = new_dict(9);
            put(detail, ZK_STR("date"), item(lot, ZK_STR("exchange_ts")));
            put(detail, ZK_STR("code"), code);
            put(detail, ZK_STR("quantity"), item(lot, ZK_STR("quantity")));
            put(detail, ZK_STR("cost"), item(lot, ZK_STR("price")));
            put(detail, ZK_STR("pnl"), pnl);
            put(detail, ZK_STR("fee"), zero);
            put(detail, ZK_STR("trade_id"), item(lot, ZK_STR("trade_id")));
            if (stock) set_zeros(detail, {ZK_STR("margin_purchase_amount"), ZK_STR("collateral")});
            result.append(detail);
        });
    }
    return result;
}

ZK_BODY(pos_fetch_positions) {
    py::handle account_type = a[0];
    if (!eq(account_type, ZK_STR("Stock")) && !eq(account_type, ZK_STR("Future")))
        raise_text(PyExc_Exception, concat({ZK_STR("不支援的帳戶類型: "), fmt(account_type)}));
    const bool detail = truth(a[1]);
    Body body = detail ? pos_format_position_detail : pos_format_position_summary;
    Method fmt_m = lookup_method(
        self, detail ? ZK_STR("_Positions__format_position_detail") : ZK_STR("_Positions__format_position_summary"),
        body);
    py::object positions = fmt_m.native && PyUnicode_CheckExact(account_type.ptr())
                               ? body(self, &account_type)
                               : steal(PyObject_CallOneArg(fmt_m.attr.ptr(), account_type.ptr()));
    Method put = lookup_method(self, ZK_STR("add_positions_to_queue"), pos_add_positions_to_queue);
    if (put.native) {
        const py::handle args[1] = {positions};
        pos_add_positions_to_queue(self, args);
    } else {
        steal(PyObject_CallOneArg(put.attr.ptr(), positions.ptr()));
    }
    return py::none();
}

}  // namespace zk
