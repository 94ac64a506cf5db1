#include "convert.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <new>

namespace zki {

bool to_double(PyObject* obj, double& out, const char* cls, const char* method) {
  if (PyFloat_Check(obj)) {
    out = PyFloat_AS_DOUBLE(obj);
    return true;
  }
  if (!PyLong_Check(obj) && !PyType_GetSlot(Py_TYPE(obj), Py_nb_float) &&
      !PyType_GetSlot(Py_TYPE(obj), Py_nb_index)) {
    PyErr_Format(PyExc_TypeError, "%s.%s() expects real numbers, got %.200s", cls, method,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  out = PyLong_Check(obj) ? PyLong_AsDouble(obj) : PyFloat_AsDouble(obj);
  return !(out == -1.0 && PyErr_Occurred());
}

namespace {

enum class Kind { Float, Signed, Unsigned, Other };

// The element kind of a one-letter struct format in this machine's byte order.
Kind format_kind(const char* format) {
  const char* f = format ? format : "B";
  if (*f == '@' || *f == '=' || (*f == '<' && std::endian::native == std::endian::little)) ++f;
  if (f[0] == '\0' || f[1] != '\0') return Kind::Other;
  switch (f[0]) {
    case 'f':
    case 'd':
      return Kind::Float;
    case 'b': case 'h': case 'i': case 'l': case 'q': case 'n':
      return Kind::Signed;
    case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N':
      return Kind::Unsigned;
    default:
      return Kind::Other;
  }
}

template <class T>
double read_as(const char* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return static_cast<double>(v);
}

// One element of a numeric buffer; the size decides the width (standard and
// native sizes differ for 'l').
double read_element(const char* p, Kind kind, Py_ssize_t size) {
  if (kind == Kind::Float) return size == 4 ? read_as<float>(p) : read_as<double>(p);
  if (kind == Kind::Signed) {
    switch (size) {
      case 1: return read_as<std::int8_t>(p);
      case 2: return read_as<std::int16_t>(p);
      case 4: return read_as<std::int32_t>(p);
      default: return read_as<std::int64_t>(p);
    }
  }
  switch (size) {
    case 1: return read_as<std::uint8_t>(p);
    case 2: return read_as<std::uint16_t>(p);
    case 4: return read_as<std::uint32_t>(p);
    default: return read_as<std::uint64_t>(p);
  }
}

bool width_ok(Kind kind, Py_ssize_t size) {
  if (kind == Kind::Float) return size == 4 || size == 8;
  return size == 1 || size == 2 || size == 4 || size == 8;
}

bool reserve(std::vector<double>& v, Py_ssize_t n) {
  try {
    v.resize(static_cast<std::size_t>(n));
    return true;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
}

}  // namespace

bool Column::load(PyObject* obj, const char* cls, const char* arg) {
  if (PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "%s.compute(): %s must be an array or a sequence of numbers, not %.200s", cls, arg,
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  PyObject* source = obj;
  if (!PyObject_CheckBuffer(obj)) {
    const int has_array = PyObject_HasAttrString(obj, "__array__");
    if (has_array) {  // a pandas or polars series: let numpy hand us its buffer
      Ref numpy(PyImport_ImportModule("numpy"));
      if (!numpy) return false;
      array_ = Ref(PyObject_CallMethod(numpy.get(), "asarray", "O", obj));
      if (!array_) return false;
      source = array_.get();
    }
  }
  if (PyObject_CheckBuffer(source)) {
    if (!buffer_.acquire(source, PyBUF_RECORDS_RO)) return false;
    bool done = false;
    if (!load_buffer(cls, arg, done)) return false;
    if (done) return true;
    buffer_.release();  // not a plain numeric buffer: read its items one by one
  }
  return load_items(source, cls, arg);
}

bool Column::load_buffer(const char* cls, const char* arg, bool& done) {
  const Py_buffer& v = buffer_.view();
  if (v.ndim != 1) {
    PyErr_Format(PyExc_ValueError, "%s.compute(): %s must be one-dimensional, got %d dimensions", cls, arg, v.ndim);
    return false;
  }
  const Kind kind = format_kind(v.format);
  if (kind == Kind::Other || !width_ok(kind, v.itemsize)) return true;  // not done: the caller falls back
  const Py_ssize_t n = v.shape[0];
  const Py_ssize_t stride = v.strides ? v.strides[0] : v.itemsize;
  const char* base = static_cast<const char*>(v.buf);
  done = true;
  if (kind == Kind::Float && v.itemsize == 8 && stride == 8) {
    data_ = reinterpret_cast<const double*>(base);
    size_ = n;
    return true;
  }
  if (!reserve(owned_, n)) return false;
  for (Py_ssize_t i = 0; i < n; ++i) owned_[i] = read_element(base + i * stride, kind, v.itemsize);
  data_ = owned_.data();
  size_ = n;
  return true;
}

bool Column::load_items(PyObject* obj, const char* cls, const char* arg) {
  // A tuple of our own: a __float__ that mutates the caller's list cannot pull
  // an item from under us.
  Ref items(PySequence_Tuple(obj));
  if (!items) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "%s.compute(): %s must be an array or a sequence of numbers, not %.200s", cls, arg,
                   Py_TYPE(obj)->tp_name);
    }
    return false;
  }
  const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  if (!reserve(owned_, n)) return false;
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!to_double(PyTuple_GET_ITEM(items.get(), i), owned_[i], cls, "compute")) return false;
  }
  data_ = owned_.data();
  size_ = n;
  return true;
}

}  // namespace zki
