#pragma once
#include "object.hpp"

namespace zki {

// Creates the indicator classes and adds them to the module; false with the error set.
bool add_types(PyObject* module);

}  // namespace zki
