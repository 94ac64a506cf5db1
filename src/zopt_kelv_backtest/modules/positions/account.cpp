#include "bodies.hpp"

namespace zk {

ZK_BODY(pos_init) { (void)self; (void)a; not_implemented("pos_init"); }
ZK_BODY(pos_init_account_info) { (void)self; (void)a; not_implemented("pos_init_account_info"); }
ZK_BODY(pos_generate_save_path) { (void)self; (void)a; not_implemented("pos_generate_save_path"); }
ZK_BODY(pos_make_trade_record) { (void)self; (void)a; not_implemented("pos_make_trade_record"); }
ZK_BODY(pos_fee_settings) { (void)self; (void)a; not_implemented("pos_fee_settings"); }
ZK_BODY(pos_reset_fee_settings) { (void)self; (void)a; not_implemented("pos_reset_fee_settings"); }
ZK_BODY(pos_update_fee_settings) { (void)self; (void)a; not_implemented("pos_update_fee_settings"); }
ZK_BODY(pos_set_current_tick) { (void)self; (void)a; not_implemented("pos_set_current_tick"); }
ZK_BODY(pos_add_trade_record) { (void)self; (void)a; not_implemented("pos_add_trade_record"); }
ZK_BODY(pos_set_initial_capital) { (void)self; (void)a; not_implemented("pos_set_initial_capital"); }
ZK_BODY(pos_fetch_account_balance) { (void)self; (void)a; not_implemented("pos_fetch_account_balance"); }
ZK_BODY(pos_fetch_margin) { (void)self; (void)a; not_implemented("pos_fetch_margin"); }

}  // namespace zk
