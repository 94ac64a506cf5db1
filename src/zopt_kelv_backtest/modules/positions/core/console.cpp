// console.print(text) for the module's lines. When `console` is the package
// console with its own line printer, and the line is one that printer would
// queue as it stands, the line is queued here the same way: no Python call
// per line, the same bytes written.
#include "core/dispatch.hpp"

#include <cstdint>
#include <memory>

#include "core/compat.hpp"

namespace zk {
namespace {

// str.isprintable of one code point, remembered for the Basic Multilingual Plane.
bool printable(Py_UCS4 c) {
    static std::unique_ptr<std::uint8_t[]> known(new std::uint8_t[0x10000]());  // 0 unknown, 1 yes, 2 no
    if (c >= 0x10000) return Py_UNICODE_ISPRINTABLE(c);
    std::uint8_t& k = known[c];
    if (!k) k = Py_UNICODE_ISPRINTABLE(c) ? 1 : 2;
    return k == 1;
}

// The printer's tests of a body s[from:to]: not empty, printable, no backslash,
// and no "[" that rich could read as the start of a tag ("[" then a-z # / @).
bool plain_body(PyObject* s, Py_ssize_t from, Py_ssize_t to) {
    if (from >= to) return false;
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    for (Py_ssize_t i = from; i < to; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == '\\') return false;
        if (c == '[' && i + 1 < to) {
            const Py_UCS4 n = PyUnicode_READ(kind, data, i + 1);
            if ((n >= 'a' && n <= 'z') || n == '#' || n == '/' || n == '@') return false;
        }
        if (c >= 0x20 && c < 0x7f) continue;
        if (!printable(c)) return false;
    }
    return true;
}

// Slots of the tuple the package console publishes as `_core_lines`.
enum Sink { Printer, Pending, Looks, Plain, Fixed, Stream, Raw, First, Limit, Wake, Flush, SinkSize };

// Queues `text` as the console's line printer would; false when the printer must decide.
// Nothing here runs Python code before the line is queued.
bool queue_line(PyObject* console, PyObject* text) {
    PyObject* sink = quiet_attr_borrowed(console, names::_core_lines);
    if (!sink || !PyTuple_CheckExact(sink) || PyTuple_GET_SIZE(sink) != SinkSize) return false;
    PyObject** dictptr = compat::instance_dict(console);
    if (!dictptr || !*dictptr || !PyDict_CheckExact(*dictptr)) return false;
    PyObject* print = PyDict_GetItemWithError(*dictptr, names::print.ptr());
    if (!print) {
        PyErr_Clear();
        return false;
    }
    if (print != PyTuple_GET_ITEM(sink, Printer)) return false;  // print was replaced
    PyObject* pending = PyTuple_GET_ITEM(sink, Pending);
    PyObject* looks = PyTuple_GET_ITEM(sink, Looks);
    PyObject* stream = PyTuple_GET_ITEM(sink, Stream);
    if (!PyList_CheckExact(pending) || !PyDict_CheckExact(looks) || !PyUnicode_CheckExact(stream)) return false;
    if (PyTuple_GET_ITEM(sink, Fixed) == Py_None) {
        const char* name = PyUnicode_AsUTF8(stream);
        if (!name) {
            PyErr_Clear();
            return false;
        }
        if (PySys_GetObject(name) != PyTuple_GET_ITEM(sink, Raw)) return false;  // the stream was replaced
    }
    // "[tag]body[/tag]": the tag up to the first "]", its look, its closing tag at the end.
    const Py_ssize_t len = PyUnicode_GET_LENGTH(text);
    const Py_ssize_t close_at = PyUnicode_FindChar(text, ']', 0, len, 1);
    if (close_at < 0) return false;
    py::object head = steal(PyUnicode_Substring(text, 0, close_at));
    PyObject* look = PyDict_GetItemWithError(looks, head.ptr());
    if (!look) {
        PyErr_Clear();
        return false;
    }
    if (!PyTuple_CheckExact(look) || PyTuple_GET_SIZE(look) != 3) return false;
    PyObject* closing = PyTuple_GET_ITEM(look, 0);
    if (!PyUnicode_CheckExact(closing)) return false;
    const Py_ssize_t from = close_at + 1, to = len - PyUnicode_GET_LENGTH(closing);
    if (to < from || PyUnicode_Tailmatch(text, closing, from, len, 1) != 1) return false;
    if (!plain_body(text, from, to)) return false;
    // Owned from here: the calls below may run Python code.
    py::object hold_sink = py::reinterpret_borrow<py::object>(sink);
    py::object body = steal(PyUnicode_Substring(text, from, to));
    if (PyTuple_GET_ITEM(sink, Plain) == Py_True) {
        if (PyList_Append(pending, body.ptr()) < 0) throw_py();
    } else {
        py::object hold_look = py::reinterpret_borrow<py::object>(look);
        if (PyList_Append(pending, PyTuple_GET_ITEM(look, 1)) < 0 || PyList_Append(pending, body.ptr()) < 0 ||
            PyList_Append(pending, PyTuple_GET_ITEM(look, 2)) < 0)
            throw_py();
    }
    const Py_ssize_t n = PyList_GET_SIZE(pending);
    const Py_ssize_t first = PyLong_AsSsize_t(PyTuple_GET_ITEM(sink, First));
    const Py_ssize_t limit = PyLong_AsSsize_t(PyTuple_GET_ITEM(sink, Limit));
    if ((first == -1 || limit == -1) && PyErr_Occurred()) throw_py();
    if (n == first)
        steal(PyObject_CallNoArgs(PyTuple_GET_ITEM(sink, Wake)));
    else if (n >= limit)
        steal(PyObject_CallNoArgs(PyTuple_GET_ITEM(sink, Flush)));
    return true;
}

}  // namespace

void console_print(const py::object& text) {
    py::object console = global(names::console);
    if (PyUnicode_CheckExact(text.ptr()) && queue_line(console.ptr(), text.ptr())) return;
    PyObject* args[2] = {console.ptr(), text.ptr()};
    steal(PyObject_VectorcallMethod(names::print.ptr(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

}  // namespace zk
