// The datetime C API for the sources that read or make datetimes.
//
// datetime.h gives every translation unit its own PyDateTimeAPI pointer, so
// each source including this header registers its own module-exec entry that
// sets it; after the import every datetime.h macro of that source works.
#pragma once

#include "core/civil_time.hpp"
#include "core/object.hpp"

#include <datetime.h>

#include <cstdint>

namespace zk {
namespace {

const ExecCache datetime_api_of_this_source{"the datetime C API", []() -> PyObject* {
    PyDateTime_IMPORT;
    return PyDateTimeAPI ? Py_NewRef(Py_None) : nullptr;
}};

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
