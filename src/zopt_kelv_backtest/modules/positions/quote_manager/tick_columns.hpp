// Stored tick dicts to typed columns, and typed columns to polars frames.
// The one place where Python values become native buffers and back; both
// drains and the K-bar query read ticks through it.
#pragma once

#include "core/object.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zk::cols {

// A text column kept as ids into a table of distinct values.
struct TextColumn {
    std::vector<std::uint32_t> ids;
    std::vector<std::string> values;
    // Appends one exact str; false when it has no UTF-8 form.
    bool push(PyObject* s);
    std::string_view at(std::size_t row) const { return values[ids[row]]; }

  private:
    PyObject* last_obj_ = nullptr;  // identity cache, compared only, never dereferenced
    std::uint32_t last_id_ = 0;
};

// Stored ticks as columns, in list order.
struct TickColumns {
    std::vector<std::int64_t> dt;
    TextColumn market_type;
    TextColumn code;
    std::vector<double> close;
    std::vector<std::int64_t> qty;
    std::vector<std::int8_t> tick_type;
    std::vector<std::uint8_t> is_simulate;
    std::vector<std::uint8_t> is_virtual;
    std::size_t size() const { return dt.size(); }
    void reserve(std::size_t n);
    // Reorders every column by `order` (a permutation of the rows).
    void permute(const std::vector<std::uint32_t>& order);
};

// Reads items [from, len) of `ticks` (a list) into `out`. True only when every
// item is an exact dict of exactly the eight stored-tick keys whose values all
// have their usual exact types (naive datetime, str, float, int, int, int in
// Int8 range, bool, bool): then the columns hold exactly what polars' casts
// would give. False means "use polars' own conversion"; no error is left set.
bool read_ticks(py::handle ticks, Py_ssize_t from, TickColumns& out);

// Stable ascending order of rows by "dt"; empty when already in order.
std::vector<std::uint32_t> stable_order_by_dt(const std::vector<std::int64_t>& dt);

// One K-bar.
struct Bar {
    std::int64_t dt;
    std::string code;
    double open, high, low, close;
    std::int64_t volume;
};

// Is `pl` the polars module this process imported (so its frames are the
// genuine ones a native fast path may build)?
bool genuine_polars(py::handle pl);

// A tick frame (eight columns, their dtypes) from columns.
py::object tick_frame(const TickColumns& c);
// A K-bar frame (seven columns, their dtypes) from bars, in the given order.
py::object kbar_frame(const std::vector<Bar>& bars);
// The same as polars' inner frame object when that route is available (else
// nothing), for callers that chain inner operations and wrap once at the end.
std::optional<py::object> kbar_inner_frame(const std::vector<Bar>& bars);
py::object wrap_inner_frame(py::handle inner);
// An inner frame of a few rows as one chunk, column by column in this thread:
// polars' own rechunk hands the columns to its thread pool, which costs more
// than copying a few rows.
py::object rechunk_small_inner_frame(py::handle inner);

}  // namespace zk::cols
