// The position book: fills open lots or cover the opposite side oldest
// first, each covered lot leaving a profit row.
//
// A fill is applied all or nothing: everything that can fail (the fill's
// fields, every trade cost, every sum, the console lines) is worked out
// first, and only then are the book, the rows, the counters and the capital
// changed, by steps that cannot fail.
#include <optional>
#include <vector>

#include "ledger_text.hpp"
#include "ledger_util.hpp"

namespace zk {
namespace ledger {

py::object trade_cost(py::handle self, CostCall kind, py::handle code, py::handle action, py::handle price,
                      py::handle quantity, py::handle product_type) {
    Method m = lookup_method(self, ZK_STR("_Positions__calculate_trade_cost"), pos_calculate_trade_cost);
    py::handle ignore_tax = kind == CostCall::Cover ? Py_False : Py_True;
    py::handle is_cover = kind == CostCall::Entry ? Py_False : Py_True;
    if (m.native && PyUnicode_CheckExact(code.ptr()) && PyLong_CheckExact(quantity.ptr())) {
        // Our own function: run its body with the arguments its parser would pass.
        py::object as_float;
        if (PyFloat_CheckExact(price.ptr())) {
            as_float = borrow(price);
        } else if (PyLong_CheckExact(price.ptr())) {
            double d = PyLong_AsDouble(price.ptr());
            if (d == -1.0 && PyErr_Occurred())
                PyErr_Clear();  // the parser reports it below
            else
                as_float = fl(d);
        }
        if (as_float) {
            const py::handle args[7] = {code, action, as_float, quantity, product_type, ignore_tax, is_cover};
            return pos_calculate_trade_cost(self, args);
        }
    }
    static PyObject* kw_cover = Py_BuildValue("(s)", "is_cover");
    static PyObject* kw_both = Py_BuildValue("(ss)", "ignore_tax", "is_cover");
    if (kind == CostCall::Cover) {
        PyObject* args[6] = {code.ptr(), action.ptr(), price.ptr(), quantity.ptr(), product_type.ptr(), is_cover.ptr()};
        return steal(PyObject_Vectorcall(m.attr.ptr(), args, 5, kw_cover));
    }
    PyObject* args[7] = {code.ptr(),         action.ptr(),     price.ptr(),   quantity.ptr(),
                         product_type.ptr(), ignore_tax.ptr(), is_cover.ptr()};
    return steal(PyObject_Vectorcall(m.attr.ptr(), args, 5, kw_both));
}

namespace {

// Action.BUY.value, read from the module global each time. An enum class
// cannot change its members, so the value of the one seen last is kept.
py::object action_buy_value() {
    static PyObject* enum_meta = nullptr;
    static PyObject* seen_class = nullptr;
    static PyObject* seen_value = nullptr;
    py::object cls = global("Action");
    if (seen_class && cls.ptr() == seen_class) return borrow(seen_value);
    py::object value = attr_of(attr_of(cls, ZK_STR("BUY")), ZK_STR("value"));
    if (!enum_meta) enum_meta = py::object(py::module_::import("enum").attr("EnumMeta")).release().ptr();
    int is_enum = PyObject_IsInstance(cls.ptr(), enum_meta);
    if (is_enum < 0) throw_py();
    if (is_enum) {
        Py_XSETREF(seen_class, Py_NewRef(cls.ptr()));
        Py_XSETREF(seen_value, Py_NewRef(value.ptr()));
    }
    return value;
}

bool is_atomic(PyObject* o) {
    return o == Py_None || PyUnicode_CheckExact(o) || PyLong_CheckExact(o) || PyFloat_CheckExact(o) ||
           PyBool_Check(o);
}

// copy.deepcopy(trade) through the module global. The genuine deepcopy of a
// dict whose keys and values are all immutable scalars is a plain dict copy.
py::object deepcopy_trade(py::handle trade) {
    static PyObject* genuine = nullptr;
    py::object fn = attr_of(global("copy"), ZK_STR("deepcopy"));
    if (!genuine && PyFunction_Check(fn.ptr())) {
        py::object mod = steal(PyImport_ImportModule("copy"));
        if (PyFunction_GET_GLOBALS(fn.ptr()) == PyModule_GetDict(mod.ptr()) &&
            eq(attr_of(fn, ZK_STR("__name__")), ZK_STR("deepcopy")))
            genuine = Py_NewRef(fn.ptr());
    }
    if (fn.ptr() == genuine && PyDict_CheckExact(trade.ptr())) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        bool flat = true;
        while (flat && PyDict_Next(trade.ptr(), &pos, &k, &v)) flat = is_atomic(k) && is_atomic(v);
        if (flat) return steal(PyDict_Copy(trade.ptr()));
    }
    return steal(PyObject_CallOneArg(fn.ptr(), trade.ptr()));
}

// ---- profit calculation, planned first and applied afterwards

struct LotState {
    py::object lot;
    py::object quantity;  // the lot's quantity once the planned pairs are applied
};

struct ProfitPlan {
    py::object target;                // the opposite side list of the book
    std::vector<LotState> lots;       // every lot touched, in order
    std::vector<py::object> removed;  // lots taken off the front, in order
    std::vector<py::object> rows;
    py::object rows_list;
    py::object result;  // the cover result
};

LotState& state_of(std::vector<LotState>& lots, const py::object& lot) {
    for (LotState& s : lots)
        if (s.lot.ptr() == lot.ptr()) return s;
    lots.push_back({lot, item(lot, ZK_STR("quantity"))});
    return lots.back();
}

// fee + tax + fixed cost of one leg, added left to right.
py::object leg_cost(const py::object& info) {
    return add(add(item(info, ZK_STR("fee")), item(info, ZK_STR("tax"))), item(info, ZK_STR("fixed_cost")));
}

ProfitPlan plan_profit(py::handle self, py::handle cp, py::handle product_type) {
    ProfitPlan plan;
    py::object zero = borrow(ZK_INT(0));
    py::object origin_profit = zero, profit = zero, cost = zero;
    py::object un_cover = item(cp, ZK_STR("quantity"));
    const bool covers_short = eq(item(cp, ZK_STR("action")), action_buy_value());
    py::object book = item(attr_of(self, ZK_STR("positions")), item(cp, ZK_STR("code")));
    plan.target = item(book, covers_short ? ZK_STR("sell") : ZK_STR("buy"));
    py::object payable_total = zero, receivable_total = zero, cover_cost_total = zero, trade_cost_total = zero;

    Py_ssize_t front = 0;  // lots before it are used up by earlier pairs
    while (compare(un_cover, zero, Py_GT)) {
        Py_ssize_t n = PyObject_Length(plan.target.ptr());
        if (n < 0) throw_py();
        if (front >= n) break;
        py::object lot = steal(PySequence_GetItem(plan.target.ptr(), front));
        LotState& st = state_of(plan.lots, lot);
        py::object lot_qty = st.quantity;
        py::object matched = compare(lot_qty, un_cover, Py_LT) ? lot_qty : un_cover;

        py::object cover_info = trade_cost(self, CostCall::Cover, item(cp, ZK_STR("code")), item(cp, ZK_STR("action")),
                                           item(cp, ZK_STR("price")), matched, product_type);
        console_print(Text().lit("[blue]").dict(cover_info).lit(", 沖銷部位方向: ")
                          .fmt(item(cp, ZK_STR("action"))).lit("[/blue]").str());
        py::object cover_cost = leg_cost(cover_info);
        cover_cost_total = iadd(cover_cost_total, cover_cost);
        py::object receivable = mul(item(cover_info, ZK_STR("price")), item(cover_info, ZK_STR("min_qty")));

        py::object entry_info = trade_cost(self, CostCall::CoveredEntry, item(lot, ZK_STR("code")),
                                           item(lot, ZK_STR("action")), item(lot, ZK_STR("price")), matched,
                                           product_type);
        console_print(Text().lit("[yellow]被沖銷的成本資訊: ").dict(entry_info).lit(", 沖銷部位方向: ")
                          .fmt(item(lot, ZK_STR("action"))).lit("[/yellow]").str());
        py::object trade_cost_ = leg_cost(entry_info);
        trade_cost_total = iadd(trade_cost_total, trade_cost_);
        py::object payable = mul(item(entry_info, ZK_STR("price")), item(entry_info, ZK_STR("min_qty")));

        const bool short_lot = eq(item(cp, ZK_STR("action")), action_buy_value());
        py::object gross = short_lot ? sub(payable, receivable) : sub(receivable, payable);
        origin_profit = iadd(origin_profit, gross);
        py::object both_costs = add(cover_cost, trade_cost_);
        py::object pair_profit = sub(gross, both_costs);
        // A lot worth nothing with no entry cost has no return to speak of.
        py::object base = add(payable, trade_cost_);
        py::object ratio = eq(base, zero) ? fl(0.0) : truediv(pair_profit, base);
        profit = iadd(profit, pair_profit);
        cost = iadd(cost, both_costs);

        py::dict row = new_dict(13);
        put(row, ZK_STR("code"), item(cp, ZK_STR("code")));
        put(row, ZK_STR("entry_dt"), item(lot, ZK_STR("exchange_ts")));
        put(row, ZK_STR("entry_price"), item(entry_info, ZK_STR("price")));
        put(row, ZK_STR("entry_origin_price"), item(entry_info, ZK_STR("origin_price")));
        put(row, ZK_STR("exit_dt"), item(cp, ZK_STR("exchange_ts")));
        put(row, ZK_STR("exit_price"), item(cover_info, ZK_STR("price")));
        put(row, ZK_STR("exit_origin_price"), item(cover_info, ZK_STR("origin_price")));
        put(row, ZK_STR("qty"), item(entry_info, ZK_STR("qty")));
        put(row, ZK_STR("min_qty"), item(entry_info, ZK_STR("min_qty")));
        put(row, ZK_STR("trade_cost"), trade_cost_);
        put(row, ZK_STR("cover_cost"), cover_cost);
        put(row, ZK_STR("profit"), pair_profit);
        put(row, ZK_STR("profit_ratio"), ratio);
        if (plan.rows.empty()) plan.rows_list = item(attr_of(self, ZK_STR("_profit_report")), ZK_STR("rows"));
        plan.rows.push_back(std::move(row));

        un_cover = isub(un_cover, matched);
        py::object left = isub(lot_qty, matched);
        st.quantity = left;
        if (eq(left, zero)) {
            plan.removed.push_back(lot);
            ++front;
        }
        receivable_total = iadd(receivable_total, receivable);
        payable_total = iadd(payable_total, payable);
    }

    py::dict result = new_dict(9);
    put(result, ZK_STR("receivable_total"), receivable_total);
    put(result, ZK_STR("payable_total"), payable_total);
    put(result, ZK_STR("origin_profit"), origin_profit);
    put(result, ZK_STR("cover_cost_total"), cover_cost_total);
    put(result, ZK_STR("trade_cost_total"), trade_cost_total);
    put(result, ZK_STR("cost"), cost);
    put(result, ZK_STR("profit"), profit);
    put(result, ZK_STR("is_covered"), py::bool_(eq(un_cover, zero)));
    put(result, ZK_STR("un_cover_qty"), un_cover);
    plan.result = std::move(result);
    return plan;
}

void apply_profit(ProfitPlan& plan) {
    for (LotState& s : plan.lots) set_item(s.lot, ZK_STR("quantity"), s.quantity);
    PyObject* target = plan.target.ptr();
    const Py_ssize_t k = static_cast<Py_ssize_t>(plan.removed.size());
    bool at_front = PyList_CheckExact(target) && PyList_GET_SIZE(target) >= k;
    for (Py_ssize_t i = 0; at_front && i < k; ++i)
        at_front = PyList_GET_ITEM(target, i) == plan.removed[static_cast<size_t>(i)].ptr();
    if (at_front) {
        if (k && PyList_SetSlice(target, 0, k, nullptr) < 0) throw_py();
    } else {
        // The list was changed behind our back (a re-entrant call): remove by identity.
        for (const py::object& lot : plan.removed) {
            Py_ssize_t n = PyObject_Length(target);
            if (n < 0) throw_py();
            for (Py_ssize_t i = 0; i < n; ++i) {
                py::object el = steal(PySequence_GetItem(target, i));
                if (el.ptr() == lot.ptr()) {
                    if (PySequence_DelItem(target, i) < 0) throw_py();
                    break;
                }
            }
        }
    }
    for (const py::object& row : plan.rows) append(plan.rows_list, row);
}

py::object init_account_info(py::handle self) {
    Method m = lookup_method(self, ZK_STR("_Positions__init_account_info"), pos_init_account_info);
    if (m.native) return pos_init_account_info(self, nullptr);
    return steal(PyObject_CallNoArgs(m.attr.ptr()));
}

py::object bump(const py::object& info, py::handle key, py::handle by) { return iadd(item(info, key), by); }

}  // namespace
}  // namespace ledger

