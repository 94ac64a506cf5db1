#pragma once

#include "object.hpp"

namespace zkr {

// Module set-up: the Engine type.
bool add_engine_type(PyObject* module);

}  // namespace zkr
