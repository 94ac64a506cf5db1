// The position book: fills open lots or cover the opposite side oldest
// first, each covered lot leaving a profit row.
//
// A fill runs in four steps. Check: its fields are read and converted (this
// may run Python code: a price's __float__, a str subclass's __eq__). Plan:
// the book, the counters and the capital are read and every new value and
// console line is worked out; Python code runs here only through overrides
// and hooks, and a plan during which some fill was applied is made again.
// Apply: everything is stored, by steps that run no Python code on the
// documented containers, so under the GIL a fill is atomic for other threads
// and a fill placed from the console finds a complete account. Print: the
// lines go to the console; when it fails before any other fill was applied,
// the fill is taken back, so a failing console changes nothing.
#include "account/ledger_text.hpp"
#include "account/ledger_util.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace zk {
namespace ledger {
namespace {

const ExecCache kw_cover{"ledger: is_cover keywords", [] { return PyTuple_Pack(1, names::is_cover.ptr()); }};
const ExecCache kw_both{"ledger: ignore_tax, is_cover keywords",
                        [] { return PyTuple_Pack(2, names::ignore_tax.ptr(), names::is_cover.ptr()); }};
const ExecCache enum_meta{"enum.EnumMeta", [] {
                              py::object mod = steal(PyImport_ImportModule("enum"));
                              return PyObject_GetAttrString(mod.ptr(), "EnumMeta");
                          }};
const ExecCache genuine_deepcopy{"copy.deepcopy", [] {
                                     py::object mod = steal(PyImport_ImportModule("copy"));
                                     return PyObject_GetAttr(mod.ptr(), names::deepcopy.ptr());
                                 }};

// Fills and covers applied by any account of the process. A plan holds only
// while this stands still: a fill applied meanwhile (by a hook the plan ran,
// or by another thread while it ran Python code) has it made again.
std::uint64_t applied = 0;
// Plans made again before a fill gives up (with nothing changed).
constexpr int kPlanAttempts = 64;

[[noreturn]] void raise_restless() {
    raise(PyExc_RuntimeError, "the account kept changing while a fill was planned");
}

}  // namespace

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
    // Our own function unbound (arguments it does not take directly) gets self first.
    const size_t skip = m.own ? 0 : 1;
    if (kind == CostCall::Cover) {
        PyObject* args[7] = {self.ptr(),    code.ptr(),         action.ptr(),  price.ptr(),
                             quantity.ptr(), product_type.ptr(), is_cover.ptr()};
        leg.dict = steal(PyObject_Vectorcall(m.obj.ptr(), args + skip, 6 - skip, kw_cover.borrowed()));
    } else {
        PyObject* args[8] = {self.ptr(),     code.ptr(),         action.ptr(),     price.ptr(),
                             quantity.ptr(), product_type.ptr(), ignore_tax.ptr(), is_cover.ptr()};
        leg.dict = steal(PyObject_Vectorcall(m.obj.ptr(), args + skip, 6 - skip, kw_both.borrowed()));
    }
    return leg;
}

void put_cost(Text& t, const Leg& leg) {
    if (leg.dict) {
        t.dict(leg.dict);
        return;
    }
    t.items(cost_heads().data(), leg.own.data(), 7);
}

