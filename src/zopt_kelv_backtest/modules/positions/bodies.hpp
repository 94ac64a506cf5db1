// Bodies of the methods of both classes, grouped by what they do.
// Each takes `self` and the checked arguments (see native_function.hpp);
// ZK_BODY (core/body.hpp) defines one with its parameters by name.
#pragma once

#include "core/body.hpp"

#define ZK_DECLARE_BODY(fn) py::object fn(py::handle self, const py::handle* args)

namespace zk {

// QuoteManager (quote_manager/): ticks
ZK_DECLARE_BODY(qm_init);
ZK_DECLARE_BODY(qm_get_init_ticks_info);
ZK_DECLARE_BODY(qm_get_empty_tick_df);
ZK_DECLARE_BODY(qm_clear_ticks);
ZK_DECLARE_BODY(qm_add_tick);

// QuoteManager: K-bars
ZK_DECLARE_BODY(qm_aggregate_kbar);
ZK_DECLARE_BODY(qm_poped_tick_to_df);
ZK_DECLARE_BODY(qm_poped_old_ticks_to_df);
ZK_DECLARE_BODY(qm_get_kbar);

// Positions (account/): state, account queries, fee settings, trade log
ZK_DECLARE_BODY(pos_init);
ZK_DECLARE_BODY(pos_init_account_info);
ZK_DECLARE_BODY(pos_generate_save_path);
ZK_DECLARE_BODY(pos_make_trade_record);
ZK_DECLARE_BODY(pos_fee_settings);
ZK_DECLARE_BODY(pos_reset_fee_settings);
ZK_DECLARE_BODY(pos_update_fee_settings);
ZK_DECLARE_BODY(pos_set_current_tick);
ZK_DECLARE_BODY(pos_add_trade_record);
ZK_DECLARE_BODY(pos_set_initial_capital);
ZK_DECLARE_BODY(pos_fetch_account_balance);
ZK_DECLARE_BODY(pos_fetch_margin);

// Positions: price rules and trade cost
ZK_DECLARE_BODY(pos_apply_future_contract_value);
ZK_DECLARE_BODY(pos_ceil_price_by_tick);
ZK_DECLARE_BODY(pos_calculate_slippage_price);
ZK_DECLARE_BODY(pos_calculate_trade_cost);

// Positions: position book, profit, queries, queues
ZK_DECLARE_BODY(pos_calculate_profit);
ZK_DECLARE_BODY(pos_format_position_summary);
ZK_DECLARE_BODY(pos_format_position_detail);
ZK_DECLARE_BODY(pos_set_positions);
ZK_DECLARE_BODY(pos_fetch_positions);
ZK_DECLARE_BODY(pos_add_positions_to_queue);
ZK_DECLARE_BODY(pos_pop_positions);
ZK_DECLARE_BODY(pos_add_finish_notify_to_queue);
ZK_DECLARE_BODY(pos_pop_finish_notify);

// Positions: trade log export and reports
ZK_DECLARE_BODY(pos_export_trade_records);
ZK_DECLARE_BODY(pos_get_profit_rows_by_code);
ZK_DECLARE_BODY(pos_generate_standard_report);
ZK_DECLARE_BODY(pos_generate_qs_profit_report);

// The classes, built at module exec from their method tables (quote_manager/, account/).
py::object make_quote_manager_class(py::handle module_name);
py::object make_positions_class(py::handle module_name);

}  // namespace zk
