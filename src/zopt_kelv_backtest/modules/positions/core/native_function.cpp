#include "core/native_function.hpp"

#include "core/body.hpp"
#include "core/compat.hpp"

#include <cstddef>
#include <new>
#include <string>

namespace zk {
namespace {

constexpr Py_ssize_t kMaxParams = 16;

const char* const kSubclassNote =
    "Note that subclasses of built-in types are rejected here; pass an exact instance";

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    PyObject* argnames;     // tuple of interned str, self included
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;     // tuple or None
    PyObject* annotations;  // dict
    PyObject* closure;      // or NULL
    PyObject* dict;         // or NULL
    PyObject* signature;    // cached inspect.Signature, or NULL
    PyObject* weakreflist;
    Py_ssize_t nparams;     // self included
    Py_ssize_t nrequired;   // self included
};

PyTypeObject g_type = {};

// Keyword lookup: identity first (interned names), then equality.
Py_ssize_t find_name(PyObject* names, Py_ssize_t from, Py_ssize_t to, PyObject* key) {
    for (Py_ssize_t i = from; i < to; ++i)
        if (PyTuple_GET_ITEM(names, i) == key) return i;
    if (!PyUnicode_Check(key)) return -1;
    for (Py_ssize_t i = from; i < to; ++i)
        if (PyUnicode_Compare(PyTuple_GET_ITEM(names, i), key) == 0) return i;
    return -1;
}

// The name a function's argument errors give.
const char* error_name(const FunctionSpec& sp) { return sp.error_name ? sp.error_name : sp.name; }

[[gnu::cold]] void raise_arg_count(const NativeFunction& f, Py_ssize_t found) {
    const FunctionSpec& sp = *f.spec;
    const Py_ssize_t min = f.nrequired, max = f.nparams;
    Py_ssize_t expected;
    const char* word;
    if (found < min) {
        expected = min;
        word = "at least";
    } else {
        expected = max;
        word = "at most";
    }
    if (!sp.varargs && min == max) word = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 error_name(sp), word, expected, expected == 1 ? "" : "s", found);
}

// Raises for a keyword left over once every parameter took its own (not a
// str, one already given by position, one the function does not have); true
// when it raised.
[[gnu::cold]] bool raise_extra_keyword(const NativeFunction& f, PyObject* kwnames, Py_ssize_t npos) {
    const char* fname = error_name(*f.spec);
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", fname);
            return true;
        }
        Py_ssize_t j = find_name(f.argnames, 0, f.nparams, key);
        if (j >= npos) continue;
        if (j >= 0)
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", fname, key);
        else
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, key);
        return true;
    }
    return false;
}

PyTypeObject* expected_type(Check c) {
    switch (c) {
        case Check::Str: return &PyUnicode_Type;
        case Check::Int: return &PyLong_Type;
        case Check::Dict: return &PyDict_Type;
        case Check::List: return &PyList_Type;
        case Check::Float: return &PyFloat_Type;
        default: return nullptr;
    }
}

// Bind: each argument into its parameter's slot (by position, then by
// keyword, then its default), with Python's errors for a wrong count or name.
[[gnu::always_inline]] inline bool bind(const NativeFunction& f, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames, PyObject** slots) {
    const Py_ssize_t np = f.nparams, nreq = f.nrequired;
    if (!f.spec->varargs && nargs > np) {
        raise_arg_count(f, nargs);
        return false;
    }
    const Py_ssize_t npos = nargs < np ? nargs : np;
    for (Py_ssize_t i = 0; i < npos; ++i) slots[i] = args[i];
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw) {
        PyObject* const* kwvalues = args + nargs;
        Py_ssize_t left = nkw;
        for (Py_ssize_t i = npos; i < np; ++i) {
            Py_ssize_t k = find_name(kwnames, 0, nkw, PyTuple_GET_ITEM(f.argnames, i));
            if (k >= 0) {
                slots[i] = kwvalues[k];
                --left;
            } else if (i < nreq) {
                raise_arg_count(f, i);
                return false;
            }
        }
        if (left > 0 && raise_extra_keyword(f, kwnames, npos)) return false;
    } else if (nargs < nreq) {
        raise_arg_count(f, nargs);
        return false;
    }
    if (np > nreq) {
        const Py_ssize_t first_default = np - PyTuple_GET_SIZE(f.defaults);
        for (Py_ssize_t i = nreq; i < np; ++i)
            if (!slots[i]) slots[i] = PyTuple_GET_ITEM(f.defaults, i - first_default);
    }
    return true;
}