namespace {

// Action.BUY.value, read from the module global each time. An enum class
// cannot change its members, so the value of the one seen last is kept.
PyObject* seen_action_class = nullptr;
PyObject* seen_buy_value = nullptr;

py::object action_buy_value() {
    py::object cls = global(names::Action);
    if (seen_action_class && cls.ptr() == seen_action_class) return borrow(seen_buy_value);
    py::object value = get_attr(get_attr(cls, names::BUY), names::value);
    int is_enum = PyObject_IsInstance(cls.ptr(), enum_meta.borrowed());
    if (is_enum < 0) throw_py();
    if (is_enum) {
        Py_XSETREF(seen_action_class, Py_NewRef(cls.ptr()));
        Py_XSETREF(seen_buy_value, Py_NewRef(value.ptr()));
    }
    return value;
}

bool is_atomic(PyObject* o) {
    return o == Py_None || PyUnicode_CheckExact(o) || PyLong_CheckExact(o) || PyFloat_CheckExact(o) ||
           PyBool_Check(o);
}

KeptLookup deepcopy_kept;

// copy.deepcopy(trade) through the module global. The genuine deepcopy of a
// dict whose keys and values are all immutable scalars is a plain dict copy.
py::object deepcopy_trade(py::handle trade) {
    py::object mod = global(names::copy);
    PyObject* found = nullptr;
    if (PyModule_CheckExact(mod.ptr())) {
        // A module's own attribute is the entry of its namespace.
        found = dict_get_kept_borrowed(PyModule_GetDict(mod.ptr()), names::deepcopy.ptr(), deepcopy_kept);
    }
    py::object fn = found ? borrow(found) : get_attr(mod, names::deepcopy);
    if (fn.ptr() == genuine_deepcopy.borrowed() && PyDict_CheckExact(trade.ptr())) {
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

// ---- profit calculation: planned, applied, printed

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
    py::object before;    // its quantity when the plan read it
    py::object quantity;  // its quantity once the planned pairs are applied
};

struct ProfitPlan {
    py::object target;                // the opposite side list of the book
    py::object target_pop;            // its pop, when it is not an exact list and lots go
    py::object rows_append;           // the rows' append, when they are not an exact list
    std::vector<LotState> lots;       // every lot touched, in order
    std::vector<py::object> removed;  // lots taken off the front, in order
    bool removed_at_front = false;    // how they went, once applied
    std::vector<py::object> rows;
    py::object rows_list;
    CoverResult result;
};

LotState& state_of(std::vector<LotState>& lots, const py::object& lot) {
    for (LotState& s : lots)
        if (s.lot.ptr() == lot.ptr()) return s;
    py::object quantity = get_item(lot, names::quantity);
    check_settable(lot);  // it is lowered once the plan is applied
    lots.push_back({lot, quantity, quantity});
    return lots.back();
}

// fee + tax + fixed cost of one leg, added left to right.
py::object leg_cost(const Leg& leg) { return add(add(leg[Fee], leg[Tax]), leg[FixedCost]); }

RecordKeys<13> profit_row_record({"code", "entry_dt", "entry_price", "entry_origin_price", "exit_dt", "exit_price",
                                  "exit_origin_price", "qty", "min_qty", "trade_cost", "cover_cost", "profit",
                                  "profit_ratio"});

// The sums a cover builds pair by pair.
struct CoverSums {
    py::object origin_profit, profit, cost, payable, receivable, cover_cost, trade_cost;
};

// One pair: `matched` of `lot` covered by `cp`. Its two cost lines go to `lines`.
void plan_pair(py::handle self, py::handle cp, py::handle product_type, const py::object& lot,
               const py::object& matched, bool short_lot, ProfitPlan& plan, CoverSums& s,
               std::vector<py::object>& lines) {
    // One leg of the pair: its trade cost for the matched quantity, then its line.
    auto price_leg = [&](CostCall kind, py::handle from, const Lit& open, const Lit& close) {
        Leg leg = trade_cost(self, kind, get_item(from, names::code), get_item(from, names::action),
                             get_item(from, names::price), matched, product_type);
        Text line;
        line.lit(open);
        put_cost(line, leg);
        lines.push_back(line.lit(U", 沖銷部位方向: ").fmt(get_item(from, names::action)).lit(close).str());
        return leg;
    };
    Leg cover = price_leg(CostCall::Cover, cp, U"[blue]", U"[/blue]");
    py::object cover_cost = leg_cost(cover);
    s.cover_cost = iadd(s.cover_cost, cover_cost);
    py::object receivable = mul(cover[Price], cover[MinQty]);

    Leg entry = price_leg(CostCall::Entry, lot, U"[yellow]被沖銷的成本資訊: ", U"[/yellow]");
    py::object entry_cost = leg_cost(entry);
    s.trade_cost = iadd(s.trade_cost, entry_cost);
    py::object payable = mul(entry[Price], entry[MinQty]);

    py::object gross = short_lot ? sub(payable, receivable) : sub(receivable, payable);
    s.origin_profit = iadd(s.origin_profit, gross);
    py::object both_costs = add(cover_cost, entry_cost);
    py::object pair_profit = sub(gross, both_costs);
    // A lot worth nothing with no entry cost has no return to speak of.
    py::object base = add(payable, entry_cost);
    py::object ratio = eq(base, names::int_0) ? fl(0.0) : truediv(pair_profit, base);
    s.profit = iadd(s.profit, pair_profit);
    s.cost = iadd(s.cost, both_costs);

    if (plan.rows.empty()) {
        plan.rows_list = get_item(self_attr(self, names::_profit_report), names::rows);
        plan.rows_append = method_ahead(plan.rows_list, names::append);
    }
    plan.rows.push_back(profit_row_record.dict(
        {get_item(cp, names::code), get_item(lot, names::exchange_ts), entry[Price], entry[OriginPrice],
         get_item(cp, names::exchange_ts), cover[Price], cover[OriginPrice], entry[Qty], entry[MinQty], entry_cost,
         cover_cost, pair_profit, ratio}));
    s.receivable = iadd(s.receivable, receivable);
    s.payable = iadd(s.payable, payable);
}

ProfitPlan plan_profit(py::handle self, py::handle cp, py::handle product_type, std::vector<py::object>& lines) {
    ProfitPlan plan;
    py::object zero = borrow(names::int_0);
    CoverSums s{zero, zero, zero, zero, zero, zero, zero};
    py::object un_cover = get_item(cp, names::quantity);
    const bool covers_short = eq(get_item(cp, names::action), action_buy_value());
    py::object book = get_item(self_attr(self, names::positions), get_item(cp, names::code));
    plan.target = get_item(book, covers_short ? names::sell : names::buy);

    Py_ssize_t front = 0;  // lots before it are used up by earlier pairs
    while (compare(un_cover, zero, Py_GT)) {
        Py_ssize_t n = PyObject_Length(plan.target.ptr());
        if (n < 0) throw_py();
        if (front >= n) break;
        py::object lot = steal(PySequence_GetItem(plan.target.ptr(), front));
        LotState& st = state_of(plan.lots, lot);
        py::object lot_qty = st.quantity;
        py::object matched = compare(lot_qty, un_cover, Py_LT) ? lot_qty : un_cover;
        const bool short_lot = eq(get_item(cp, names::action), action_buy_value());
        plan_pair(self, cp, product_type, lot, matched, short_lot, plan, s, lines);
        un_cover = isub(un_cover, matched);
        st.quantity = isub(lot_qty, matched);
        if (eq(st.quantity, zero)) {
            if (plan.removed.empty()) plan.target_pop = method_ahead(plan.target, names::pop);
            plan.removed.push_back(lot);
            ++front;
        }
    }

    const bool covered = eq(un_cover, zero);
    plan.result.own = {s.receivable, s.payable, s.origin_profit,
                       s.cover_cost, s.trade_cost, s.cost,
                       s.profit,     borrow(covered ? Py_True : Py_False), un_cover};
    return plan;
}

void apply_profit(ProfitPlan& plan) {
    for (LotState& s : plan.lots) set_item(s.lot, names::quantity, s.quantity);
    PyObject* target = plan.target.ptr();
    const Py_ssize_t k = static_cast<Py_ssize_t>(plan.removed.size());
    bool at_front = PyList_CheckExact(target) && PyList_GET_SIZE(target) >= k;
    for (Py_ssize_t i = 0; at_front && i < k; ++i)
        at_front = PyList_GET_ITEM(target, i) == plan.removed[static_cast<size_t>(i)].ptr();
    plan.removed_at_front = at_front;
    if (at_front) {
        if (k && PyList_SetSlice(target, 0, k, nullptr) < 0) throw_py();
    } else {
        // The list was changed behind our back (by an override's own code): remove by identity.
        for (const py::object& lot : plan.removed) {
            Py_ssize_t n = PyObject_Length(target);
            if (n < 0) throw_py();
            for (Py_ssize_t i = 0; i < n; ++i) {
                py::object el = steal(PySequence_GetItem(target, i));
                if (el.ptr() != lot.ptr()) continue;
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
    for (const py::object& row : plan.rows) {
        if (plan.rows_append)
            steal(PyObject_CallOneArg(plan.rows_append.ptr(), row.ptr()));
        else
            append(plan.rows_list, row);
    }
}

// Removes the last item of an exact list when it is `item`; false otherwise.
bool drop_last(PyObject* list, PyObject* item) {
    if (!PyList_CheckExact(list)) return false;
    const Py_ssize_t n = PyList_GET_SIZE(list);
    if (!n || PyList_GET_ITEM(list, n - 1) != item) return false;
    return PyList_SetSlice(list, n - 1, n, nullptr) == 0;
}

// What apply_profit did, taken back (exact lists only; anything else stays).
void undo_profit(ProfitPlan& plan) {
    if (PyList_CheckExact(plan.rows_list.ptr()))
        for (auto row = plan.rows.rbegin(); row != plan.rows.rend(); ++row) drop_last(plan.rows_list.ptr(), row->ptr());
    if (plan.removed_at_front && !plan.removed.empty()) {
        py::object lots = steal(PyList_New(0));
        for (const py::object& lot : plan.removed) append(lots, lot);
        if (PyList_SetSlice(plan.target.ptr(), 0, 0, lots.ptr()) < 0) throw_py();
    }
    for (LotState& s : plan.lots) set_item(s.lot, names::quantity, s.before);
}

// Prints the lines; when the console fails before any other fill was applied,
// `undo` takes this one back and the console's error goes on.
template <class Undo>
void print_or_undo(const std::vector<py::object>& lines, Undo&& undo) {
    const std::uint64_t mine = applied;
    try {
        for (const py::object& line : lines) console_print(line);
    } catch (py::error_already_set& e) {
        if (applied == mine) {
            try {
                undo();
            } catch (py::error_already_set&) {
                // the console's failure is the one to report
            }
        }
        throw;
    }
}

// Runs a plan. One that fails shows the lines it had made (the plain
// algorithm prints each as it goes), then its error goes on.
template <class Plan>
void planned(const std::vector<py::object>& lines, Plan&& plan) {
    try {
        plan();
    } catch (...) {
        for (const py::object& line : lines) console_print(line);
        throw;
    }
}

py::object init_account_info(py::handle self) {
    Method m = own_method(self, names::private_init_account_info, pos_init_account_info);
    if (m.own) return pos_init_account_info(self, nullptr);
    return steal(PyObject_CallNoArgs(m.obj.ptr()));
}

// ---- a fill

// The checked fill: its code and its own copy, with the fields read once.
struct Fill {
    py::object code, cp, action, price, quantity;
    py::handle product_type;
    bool stock, buy;
};

Fill check_fill(py::handle trade, py::handle product_type) {
    Fill f;
    f.code = get_item(trade, names::code);
    if (!PyUnicode_CheckExact(f.code.ptr())) raise_arg_type("code", &PyUnicode_Type, f.code.ptr());
    f.cp = deepcopy_trade(trade);  // the future position entry
    f.action = get_item(f.cp, names::action);
    // Any other text would be costed as one side and booked as the other.
    if (!PyUnicode_CheckExact(f.action.ptr()) ||
        (PyUnicode_CompareWithASCIIString(f.action.ptr(), "Buy") != 0 &&
         PyUnicode_CompareWithASCIIString(f.action.ptr(), "Sell") != 0))
        raise_with_value(PyExc_ValueError, "不支援的交易動作: ", f.action);
    f.price = get_item(f.cp, names::price);
    if (!PyFloat_CheckExact(f.price.ptr()) && PyFloat_AsDouble(f.price.ptr()) == -1.0 && PyErr_Occurred())
        throw_py();
    f.quantity = get_item(f.cp, names::quantity);
    if (!PyLong_CheckExact(f.quantity.ptr())) raise_arg_type("quantity", &PyLong_Type, f.quantity.ptr());
    if (compare(f.quantity, names::int_0, Py_LT)) raise_with_value(PyExc_ValueError, "不支援的數量: ", f.quantity);
    get_item(f.cp, names::exchange_ts);
    f.stock = eq(product_type, names::Stock);
    if (!f.stock && !eq(product_type, names::Future))
        raise_with_value(PyExc_Exception, "不支援的商品類型: ", product_type);
    f.product_type = product_type;
    f.buy = PyUnicode_CompareWithASCIIString(f.action.ptr(), "Buy") == 0;
    return f;
}

// Everything a fill stores, with what was there before (to take it back).
struct FillPlan {
    py::object positions, book, mapper, infos, info;
    bool new_book = false, new_type = false, new_info = false;
    py::object own_side, own_append;
    std::optional<ProfitPlan> profit;  // our own cover, applied with the fill
    CoverResult cover;                 // the cover's result, ours or an override's
    bool covers = false, opens = true;
    py::object rest;                   // the uncovered rest, when it opens
    py::object report, report_profit, report_before;
    // The account info counters a fill moves (at most seven), in the order stored.
    std::array<py::handle, 7> counter_keys;
    std::array<py::object, 7> counters, counters_before;
    size_t n_counters = 0;
    py::object capital, capital_before;
    std::vector<py::object> lines;
};

// Reads the book, the product type and the account info of the code.
void plan_entries(py::handle self, const Fill& f, FillPlan& p) {
    p.positions = self_attr(self, names::positions);
    p.book = find(p.positions, f.code);
    p.new_book = !p.book;
    if (p.new_book) {
        py::dict fresh;
        fresh[names::buy] = py::list();
        fresh[names::sell] = py::list();
        p.book = std::move(fresh);
    }
    p.mapper = self_attr(self, names::product_type_mapper);
    p.new_type = !contains(p.mapper, f.code);
    p.infos = self_attr(self, names::_account_infos);
    p.info = find(p.infos, f.code);
    p.new_info = !p.info;
    if (p.new_info) p.info = init_account_info(self);
    p.own_side = get_item(p.book, f.buy ? names::buy : names::sell);
}

void count(FillPlan& p, py::handle key, py::handle by) {
    const size_t i = p.n_counters++;
    p.counter_keys[i] = key;
    p.counters_before[i] = get_item(p.info, key);
    p.counters[i] = iadd(p.counters_before[i], by);
}

// An opening of the fill's copy (or of its uncovered rest) on its own side:
// its cost, its effect on the capital, and the pink line.
Leg plan_opening(py::handle self, const Fill& f, FillPlan& p, const py::object& capital_now) {
    count(p, names::entry_times, names::int_1);
    Leg ci = trade_cost(self, CostCall::Entry, f.code, f.action, f.price, p.covers ? p.rest : f.quantity,
                        f.product_type);
    py::object fee = ci[Fee], fixed = ci[FixedCost];
    py::object amount = mul(ci[Price], ci[MinQty]);
    p.capital = isub(capital_now, add(add(amount, fee), fixed));
    p.lines.push_back(Text()
                          .lit(f.buy ? Lit(U"[bold pink1][做多進場]本金: ") : Lit(U"[bold pink1][做空進場]本金: "))
                          .fmt(p.capital_before).lit(U", 應付金額: ").fmt(amount).lit(U", 進場成本: ")
                          .fmt(add(fee, fixed)).lit(U"[/bold pink1]").str());
    return ci;
}

// The cover part of a fill: our own plan, or the result of an overriding
// __calculate_profit, which changes the book itself when called.
void plan_cover(py::handle self, const Fill& f, FillPlan& p) {
    Method calc = own_method(self, names::private_calculate_profit, pos_calculate_profit);
    if (calc.own && PyDict_CheckExact(f.cp.ptr())) {
        p.profit = plan_profit(self, f.cp, f.product_type, p.lines);
        p.cover = p.profit->result;
    } else {
        p.cover.dict = calc.call(self, f.cp, f.product_type);
    }
    const CoverResult& res = p.cover;
    p.report = self_attr(self, names::_profit_report);
    p.report_before = get_item(p.report, names::profit);
    p.report_profit = iadd(p.report_before, res[ProfitSum]);
    p.opens = !truth(res[IsCovered]);
    if (p.opens) {
        p.rest = res[UnCoverQty];
        set_item(f.cp, names::quantity, p.rest);
    }
    py::object receivable = res[ReceivableTotal];
    py::object payable = res[PayableTotal];
    py::object origin = res[OriginProfit];
    count(p, names::receive_amount, receivable);
    count(p, names::payable_amount, payable);
    count(p, names::extra_fee, res[CostSum]);
    count(p, names::profit, res[ProfitSum]);
    count(p, names::net_profit, origin);
    count(p, names::cover_times, names::int_1);
    py::object cover_cost_total = res[CoverCostTotal];
    // Short lots: the amount put up at the opening comes back with the gross
    // profit, less the buy-back's costs (the entry costs were taken from the
    // capital when the lots were opened).
    py::object back = f.buy ? sub(add(payable, origin), cover_cost_total) : sub(receivable, cover_cost_total);
    p.capital = iadd(self_attr(self, names::current_capital), back);
    p.lines.push_back(Text()
                          .lit(f.buy ? Lit(U"[bold yellow][做空沖銷]本金: ") : Lit(U"[bold yellow][做多沖銷]本金: "))
                          .fmt(p.capital_before).lit(U", 應收金額: ").fmt(receivable).lit(U", 沖銷成本: ")
                          .fmt(cover_cost_total).lit(U"[/bold yellow]").str());
    // An uncovered rest is opened and paid for like any opening fill.
    if (p.opens) plan_opening(self, f, p, p.capital);
    p.lines.push_back(Text().lit(U"[bold red][回測] 沖銷 ").fmt(f.code).lit(U" ").fmt(get_item(f.cp, names::quantity))
                          .lit(U" ").lit(f.stock ? Lit(U"張") : Lit(U"口")).lit(U", 損益: ").fmt(res[ProfitSum])
                          .lit(f.buy ? Lit(U"[/bold red]") : Lit(U" [/bold red]")).str());
}

// Everything the fill will store, read and worked out with no store made
// (but the uncovered rest's quantity in the fill's own copy).
void plan_fill(py::handle self, const Fill& f, FillPlan& p) {
    plan_entries(self, f, p);
    p.capital_before = self_attr(self, names::current_capital);  // every line shows it
    py::object opposite = get_item(p.book, f.buy ? names::sell : names::buy);
    p.covers = truth(opposite);
    if (p.covers) {
        plan_cover(self, f, p);
    } else {
        Leg ci = plan_opening(self, f, p, self_attr(self, names::current_capital));
        p.lines.push_back(Text().lit(U"[bold red][回測] 進場 ").fmt(f.code).lit(U" ").fmt(f.quantity).lit(U" ")
                              .lit(f.stock ? Lit(U"張") : Lit(U"口")).lit(U", 價格: ").fmt(f.price)
                              .lit(U", 手續費: ").fmt(ci[Fee]).lit(U", 交易稅: ").fmt(ci[Tax])
                              .lit(U", 固定成本: ").fmt(ci[FixedCost])
                              .lit(f.buy ? Lit(U"[/bold red]") : Lit(U" [/bold red]")).str());
    }
    // Whatever the apply step stores into must take it: checked before any change.
    if (p.new_book) check_settable(p.positions);
    if (p.new_type) check_settable(p.mapper);
    if (p.new_info) check_settable(p.infos);
    if (p.n_counters) check_settable(p.info);
    if (p.report) check_settable(p.report);
    if (p.opens) p.own_append = method_ahead(p.own_side, names::append);
}

// Stores the plan, in the order the plain algorithm stores it.
void apply_fill(py::handle self, const Fill& f, FillPlan& p) {
    ++applied;
    if (p.new_book) set_item(p.positions, f.code, p.book);
    if (p.new_type) set_item(p.mapper, f.code, f.product_type);
    if (p.new_info) set_item(p.infos, f.code, p.info);
    if (p.profit) apply_profit(*p.profit);
    if (p.report) set_item(p.report, names::profit, p.report_profit);
    for (size_t i = 0; i < p.n_counters; ++i) set_item(p.info, p.counter_keys[i], p.counters[i]);
    set_attr(self, names::current_capital, p.capital);
    if (!p.opens) return;
    if (p.own_append)
        steal(PyObject_CallOneArg(p.own_append.ptr(), f.cp.ptr()));
    else
        append(p.own_side, f.cp);
}

// The fill taken back after a failing console (nothing else was applied since).
void undo_fill(py::handle self, const Fill& f, FillPlan& p) {
    if (p.opens) drop_last(p.own_side.ptr(), f.cp.ptr());
    set_attr(self, names::current_capital, p.capital_before);
    for (size_t i = p.n_counters; i-- > 0;) set_item(p.info, p.counter_keys[i], p.counters_before[i]);
    if (p.report) set_item(p.report, names::profit, p.report_before);
    if (p.profit) undo_profit(*p.profit);
    if (p.new_info) steal(PyObject_CallMethodOneArg(p.infos.ptr(), names::pop.ptr(), f.code.ptr()));
    if (p.new_type) steal(PyObject_CallMethodOneArg(p.mapper.ptr(), names::pop.ptr(), f.code.ptr()));
    if (p.new_book) steal(PyObject_CallMethodOneArg(p.positions.ptr(), names::pop.ptr(), f.code.ptr()));
}

}  // namespace
}  // namespace ledger

using namespace ledger;

ZK_BODY(pos_calculate_profit, cover_position, product_type) {
    for (int attempt = 0;; ++attempt) {
        if (attempt == kPlanAttempts) raise_restless();
        const std::uint64_t seen = applied;
        std::vector<py::object> lines;
        ProfitPlan plan;
        planned(lines, [&] { plan = plan_profit(self, cover_position, product_type, lines); });
        if (applied != seen) continue;
        ++applied;
        apply_profit(plan);
        print_or_undo(lines, [&] { undo_profit(plan); });
        return result_keys().dict(plan.result.own);
    }
}

ZK_BODY(pos_set_positions, trade, product_type) {
    const Fill f = check_fill(trade, product_type);
    for (int attempt = 0;; ++attempt) {
        if (attempt == kPlanAttempts) raise_restless();
        if (attempt) set_item(f.cp, names::quantity, f.quantity);  // a cover's rest of the last plan
        const std::uint64_t seen = applied;
        FillPlan p;
        p.lines.reserve(8);
        planned(p.lines, [&] { plan_fill(self, f, p); });
        // An overriding __calculate_profit has changed the book itself: its plan stands.
        if (applied != seen && (!p.covers || p.profit)) continue;
        apply_fill(self, f, p);
        print_or_undo(p.lines, [&] { undo_fill(self, f, p); });
        return py::none();
    }
}

}  // namespace zk
