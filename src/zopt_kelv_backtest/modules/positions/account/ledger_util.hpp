// What the position ledger shares between its sources: the trade cost of one
// leg, read from our own computation or from an overriding method's dict.
#pragma once

#include "bodies.hpp"
#include "account/costs.hpp"
#include "account/ledger_text.hpp"

#include <array>

namespace zk::ledger {

// A record the algorithm reads key by key: the values we computed ourselves,
// or the dict an overriding method returned, read with a lookup at each use
// as the algorithm would.
template <size_t N, const RecordKeys<N>& (*Keys)()>
struct Record {
    py::object dict;
    std::array<py::object, N> own;
    py::object operator[](size_t i) const { return dict ? get_item(dict, Keys().keys[i]) : own[i]; }
};

// The trade cost of one leg.
using Leg = Record<7, cost_keys>;

// self.__calculate_trade_cost(code, action, price, quantity, product_type, <keywords>):
// a covering leg with tax, or an entry leg without; both slip as the settings say.
enum class CostCall { Cover, Entry };
Leg trade_cost(py::handle self, CostCall kind, py::handle code, py::handle action, py::handle price,
               py::handle quantity, py::handle product_type);

// str() of the leg's trade-cost dict.
void put_cost(Text& t, const Leg& leg);

}  // namespace zk::ledger