// Convert: floats made of the arguments that take one, each argument's exact
// type checked, and the *args tuple; what is made here is kept in `owned`.
[[gnu::always_inline]] inline bool convert(const NativeFunction& f, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject** slots, py::object* owned) {
    const FunctionSpec& sp = *f.spec;
    const Py_ssize_t np = f.nparams;
    const Py_ssize_t off = sp.method ? 1 : 0;
    for (Py_ssize_t i = off; i < np; ++i) {
        if (sp.params[i - off].check != Check::ToFloat || PyFloat_CheckExact(slots[i])) continue;
        double d = PyFloat_AsDouble(slots[i]);
        if (d == -1.0 && PyErr_Occurred()) return false;
        PyObject* fl = PyFloat_FromDouble(d);
        if (!fl) return false;
        owned[i] = py::reinterpret_steal<py::object>(fl);
        slots[i] = fl;
    }
    for (Py_ssize_t i = off; i < np; ++i) {
        const Param& p = sp.params[i - off];
        PyTypeObject* t = expected_type(p.check);
        PyObject* o = slots[i];
        if (!t || Py_IS_TYPE(o, t) || (o == Py_None && p.def == Def::None)) continue;
        set_arg_type_error(p.name, t, o);
        return false;
    }
    if (sp.varargs) {
        PyObject* rest = nargs > np ? PyTuple_New(nargs - np) : PyTuple_New(0);
        if (!rest) return false;
        for (Py_ssize_t i = np; i < nargs; ++i) PyTuple_SET_ITEM(rest, i - np, Py_NewRef(args[i]));
        owned[np] = py::reinterpret_steal<py::object>(rest);
        slots[np] = rest;
    }
    return true;
}

// Run: the body on the bound arguments; no C++ exception leaves here.
[[gnu::always_inline]] inline PyObject* run(const NativeFunction& f, PyObject* const* slots) {
    const FunctionSpec& sp = *f.spec;
    py::handle hs[kMaxParams + 1];
    for (Py_ssize_t i = 0; i <= f.nparams; ++i) hs[i] = slots[i];
    py::handle self = sp.method ? hs[0] : py::handle(f.closure);
    try {
        return sp.body(self, hs + (sp.method ? 1 : 0)).release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
    return nullptr;
}

PyObject* call(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const auto& f = *reinterpret_cast<NativeFunction*>(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* slots[kMaxParams + 1] = {};
    py::object owned[kMaxParams + 1];  // converted floats and the *args tuple
    if (!bind(f, args, nargs, kwnames, slots) || !convert(f, args, nargs, slots, owned)) return nullptr;
    return run(f, slots);
}

int traverse(PyObject* o, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<NativeFunction*>(o);
    // The str attributes are replaceable, possibly by str subclasses that
    // can take part in a cycle, so every reference is visited.
    Py_VISIT(f->argnames);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->defaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->closure);
    Py_VISIT(f->dict);
    Py_VISIT(f->signature);
    Py_VISIT(f->doc);
    return 0;
}

int clear(PyObject* o) {
    auto* f = reinterpret_cast<NativeFunction*>(o);
    Py_CLEAR(f->argnames);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->signature);
    return 0;
}

void dealloc(PyObject* o) {
    PyObject_GC_UnTrack(o);
    if (reinterpret_cast<NativeFunction*>(o)->weakreflist) PyObject_ClearWeakRefs(o);
    clear(o);
    PyObject_GC_Del(o);
}

PyObject* descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* repr(PyObject* o) {
    return PyUnicode_FromFormat("<function %U at %p>", reinterpret_cast<NativeFunction*>(o)->qualname, o);
}

// Plain str attributes that Python functions let a caller replace.
template <std::size_t Offset>
PyObject* get_str(PyObject* o, void*) {
    return Py_NewRef(*reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + Offset));
}
template <std::size_t Offset>
int set_str(PyObject* o, PyObject* v, void*) {
    if (!v || !PyUnicode_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "the attribute must be set to a string object");
        return -1;
    }
    Py_SETREF(*reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + Offset), Py_NewRef(v));
    return 0;
}

