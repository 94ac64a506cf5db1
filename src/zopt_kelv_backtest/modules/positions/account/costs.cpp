// Positions: the tick ladder, slippage, futures contract value and the trade cost of a fill.
#include "account/costs.hpp"
#include "bodies.hpp"
#include "account/ledger_util.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <tuple>

namespace zk {
namespace {

bool is_fund(py::handle code) {
    PyObject* s = code.ptr();
    return PyUnicode_GET_LENGTH(s) >= 2 && PyUnicode_READ_CHAR(s, 0) == '0' &&
           PyUnicode_READ_CHAR(s, 1) == '0';
}

// The ceiling of a scaled price, where a value within 1e-9 of an integer counts
// as that integer: a move by a tick that is not exact in binary (99.4 - 0.1)
// must not be pushed back up to the level it came from.
double snap_ceil(double x) {
    if (!std::isfinite(x)) {
        steal(PyLong_FromDouble(x));  // raises what math.ceil raises
    }
    double r = std::nearbyint(x);
    double c = std::fabs(x - r) <= 1e-9 ? r : std::ceil(x);
    return c + 0.0;  // math.ceil gives the int 0, never -0.0
}

// One row of the ladder. `kind` 0: price and tick are floats; 1: both are ints
// (price = c); 2: both are ints (price = c * 5).
struct Row {
    double price;
    double tick;
    int kind;
    double c;
};

Row ladder(bool fund, double p) {
    auto fl = [](double c, double scale, double tick) { return Row{c / scale, tick, 0, c}; };
    if (fund) {
        if (p < 50) return fl(snap_ceil(p * 100), 100, 0.01);
        if (p < 1000) return fl(snap_ceil(p * 20), 20, 0.05);
    }
    if (p < 10) return fl(snap_ceil(p * 100), 100, 0.01);
    if (p < 50) return fl(snap_ceil(p * 20), 20, 0.05);
    if (p < 100) return fl(snap_ceil(p * 10), 10, 0.1);
    if (p < 500) return fl(snap_ceil(p * 2), 2, 0.5);
    if (p < 1000) {
        double c = snap_ceil(p);
        return Row{c, 1, 1, c};
    }
    double c = snap_ceil(p / 5);
    return Row{c * 5, 5, 2, c};
}

// The row's rounded price as Python would hold it (an int in the last two rows, exact).
py::object row_price(const Row& r) {
    if (r.kind == 0) return steal(PyFloat_FromDouble(r.price));
    py::object c = steal(PyLong_FromDouble(r.c));
    if (r.kind == 1) return c;
    return steal(PyNumber_Multiply(c.ptr(), names::int_5.ptr()));
}

// The float ticks of the ladder (floats are immutable).
const ExecCache float_ticks{"ladder float ticks", [] {
    return Py_BuildValue("(dddd)", 0.01, 0.05, 0.1, 0.5);
}};

py::handle float_tick(double tick) {
    PyObject* ticks = float_ticks.borrowed();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(ticks); ++i)
        if (PyFloat_AS_DOUBLE(PyTuple_GET_ITEM(ticks, i)) == tick) return PyTuple_GET_ITEM(ticks, i);
    return nullptr;
}

py::object row_tick(const Row& r) {
    if (r.kind == 0) {
        if (py::handle f = float_tick(r.tick)) return py::reinterpret_borrow<py::object>(f);
        return steal(PyFloat_FromDouble(r.tick));
    }
    return py::reinterpret_borrow<py::object>(r.kind == 1 ? names::int_1 : names::int_5);
}

double as_double(py::handle o) {
    double d = PyFloat_AsDouble(o.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw_py();
    return d;
}

// `a, b = value` with the interpreter's unpacking errors.
std::pair<py::object, py::object> unpack2(py::handle value) {
    py::object it = steal(PyObject_GetIter(value.ptr()));
    py::object out[2];
    for (int i = 0; i < 2; ++i) {
        PyObject* x = PyIter_Next(it.ptr());
        if (!x) {
            if (PyErr_Occurred()) throw_py();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            throw_py();
        }
        out[i] = py::reinterpret_steal<py::object>(x);
    }
    PyObject* extra = PyIter_Next(it.ptr());
    if (extra) {
        Py_DECREF(extra);
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw_py();
    }
    if (PyErr_Occurred()) throw_py();
    return {std::move(out[0]), std::move(out[1])};
}

// The iteration count of `for _ in range(tick_count)`.
long long iterations(py::handle tick_count) {
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(tick_count.ptr(), &overflow);
    if (n == -1 && PyErr_Occurred()) throw_py();
    if (overflow) return overflow > 0 ? LLONG_MAX : 0;
    return n > 0 ? n : 0;
}

// Lets a very long move be interrupted like the interpreter's own loop.
void check_signals(long long i) {
    if ((i & 0xFFFFF) == 0xFFFFF && PyErr_CheckSignals() < 0) throw_py();
}

// A move that still needs this many single steps after the exact shortcuts
// below would run for hours (prices beyond 2**53 or far below zero); it is
// refused instead of hanging the caller.
constexpr long long kStepBudget = 1LL << 24;

[[noreturn]] void refuse_move(long long n, double price) {
    PyErr_Format(PyExc_OverflowError, "slippage of %lld ticks from %R leaves the range of prices", n,
                 py::float_(price).ptr());
    throw_py();
}

// The move step by step on Python objects: for prices beyond exact doubles,
// foreign `direction` objects, or an overridden ladder method.
py::object slip_generic(py::handle self, py::handle code, py::object price, long long from, long long n,
                        py::handle direction) {
    const bool fund = is_fund(code);
    long long steps = 0;
    for (long long i = from; i < n; ++i) {
        auto m = own_method(self, names::private_ceil_price_by_tick, pos_ceil_price_by_tick);
        bool own = m.own;
        py::object snapped, tick;
        if (own) {
            Row r = ladder(fund, as_double(price));
            snapped = row_price(r);
            tick = row_tick(r);
        } else {
            std::tie(snapped, tick) = unpack2(m.obj(code, price));
        }
        bool up = eq(direction, names::up);
        py::object moved = steal(up ? PyNumber_Add(snapped.ptr(), tick.ptr())
                                    : PyNumber_Subtract(snapped.ptr(), tick.ptr()));
        m = own_method(self, names::private_ceil_price_by_tick, pos_ceil_price_by_tick);
        own = own && m.own && PyUnicode_CheckExact(direction.ptr());
        py::object next = m.own ? row_price(ladder(fund, as_double(moved)))
                                   : get_item(m.obj(code, moved), names::int_0);
        if (own && is_exact_number(price) && Py_TYPE(next.ptr()) == Py_TYPE(price.ptr())) {
            // Our ladder is a pure function of the price: a price that no longer
            // moves stays where it is for every later step.
            int same = PyObject_RichCompareBool(next.ptr(), price.ptr(), Py_EQ);
            if (same < 0) throw_py();
            if (same) return steal(PyNumber_Float(next.ptr()));
            if (++steps > kStepBudget / 16) refuse_move(n, as_double(price));
        }
        price = std::move(next);
        check_signals(i);
    }
    return steal(PyNumber_Float(price.ptr()));
}

// Largest int-row price below which c * 5 and every 5-tick move are exact in a double.
constexpr double kIntLimit = 9007199254740992.0 - 16;  // 2**53 - 16
// Steps of 0.01 from K/100 land exactly on (K +- 1)/100 while |K| stays below this
// (rounding of K/100, of the subtraction and of the scaling stay under 1e-9).
constexpr double kCentLimit = 2e6;

// `quiet` (if given) is cleared when Python code may have run (an override, a
// foreign object, or a signal handler during a very long move).
py::object slippage_price(py::handle self, py::handle code, py::handle price, py::handle tick_count,
                          py::handle direction, bool* quiet = nullptr) {
    const long long n = iterations(tick_count);
    auto m = own_method(self, names::private_ceil_price_by_tick, pos_ceil_price_by_tick);
    if (quiet && (n >= 0xFFFFF || !m.own || !PyUnicode_CheckExact(direction.ptr()))) *quiet = false;
    if (!m.own || !PyUnicode_CheckExact(direction.ptr()))
        return slip_generic(self, code, py::reinterpret_borrow<py::object>(price), 0, n, direction);

    const bool fund = is_fund(code);
    const bool up = PyUnicode_CompareWithASCIIString(direction.ptr(), "up") == 0;
    const double cent_top = fund ? 50 : 10;  // the band whose tick is 0.01
    double p = PyFloat_AS_DOUBLE(price.ptr());
    bool integral = false;  // does Python hold the current price as an int?
    long long steps = 0;
    for (long long i = 0; i < n; ++i) {
        if (p >= kIntLimit) {
            if (quiet) *quiet = false;
            py::object cur = integral ? steal(PyLong_FromDouble(p)) : steal(PyFloat_FromDouble(p));
            return slip_generic(self, code, cur, i, n, direction);
        }
        Row r = ladder(fund, p);
        const long long left = n - i;
        if (left > 1 && r.price == p) {
            // On the grid inside a band every step is exactly one tick: jump.
            long long k = 0;
            double target = 0;
            if (r.kind == 2) {
                double room = up ? std::floor((kIntLimit - p) / 5) : std::floor((p - 1000) / 5);
                k = static_cast<long long>(std::min(room, static_cast<double>(left)));
                target = up ? p + 5.0 * k : p - 5.0 * k;
            } else if (r.kind == 0 && r.tick == 0.01) {
                double K = std::nearbyint(p * 100);
                double room = up ? std::min(cent_top * 100 - 1 - K, kCentLimit - K) : K + kCentLimit;
                if (std::fabs(K) <= kCentLimit && room > 0) {
                    k = static_cast<long long>(std::min(room, static_cast<double>(left)));
                    target = (up ? K + k : K - k) / 100 + 0.0;
                }
            }
            if (k > 1) {
                p = target;
                integral = r.kind != 0;
                i += k - 1;
                continue;
            }
        }
        Row moved = ladder(fund, up ? r.price + r.tick : r.price - r.tick);
        const bool was_int = integral;
        const double before = p;
        p = moved.price;
        integral = moved.kind != 0;
        if (p == before && integral == was_int) break;  // stalled: it stays there
        if (++steps > kStepBudget) refuse_move(n, before);
        check_signals(i);
    }
    return steal(PyFloat_FromDouble(p));
}

// rate * quantity * units * fill price, left to right, in Python number arithmetic:
// doubles while the running product is a float and each factor an exact int or float.
py::object product(std::initializer_list<py::handle> factors) {
    auto it = factors.begin();
    py::object acc = py::reinterpret_borrow<py::object>(*it++);
    if (PyFloat_CheckExact(acc.ptr())) {
        double d = PyFloat_AS_DOUBLE(acc.ptr());
        for (; it != factors.end(); ++it) {
            PyObject* f = it->ptr();
            if (PyFloat_CheckExact(f)) {
                d *= PyFloat_AS_DOUBLE(f);
            } else if (PyLong_CheckExact(f)) {
                double v = PyLong_AsDouble(f);
                if (v == -1.0 && PyErr_Occurred()) throw_py();
                d *= v;
            } else {
                break;
            }
        }
        acc = steal(PyFloat_FromDouble(d));
    }
    for (; it != factors.end(); ++it) acc = steal(PyNumber_Multiply(acc.ptr(), it->ptr()));
    return acc;
}

py::object setting(py::handle self, py::handle type_key, py::handle key) {
    return get_item(get_item(get_attr(self, names::_fee_settings), type_key), key);
}

// The module global FutureIndexContractValue, looked up now.
py::object contract_values() { return global(names::FutureIndexContractValue); }

py::object contract_value(py::handle values, py::handle code) {
    int has = PySequence_Contains(values.ptr(), code.ptr());
    if (has < 0) throw_py();
    if (has) return get_item(values, code);
    return py::reinterpret_borrow<py::object>(names::int_2000);
}

}  // namespace

ZK_BODY(pos_apply_future_contract_value, code) {
    return contract_value(contract_values(), code);
}

ZK_BODY(pos_ceil_price_by_tick, code, price) {
    Row r = ladder(is_fund(code), PyFloat_AS_DOUBLE(price.ptr()));
    py::object snapped = row_price(r);
    py::object tick = row_tick(r);
    return steal(PyTuple_Pack(2, snapped.ptr(), tick.ptr()));
}

ZK_BODY(pos_calculate_slippage_price, code, price, tick_count, direction) {
    return slippage_price(self, code, price, tick_count, direction);
}

namespace {

// The settings of one product type and the slippage rule of one side, read
// as the algorithm reads them. `quiet` stays true while the reads ran no
// Python code (exact dicts, a plain instance attribute).
struct CostRule {
    bool stock;
    py::handle type_key;
    py::object settings, slippage, direction;
    bool quiet;
};

CostRule cost_rule(py::handle self, py::handle action, py::handle product_type, py::handle is_cover) {
    CostRule r;
    r.stock = eq(product_type, names::Stock);
    if (r.stock) {
        r.type_key = names::stock;
    } else if (eq(product_type, names::Future)) {
        r.type_key = names::future;
    } else {
        raise_with_value(PyExc_Exception, "不支援的商品類型: ", product_type);
    }
    py::object all = get_attr(self, names::_fee_settings);
    r.settings = get_item(all, r.type_key);
    r.quiet = attr_is_quiet(self, names::_fee_settings) && PyDict_CheckExact(all.ptr()) &&
              PyDict_CheckExact(r.settings.ptr()) && PyUnicode_CheckExact(action.ptr()) &&
              PyBool_Check(is_cover.ptr());

    py::object side;
    if (PyUnicode_CheckExact(action.ptr()) && PyUnicode_CompareWithASCIIString(action.ptr(), "Buy") == 0)
        side = borrow(names::buy);
    else if (PyUnicode_CheckExact(action.ptr()) && PyUnicode_CompareWithASCIIString(action.ptr(), "Sell") == 0)
        side = borrow(names::sell);
    else
        side = steal(PyObject_CallMethodNoArgs(action.ptr(), names::lower.ptr()));
    py::object slippages = get_item(r.settings, names::slippage);
    r.slippage = get_item(slippages, side);
    r.quiet = r.quiet && PyDict_CheckExact(slippages.ptr()) && PyDict_CheckExact(r.slippage.ptr());

    if (truth(is_cover)) {
        r.direction = get_item(r.slippage, names::direction);
    } else {
        py::object stored = get_item(r.slippage, names::direction);
        r.quiet = r.quiet && PyUnicode_CheckExact(stored.ptr());
        r.direction = borrow(eq(stored, names::down) ? names::up : names::down);
    }
    return r;
}

// The fill price after slippage, through our own move or an override.
py::object slipped_price(py::handle self, py::handle code, py::handle price, CostRule& r) {
    auto slip = own_method(self, names::private_calculate_slippage_price, pos_calculate_slippage_price);
    py::object tick_count = get_item(r.slippage, names::tick_count);
    if (slip.own && PyLong_CheckExact(tick_count.ptr()))
        return slippage_price(self, code, price, tick_count, r.direction, &r.quiet);
    r.quiet = false;
    return slip.call(self, code, price, tick_count, r.direction);
}

// Money units of a quantity of 1: 1000 shares, or the future's contract value.
py::object quantity_units(py::handle self, py::handle code, CostRule& r) {
    if (r.stock) return borrow(names::int_1000);
    auto cv = own_method(self, names::private_apply_future_contract_value, pos_apply_future_contract_value);
    if (!cv.own) {
        r.quiet = false;
        return cv.obj(code);
    }
    py::object values = contract_values();
    r.quiet = r.quiet && PyDict_CheckExact(values.ptr());
    return contract_value(values, code);
}

}  // namespace

TradeCost compute_trade_cost(py::handle self, py::handle code, py::handle action, py::handle price,
                             py::handle quantity, py::handle product_type, py::handle ignore_tax, py::handle is_cover) {
    CostRule r = cost_rule(self, action, product_type, is_cover);
    py::object fill = slipped_price(self, code, price, r);
    py::object units = quantity_units(self, code, r);
    // The rates are read from self._fee_settings again after the move. While no
    // Python code can have run in between (exact builtin types, our own methods,
    // a plain instance attribute), that read gives this same dict.
    auto read = [&](py::handle key) {
        return r.quiet ? get_item(r.settings, key) : setting(self, r.type_key, key);
    };
    // Python code can run in a product only when a factor is not an exact int or float.
    r.quiet = r.quiet && is_exact_number(units) && PyFloat_CheckExact(fill.ptr());
    py::object rate = read(names::fee);
    r.quiet = r.quiet && is_exact_number(rate);
    py::object fee = product({rate, quantity, units, fill});
    rate = read(names::tax);
    r.quiet = r.quiet && is_exact_number(rate);
    py::object tax = product({rate, quantity, units, fill});
    py::object fixed_cost = read(names::per_trade_cost);
    py::object min_qty = steal(PyNumber_Multiply(quantity.ptr(), units.ptr()));

    return {std::move(fee), borrow(truth(ignore_tax) ? names::int_0 : py::handle(tax)), std::move(fixed_cost),
            borrow(quantity), std::move(min_qty), std::move(fill), borrow(price)};
}

namespace {
RecordKeys<7> trade_cost_record({"fee", "tax", "fixed_cost", "qty", "min_qty", "price", "origin_price"});
// What str() of the dict writes before each value.
const std::array<std::string, 7> trade_cost_heads = [] {
    std::array<std::string, 7> h;
    for (size_t i = 0; i < 7; ++i) h[i] = std::string(i ? ", '" : "{'") + trade_cost_record.names[i] + "': ";
    return h;
}();
}  // namespace

const RecordKeys<7>& cost_keys() { return trade_cost_record; }
const std::array<std::string, 7>& cost_heads() { return trade_cost_heads; }

ZK_BODY(pos_calculate_trade_cost, code, action, price, quantity, product_type, ignore_tax, is_cover) {
    return cost_keys().dict(compute_trade_cost(self, code, action, price, quantity, product_type, ignore_tax, is_cover));
}

}  // namespace zk
