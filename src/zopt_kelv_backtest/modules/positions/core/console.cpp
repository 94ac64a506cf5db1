// console.print(text) for the module's lines. When `console` is the package
// console with its own line printer, and the line is one that printer would
// queue as it stands, the line is queued here the same way: no Python call
// per line, the same bytes written. "The same way" is read from
// zopt_kelv_backtest.console at module exec, so it is written there only: the
// fields of the state the console publishes (CoreLines, each found by its
// name) and the characters that make a "[" the start of a tag (TAG_STARTS).
#include "core/dispatch.hpp"

#include "core/compat.hpp"

namespace zk {
namespace {

// The fields of console.CoreLines the core reads.
enum Field { Printer, Pending, Looks, Plain, Fixed, Stream, Raw, First, Limit, Wake, Flush, FieldCount };
const py::handle* const kFieldNames[FieldCount] = {
    &names::printer, &names::pending, &names::looks, &names::plain, &names::fixed, &names::stream,
    &names::raw,     &names::first,   &names::limit, &names::wake,  &names::flush,
};

// Read at module exec; until then nothing is queued here (no tuple has size -1).
Py_ssize_t g_at[FieldCount];  // where each field stands in the published tuple
Py_ssize_t g_size = -1;       // the tuple's length
bool g_tag_start[128];        // after "[", these let rich read a tag there
bool g_printable[0x10000];    // str.isprintable of the Basic Multilingual Plane

PyObject* field(PyObject* sink, Field f) { return PyTuple_GET_ITEM(sink, g_at[f]); }

bool printable(Py_UCS4 c) { return c < 0x10000 ? g_printable[c] : Py_UNICODE_ISPRINTABLE(c); }

// The printer's tests of a body s[from:to]: not empty, printable, no backslash,
// and no "[" that rich could read as the start of a tag.
bool plain_body(PyObject* s, Py_ssize_t from, Py_ssize_t to) {
    if (from >= to) return false;
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    for (Py_ssize_t i = from; i < to; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == '\\') return false;
        if (c == '[' && i + 1 < to) {
            const Py_UCS4 n = PyUnicode_READ(kind, data, i + 1);
            if (n < 128 && g_tag_start[n]) return false;
        }
        if (c >= 0x20 && c < 0x7f) continue;
        if (!printable(c)) return false;
    }
    return true;
}

// Is the console's state still for the print it holds and the stream it was made for?
bool sink_is_current(PyObject* console, PyObject* sink) {
    PyObject** dictptr = compat::instance_dict(console);
    if (!dictptr || !*dictptr || !PyDict_CheckExact(*dictptr)) return false;
    PyObject* print = PyDict_GetItemWithError(*dictptr, names::print.ptr());
    if (!print) {
        PyErr_Clear();
        return false;
    }
    if (print != field(sink, Printer)) return false;  // print was replaced
    if (!PyList_CheckExact(field(sink, Pending)) || !PyDict_CheckExact(field(sink, Looks)) ||
        !PyUnicode_CheckExact(field(sink, Stream)))
        return false;
    if (field(sink, Fixed) != Py_None) return true;
    const char* name = PyUnicode_AsUTF8(field(sink, Stream));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    return PySys_GetObject(name) == field(sink, Raw);  // else the stream was replaced
}

// Queues `text` as the console's line printer would; false when the printer must decide.
// Nothing here runs Python code before the line is queued.
bool queue_line(PyObject* console, PyObject* text) {
    PyObject* sink = quiet_attr_borrowed(console, names::_core_lines);
    if (!sink || !PyTuple_Check(sink) || PyTuple_GET_SIZE(sink) != g_size) return false;
    if (!sink_is_current(console, sink)) return false;
    // "[tag]body[/tag]": the tag up to the first "]", its look, its closing tag at the end.
    const Py_ssize_t len = PyUnicode_GET_LENGTH(text);
    const Py_ssize_t close_at = PyUnicode_FindChar(text, ']', 0, len, 1);
    if (close_at < 0) return false;
    py::object head = steal(PyUnicode_Substring(text, 0, close_at));
    PyObject* look = PyDict_GetItemWithError(field(sink, Looks), head.ptr());
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
    py::object hold_sink = borrow(sink);
    PyObject* pending = field(sink, Pending);
    py::object body = steal(PyUnicode_Substring(text, from, to));
    if (field(sink, Plain) == Py_True) {
        if (PyList_Append(pending, body.ptr()) < 0) throw_py();
    } else {
        py::object hold_look = borrow(look);
        if (PyList_Append(pending, PyTuple_GET_ITEM(look, 1)) < 0 || PyList_Append(pending, body.ptr()) < 0 ||
            PyList_Append(pending, PyTuple_GET_ITEM(look, 2)) < 0)
            throw_py();
    }
    const Py_ssize_t n = PyList_GET_SIZE(pending);
    const Py_ssize_t first = PyLong_AsSsize_t(field(sink, First));
    const Py_ssize_t limit = PyLong_AsSsize_t(field(sink, Limit));
    if ((first == -1 || limit == -1) && PyErr_Occurred()) throw_py();
    if (n == first)
        steal(PyObject_CallNoArgs(field(sink, Wake)));
    else if (n >= limit)
        steal(PyObject_CallNoArgs(field(sink, Flush)));
    return true;
}

// console.<name> of the console's module; ImportError naming it when missing.
py::object console_attr(py::handle module, py::handle name, const char* what) {
    if (PyObject* v = PyObject_GetAttr(module.ptr(), name.ptr())) return steal(v);
    raise_import_failure(what);
}

void read_fields(py::handle module) {
    py::object fields = get_attr(console_attr(module, names::CoreLines, "console.CoreLines"), names::_fields);
    if (!PyTuple_CheckExact(fields.ptr())) raise(PyExc_ImportError, "console.CoreLines._fields is not a tuple");
    for (int f = 0; f < FieldCount; ++f) {
        g_at[f] = -1;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fields.ptr()); ++i)
            if (eq(PyTuple_GET_ITEM(fields.ptr(), i), *kFieldNames[f])) g_at[f] = i;
        if (g_at[f] < 0) {
            PyErr_Format(PyExc_ImportError, "console.CoreLines has no field %U", kFieldNames[f]->ptr());
            throw_py();
        }
    }
    g_size = PyTuple_GET_SIZE(fields.ptr());
}

void read_tag_starts(py::handle module) {
    py::object starts = console_attr(module, names::TAG_STARTS, "console.TAG_STARTS");
    if (!PyUnicode_CheckExact(starts.ptr())) raise(PyExc_ImportError, "console.TAG_STARTS is not a str");
    for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(starts.ptr()); ++i) {
        const Py_UCS4 c = PyUnicode_ReadChar(starts.ptr(), i);
        if (c >= 128) raise(PyExc_ImportError, "console.TAG_STARTS holds a character beyond ASCII");
        g_tag_start[c] = true;
    }
}

}  // namespace

void init_console() {
    for (Py_UCS4 c = 0; c < 0x10000; ++c) g_printable[c] = Py_UNICODE_ISPRINTABLE(c);
    py::object module = steal(PyImport_Import(names::console_module.ptr()));
    read_tag_starts(module);
    read_fields(module);
}

void console_print(const py::object& text) {
    py::object console = global(names::console);
    if (PyUnicode_CheckExact(text.ptr()) && queue_line(console.ptr(), text.ptr())) return;
    PyObject* args[2] = {console.ptr(), text.ptr()};
    steal(PyObject_VectorcallMethod(names::print.ptr(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

}  // namespace zk
