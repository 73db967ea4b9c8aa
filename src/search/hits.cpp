#include "search/hits.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
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

// WITH_TEXT_FORM keeps the text form that keys of other kinds compare by;
// keys that are only ever numbers, texts or null do without it.
Key prepare(const Variant& v, bool with_text_form = true) {
  Key k;
  if (v.is_null()) return k;
  if (with_text_form) k.other = v.to_text();
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

// Ranked hits by class, a null key (-1) never less than another: a type of
// its own, so that the comparison is inlined into the steps.
struct RankLess {
  bool operator()(const RankedHit& a, const RankedHit& b) const { return a.rank >= 0 && a.rank < b.rank; }
};

// The same steps for ranked hits, without a branch on the comparison
// (which goes either way at random, and mispredicted costs more than the
// rest of the step): every step writes both places, each with what the
// swap would leave there, or with what it holds when there is no swap.
// The pivot's class is held aside, since the writes cannot move it.
int32_t partition(std::vector<RankedHit>& v, int32_t lo, int32_t hi, RankLess) {
  static_assert(sizeof(RankedHit) == sizeof(uint64_t));
  int32_t mid = int32_t((int64_t(lo) + hi) / 2);
  std::swap(v[std::size_t(lo)], v[std::size_t(mid)]);
  const int32_t pivot = v[std::size_t(lo)].rank;
  int32_t last = lo;
  if (pivot > 0) {
    RankedHit* h = v.data();
    for (int32_t k = lo + 1; k <= hi; ++k) {
      const int32_t r = h[k].rank;
      const uint64_t swap = -uint64_t(r >= 0 && r < pivot);
      uint64_t a, b;
      std::memcpy(&a, &h[last + 1], sizeof a);
      std::memcpy(&b, &h[k], sizeof b);
      const uint64_t diff = (a ^ b) & swap;
      a ^= diff;
      b ^= diff;
      std::memcpy(&h[last + 1], &a, sizeof a);
      std::memcpy(&h[k], &b, sizeof b);
      last += int32_t(swap & 1);
    }
  }
  std::swap(v[std::size_t(lo)], v[std::size_t(last)]);
  return last;
}

// The parts of an array still to be sorted: disjoint ranges [lo, hi].
using Parts = std::vector<std::pair<int32_t, int32_t>>;

// Sorts the PARTS of V by the sort's steps, each part split at its pivot
// and the smaller side taken first.  A part wholly after KEEP is not
// sorted: it is left in PARTS for a later call.  Each step touches only
// its own part, so the parts may be taken in any order and at any time:
// sorting a part later gives what sorting it now would.
template <typename T, typename Less>
void quicksort_parts(std::vector<T>& v, Less lt, int32_t keep, Parts& parts) {
  Parts later;
  while (!parts.empty()) {
    auto [lo, hi] = parts.back();
    parts.pop_back();
    while (lo < hi && lo <= keep) {
      int32_t p = partition(v, lo, hi, lt);
      if (p - lo < hi - p) {
        parts.emplace_back(p + 1, hi);
        hi = p - 1;
      } else {
        parts.emplace_back(lo, p - 1);
        lo = p + 1;
      }
    }
    if (lo < hi) later.emplace_back(lo, hi);
  }
  parts.swap(later);
}

template <typename T, typename Less>
void quicksort(std::vector<T>& v, Less lt, int32_t keep) {
  Parts parts{{1, int32_t(v.size()) - 1}};
  quicksort_parts(v, lt, keep, parts);
}

// The hits of HITS (at 1..) in places 1..LAST as the sort's steps put
// them, when those places are plain: every hit has a key, and each class
// there is one hit's and below every other hit's, so that any sort gives
// them.  Found in a pass, without moving a hit; nullopt when they are not
// plain (or are too many to be worth it).
std::optional<std::vector<RankedHit>> plain_first(const std::vector<RankedHit>& hits, int32_t last) {
  // Past this many the sort's steps cost less than keeping the smallest.
  constexpr int32_t kMostFoundInAPass = 1000;
  if (last < 1 || last > kMostFoundInAPass || std::size_t(last) + 1 >= hits.size()) return std::nullopt;
  // The LAST hits of the smallest classes, kept as a heap whose top is the
  // greatest of them.
  auto by_rank = [](const RankedHit& a, const RankedHit& b) { return a.rank < b.rank; };
  std::vector<RankedHit> smallest(hits.begin() + 1, hits.begin() + 1 + last);
  std::make_heap(smallest.begin(), smallest.end(), by_rank);
  // The least class of the hits left out.  The heap's top only falls, so
  // every hit left out is at or above the final greatest kept; the kept
  // classes are the only ones at or below it exactly when this is above it.
  int32_t least_left_out = INT32_MAX;
  for (std::size_t p = std::size_t(last) + 1; p < hits.size(); ++p) {
    const RankedHit h = hits[p];
    if (h.rank < smallest.front().rank) {
      std::pop_heap(smallest.begin(), smallest.end(), by_rank);
      least_left_out = std::min(least_left_out, smallest.back().rank);
      smallest.back() = h;
      std::push_heap(smallest.begin(), smallest.end(), by_rank);
    } else {
      least_left_out = std::min(least_left_out, h.rank);
    }
  }
  std::sort_heap(smallest.begin(), smallest.end(), by_rank);
  // A keyless hit (class -1) is below every class, so it is kept if there
  // is one.
  if (smallest.front().rank < 0) return std::nullopt;
  for (std::size_t i = 1; i < smallest.size(); ++i)
    if (smallest[i - 1].rank == smallest[i].rank) return std::nullopt;
  if (least_left_out <= smallest.back().rank) return std::nullopt;
  return smallest;
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
  if (std::optional<std::vector<RankedHit>> plain = plain_first(hits, keep)) {
    // The hits of those classes are the only ones at or below the
    // greatest: put in front, then in their places.
    const int32_t greatest = plain->back().rank;
    std::partition(hits.begin() + 1, hits.end(), [&](const RankedHit& h) { return h.rank <= greatest; });
    std::copy(plain->begin(), plain->end(), hits.begin() + 1);
    return;
  }
  quicksort(hits, RankLess{}, keep);
}

PartlySortedHits::PartlySortedHits(std::vector<RankedHit> hits, bool in_order) : hits_(std::move(hits)) {
  if (hits_.empty()) hits_.push_back(RankedHit{0, 0});
  if (!in_order && hits_.size() > 2) parts_.emplace_back(1, int32_t(hits_.size()) - 1);
}

void PartlySortedHits::sort_to(int32_t keep) {
  if (!parts_.empty()) quicksort_parts(hits_, RankLess{}, keep, parts_);
}

std::vector<int32_t> PartlySortedHits::sorted_ids(int32_t first, int32_t last) {
  last = std::min(last, size());
  const bool untouched = parts_.size() == 1 && parts_[0] == std::make_pair(1, size());
  if (untouched)
    if (std::optional<std::vector<RankedHit>> plain = plain_first(hits_, last)) {
      std::vector<int32_t> out;
      for (int32_t p = std::max(first, 1); p <= last; ++p) out.push_back((*plain)[std::size_t(p - 1)].id);
      return out;
    }
  sort_to(last);
  return ids(first, last);
}

std::string ClassKey(const Variant& v) {
  Key k = prepare(v, false);
  switch (k.kind) {
    case Key::kNull:
      return {};
    case Key::kNumber: {
      // The bits of the number made to order as unsigned bytes: negative
      // numbers inverted, the others with the sign bit set; -0 is 0.
      uint64_t bits;
      double d = k.number == 0 ? 0.0 : k.number;
      std::memcpy(&bits, &d, 8);
      bits = bits >> 63 ? ~bits : bits | uint64_t(1) << 63;
      std::string out(1, '\x01');
      for (int b = 7; b >= 0; --b) out.push_back(char(bits >> (8 * b)));
      return out;
    }
    case Key::kText:
      return k.empty_text ? std::string(1, '\x02') : '\x03' + k.text;
    default:
      throw std::invalid_argument("a sort key that is neither a number nor a text");
  }
}

struct KeyClasses::Keys {
  std::vector<Key> keys;
};

KeyClasses::KeyClasses() : keys_(std::make_unique<Keys>()) {}
KeyClasses::~KeyClasses() = default;

void KeyClasses::add(const Variant& v) {
  Key k = prepare(v, false);
  if (k.kind == Key::kOther) throw std::invalid_argument("a sort key that is neither a number nor a text");
  keys_->keys.push_back(std::move(k));
}

std::vector<int32_t> KeyClasses::classes() {
  // The order of the kinds: numbers, then the empty text, then texts by
  // their collation keys.  Texts are sorted by the first eight bytes of
  // their keys held as one number (collation keys hold no zero byte, so a
  // key shorter than eight bytes padded with zeros sorts before the keys
  // it begins), the whole keys compared only where those are equal.
  std::vector<Key>& keys = keys_->keys;
  std::vector<uint32_t> numbers, empty;
  struct Text8 {
    uint64_t head;
    uint32_t index;
  };
  std::vector<Text8> texts;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const Key& k = keys[i];
    if (k.kind == Key::kNumber) {
      numbers.push_back(uint32_t(i));
    } else if (k.kind == Key::kText && k.empty_text) {
      empty.push_back(uint32_t(i));
    } else if (k.kind == Key::kText) {
      uint64_t head = 0;
      for (std::size_t b = 0; b < 8; ++b)
        head = (head << 8) | (b < k.text.size() ? uint8_t(k.text[b]) : 0);
      texts.push_back(Text8{head, uint32_t(i)});
    }
  }
  std::sort(numbers.begin(), numbers.end(), [&](uint32_t a, uint32_t b) { return keys[a].number < keys[b].number; });
  std::sort(texts.begin(), texts.end(), [&](const Text8& a, const Text8& b) {
    if (a.head != b.head) return a.head < b.head;
    return keys[a.index].text < keys[b.index].text;
  });
  std::vector<int32_t> classes(keys.size(), -1);
  int32_t c = -1;
  for (std::size_t k = 0; k < numbers.size(); ++k) {
    if (k == 0 || keys[numbers[k - 1]].number < keys[numbers[k]].number) ++c;
    classes[numbers[k]] = c;
  }
  if (!empty.empty()) ++c;
  for (uint32_t i : empty) classes[i] = c;
  for (std::size_t k = 0; k < texts.size(); ++k) {
    if (k == 0 || texts[k - 1].head != texts[k].head || keys[texts[k - 1].index].text != keys[texts[k].index].text) ++c;
    classes[texts[k].index] = c;
  }
  std::vector<Key>().swap(keys);
  return classes;
}

