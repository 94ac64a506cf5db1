#include "bodies.hpp"

namespace zk {

ZK_BODY(qm_aggregate_kbar) { (void)self; (void)a; not_implemented("qm_aggregate_kbar"); }
ZK_BODY(qm_poped_tick_to_df) { (void)self; (void)a; not_implemented("qm_poped_tick_to_df"); }
ZK_BODY(qm_poped_old_ticks_to_df) { (void)self; (void)a; not_implemented("qm_poped_old_ticks_to_df"); }
ZK_BODY(qm_get_kbar) { (void)self; (void)a; not_implemented("qm_get_kbar"); }

}  // namespace zk
