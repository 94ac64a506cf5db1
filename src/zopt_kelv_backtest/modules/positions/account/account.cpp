// Positions: object state, account queries, fee settings and the trade log.
#include "bodies.hpp"
#include "account/costs.hpp"

namespace zk {
namespace {

// One side's slippage rule: {"tick_count": n, "direction": dir}.
py::dict slippage_side(py::handle direction) {
    py::dict d;
    d[names::tick_count] = int_of(3);
    d[names::direction] = direction;
    return d;
}

py::dict product_settings(double fee, double tax) {
    py::dict slippage;
    slippage[names::buy] = slippage_side(names::up);
    slippage[names::sell] = slippage_side(names::down);
    py::dict d;
    d[names::fee] = fl(fee);
    d[names::tax] = fl(tax);
    d[names::per_trade_cost] = int_of(10);
    d[names::slippage] = slippage;
    return d;
}

// A fresh nested dict of the default settings; nothing is shared between calls.
py::dict default_fee_settings() {
    py::dict d;
    d[names::stock] = product_settings(0.001425, 0.003);
    d[names::future] = product_settings(2e-05, 2e-05);
    return d;
}


}  // namespace

ZK_BODY(pos_init) {
    set_attr(self, names::positions, py::dict());
    set_attr(self, names::trade_records, py::list());
    set_attr(self, names::product_type_mapper, py::dict());
    set_attr(self, names::current_tick_infos, py::dict());
    set_attr(self, names::fetch_position_queue, call_method(global(names::queue), names::Queue));
    set_attr(self, names::finish_fetch_position_queue, call_method(global(names::queue), names::Queue));
    set_attr(self, names::wait_fetch_position_response_flag, py::handle(Py_False));
    set_attr(self, names::initial_capital, int_of(100000));
    set_attr(self, names::current_capital, get_attr(self, names::initial_capital));
    py::dict report;
    report[names::profit] = int_of(0);
    report[names::rows] = py::list();
    set_attr(self, names::_profit_report, report);
    set_attr(self, names::_fee_settings, default_fee_settings());
    set_attr(self, names::_account_infos, py::dict());
    return py::none();
}

ZK_BODY(pos_init_account_info) {
    py::dict info;
    for (py::handle key : {names::entry_times, names::cover_times, names::receive_amount,
                           names::payable_amount, names::net_profit, names::extra_fee,
                           names::profit})
        info[key] = int_of(0);
    return info;
}

ZK_BODY(pos_generate_save_path, file_name, sub_folder) {  // sub_folder: the *sub_folder tuple
    py::object join = get_attr(get_attr(global(names::os), names::path), names::join);
    Py_ssize_t n = PyTuple_GET_SIZE(sub_folder.ptr());
    py::tuple parts(n + 1);
    parts[0] = get_attr(global(names::BASIC_INFO), names::data_dir);
    for (Py_ssize_t i = 0; i < n; ++i) parts[i + 1] = PyTuple_GET_ITEM(sub_folder.ptr(), i);
    py::object dir_path = steal(PyObject_Call(join.ptr(), parts.ptr(), nullptr));
    global(names::make_dir)(dir_path);
    py::object result = file_name.is_none() ? dir_path : join(dir_path, file_name);
    if (!result.is_none() && !PyUnicode_Check(result.ptr())) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(result.ptr())->tp_name);
        throw_py();
    }
    return result;
}

ZK_BODY(pos_make_trade_record, trade_id, code, action, quantity, price, timestamp, trade_status) {
    py::object dt = call_method(global(names::datetime), names::fromtimestamp, timestamp);
    py::object text = call_method(dt, names::strftime, names::record_time_format);
    py::dict record;
    record[names::trade_id] = trade_id;
    record[names::code] = code;
    record[names::action] = action;
    record[names::quantity] = quantity;
    record[names::price] = price;
    record[names::dt] = text;
    record[names::trade_status] = trade_status;
    return record;
}

ZK_BODY(pos_fee_settings) {
    py::object settings = get_attr(self, names::_fee_settings);
    if (!settings.is_none() && !PyDict_Check(settings.ptr())) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "dict", Py_TYPE(settings.ptr())->tp_name);
        throw_py();
    }
    return settings;
}

ZK_BODY(pos_reset_fee_settings) {
    set_attr(self, names::_fee_settings, default_fee_settings());
    return py::none();
}

ZK_BODY(pos_update_fee_settings, setting_type, action, fee, tax, per_trade_cost, tick_count, direction) {
    py::object settings = get_attr(self, names::_fee_settings);
    int has = PySequence_Contains(settings.ptr(), setting_type.ptr());
    if (has < 0) throw_py();
    if (!has) raise_with_value(PyExc_ValueError, "不支援的商品類型: ", setting_type);

    // fee, tax and per_trade_cost arrive as float/int or None after the entry checks.
    const std::pair<py::handle, py::handle> plain[] = {
        {names::fee, fee}, {names::tax, tax}, {names::per_trade_cost, per_trade_cost}};
    for (const auto& [key, value] : plain)
        if (!value.is_none()) set_item(get_item(settings, setting_type), key, value);

    if (eq(action, names::buy) || eq(action, names::sell)) {
        auto side = [&] {
            return get_item(get_item(get_item(settings, setting_type), names::slippage), action);
        };
        if (!tick_count.is_none()) set_item(side(), names::tick_count, tick_count);
        if (eq(direction, names::up) || eq(direction, names::down))
            set_item(side(), names::direction, direction);
    }
    return py::none();
}

ZK_BODY(pos_set_current_tick, tick) {
    py::object infos = get_attr(self, names::current_tick_infos);
    py::object code = get_item(tick, names::code);
    set_item(infos, code, tick);
    return py::none();
}

ZK_BODY(pos_add_trade_record, trade_id, code, action, quantity, price, timestamp, trade_status) {
    auto maker = own_method(self, names::private_make_trade_record, pos_make_trade_record);
    py::object record =
        maker.own ? pos_make_trade_record_named(self, trade_id, code, action, quantity, price, timestamp, trade_status)
                  : maker.obj(trade_id, code, action, quantity, price, timestamp, trade_status);
    append(get_attr(self, names::trade_records), record);
    return py::none();
}

ZK_BODY(pos_set_initial_capital, capital) {
    set_attr(self, names::initial_capital, capital);
    set_attr(self, names::current_capital, capital);
    return py::none();
}

ZK_BODY(pos_fetch_account_balance) {
    return get_attr(self, names::current_capital);
}

ZK_BODY(pos_fetch_margin) {
    return get_attr(self, names::current_capital);
}

}  // namespace zk
