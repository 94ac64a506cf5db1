// Price rules and trade cost of Positions, for reuse by other parts of the extension.
#pragma once

#include "core/dispatch.hpp"

#include <string>
#include <utility>

namespace zk {

// The seven values of a trade cost, in the order of its dict.
enum CostField : size_t { Fee, Tax, FixedCost, Qty, MinQty, Price, OriginPrice };
using TradeCost = std::array<py::object, 7>;
const RecordKeys<7>& cost_keys();
// What str() of a trade-cost dict writes before each value ("{'fee': ", ", 'tax': ", ...).
const std::array<std::string, 7>& cost_heads();

// What __calculate_trade_cost computes for its checked arguments (price as a
// float), without making the dict.
TradeCost compute_trade_cost(py::handle self, py::handle code, py::handle action, py::handle price,
                             py::handle quantity, py::handle product_type, py::handle ignore_tax, py::handle is_cover);

}  // namespace zk
