// The position book: fills open lots or cover the opposite side oldest
// first, each covered lot leaving a profit row.
//
// A fill is applied all or nothing: everything that can fail (the fill's
// fields, every trade cost, every sum, the console lines) is worked out
// first, and only then are the book, the rows, the counters and the capital
// changed, by steps that cannot fail.
#include "account/ledger_text.hpp"
#include "account/ledger_util.hpp"

#include <optional>
#include <vector>

namespace zk {
namespace ledger {

Leg trade_cost(py::handle self, CostCall kind, py::handle code, py::handle action, py::handle price,
               py::handle quantity, py::handle product_type) {
    Method m = own_method(self, names::private_calculate_trade_cost, pos_calculate_trade_cost);
    py::handle ignore_tax = kind == CostCall::Cover ? Py_False : Py_True;
    // An entry slips as its profit row re-prices it, so the capital moves by what trades earn.
    py::handle is_cover = Py_True;
    Leg leg;
    if (m.own && PyUnicode_CheckExact(code.ptr()) && PyLong_CheckExact(quantity.ptr())) {
        // Our own function: its computation with the arguments its parser
        // would pass, and no dict, since nothing else sees it.
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
            leg.own = compute_trade_cost(self, code, action, as_float, quantity, product_type, ignore_tax, is_cover);
            return leg;
        }
    }
    static PyObject* kw_cover = Py_BuildValue("(s)", "is_cover");
    static PyObject* kw_both = Py_BuildValue("(ss)", "ignore_tax", "is_cover");
    // Our own function unbound (arguments it does not take directly) gets self first.
    const size_t skip = m.own ? 0 : 1;
    if (kind == CostCall::Cover) {
        PyObject* args[7] = {self.ptr(),    code.ptr(),         action.ptr(),  price.ptr(),
                             quantity.ptr(), product_type.ptr(), is_cover.ptr()};
        leg.dict = steal(PyObject_Vectorcall(m.obj.ptr(), args + skip, 6 - skip, kw_cover));
    } else {
        PyObject* args[8] = {self.ptr(),     code.ptr(),         action.ptr(),     price.ptr(),
                             quantity.ptr(), product_type.ptr(), ignore_tax.ptr(), is_cover.ptr()};
        leg.dict = steal(PyObject_Vectorcall(m.obj.ptr(), args + skip, 6 - skip, kw_both));
    }
    return leg;
}

void put_cost(Text& t, const Leg& leg) {
    if (leg.dict) {
        t.dict(leg.dict);
        return;
    }
    static const std::array<std::string, 7> heads = [] {
        std::array<std::string, 7> h;
        for (size_t i = 0; i < 7; ++i) h[i] = std::string(i ? ", '" : "{'") + cost_keys().names[i] + "': ";
        return h;
    }();
    t.items(heads.data(), leg.own.data(), 7);
}

namespace {

// Action.BUY.value, read from the module global each time. An enum class
// cannot change its members, so the value of the one seen last is kept.
py::object action_buy_value() {
    static PyObject* enum_meta = nullptr;
    static PyObject* seen_class = nullptr;
    static PyObject* seen_value = nullptr;
    py::object cls = global(names::Action);
    if (seen_class && cls.ptr() == seen_class) return borrow(seen_value);
    py::object value = get_attr(get_attr(cls, names::BUY), names::value);
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
    py::object mod = global(names::copy);
    PyObject* found = nullptr;
    if (PyModule_CheckExact(mod.ptr())) {
        // A module's own attribute is the entry of its namespace.
        static KeptLookup kept;
        found = dict_get_kept_borrowed(PyModule_GetDict(mod.ptr()), names::deepcopy.ptr(), kept);
    }
    py::object fn = found ? borrow(found) : get_attr(mod, names::deepcopy);
    if (!genuine && PyFunction_Check(fn.ptr())) {
        py::object mod = steal(PyImport_ImportModule("copy"));
        if (PyFunction_GET_GLOBALS(fn.ptr()) == PyModule_GetDict(mod.ptr()) &&
            eq(get_attr(fn, names::dunder_name), names::deepcopy))
            genuine = Py_NewRef(fn.ptr());
    }
    if (fn.ptr() == genuine && PyDict_CheckExact(trade.ptr())) {
        bool flat = true;
        Py_ssize_t n = 0;
        if (const DictEntry* e = small_dict_entries_borrowed(trade.ptr(), n)) {
            for (Py_ssize_t i = 0; flat && i < n; ++i) flat = !e[i].key || is_atomic(e[i].value);  // keys: str
        } else {
            Py_ssize_t pos = 0;
            PyObject *k, *v;
            while (flat && PyDict_Next(trade.ptr(), &pos, &k, &v)) flat = is_atomic(k) && is_atomic(v);
        }
        if (flat) return steal(PyDict_Copy(trade.ptr()));
    }
    return steal(PyObject_CallOneArg(fn.ptr(), trade.ptr()));
}

// ---- profit calculation, planned first and applied afterwards

enum ResultField : size_t {
    ReceivableTotal, PayableTotal, OriginProfit, CoverCostTotal, TradeCostTotal, CostSum, ProfitSum, IsCovered,
    UnCoverQty
};
RecordKeys<9> cover_result_record({"receivable_total", "payable_total", "origin_profit", "cover_cost_total",
                                   "trade_cost_total", "cost", "profit", "is_covered", "un_cover_qty"});
const RecordKeys<9>& result_keys() { return cover_result_record; }
// The cover result: ours from a plan, or what an override returned.
using CoverResult = Record<9, result_keys>;

struct LotState {
    py::object lot;
    py::object quantity;  // the lot's quantity once the planned pairs are applied
};

struct ProfitPlan {
    py::object target;                // the opposite side list of the book
    py::object target_pop;            // its pop, when it is not an exact list and lots go
    py::object rows_append;           // the rows' append, when they are not an exact list
    std::vector<LotState> lots;       // every lot touched, in order
    std::vector<py::object> removed;  // lots taken off the front, in order
    std::vector<py::object> rows;
    py::object rows_list;
    CoverResult result;
};

LotState& state_of(std::vector<LotState>& lots, const py::object& lot) {
    for (LotState& s : lots)
        if (s.lot.ptr() == lot.ptr()) return s;
    py::object quantity = get_item(lot, names::quantity);
    check_settable(lot);  // it is lowered once the plan is applied
    lots.push_back({lot, quantity});
    return lots.back();
}

// fee + tax + fixed cost of one leg, added left to right.
py::object leg_cost(const Leg& leg) { return add(add(leg[Fee], leg[Tax]), leg[FixedCost]); }

RecordKeys<13> profit_row_record({"code", "entry_dt", "entry_price", "entry_origin_price", "exit_dt", "exit_price",
                                  "exit_origin_price", "qty", "min_qty", "trade_cost", "cover_cost", "profit",
                                  "profit_ratio"});

py::object profit_row(std::initializer_list<py::handle> values) { return profit_row_record.dict(values); }

ProfitPlan plan_profit(py::handle self, py::handle cp, py::handle product_type) {
    ProfitPlan plan;
    py::object zero = borrow(names::int_0);
    py::object origin_profit = zero, profit = zero, cost = zero;
    py::object un_cover = get_item(cp, names::quantity);
    const bool covers_short = eq(get_item(cp, names::action), action_buy_value());
    py::object book = get_item(self_attr(self, names::positions), get_item(cp, names::code));
    plan.target = get_item(book, covers_short ? names::sell : names::buy);
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

        // One leg of the pair: its trade cost for the matched quantity, then its line.
        auto price_leg = [&](CostCall kind, py::handle from, const Lit& open, const Lit& close) {
            Leg leg = trade_cost(self, kind, get_item(from, names::code), get_item(from, names::action),
                                 get_item(from, names::price), matched, product_type);
            Text line;
            line.lit(open);
            put_cost(line, leg);
            console_print(line.lit(U", 沖銷部位方向: ").fmt(get_item(from, names::action)).lit(close).str());
            return leg;
        };
        Leg cover = price_leg(CostCall::Cover, cp, U"[blue]", U"[/blue]");
        py::object cover_cost = leg_cost(cover);
        cover_cost_total = iadd(cover_cost_total, cover_cost);
        py::object receivable = mul(cover[Price], cover[MinQty]);

        Leg entry = price_leg(CostCall::Entry, lot, U"[yellow]被沖銷的成本資訊: ", U"[/yellow]");
        py::object trade_cost_ = leg_cost(entry);
        trade_cost_total = iadd(trade_cost_total, trade_cost_);
        py::object payable = mul(entry[Price], entry[MinQty]);

        const bool short_lot = eq(get_item(cp, names::action), action_buy_value());
        py::object gross = short_lot ? sub(payable, receivable) : sub(receivable, payable);
        origin_profit = iadd(origin_profit, gross);
        py::object both_costs = add(cover_cost, trade_cost_);
        py::object pair_profit = sub(gross, both_costs);
        // A lot worth nothing with no entry cost has no return to speak of.
        py::object base = add(payable, trade_cost_);
        py::object ratio = eq(base, zero) ? fl(0.0) : truediv(pair_profit, base);
        profit = iadd(profit, pair_profit);
        cost = iadd(cost, both_costs);

        py::object row = profit_row({get_item(cp, names::code), get_item(lot, names::exchange_ts), entry[Price],
                                     entry[OriginPrice], get_item(cp, names::exchange_ts), cover[Price],
                                     cover[OriginPrice], entry[Qty], entry[MinQty], trade_cost_, cover_cost,
                                     pair_profit, ratio});
        if (plan.rows.empty()) {
            plan.rows_list = get_item(self_attr(self, names::_profit_report), names::rows);
            plan.rows_append = method_ahead(plan.rows_list, names::append);
        }
        plan.rows.push_back(std::move(row));

        un_cover = isub(un_cover, matched);
        py::object left = isub(lot_qty, matched);
        st.quantity = left;
        if (eq(left, zero)) {
            if (plan.removed.empty()) plan.target_pop = method_ahead(plan.target, names::pop);
            plan.removed.push_back(lot);
            ++front;
        }
        receivable_total = iadd(receivable_total, receivable);
        payable_total = iadd(payable_total, payable);
    }

