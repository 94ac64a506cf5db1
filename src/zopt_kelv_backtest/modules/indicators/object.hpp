#pragma once
// Owned references and buffer views that release themselves: every Python
// reference the module holds lives in one of these.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace zki {

// An owned (strong) reference; null after a failed call, with the error set.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) : p_(owned) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    Py_XDECREF(std::exchange(p_, std::exchange(other.p_, nullptr)));
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// A buffer view, released when it goes out of scope.
class BufferView {
 public:
  BufferView() = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() { release(); }

  // False with the error set when the object does not give such a view.
  bool acquire(PyObject* obj, int flags) {
    release();
    if (PyObject_GetBuffer(obj, &view_, flags) < 0) return false;
    held_ = true;
    return true;
  }
  void release() {
    if (held_) PyBuffer_Release(&view_);
    held_ = false;
  }
  const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace zki
