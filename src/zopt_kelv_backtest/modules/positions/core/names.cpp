#include "core/object.hpp"

namespace zk::names {

namespace {

void make(py::handle& slot, PyObject* made, const char* what) {
    if (!made) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot make the interned name %s", what);
        throw_py();
    }
    slot = made;  // one reference for the process
}

}  // namespace

void init() {
    if (int_0) return;
#define ZK_MAKE_NAME(id) make(id, PyUnicode_InternFromString(#id), #id);
#define ZK_MAKE_TEXT(id, text) make(id, PyUnicode_InternFromString(text), #id);
#define ZK_MAKE_INT(n) make(int_##n, PyLong_FromLong(n), #n);
    ZK_NAMES(ZK_MAKE_NAME)
    ZK_TEXTS(ZK_MAKE_TEXT)
    ZK_NAMES_CORE(ZK_MAKE_NAME)
    ZK_TEXTS_CORE(ZK_MAKE_TEXT)
    ZK_NAMES_QUOTES(ZK_MAKE_NAME)
    ZK_TEXTS_QUOTES(ZK_MAKE_TEXT)
    ZK_NAMES_ACCOUNT(ZK_MAKE_NAME)
    ZK_TEXTS_ACCOUNT(ZK_MAKE_TEXT)
    ZK_INTS(ZK_MAKE_INT)
#undef ZK_MAKE_NAME
#undef ZK_MAKE_TEXT
#undef ZK_MAKE_INT
}

}  // namespace zk::names