void SortRecordNumbers(std::vector<int32_t>& numbers) {
  // Equal record numbers cannot be told apart, so any correct sort gives
  // the order the hit-list sort gives.
  if (numbers.size() > 2) std::sort(numbers.begin() + 1, numbers.end());
}

void IntersectRecordNumbers(std::vector<int32_t>& result, const std::vector<int32_t>& list) {
  const int32_t* hits = list.data();
  const int32_t end = int32_t(list.size());
  int32_t lo = 1;
  std::size_t c = 0;
  if (result.size() * 8 >= list.size()) {
    for (std::size_t r = 1; r < result.size() && lo < end;) {
      if (hits[lo] < result[r]) {
        ++lo;
      } else if (hits[lo] > result[r]) {
        ++r;
      } else {
        result[++c] = result[r++];
        ++lo;
      }
    }
    result.resize(c + 1);
    return;
  }
  for (std::size_t r = 1; r < result.size() && lo < end; ++r) {
    int32_t want = result[r];
    int32_t step = 1, hi = lo;
    while (hi < end && hits[hi] < want) {
      lo = hi + 1;
      hi += step;
      step *= 2;
    }
    if (hi > end) hi = end;
    lo = int32_t(std::lower_bound(hits + lo, hits + hi, want) - hits);
    if (lo < end && hits[lo] == want) {
      result[++c] = want;
      ++lo;
    }
  }
  result.resize(c + 1);
}

}  // namespace kvistur