// __doc__ takes any object, and deleting it leaves None, as for functions.
int set_doc(PyObject* o, PyObject* v, void*) {
    Py_XSETREF(reinterpret_cast<NativeFunction*>(o)->doc, Py_NewRef(v ? v : Py_None));
    return 0;
}

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_signature(PyObject* o, void*) {
    auto* f = reinterpret_cast<NativeFunction*>(o);
    if (f->signature) return Py_NewRef(f->signature);
    try {
        py::module_ inspect = py::module_::import("inspect");
        py::object Parameter = inspect.attr("Parameter");
        py::object kind = Parameter.attr("POSITIONAL_OR_KEYWORD");
        py::list params;
        const FunctionSpec& sp = *f->spec;
        const Py_ssize_t off = sp.method ? 1 : 0;
        const Py_ssize_t first_default = f->nparams - (f->defaults == Py_None ? 0 : PyTuple_GET_SIZE(f->defaults));
        for (Py_ssize_t i = 0; i < f->nparams; ++i) {
            py::dict kw;
            if (i >= off && sp.params[i - off].annotation) kw["annotation"] = py::str(sp.params[i - off].annotation);
            if (i >= first_default) kw["default"] = py::handle(PyTuple_GET_ITEM(f->defaults, i - first_default));
            params.append(Parameter(py::handle(PyTuple_GET_ITEM(f->argnames, i)), kind, **kw));
        }
        if (sp.varargs) params.append(Parameter(sp.varargs, Parameter.attr("VAR_POSITIONAL")));
        py::dict kw;
        if (sp.returns) kw["return_annotation"] = py::str(sp.returns);
        py::object sig = inspect.attr("Signature")(params, **kw);
        // Building ran Python code: a re-entrant call may have cached one already.
        if (!f->signature) f->signature = sig.release().ptr();
        return Py_NewRef(f->signature);
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

PyGetSetDef getset[] = {
    {"__name__", get_str<offsetof(NativeFunction, name)>, set_str<offsetof(NativeFunction, name)>, nullptr, nullptr},
    {"__qualname__", get_str<offsetof(NativeFunction, qualname)>, set_str<offsetof(NativeFunction, qualname)>, nullptr, nullptr},
    {"__module__", get_str<offsetof(NativeFunction, module)>, set_str<offsetof(NativeFunction, module)>, nullptr, nullptr},
    {"__doc__", get_str<offsetof(NativeFunction, doc)>, set_doc, nullptr, nullptr},
    {"__annotations__", get_str<offsetof(NativeFunction, annotations)>, nullptr, nullptr, nullptr},
    {"__defaults__", get_str<offsetof(NativeFunction, defaults)>, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

BodyParams* g_bodies = nullptr;  // constant-initialized, so set before any body registers

// The body's recorded names against the row's parameters (and *args), spaces aside.
void check_params(const FunctionSpec& spec) {
    const char* recorded = body_params(spec.body);
    if (!recorded) throw std::logic_error(std::string(spec.name) + ": its body has no parameter list");
    std::string row;
    for (const Param& p : spec.params) row += std::string(row.empty() ? "" : ", ") + p.name;
    if (spec.varargs) row += std::string(row.empty() ? "" : ", ") + spec.varargs;
    auto bare = [](std::string s) {
        std::erase_if(s, [](char c) { return c == ' ' || c == '\t' || c == '\n'; });
        return s;
    };
    if (bare(recorded) != bare(row))
        throw std::logic_error(std::string(spec.name) + ": its body reads (" + recorded + ") but its row has (" +
                               row + ")");
}

PyObject* intern(const char* s) {
    PyObject* o = PyUnicode_InternFromString(s);
    if (!o) throw_py();
    return o;
}

}  // namespace

BodyParams::BodyParams(Body body_, const char* names_) : body(body_), names(names_), next(g_bodies) {
    g_bodies = this;
}

const char* body_params(Body body) {
    for (const BodyParams* b = g_bodies; b; b = b->next)
        if (b->body == body) return b->names;
    return nullptr;
}

void init_native_function_type() {
    if (g_type.tp_flags & Py_TPFLAGS_READY) return;
    Py_SET_REFCNT(&g_type, 1);  // static type: never freed
    g_type.tp_name = "native_function";
    g_type.tp_basicsize = sizeof(NativeFunction);
    g_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                      Py_TPFLAGS_METHOD_DESCRIPTOR;
    g_type.tp_vectorcall_offset = offsetof(NativeFunction, vectorcall);
    g_type.tp_call = PyVectorcall_Call;
    g_type.tp_dealloc = dealloc;
    g_type.tp_traverse = traverse;
    g_type.tp_clear = clear;
    g_type.tp_repr = repr;
    g_type.tp_descr_get = descr_get;
    g_type.tp_getset = getset;
    g_type.tp_dictoffset = offsetof(NativeFunction, dict);
    g_type.tp_weaklistoffset = offsetof(NativeFunction, weakreflist);
    g_type.tp_getattro = PyObject_GenericGetAttr;
    g_type.tp_setattro = PyObject_GenericSetAttr;
    if (PyType_Ready(&g_type) < 0) throw_py();
    // Which CPython internals the fast paths read in this process (bench, tests).
    compat::set_static_type_attr(&g_type, "_fast_paths", compat::fast_paths());
}

py::object make_function(const FunctionSpec& spec, const std::string& qualname,
                         py::handle module_name, py::handle closure) {
    init_native_function_type();
    check_params(spec);
    const Py_ssize_t off = spec.method ? 1 : 0;
    const Py_ssize_t np = static_cast<Py_ssize_t>(spec.params.size()) + off;
    if (np > kMaxParams) throw std::logic_error("too many parameters");

    py::tuple argnames(np);
    if (spec.method) argnames[0] = py::reinterpret_steal<py::object>(intern("self"));
    Py_ssize_t nreq = off;
    py::list defaults;
    py::dict annotations;
    for (std::size_t i = 0; i < spec.params.size(); ++i) {
        const Param& p = spec.params[i];
        argnames[i + off] = py::reinterpret_steal<py::object>(intern(p.name));
        if (p.annotation) annotations[p.name] = py::str(p.annotation);
        switch (p.def) {
            case Def::Required:
                if (!defaults.empty()) throw std::logic_error("required parameter after a default");
                ++nreq;
                break;
            case Def::None: defaults.append(py::none()); break;
            case Def::False: defaults.append(py::bool_(false)); break;
            case Def::True: defaults.append(py::bool_(true)); break;
            case Def::EmptyList: defaults.append(py::list()); break;
        }
    }
    if (spec.returns) annotations["return"] = py::str(spec.returns);

    auto* f = PyObject_GC_New(NativeFunction, &g_type);
    if (!f) throw_py();
    f->vectorcall = call;
    f->spec = &spec;
    f->argnames = argnames.release().ptr();
    f->name = intern(spec.name);
    f->qualname = py::str(qualname).release().ptr();
    f->module = py::reinterpret_borrow<py::object>(module_name).release().ptr();
    f->doc = spec.doc ? py::str(spec.doc).release().ptr() : Py_NewRef(Py_None);
    f->defaults = defaults.empty() ? Py_NewRef(Py_None) : PySequence_Tuple(defaults.ptr());
    f->annotations = annotations.release().ptr();
    f->closure = closure ? Py_NewRef(closure.ptr()) : nullptr;
    f->dict = nullptr;
    f->signature = nullptr;
    f->weakreflist = nullptr;
    f->nparams = np;
    f->nrequired = nreq;
    PyObject_GC_Track(f);
    auto result = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(f));
    if (!f->defaults) throw_py();
    return result;
}

void set_arg_type_error(const char* param, PyTypeObject* expected, PyObject* got) {
    const bool sub = PyObject_TypeCheck(got, expected);
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%s", param,
                 expected->tp_name, Py_TYPE(got)->tp_name, sub ? ". " : "", sub ? kSubclassNote : "");
}

bool is_native_body(py::handle obj, Body body) {
    return Py_IS_TYPE(obj.ptr(), &g_type) &&
           reinterpret_cast<NativeFunction*>(obj.ptr())->spec->body == body;
}

py::object clone_function(py::handle proto, py::handle closure) {
    if (!Py_IS_TYPE(proto.ptr(), &g_type)) throw std::logic_error("not a native function");
    auto* p = reinterpret_cast<NativeFunction*>(proto.ptr());
    py::object annotations = steal(PyDict_Copy(p->annotations));
    auto* f = PyObject_GC_New(NativeFunction, &g_type);
    if (!f) throw_py();
    f->vectorcall = p->vectorcall;
    f->spec = p->spec;
    f->argnames = Py_NewRef(p->argnames);
    f->name = Py_NewRef(p->name);
    f->qualname = Py_NewRef(p->qualname);
    f->module = Py_NewRef(p->module);
    f->doc = Py_NewRef(p->doc);
    f->defaults = Py_NewRef(p->defaults);
    f->annotations = annotations.release().ptr();
    f->closure = closure ? Py_NewRef(closure.ptr()) : nullptr;
    f->dict = nullptr;
    f->signature = nullptr;
    f->weakreflist = nullptr;
    f->nparams = p->nparams;
    f->nrequired = p->nrequired;
    PyObject_GC_Track(f);
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(f));
}

}  // namespace zk
