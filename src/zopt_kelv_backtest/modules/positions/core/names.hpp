// Interned str names and small int constants used by the extension, made once
// at module exec (a failure fails the import). After that each is a plain
// global read: names::code, names::append, names::int_0, ...
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pybind11/pybind11.h>

namespace py = pybind11;

// Names whose text is the identifier itself.
#define ZK_NAMES(X)                                                                                          \
    X(Action) X(BUY) X(Buy) X(CASH) X(Future) X(FutureIndexContractValue) X(OrderCond) X(Stock)              \
    X(_account_infos) X(_fee_settings) X(_profit_report) X(action) X(add_positions_to_queue) X(append)        \
    X(buy) X(cached_kbars) X(close) X(code) X(console) X(copy) X(cover_times) X(current_capital)             \
    X(current_tick_infos) X(datetime) X(deepcopy) X(direction) X(down) X(dt) X(entry_times) X(exchange_ts)   \
    X(extend) X(extra_fee) X(fee) X(fetch_position_queue) X(finish_fetch_position_queue) X(fromtimestamp)    \
    X(future) X(get) X(get_init_ticks_info) X(height) X(holiday_search_set) X(hour) X(initial_capital)      \
    X(is_simulate) X(is_virtual) X(json) X(last_tick) X(lower) X(make_dir) X(market_type) X(minute)         \
    X(net_profit) X(not_trade_times) X(old_ticks) X(open) X(os) X(payable_amount) X(pd) X(per_trade_cost)    \
    X(pl) X(polars) X(pop) X(positions) X(price) X(print) X(product_type) X(product_type_mapper) X(profit)  \
    X(put) X(qs) X(qty) X(quantity) X(queue) X(receive_amount) X(replace) X(round) X(rows) X(second)         \
    X(sell) X(slippage) X(static_dir) X(stock) X(strftime) X(tax) X(tick_count) X(tick_type)   \
    X(ticks) X(time) X(timedelta) X(timestamp) X(total_seconds) X(trade_id) X(trade_records)                \
    X(trade_status) X(up) X(value) X(wait_fetch_position_response_flag) X(weekday) X(BASIC_INFO) X(aggregate_kbar)     \
    X(get_empty_tick_df) X(poped_old_ticks_to_df) X(poped_tick_to_df) X(_core_lines) X(slice) X(vstack)   \
    X(rechunk) X(_df) X(get_columns)

// Names whose text is not an identifier of its own (or a reserved one).
#define ZK_TEXTS(X)                                                                       \
    X(empty, "")                                                                          \
    X(dunder_name, "__name__")                                                            \
    X(ymd_format, "%Y-%m-%d")                                                             \
    X(template_, "template")                                                              \
    X(private_init_account_info, "_Positions__init_account_info")                         \
    X(private_make_trade_record, "_Positions__make_trade_record")                         \
    X(private_apply_future_contract_value, "_Positions__apply_future_contract_value")     \
    X(private_ceil_price_by_tick, "_Positions__ceil_price_by_tick")                       \
    X(private_calculate_slippage_price, "_Positions__calculate_slippage_price")           \
    X(private_calculate_trade_cost, "_Positions__calculate_trade_cost")                   \
    X(private_calculate_profit, "_Positions__calculate_profit")                           \
    X(private_format_position_summary, "_Positions__format_position_summary")             \
    X(private_format_position_detail, "_Positions__format_position_detail")               \
    X(no_tick_line, "[red]尚未訂閱回測 Tick, 無法計算回測時的即時庫存損益[/red]")

// More names, one list per area of the extension (each adds to its own list; a name
// stands in one list only).
#define ZK_NAMES_CORE(X)                                                                                     \
    X(CoreLines) X(TAG_STARTS) X(_fields) X(printer) X(pending) X(looks) X(plain) X(fixed) X(stream) X(raw)    \
    X(first) X(limit) X(wake) X(flush)
#define ZK_TEXTS_CORE(X) X(console_module, "zopt_kelv_backtest.console")
#define ZK_NAMES_QUOTES(X)                                                                                   \
    X(Boolean) X(Close) X(DataFrame) X(Date) X(Datetime) X(Float64) X(High) X(Int64) X(Int8) X(Low) X(Open)  \
    X(Series) X(Utf8) X(Volume) X(agg) X(alias) X(cast) X(col) X(columns) X(days) X(epoch) X(filter)         \
    X(group_by) X(has_header) X(is_empty) X(join) X(kbar_time) X(last) X(max) X(microsecond) X(min) \
    X(minutes) X(path) X(read_csv) X(rename) X(schema) X(seconds) X(select) X(sort) X(maintain_order)        \
    X(strptime) X(sum) X(to_pandas) X(truncate) X(us) X(with_columns) X(_s) X(from_arrow_c_array)           \
    X(_from_pydf) X(struct_unnest)
#define ZK_TEXTS_QUOTES(X)                                    \
    X(holiday_file, "holidays_search_from_2017.csv")          \
    X(hms_format, "%H:%M:%S")                                 \
    X(unit_m, "m") X(unit_h, "h") X(unit_d, "d") X(unit_w, "w") \
    X(unit_mo, "mo") X(unit_q, "q") X(unit_y, "y")
#define ZK_NAMES_ACCOUNT(X) X(is_cover) X(ignore_tax) X(data_dir) X(Queue)
#define ZK_TEXTS_ACCOUNT(X) X(record_time_format, "%Y-%m-%d %H:%M:%S.%f")

#define ZK_INTS(X) X(0) X(1) X(2) X(5) X(1000) X(2000)

namespace zk::names {

#define ZK_DECLARE_NAME(id) inline py::handle id;
#define ZK_DECLARE_TEXT(id, text) inline py::handle id;
#define ZK_DECLARE_INT(n) inline py::handle int_##n;
ZK_NAMES(ZK_DECLARE_NAME)
ZK_TEXTS(ZK_DECLARE_TEXT)
ZK_NAMES_CORE(ZK_DECLARE_NAME)
ZK_TEXTS_CORE(ZK_DECLARE_TEXT)
ZK_NAMES_QUOTES(ZK_DECLARE_NAME)
ZK_TEXTS_QUOTES(ZK_DECLARE_TEXT)
ZK_NAMES_ACCOUNT(ZK_DECLARE_NAME)
ZK_TEXTS_ACCOUNT(ZK_DECLARE_TEXT)
ZK_INTS(ZK_DECLARE_INT)
#undef ZK_DECLARE_NAME
#undef ZK_DECLARE_TEXT
#undef ZK_DECLARE_INT

// Module exec: make every name and int above, kept for the life of the
// process; ImportError naming the one that could not be made.
void init();

}  // namespace zk::names
