// SafeArray: a one-dimensional array with explicit lower and upper bounds,
// as hosts pass string, integer and variant arrays by reference.
//
// An array starts unallocated (no bounds at all: reading its bounds or an
// element is "Subscript out of range", 9).  `redim` gives it bounds and fresh
// default elements; `redim_preserve` keeps the elements whose index survives.
// The component's output convention is redim(0, n) and indexes 1..n.
#pragma once

#include <cstdint>
#include <vector>

#include "kvistur/error.h"

namespace kvistur {

template <typename T>
class SafeArray {
 public:
  SafeArray() = default;
  SafeArray(int32_t lbound, std::vector<T> items) : allocated_(true), lbound_(lbound), items_(std::move(items)) {}

  bool allocated() const { return allocated_; }
  int32_t lbound() const { check_allocated(); return lbound_; }
  int32_t ubound() const { check_allocated(); return lbound_ + static_cast<int32_t>(items_.size()) - 1; }
  // Number of elements; 0 when unallocated.
  std::size_t size() const { return allocated_ ? items_.size() : 0; }

  // New bounds and default elements.  An upper bound below the lower bound - 1
  // is subscript out of range (9); lower - 1 makes an allocated empty array.
  void redim(int32_t lbound, int32_t ubound) {
    check_bounds(lbound, ubound);
    allocated_ = true;
    lbound_ = lbound;
    items_.assign(static_cast<std::size_t>(int64_t(ubound) - lbound + 1), T{});
  }
  // New upper bound keeping the contents; the lower bound cannot change (9).
  void redim_preserve(int32_t lbound, int32_t ubound) {
    if (!allocated_) { redim(lbound, ubound); return; }
    if (lbound != lbound_) throw Error(err::kSubscript);
    check_bounds(lbound, ubound);
    items_.resize(static_cast<std::size_t>(int64_t(ubound) - lbound + 1));
  }
  void erase() { allocated_ = false; lbound_ = 0; items_.clear(); }

  T& operator()(int64_t i) { return items_[index(i)]; }
  const T& operator()(int64_t i) const { return items_[index(i)]; }
  T& at(int64_t i) { return (*this)(i); }
  const T& at(int64_t i) const { return (*this)(i); }

  const std::vector<T>& items() const { return items_; }
  std::vector<T>& items() { return items_; }

  friend bool operator==(const SafeArray& a, const SafeArray& b) {
    return a.allocated_ == b.allocated_ && a.lbound_ == b.lbound_ && a.items_ == b.items_;
  }

 private:
  void check_allocated() const {
    if (!allocated_) throw Error(err::kSubscript);
  }
  static void check_bounds(int32_t lb, int32_t ub) {
    if (int64_t(ub) < int64_t(lb) - 1) throw Error(err::kSubscript);
    if (int64_t(ub) - lb + 1 > (int64_t(1) << 28)) throw Error(7);  // out of memory
  }
  std::size_t index(int64_t i) const {
    if (!allocated_ || i < lbound_ || i > int64_t(lbound_) + int64_t(items_.size()) - 1) throw Error(err::kSubscript);
    return static_cast<std::size_t>(i - lbound_);
  }

  bool allocated_ = false;
  int32_t lbound_ = 0;
  std::vector<T> items_;
};

}  // namespace kvistur
