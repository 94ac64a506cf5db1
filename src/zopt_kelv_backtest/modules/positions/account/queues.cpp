// The intraday profit request queues: thin wrappers over the object's two
// queue.Queue attributes. The takes call Queue.get through Python, which
// waits with the GIL released, so the putting thread can run.
#include "account/ledger_util.hpp"

namespace zk {
namespace {

py::object queue_call(py::handle self, py::handle queue_name, py::handle method, py::handle arg = py::handle()) {
    py::object q = get_attr(self, queue_name);
    if (arg) return steal(PyObject_CallMethodOneArg(q.ptr(), method.ptr(), arg.ptr()));
    return steal(PyObject_CallMethodNoArgs(q.ptr(), method.ptr()));
}

}  // namespace

ZK_BODY(pos_add_positions_to_queue, positions) {
    int ok = PyObject_IsInstance(positions.ptr(), reinterpret_cast<PyObject*>(&PyList_Type));
    if (ok == 0) ok = PyObject_IsInstance(positions.ptr(), reinterpret_cast<PyObject*>(&PyDict_Type));
    if (ok < 0) throw_py();
    if (!ok) raise_with_value(PyExc_Exception, "不支援的持有部位格式: ", reinterpret_cast<PyObject*>(Py_TYPE(positions.ptr())));
    queue_call(self, names::fetch_position_queue, names::put, positions);
    return py::none();
}

ZK_BODY(pos_pop_positions) {
    return queue_call(self, names::fetch_position_queue, names::get);
}

ZK_BODY(pos_add_finish_notify_to_queue) {
    queue_call(self, names::finish_fetch_position_queue, names::put, Py_True);
    return py::none();
}

ZK_BODY(pos_pop_finish_notify) {
    py::object notice = queue_call(self, names::finish_fetch_position_queue, names::get);
    set_attr(self, names::wait_fetch_position_response_flag, Py_False);
    return notice;
}

}  // namespace zk