    const bool covered = eq(un_cover, zero);
    plan.result.own = {receivable_total, payable_total, origin_profit,
                       cover_cost_total, trade_cost_total, cost,
                       profit,           borrow(covered ? Py_True : Py_False), un_cover};
    return plan;
}

void apply_profit(ProfitPlan& plan) {
    for (LotState& s : plan.lots) set_item(s.lot, names::quantity, s.quantity);
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
                    if (!plan.target_pop) {
                        if (PySequence_DelItem(target, i) < 0) throw_py();
                    } else {
                        py::object index = steal(PyLong_FromSsize_t(i));
                        steal(PyObject_CallOneArg(plan.target_pop.ptr(), index.ptr()));
                    }
                    break;
                }
            }
        }
    }
    for (const py::object& row : plan.rows) {
        if (plan.rows_append)
            steal(PyObject_CallOneArg(plan.rows_append.ptr(), row.ptr()));
        else
            append(plan.rows_list, row);
    }
}

py::object init_account_info(py::handle self) {
    Method m = own_method(self, names::private_init_account_info, pos_init_account_info);
    if (m.own) return pos_init_account_info(self, nullptr);
    return steal(PyObject_CallNoArgs(m.obj.ptr()));
}

py::object bump(const py::object& info, py::handle key, py::handle by) { return iadd(get_item(info, key), by); }

}  // namespace
}  // namespace ledger

