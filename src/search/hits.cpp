#include "search/hits.h"

#include <utility>

namespace kvistur {

bool key_less(const Variant& a, const Variant& b) {
  if (a.is_null() || b.is_null()) return false;
  bool an = a.is_numeric() || a.is_empty(), bn = b.is_numeric() || b.is_empty();
  bool at = a.type() == VarType::String, bt = b.type() == VarType::String;
  if (an && bn) return a.to_double() < b.to_double();
  if (at && bt) {
    const Text &x = a.as_string(), &y = b.as_string();
    if (x.empty() || y.empty()) return x.empty() && !y.empty();
    return compare_ci(x, y) < 0;
  }
  // A number is less than a text.
  if (an && bt) return true;
  if (at && bn) return false;
  return a.to_text() < b.to_text();
}

void SwapHits(HitArray& hits, int32_t a, int32_t b) { std::swap(hits[std::size_t(a)], hits[std::size_t(b)]); }

int32_t PartitionHits(HitArray& hits, int32_t lo, int32_t hi) {
  int32_t mid = int32_t((int64_t(lo) + hi) / 2);
  SwapHits(hits, lo, mid);
  Variant pivot = hits[std::size_t(lo)].SortKey;
  int32_t last = lo;
  for (int32_t k = lo + 1; k <= hi; ++k)
    if (key_less(hits[std::size_t(k)].SortKey, pivot)) SwapHits(hits, ++last, k);
  SwapHits(hits, lo, last);
  return last;
}

void SortHits(HitArray& hits) {
  std::vector<int32_t> lower(21), upper(21);
  int32_t count = 0;
  int32_t lo = 1, hi = int32_t(hits.size()) - 1;
  while (true) {
    while (lo < hi) {
      int32_t p = PartitionHits(hits, lo, hi);
      std::pair<int32_t, int32_t> push;
      if (p - lo < hi - p) {
        push = {p + 1, hi};
        hi = p - 1;
      } else {
        push = {lo, p - 1};
        lo = p + 1;
      }
      if (count > 20) {
        lower.resize(lower.size() + 1);
        upper.resize(lower.size() + 1);
      }
      if (std::size_t(count) >= lower.size()) lower.resize(std::size_t(count) + 1);
      if (std::size_t(count) >= upper.size()) upper.resize(std::size_t(count) + 1);
      lower[std::size_t(count)] = push.first;
      upper[std::size_t(count)] = push.second;
      ++count;
    }
    if (count == 0) return;
    --count;
    lo = lower[std::size_t(count)];
    hi = upper[std::size_t(count)];
  }
}

}  // namespace kvistur
