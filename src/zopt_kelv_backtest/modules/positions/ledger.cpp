#include "bodies.hpp"

namespace zk {

ZK_BODY(pos_calculate_profit) { (void)self; (void)a; not_implemented("pos_calculate_profit"); }
ZK_BODY(pos_format_position_summary) { (void)self; (void)a; not_implemented("pos_format_position_summary"); }
ZK_BODY(pos_format_position_detail) { (void)self; (void)a; not_implemented("pos_format_position_detail"); }
ZK_BODY(pos_set_positions) { (void)self; (void)a; not_implemented("pos_set_positions"); }
ZK_BODY(pos_fetch_positions) { (void)self; (void)a; not_implemented("pos_fetch_positions"); }
ZK_BODY(pos_add_positions_to_queue) { (void)self; (void)a; not_implemented("pos_add_positions_to_queue"); }
ZK_BODY(pos_pop_positions) { (void)self; (void)a; not_implemented("pos_pop_positions"); }
ZK_BODY(pos_add_finish_notify_to_queue) { (void)self; (void)a; not_implemented("pos_add_finish_notify_to_queue"); }
ZK_BODY(pos_pop_finish_notify) { (void)self; (void)a; not_implemented("pos_pop_finish_notify"); }

}  // namespace zk
