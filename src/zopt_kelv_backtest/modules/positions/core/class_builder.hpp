#pragma once

#include "core/native_function.hpp"

#include <vector>

namespace zk {

// type(name, (object,), namespace) with one native function per row, stored
// under the mangled name for private methods. `property_name` (if given) is
// wrapped as a read-only property.
py::object build_class(const char* name, const char* doc, const std::vector<FunctionSpec>& methods,
                       py::handle module_name, const char* property_name = nullptr);

}  // namespace zk
