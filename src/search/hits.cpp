#include "search/hits.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
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

namespace {

// A key prepared once for many comparisons: a number, a collation key that
// orders exactly as the case-insensitive comparison does, or null.
struct Key {
  enum Kind { kNull, kNumber, kText, kOther } kind = kNull;
  double number = 0;
  std::string text;  // sort_key_ci; the empty text keeps an empty key
  bool empty_text = false;
  Text other;
};

Key prepare(const Variant& v) {
  Key k;
  if (v.is_null()) return k;
  k.other = v.to_text();
  if (v.is_numeric() || v.is_empty()) {
    k.kind = Key::kNumber;
    k.number = v.to_double();
  } else if (v.type() == VarType::String) {
    k.kind = Key::kText;
    k.empty_text = v.as_string().empty();
    if (!k.empty_text) k.text = sort_key_ci(v.as_string());
  } else {
    k.kind = Key::kOther;
  }
  return k;
}

// The same order as key_less on the variants the keys were made from.
bool less(const Key& a, const Key& b) {
  if (a.kind == Key::kNull || b.kind == Key::kNull) return false;
  if (a.kind == Key::kNumber && b.kind == Key::kNumber) return a.number < b.number;
  if (a.kind == Key::kText && b.kind == Key::kText) {
    if (a.empty_text || b.empty_text) return a.empty_text && !b.empty_text;
    return a.text < b.text;
  }
  if (a.kind == Key::kNumber && b.kind == Key::kText) return true;
  if (a.kind == Key::kText && b.kind == Key::kNumber) return false;
  return a.other < b.other;
}

// The sort's steps over any array of elements with a comparison.
template <typename T, typename Less>
int32_t partition(std::vector<T>& v, int32_t lo, int32_t hi, Less lt) {
  int32_t mid = int32_t((int64_t(lo) + hi) / 2);
  std::swap(v[std::size_t(lo)], v[std::size_t(mid)]);
  const std::size_t pivot = std::size_t(lo);
  int32_t last = lo;
  for (int32_t k = lo + 1; k <= hi; ++k)
    if (lt(v[std::size_t(k)], v[pivot])) std::swap(v[std::size_t(++last)], v[std::size_t(k)]);
  std::swap(v[std::size_t(lo)], v[std::size_t(last)]);
  return last;
}

template <typename T, typename Less>
void quicksort(std::vector<T>& v, Less lt, int32_t keep) {
  std::vector<int32_t> lower(21), upper(21);
  int32_t count = 0;
  int32_t lo = 1, hi = int32_t(v.size()) - 1;
  while (true) {
    // A part wholly after KEEP is never looked at again.
    while (lo < hi && lo <= keep) {
      int32_t p = partition(v, lo, hi, lt);
      std::pair<int32_t, int32_t> push;
      if (p - lo < hi - p) {
        push = {p + 1, hi};
        hi = p - 1;
      } else {
        push = {lo, p - 1};
        lo = p + 1;
      }
      if (std::size_t(count) >= lower.size()) {
        lower.resize(std::size_t(count) + 1);
        upper.resize(std::size_t(count) + 1);
      }
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

}  // namespace

int32_t PartitionHits(HitArray& hits, int32_t lo, int32_t hi) {
  return partition(hits, lo, hi, [](const HitRecord& a, const HitRecord& b) { return key_less(a.SortKey, b.SortKey); });
}

void SortHits(HitArray& hits, int32_t keep) {
  if (hits.size() <= 2) return;
  // The keys are prepared once (collation keys order exactly as the
  // comparison does), the steps run on them, and the elements follow.
  std::vector<std::pair<Key, std::size_t>> keyed(hits.size());
  for (std::size_t i = 1; i < hits.size(); ++i) keyed[i] = {prepare(hits[i].SortKey), i};
  quicksort(keyed, [](const auto& a, const auto& b) { return less(a.first, b.first); }, keep);
  HitArray sorted(hits.size());
  sorted[0] = std::move(hits[0]);
  for (std::size_t i = 1; i < hits.size(); ++i) sorted[i] = std::move(hits[keyed[i].second]);
  hits.swap(sorted);
}

void SortRankedHits(std::vector<RankedHit>& hits, int32_t keep) {
  if (hits.size() <= 2) return;
  quicksort(hits, [](const RankedHit& a, const RankedHit& b) { return a.rank >= 0 && b.rank >= 0 && a.rank < b.rank; },
            keep);
}

struct KeyClasses::Keys {
  std::vector<Key> keys;
};

KeyClasses::KeyClasses() : keys_(std::make_unique<Keys>()) {}
KeyClasses::~KeyClasses() = default;
std::size_t KeyClasses::size() const { return keys_->keys.size(); }

void KeyClasses::add(const Variant& v) {
  // Only the kinds that order together are taken, so the text form that
  // other kinds compare by is not kept.
  Key k;
  if (v.is_null()) {
  } else if (v.is_numeric() || v.is_empty()) {
    k.kind = Key::kNumber;
    k.number = v.to_double();
  } else if (v.type() == VarType::String) {
    k.kind = Key::kText;
    k.empty_text = v.as_string().empty();
    if (!k.empty_text) k.text = sort_key_ci(v.as_string());
  } else {
    throw std::invalid_argument("a sort key that is neither a number nor a text");
  }
  keys_->keys.push_back(std::move(k));
}

std::vector<int32_t> KeyClasses::classes() {
  std::vector<Key>& keys = keys_->keys;
  std::vector<uint32_t> order;
  order.reserve(keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i)
    if (keys[i].kind != Key::kNull) order.push_back(uint32_t(i));
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return less(keys[a], keys[b]); });
  std::vector<int32_t> classes(keys.size(), -1);
  int32_t c = -1;
  for (std::size_t k = 0; k < order.size(); ++k) {
    if (k == 0 || less(keys[order[k - 1]], keys[order[k]])) ++c;
    classes[order[k]] = c;
  }
  std::vector<Key>().swap(keys);
  return classes;
}

void SortRecordNumbers(std::vector<int32_t>& numbers) {
  // Equal record numbers cannot be told apart, so any correct sort gives
  // the order the hit-list sort gives.
  if (numbers.size() > 2) std::sort(numbers.begin() + 1, numbers.end());
}

}  // namespace kvistur
