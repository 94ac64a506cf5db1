#pragma once
// Python numbers and series to doubles. Both may run Python code (`__float__`,
// `__index__`, `__array__`, iteration), so callers convert every argument
// before they change any state.
#include <vector>

#include "object.hpp"

namespace zki {

// `cls` and `method` name the call in error messages: "SMA.update()".
bool to_double(PyObject* obj, double& out, const char* cls, const char* method);

// One input series of `compute`: read in place from a 1-D float64 buffer,
// otherwise converted into an owned copy (other numeric buffers, objects with
// `__array__`, any iterable of real numbers).
class Column {
 public:
  bool load(PyObject* obj, const char* cls, const char* arg);
  const double* data() const { return data_; }
  Py_ssize_t size() const { return size_; }

 private:
  bool load_buffer(const char* cls, const char* arg, bool& done);
  bool load_items(PyObject* obj, const char* cls, const char* arg);

  Ref array_;  // numpy's view of an `__array__` object, kept while data_ points into it
  BufferView buffer_;
  std::vector<double> owned_;
  const double* data_ = nullptr;
  Py_ssize_t size_ = 0;
};

}  // namespace zki
