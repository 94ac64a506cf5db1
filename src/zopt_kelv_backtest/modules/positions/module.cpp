// Module initialisation: two-phase init, the imports and the globals.
#include "bodies.hpp"
#include "core/compat.hpp"

#include <cstdint>
#include <cstdio>
#include <string>

namespace zk {
namespace {

const char* const kModuleName = "zopt_kelv_backtest.modules.positions.positions";

PyObject* g_module = nullptr;       // the one module object of this process
std::int64_t g_interpreter = -1;    // the interpreter that first imported it

// `getattr(module, name)` as `from module import name` does it: a submodule
// that is imported but not bound counts, and a miss is the import system's
// ImportError naming the module and its location.
py::object import_name(py::handle mod, const char* name) {
    if (PyObject* v = PyObject_GetAttrString(mod.ptr(), name)) return steal(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_py();
    PyErr_Clear();
    py::object pkgname = py::reinterpret_steal<py::object>(PyObject_GetAttrString(mod.ptr(), "__name__"));
    PyErr_Clear();
    if (pkgname && PyUnicode_Check(pkgname.ptr())) {
        py::object full = steal(PyUnicode_FromFormat("%U.%s", pkgname.ptr(), name));
        if (PyObject* sub = PyImport_GetModule(full.ptr())) return steal(sub);
        if (PyErr_Occurred()) throw_py();
    } else {
        pkgname = py::object();
    }
    py::object pkgpath = py::reinterpret_steal<py::object>(
        PyModule_Check(mod.ptr()) ? PyModule_GetFilenameObject(mod.ptr()) : nullptr);
    PyErr_Clear();
    py::object shown = pkgname ? pkgname : py::str("<unknown module name>");
    py::object msg = pkgpath && PyUnicode_Check(pkgpath.ptr())
        ? steal(PyUnicode_FromFormat("cannot import name '%s' from %R (%S)", name, shown.ptr(), pkgpath.ptr()))
        : steal(PyUnicode_FromFormat("cannot import name '%s' from %R (unknown location)", name, shown.ptr()));
    PyErr_SetImportError(msg.ptr(), pkgname ? pkgname.ptr() : nullptr, pkgpath ? pkgpath.ptr() : nullptr);
    throw_py();
}

// `from <module> import <names>` into the namespace.
void import_from(py::dict& ns, const char* module, std::initializer_list<const char*> names) {
    py::list fromlist;
    for (const char* n : names) fromlist.append(n);
    py::object mod = steal(PyImport_ImportModuleLevel(module, ns.ptr(), nullptr, fromlist.ptr(), 0));
    for (const char* n : names) ns[n] = import_name(mod, n);
}

// A name of the namespace being built, NameError when missing (as the
// module-level code that reads it would raise).
py::object ns_get(const py::dict& ns, const char* name) {
    if (PyObject* v = PyDict_GetItemString(ns.ptr(), name)) return py::reinterpret_borrow<py::object>(v);
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw_py();
}

void import_as(py::dict& ns, const char* module, const char* as) {
    ns[as] = py::module_::import(module);
}

ZK_BODY(tojson_filter, value) {
    return py::str(value).attr("replace")("'", "\"");
}

const FunctionSpec kToJson{"<lambda>", false, {{"value", nullptr}}, nullptr, nullptr, nullptr,
                           tojson_filter, "lambda"};

void exec_imports(py::dict ns) {
    init_native_function_type();
    for (const char* m : {"copy", "json", "math", "os"}) import_as(ns, m, m);
    import_as(ns, "pandas", "pd");
    import_as(ns, "polars", "pl");
    for (const char* m : {"queue", "warnings", "matplotlib"}) import_as(ns, m, m);
    ns["matplotlib"].attr("use")("Agg");
    import_as(ns, "quantstats_lumi", "qs");
    import_from(ns, "datetime", {"datetime", "timedelta"});
    import_from(ns, "jinja2", {"Environment", "FileSystemLoader"});
    import_from(ns, "typing", {"Any", "Dict", "List", "Literal"});
    import_from(ns, "zopt_kelv_backtest.constant",
                {"Action", "BASIC_INFO", "FutureIndexContractValue", "OrderCond"});
    import_from(ns, "zopt_kelv_backtest.utils", {"console", "make_dir"});
    init_console();

    py::object simplefilter = ns["warnings"].attr("simplefilter");
    simplefilter(py::arg("action") = "ignore",
                 py::arg("category") = py::handle(PyExc_FutureWarning));
    simplefilter(py::arg("action") = "ignore",
                 py::arg("category") = py::handle(PyExc_RuntimeWarning));
    ns["qs"].attr("extend_pandas")();

    py::object path = ns["os"].attr("path");
    ns["base_dir"] = path.attr("dirname")(path.attr("abspath")(ns_get(ns, "__file__")));
    ns["static_dir"] = path.attr("join")(ns["base_dir"], "../../static");
    py::object loader = ns["FileSystemLoader"](path.attr("join")(ns["static_dir"], "templates"));
    ns["env"] = ns["Environment"](py::arg("loader") = loader);
    ns["env"].attr("filters")["tojson"] = make_function(kToJson, "<lambda>", ns["__name__"]);
    ns["template"] = ns["env"].attr("get_template")("profit_report.html");

    ns["QuoteManager"] = make_quote_manager_class(ns["__name__"]);
    ns["Positions"] = make_positions_class(ns["__name__"]);
}

bool check_interpreter() {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (g_interpreter == -1) {
        g_interpreter = id;
    } else if (g_interpreter != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return false;
    }
    return true;
}

// Copy spec.<attr> into the namespace; a missing attribute leaves it unset.
int copy_spec_attr(PyObject* spec, PyObject* ns, const char* from, const char* to, bool allow_none) {
    PyObject* v = PyObject_GetAttrString(spec, from);
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    int rc = 0;
    if (allow_none || v != Py_None) rc = PyDict_SetItemString(ns, to, v);
    Py_DECREF(v);
    return rc;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    if (!check_interpreter()) return nullptr;
    if (g_module) return Py_NewRef(g_module);
    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (!name) return nullptr;
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (!module) return nullptr;
    PyObject* ns = PyModule_GetDict(module);
    if (copy_spec_attr(spec, ns, "loader", "__loader__", true) < 0 ||
        copy_spec_attr(spec, ns, "origin", "__file__", true) < 0 ||
        copy_spec_attr(spec, ns, "parent", "__package__", true) < 0 ||
        copy_spec_attr(spec, ns, "submodule_search_locations", "__path__", false) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

int check_version() {
    const char* rt = Py_GetVersion();
    int major = 0, minor = 0;
    if (std::sscanf(rt, "%d.%d", &major, &minor) != 2) return 0;
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return 0;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%s' does not match "
                            "runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, major, minor);
}

int module_exec(PyObject* module) {
    if (g_module) {
        if (g_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'positions' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    if (check_version() < 0) return -1;
    try {
        compat::init();
        names::init();
        make_records();
        make_exec_caches();
        exec_imports(py::reinterpret_borrow<py::dict>(PyModule_GetDict(module)));
    } catch (py::error_already_set& e) {
        e.restore();
        return -1;
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_ImportError, e.what());
        return -1;
    }
    g_module = Py_NewRef(module);
    set_module_dict(PyModule_GetDict(module));
    return 0;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef g_def = {PyModuleDef_HEAD_INIT, "positions", nullptr, 0, nullptr, g_slots,
                     nullptr, nullptr, nullptr};

}  // namespace

}  // namespace zk

PyMODINIT_FUNC PyInit_positions() { return PyModuleDef_Init(&zk::g_def); }
