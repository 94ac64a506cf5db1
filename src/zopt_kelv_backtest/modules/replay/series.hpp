// Closed K-bars as columns that grow without copying the history per bar,
// and the read-only view a strategy receives (`Bars`).
#pragma once

#include "object.hpp"

#include <array>
#include <cstdint>

namespace zkr {

using zki::Ref;

enum Column { Open, High, Low, Close, Volume, Time, kColumns };

// One K-bar key's bars of one code, oldest first; the newest is forming.
// Columns live in a fixed-size block; a full block is copied once into one
// twice as large, so views handed out earlier keep the block they read.
class Series {
 public:
  Py_ssize_t count() const { return count_; }
  // A tick of label `label` in time order; false on a volume overflow.
  bool add(std::int64_t label, double px, std::int64_t qty);
  // Every bar anew from columns (a rebuild from the query's frame).
  bool assign(Py_ssize_t n, const std::int64_t* time, const double* open, const double* high, const double* low,
              const double* close, const std::int64_t* volume);
  // The numpy arrays over the whole block, made once per block; null with the error set.
  bool bases(std::array<Ref, kColumns>& out);

 private:
  bool reserve(Py_ssize_t n);
  void write_forming();

  Ref block_;  // a BarBlock
  Py_ssize_t capacity_ = 0;
  Py_ssize_t count_ = 0;
  std::int64_t last_label_ = 0;
  struct Forming {
    double open = 0, high = 0, low = 0, close = 0;
    std::int64_t volume = 0;  // exact; the block holds it as float64
  } forming_;
  std::array<Ref, kColumns> bases_;
};

// Module set-up: the BarBlock and Bars types.
bool add_series_types(PyObject* module);

// A new Bars view of the first `n` bars of `series`, for `key` of `code`.
PyObject* new_bars(Series& series, Py_ssize_t n, PyObject* key, PyObject* code);

}  // namespace zkr