using namespace ledger;

ZK_BODY(pos_calculate_profit) {
    ProfitPlan plan = plan_profit(self, a[0], a[1]);
    apply_profit(plan);
    return plan.result;
}

ZK_BODY(pos_set_positions) {
    py::handle trade = a[0], product_type = a[1];

    // The fill is checked in full before anything changes.
    py::object code = item(trade, ZK_STR("code"));
    if (!PyUnicode_CheckExact(code.ptr())) raise_arg_type("code", &PyUnicode_Type, code.ptr());
    py::object cp = deepcopy_trade(trade);  // the future position entry
    py::object action = item(cp, ZK_STR("action"));
    py::object price = item(cp, ZK_STR("price"));
    if (!PyFloat_CheckExact(price.ptr()) && PyFloat_AsDouble(price.ptr()) == -1.0 && PyErr_Occurred()) throw_py();
    py::object quantity = item(cp, ZK_STR("quantity"));
    if (!PyLong_CheckExact(quantity.ptr())) raise_arg_type("quantity", &PyLong_Type, quantity.ptr());
    if (compare(quantity, ZK_INT(0), Py_LT))
        raise_text(PyExc_ValueError, concat({ZK_STR("不支援的數量: "), fmt(quantity)}));
    item(cp, ZK_STR("exchange_ts"));
    const bool stock = eq(product_type, ZK_STR("Stock"));
    if (!stock && !eq(product_type, ZK_STR("Future")))
        raise_text(PyExc_Exception, concat({ZK_STR("不支援的商品類型: "), fmt(product_type)}));
    const char* unit = stock ? "張" : "口";

    py::object positions = attr_of(self, ZK_STR("positions"));
    const bool new_book = !contains(positions, code);
    py::object book;
    if (new_book) {
        py::dict fresh;
        fresh[ZK_STR("buy")] = py::list();
        fresh[ZK_STR("sell")] = py::list();
        book = std::move(fresh);
    } else {
        book = item(positions, code);
    }
    py::object mapper = attr_of(self, ZK_STR("product_type_mapper"));
    const bool new_type = !contains(mapper, code);
    py::object infos = attr_of(self, ZK_STR("_account_infos"));
    const bool new_info = !contains(infos, code);
    py::object info = new_info ? init_account_info(self) : item(infos, code);

    py::object capital_before = attr_of(self, ZK_STR("current_capital"));  // every line shows it
    const bool buy = eq(action, ZK_STR("Buy"));
    py::object opposite = item(book, buy ? ZK_STR("sell") : ZK_STR("buy"));
    py::object own_side = item(book, buy ? ZK_STR("buy") : ZK_STR("sell"));
    const char* red_end = buy ? "[/bold red]" : " [/bold red]";
    py::handle one = ZK_INT(1);

    std::optional<ProfitPlan> plan;
    std::vector<std::pair<py::handle, py::object>> counters;  // key, new value
    py::object report, report_profit, capital;
    std::vector<py::object> lines;
    bool opens = true;

    // An opening of `cp` on its own side: its cost, and the pink line.
    auto open_lot = [&](const py::object& capital_now) {
        counters.emplace_back(ZK_STR("entry_times"), bump(info, ZK_STR("entry_times"), one));
        py::object ci = trade_cost(self, CostCall::Entry, item(cp, ZK_STR("code")), item(cp, ZK_STR("action")),
                                   item(cp, ZK_STR("price")), item(cp, ZK_STR("quantity")), product_type);
        py::object fee = item(ci, ZK_STR("fee")), fixed = item(ci, ZK_STR("fixed_cost"));
        py::object amount = mul(item(ci, ZK_STR("price")), item(ci, ZK_STR("min_qty")));
        capital = isub(capital_now, add(add(amount, fee), fixed));
        lines.push_back(Text()
                            .lit(buy ? "[bold pink1][做多進場]本金: " : "[bold pink1][做空進場]本金: ")
                            .fmt(capital_before).lit(", 應付金額: ").fmt(amount).lit(", 進場成本: ")
                            .fmt(add(fee, fixed)).lit("[/bold pink1]").str());
        return ci;
    };

    if (truth(opposite)) {
        Method calc = lookup_method(self, ZK_STR("_Positions__calculate_profit"), pos_calculate_profit);
        py::object res;
        if (calc.native && PyDict_CheckExact(cp.ptr())) {
            plan = plan_profit(self, cp, product_type);
            res = plan->result;
        } else {
            res = steal(PyObject_CallFunctionObjArgs(calc.attr.ptr(), cp.ptr(), product_type.ptr(), nullptr));
        }
        report = attr_of(self, ZK_STR("_profit_report"));
        report_profit = iadd(item(report, ZK_STR("profit")), item(res, ZK_STR("profit")));
        opens = !truth(item(res, ZK_STR("is_covered")));
        if (opens) set_item(cp, ZK_STR("quantity"), item(res, ZK_STR("un_cover_qty")));
        py::object receivable = item(res, ZK_STR("receivable_total"));
        py::object payable = item(res, ZK_STR("payable_total"));
        counters.emplace_back(ZK_STR("receive_amount"), bump(info, ZK_STR("receive_amount"), receivable));
        counters.emplace_back(ZK_STR("payable_amount"), bump(info, ZK_STR("payable_amount"), payable));
        counters.emplace_back(ZK_STR("extra_fee"), bump(info, ZK_STR("extra_fee"), item(res, ZK_STR("cost"))));
        counters.emplace_back(ZK_STR("profit"), bump(info, ZK_STR("profit"), item(res, ZK_STR("profit"))));
        py::object origin = item(res, ZK_STR("origin_profit"));
        counters.emplace_back(ZK_STR("net_profit"), bump(info, ZK_STR("net_profit"), origin));
        counters.emplace_back(ZK_STR("cover_times"), bump(info, ZK_STR("cover_times"), one));
        py::object cover_cost_total = item(res, ZK_STR("cover_cost_total"));
        // Short lots: the amount put up at the opening comes back with the
        // gross profit, less the buy-back's costs (the entry costs were
        // taken from the capital when the lots were opened).
        py::object back = buy ? sub(add(payable, origin), cover_cost_total) : sub(receivable, cover_cost_total);
        capital = iadd(attr_of(self, ZK_STR("current_capital")), back);
        lines.push_back(Text()
                            .lit(buy ? "[bold yellow][做空沖銷]本金: " : "[bold yellow][做多沖銷]本金: ")
                            .fmt(capital_before).lit(", 應收金額: ").fmt(receivable).lit(", 沖銷成本: ")
                            .fmt(cover_cost_total).lit("[/bold yellow]").str());
        // An uncovered rest is opened and paid for like any opening fill.
        if (opens) open_lot(capital);
        lines.push_back(Text().lit("[bold red][回測] 沖銷 ").fmt(code).lit(" ").fmt(item(cp, ZK_STR("quantity")))
                            .lit(" ").lit(unit).lit(", 損益: ").fmt(item(res, ZK_STR("profit"))).lit(red_end).str());
    } else {
        py::object ci = open_lot(attr_of(self, ZK_STR("current_capital")));
        lines.push_back(Text().lit("[bold red][回測] 進場 ").fmt(code).lit(" ").fmt(item(cp, ZK_STR("quantity")))
                            .lit(" ").lit(unit).lit(", 價格: ").fmt(item(cp, ZK_STR("price"))).lit(", 手續費: ")
                            .fmt(item(ci, ZK_STR("fee"))).lit(", 交易稅: ").fmt(item(ci, ZK_STR("tax")))
                            .lit(", 固定成本: ").fmt(item(ci, ZK_STR("fixed_cost"))).lit(red_end).str());
    }
    for (const py::object& line : lines) console_print(line);

    // Apply: nothing below can fail on the documented containers.
    if (new_book) set_item(positions, code, book);
    if (new_type) set_item(mapper, code, product_type);
    if (new_info) set_item(infos, code, info);
    for (auto& [key, value] : counters) set_item(info, key, value);
    if (report) set_item(report, ZK_STR("profit"), report_profit);
    if (PyObject_SetAttr(self.ptr(), ZK_STR("current_capital").ptr(), capital.ptr()) < 0) throw_py();
    if (plan) apply_profit(*plan);
    if (opens) append(own_side, cp);
    return py::none();
}

}  // namespace zk
