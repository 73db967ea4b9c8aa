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
void SortHits(HitArray& hits);
// A term's record numbers at 1..size()-1, ascending.
void SortRecordNumbers(std::vector<int32_t>& numbers);

}  // namespace kvistur