using namespace ledger;

ZK_BODY(pos_calculate_profit, cover_position, product_type) {
    ProfitPlan plan = plan_profit(self, cover_position, product_type);
    apply_profit(plan);
    return result_keys().dict(plan.result.own);
}

ZK_BODY(pos_set_positions, trade, product_type) {

    // The fill is checked in full before anything changes.
    py::object code = get_item(trade, names::code);
    if (!PyUnicode_CheckExact(code.ptr())) raise_arg_type("code", &PyUnicode_Type, code.ptr());
    py::object cp = deepcopy_trade(trade);  // the future position entry
    py::object action = get_item(cp, names::action);
    // Any other text would be costed as one side and booked as the other.
    if (!PyUnicode_CheckExact(action.ptr()) ||
        (PyUnicode_CompareWithASCIIString(action.ptr(), "Buy") != 0 &&
         PyUnicode_CompareWithASCIIString(action.ptr(), "Sell") != 0))
        raise_with_value(PyExc_ValueError, "不支援的交易動作: ", action);
    py::object price = get_item(cp, names::price);
    if (!PyFloat_CheckExact(price.ptr()) && PyFloat_AsDouble(price.ptr()) == -1.0 && PyErr_Occurred()) throw_py();
    py::object quantity = get_item(cp, names::quantity);
    if (!PyLong_CheckExact(quantity.ptr())) raise_arg_type("quantity", &PyLong_Type, quantity.ptr());
    if (compare(quantity, names::int_0, Py_LT))
        raise_with_value(PyExc_ValueError, "不支援的數量: ", quantity);
    get_item(cp, names::exchange_ts);
    const bool stock = eq(product_type, names::Stock);
    if (!stock && !eq(product_type, names::Future))
        raise_with_value(PyExc_Exception, "不支援的商品類型: ", product_type);
    const Lit unit = stock ? Lit(U"張") : Lit(U"口");

    py::object positions = self_attr(self, names::positions);
    py::object book = find(positions, code);
    const bool new_book = !book;
    if (new_book) {
        py::dict fresh;
        fresh[names::buy] = py::list();
        fresh[names::sell] = py::list();
        book = std::move(fresh);
    }
    py::object mapper = self_attr(self, names::product_type_mapper);
    const bool new_type = !contains(mapper, code);
    py::object infos = self_attr(self, names::_account_infos);
    py::object info = find(infos, code);
    const bool new_info = !info;
    if (new_info) info = init_account_info(self);

    py::object capital_before = self_attr(self, names::current_capital);  // every line shows it
    const bool buy = eq(action, names::Buy);
    py::object opposite = get_item(book, buy ? names::sell : names::buy);
    py::object own_side = get_item(book, buy ? names::buy : names::sell);
    const Lit red_end = buy ? Lit(U"[/bold red]") : Lit(U" [/bold red]");
    py::handle one = names::int_1;

    std::optional<ProfitPlan> plan;
    std::vector<std::pair<py::handle, py::object>> counters;  // key, new value
    py::object report, report_profit, capital;
    std::vector<py::object> lines;
    bool opens = true;

    // An opening of `cp` on its own side: its cost, and the pink line.
    auto open_lot = [&](const py::object& capital_now) {
        counters.emplace_back(names::entry_times, bump(info, names::entry_times, one));
        Leg ci = trade_cost(self, CostCall::Entry, get_item(cp, names::code), get_item(cp, names::action),
                            get_item(cp, names::price), get_item(cp, names::quantity), product_type);
        py::object fee = ci[Fee], fixed = ci[FixedCost];
        py::object amount = mul(ci[Price], ci[MinQty]);
        capital = isub(capital_now, add(add(amount, fee), fixed));
        lines.push_back(Text()
                            .lit(buy ? Lit(U"[bold pink1][做多進場]本金: ") : Lit(U"[bold pink1][做空進場]本金: "))
                            .fmt(capital_before).lit(U", 應付金額: ").fmt(amount).lit(U", 進場成本: ")
                            .fmt(add(fee, fixed)).lit(U"[/bold pink1]").str());
        return ci;
    };

    if (truth(opposite)) {
        Method calc = own_method(self, names::private_calculate_profit, pos_calculate_profit);
        CoverResult res;
        if (calc.own && PyDict_CheckExact(cp.ptr())) {
            plan = plan_profit(self, cp, product_type);
            res = plan->result;
        } else {
            res.dict = calc.call(self, cp, product_type);
        }
        report = self_attr(self, names::_profit_report);
        report_profit = iadd(get_item(report, names::profit), res[ProfitSum]);
        opens = !truth(res[IsCovered]);
        if (opens) set_item(cp, names::quantity, res[UnCoverQty]);
        py::object receivable = res[ReceivableTotal];
        py::object payable = res[PayableTotal];
        counters.emplace_back(names::receive_amount, bump(info, names::receive_amount, receivable));
        counters.emplace_back(names::payable_amount, bump(info, names::payable_amount, payable));
        counters.emplace_back(names::extra_fee, bump(info, names::extra_fee, res[CostSum]));
        counters.emplace_back(names::profit, bump(info, names::profit, res[ProfitSum]));
        py::object origin = res[OriginProfit];
        counters.emplace_back(names::net_profit, bump(info, names::net_profit, origin));
        counters.emplace_back(names::cover_times, bump(info, names::cover_times, one));
        py::object cover_cost_total = res[CoverCostTotal];
        // Short lots: the amount put up at the opening comes back with the
        // gross profit, less the buy-back's costs (the entry costs were
        // taken from the capital when the lots were opened).
        py::object back = buy ? sub(add(payable, origin), cover_cost_total) : sub(receivable, cover_cost_total);
        capital = iadd(self_attr(self, names::current_capital), back);
        lines.push_back(Text()
                            .lit(buy ? Lit(U"[bold yellow][做空沖銷]本金: ") : Lit(U"[bold yellow][做多沖銷]本金: "))
                            .fmt(capital_before).lit(U", 應收金額: ").fmt(receivable).lit(U", 沖銷成本: ")
                            .fmt(cover_cost_total).lit(U"[/bold yellow]").str());
        // An uncovered rest is opened and paid for like any opening fill.
        if (opens) open_lot(capital);
        lines.push_back(Text().lit(U"[bold red][回測] 沖銷 ").fmt(code).lit(U" ").fmt(get_item(cp, names::quantity))
                            .lit(U" ").lit(unit).lit(U", 損益: ").fmt(res[ProfitSum]).lit(red_end).str());
    } else {
        Leg ci = open_lot(self_attr(self, names::current_capital));
        lines.push_back(Text().lit(U"[bold red][回測] 進場 ").fmt(code).lit(U" ").fmt(get_item(cp, names::quantity))
                            .lit(U" ").lit(unit).lit(U", 價格: ").fmt(get_item(cp, names::price)).lit(U", 手續費: ")
                            .fmt(ci[Fee]).lit(U", 交易稅: ").fmt(ci[Tax])
                            .lit(U", 固定成本: ").fmt(ci[FixedCost]).lit(red_end).str());
    }
    // Whatever the apply step stores into must take it: checked before any change.
    if (new_book) check_settable(positions);
    if (new_type) check_settable(mapper);
    if (new_info) check_settable(infos);
    if (!counters.empty()) check_settable(info);
    if (report) check_settable(report);
    py::object own_append = opens ? method_ahead(own_side, names::append) : py::object();
    for (const py::object& line : lines) console_print(line);

    // Apply: nothing below can fail on the documented containers.
    if (new_book) set_item(positions, code, book);
    if (new_type) set_item(mapper, code, product_type);
    if (new_info) set_item(infos, code, info);
    for (auto& [key, value] : counters) set_item(info, key, value);
    if (report) set_item(report, names::profit, report_profit);
    if (PyObject_SetAttr(self.ptr(), names::current_capital.ptr(), capital.ptr()) < 0) throw_py();
    if (plan) apply_profit(*plan);
    if (opens) {
        if (own_append)
            steal(PyObject_CallOneArg(own_append.ptr(), cp.ptr()));
        else
            append(own_side, cp);
    }
    return py::none();
}

}  // namespace zk
