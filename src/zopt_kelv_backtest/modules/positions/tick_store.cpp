#include "bodies.hpp"

namespace zk {

ZK_BODY(qm_init) { (void)self; (void)a; not_implemented("qm_init"); }
ZK_BODY(qm_get_init_ticks_info) { (void)self; (void)a; not_implemented("qm_get_init_ticks_info"); }
ZK_BODY(qm_get_empty_tick_df) { (void)self; (void)a; not_implemented("qm_get_empty_tick_df"); }
ZK_BODY(qm_clear_ticks) { (void)self; (void)a; not_implemented("qm_clear_ticks"); }
ZK_BODY(qm_add_tick) { (void)self; (void)a; not_implemented("qm_add_tick"); }

}  // namespace zk
