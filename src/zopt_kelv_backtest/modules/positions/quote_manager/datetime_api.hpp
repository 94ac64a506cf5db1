// The datetime C API for the sources that read or make datetimes.
//
// datetime.h gives every translation unit its own PyDateTimeAPI pointer, so
// each source calls need_datetime_api() before its first datetime.h macro.
// It is imported at first use, not at module exec: the module's own imports
// come first there, in their documented order.
#pragma once

#include "core/civil_time.hpp"
#include "core/object.hpp"

#include <datetime.h>

#include <cstdint>

namespace zk {
namespace {

inline void need_datetime_api() {
    if (PyDateTimeAPI) return;
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw_py();
}

// Naive wall-clock microseconds of a datetime's fields.
[[gnu::always_inline]] inline std::int64_t datetime_us(PyObject* dt) {
    return civil::civil_to_us(PyDateTime_GET_YEAR(dt), PyDateTime_GET_MONTH(dt), PyDateTime_GET_DAY(dt),
                              PyDateTime_DATE_GET_HOUR(dt), PyDateTime_DATE_GET_MINUTE(dt),
                              PyDateTime_DATE_GET_SECOND(dt), PyDateTime_DATE_GET_MICROSECOND(dt));
}

// A datetime without a time zone (its tzinfo None).
inline bool naive(PyObject* dt) { return PyDateTime_DATE_GET_TZINFO(dt) == Py_None; }

}  // namespace
}  // namespace zk
