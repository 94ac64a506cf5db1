#include "core/class_builder.hpp"

#include <cstring>
#include <string>

namespace zk {

py::object build_class(const char* name, const char* doc, const std::vector<FunctionSpec>& methods,
                       py::handle module_name, const char* property_name) {
    py::dict ns;
    ns["__module__"] = module_name;
    ns["__qualname__"] = py::str(name);
    // Without a docstring type() adds __doc__ = None itself, after the methods,
    // as a class statement without one does.
    if (doc) ns["__doc__"] = py::str(doc);
    for (const FunctionSpec& spec : methods) {
        std::string bare = spec.name;
        py::object fn = make_function(spec, std::string(name) + "." + bare, module_name);
        const bool dunder = bare.size() > 4 && bare.ends_with("__");
        std::string key = bare.starts_with("__") && !dunder ? "_" + std::string(name) + bare : bare;
        if (property_name && bare == property_name)
            fn = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyProperty_Type))(fn);
        ns[py::str(key)] = fn;
    }
    py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    return type(py::str(name), py::make_tuple(py::reinterpret_borrow<py::object>(
                                   reinterpret_cast<PyObject*>(&PyBaseObject_Type))),
                ns);
}

}  // namespace zk
