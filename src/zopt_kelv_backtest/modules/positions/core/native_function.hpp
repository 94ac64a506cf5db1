// The function object used for every method of the module: it carries the
// introspection a Python function has (__annotations__ as source text,
// __defaults__, mangled private names) and parses arguments with the module's
// exact error texts before a plain C++ body runs.
#pragma once

#include "core/object.hpp"

#include <cstdint>
#include <vector>

namespace zk {

// How an argument is checked before the body runs.
enum class Check : std::uint8_t {
    Any,      // not enforced (bool, Literal, object, pl.DataFrame, QuoteManager)
    Str,      // exactly str
    Int,      // exactly int (bool rejected)
    Dict,     // exactly dict
    List,     // exactly list
    Float,    // exactly float (annotated float with a None default)
    ToFloat,  // converted to float on entry (annotated float, no default)
};

enum class Def : std::uint8_t { Required, None, False, True, EmptyList };

struct Param {
    const char* name;
    const char* annotation;  // source text, nullptr when not annotated
    Check check = Check::Any;
    Def def = Def::Required;
};

// Body of a function. `self` is the instance for methods and the closure
// object (or a null handle) for free functions; `args` holds the checked
// arguments after self, in parameter order, then the *args tuple if any.
using Body = py::object (*)(py::handle self, const py::handle* args);

struct FunctionSpec {
    const char* name;        // __name__ (bare, also for private methods)
    bool method;             // first parameter is self
    std::vector<Param> params;  // after self
    const char* varargs;     // name of *args, or nullptr
    const char* returns;     // return annotation text, or nullptr
    const char* doc;         // docstring, or nullptr
    Body body;
    const char* error_name = nullptr;  // name in argument errors when not __name__
};

// Ready the function type; call once at module exec.
void init_native_function_type();

// A new function object for `spec` (which must outlive it). Its default
// objects are made here, once, and shared by every call that omits them.
// `closure` is handed to the body as `self` when the spec is not a method.
py::object make_function(const FunctionSpec& spec, const std::string& qualname,
                         py::handle module_name, py::handle closure = py::handle());

// Set the parser's TypeError for an argument that is not exactly `expected`;
// checks made ahead of a call use it so the text stays one.
void set_arg_type_error(const char* param, PyTypeObject* expected, PyObject* got);
[[noreturn]] inline void raise_arg_type(const char* param, PyTypeObject* expected, PyObject* got) {
    set_arg_type_error(param, expected, got);
    throw_py();
}

// Is `obj` a function object of ours running `body`? Lets a caller skip the
// argument parser when an attribute lookup found our own method.
bool is_native_body(py::handle obj, Body body);

// A new function object like `proto` (one of ours), closing over `closure`:
// the cheap way to make an inner function anew on every call. It shares the
// prototype's names and defaults and has its own __annotations__ dict.
py::object clone_function(py::handle proto, py::handle closure);

}  // namespace zk
