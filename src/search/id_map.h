// A value for each of a set of record numbers: a vector over the range of
// the numbers when they lie close together (a look-up is one index), sorted
// pairs otherwise (a few scattered large numbers would make the vector
// huge).  Used for a record's rank in the sort order and for its position
// in the stored index.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "platform/kept_memory.h"

namespace kvistur {

// The vector is used while its length is at most this many times the
// count of numbers, plus kDenseSlack.
inline constexpr int64_t kDenseSpread = 2;
inline constexpr int64_t kDenseSlack = 1024;

template <typename V>
class IdMap {
 public:
  IdMap() = default;
  // VALUES[i] is that of IDS[i]; a number not in IDS has MISSING.
  IdMap(const std::vector<int32_t>& ids, const std::vector<V>& values, V missing) : missing_(missing) {
    if (ids.empty()) return;
    auto [lo, hi] = std::minmax_element(ids.begin(), ids.end());
    int64_t span = int64_t(*hi) - *lo + 1;
    if (span <= int64_t(ids.size()) * kDenseSpread + kDenseSlack) {
      first_ = *lo;
      dense_.assign(std::size_t(span), missing_);
      for (std::size_t i = 0; i < ids.size(); ++i) dense_[std::size_t(int64_t(ids[i]) - first_)] = values[i];
    } else {
      sparse_.reserve(ids.size());
      for (std::size_t i = 0; i < ids.size(); ++i) sparse_.push_back({ids[i], values[i]});
      std::sort(sparse_.begin(), sparse_.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    }
  }

  // Small enough to be inlined where it is looked up for every hit.
  V find(int32_t id) const {
    if (!dense_.empty()) {
      int64_t at = int64_t(id) - first_;
      return at >= 0 && at < int64_t(dense_.size()) ? dense_[std::size_t(at)] : missing_;
    }
    return find_sparse(id);
  }

  // The bytes it holds beyond itself.
  std::size_t heap_bytes() const { return HeapBytes(dense_) + HeapBytes(sparse_); }

 private:
  V find_sparse(int32_t id) const {
    auto it = std::lower_bound(sparse_.begin(), sparse_.end(), id,
                               [](const std::pair<int32_t, V>& a, int32_t b) { return a.first < b; });
    return it != sparse_.end() && it->first == id ? it->second : missing_;
  }

  int32_t first_ = 0;
  V missing_{};
  std::vector<V> dense_;                       // by id - first_
  std::vector<std::pair<int32_t, V>> sparse_;  // by id
};

}  // namespace kvistur
