#include "bodies.hpp"

namespace zk {

ZK_BODY(pos_export_trade_records) { (void)self; (void)a; not_implemented("pos_export_trade_records"); }
ZK_BODY(pos_get_profit_rows_by_code) { (void)self; (void)a; not_implemented("pos_get_profit_rows_by_code"); }
ZK_BODY(pos_generate_standard_report) { (void)self; (void)a; not_implemented("pos_generate_standard_report"); }
ZK_BODY(pos_generate_qs_profit_report) { (void)self; (void)a; not_implemented("pos_generate_qs_profit_report"); }

}  // namespace zk
