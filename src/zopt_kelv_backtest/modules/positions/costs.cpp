#include "bodies.hpp"

namespace zk {

ZK_BODY(pos_apply_future_contract_value) { (void)self; (void)a; not_implemented("pos_apply_future_contract_value"); }
ZK_BODY(pos_ceil_price_by_tick) { (void)self; (void)a; not_implemented("pos_ceil_price_by_tick"); }
ZK_BODY(pos_calculate_slippage_price) { (void)self; (void)a; not_implemented("pos_calculate_slippage_price"); }
ZK_BODY(pos_calculate_trade_cost) { (void)self; (void)a; not_implemented("pos_calculate_trade_cost"); }

}  // namespace zk
