// Hits and their order.
//
// SortHits is a quicksort without recursion that always continues with the
// smaller part, with the middle element as pivot.  It does not keep the
// incoming order of equal keys, and the order it gives them is part of the
// search's results, so the steps are exactly these.
//
// Keys: numbers in numeric order; texts by the Icelandic alphabet ignoring
// case, the empty text first; a null key is never less than another key and
// nothing is less than a null key.
#pragma once

#include <algorithm>
#include <climits>
#include <memory>
#include <utility>
#include <vector>

#include "kvistur/variant.h"

namespace kvistur {

struct HitRecord {
  int32_t ID = 0;
  Text Einkennisstrengur;
  Variant SortKey;
  int16_t Tag = 0;
};

// Hits at positions 1..size()-1; position 0 is never looked at.
using HitArray = std::vector<HitRecord>;

bool key_less(const Variant& a, const Variant& b);
void SwapHits(HitArray& hits, int32_t a, int32_t b);
int32_t PartitionHits(HitArray& hits, int32_t lo, int32_t hi);
// Sorts the hits.  Only positions 1..keep are sure to hold what the whole
// sort puts there: a part of the array that lies wholly after KEEP is not
// sorted further, which changes nothing before it.
void SortHits(HitArray& hits, int32_t keep = INT32_MAX);

// A hit known by the class of its sort key in an ordering of all keys (see
// KeyClasses): the same steps on classes give the same order as on keys.
struct RankedHit {
  int32_t rank;  // -1 for a null key
  int32_t id;
};
// The hits at 1..size()-1, sorted by the same steps as SortHits.
void SortRankedHits(std::vector<RankedHit>& hits, int32_t keep = INT32_MAX);

// Ranked hits sorted by SortRankedHits's steps as far as they are asked
// for: a client that looks at the first ten of many hits pays for putting
// those in their places, not for sorting them all.  Each sort_to puts
// positions 1..keep where the whole sort puts them and leaves the parts
// wholly after them for a later call.
class PartlySortedHits {
 public:
  PartlySortedHits() : hits_(1, RankedHit{0, 0}) {}
  // HITS at 1..size()-1; IN_ORDER when they are in their places already.
  explicit PartlySortedHits(std::vector<RankedHit> hits, bool in_order = false);
  void sort_to(int32_t keep);
  int32_t size() const { return int32_t(hits_.size()) - 1; }
  // The record at position P (1..size()), in its place once sort_to(P) ran.
  int32_t id(int32_t p) const { return hits_[std::size_t(p)].id; }
  // The records at positions FIRST..LAST as they stand (in their places as
  // far as sort_to has put them).
  std::vector<int32_t> ids(int32_t first, int32_t last) const {
    std::vector<int32_t> out;
    out.reserve(std::size_t(std::max(0, last - first + 1)));
    for (int32_t p = first; p <= last; ++p) out.push_back(id(p));
    return out;
  }
  // The records at positions FIRST..LAST (at most size()) in their places: where no hit
  // has been moved yet, every hit has a key and the first LAST classes are
  // each one hit's and below all the others', those are the places any
  // sort gives, and they are found in a pass without moving a hit (the
  // first ten of 200 000 hits); otherwise by sort_to(LAST).
  std::vector<int32_t> sorted_ids(int32_t first, int32_t last);
  // The bytes held.
  std::size_t bytes() const {
    return hits_.capacity() * sizeof(RankedHit) + parts_.capacity() * sizeof(parts_[0]);
  }

 private:
  std::vector<RankedHit> hits_;
  std::vector<std::pair<int32_t, int32_t>> parts_;  // ranges still to sort, disjoint
};

// The class of each key among all of them: keys that compare equal share a
// class, a lower class sorts first, and a null key is -1.  Keys are added
// one by one (the i-th added is key i); a key that is neither a number nor
// a text (which the engine never gives) cannot be classed with the others
// and fails the add with std::invalid_argument.
class KeyClasses {
 public:
  KeyClasses();
  ~KeyClasses();
  void add(const Variant& key);
  // The classes of keys 0..size()-1; the keys are let go.
  std::vector<int32_t> classes();

 private:
  struct Keys;
  std::unique_ptr<Keys> keys_;
};
// Bytes that order and compare equal exactly as KeyClasses classes KEY:
// numbers first (by value), then the empty text, then texts by their
// collation keys.  "" for a null key, which has no class; throws
// std::invalid_argument as KeyClasses::add does.
std::string ClassKey(const Variant& key);

// A term's record numbers at 1..size()-1, ascending.
void SortRecordNumbers(std::vector<int32_t>& numbers);

// Keeps the numbers of RESULT (at 1.., ascending, each once) that are also
// in HITS (the same form), in place.  Against a much longer list each is
// looked for from where the last was found, in steps that double, so a
// short result costs little; lists of a size are walked side by side.
void IntersectRecordNumbers(std::vector<int32_t>& result, const std::vector<int32_t>& hits);

}  // namespace kvistur
