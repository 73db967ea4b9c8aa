// The hit sort with prepared keys must leave every element where the plain
// steps (PartitionHits with the variant comparison) leave it, equal keys
// included.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <random>
#include <set>

#include "search/hits.h"
#include "search/record_order.h"

using namespace kvistur;

namespace {

// The sort's steps written out plainly over PartitionHits.
void reference_sort(HitArray& h) {
  std::vector<std::pair<int32_t, int32_t>> stack;
  int32_t lo = 1, hi = int32_t(h.size()) - 1;
  while (true) {
    while (lo < hi) {
      int32_t p = PartitionHits(h, lo, hi);
      if (p - lo < hi - p) {
        stack.push_back({p + 1, hi});
        hi = p - 1;
      } else {
        stack.push_back({lo, p - 1});
        lo = p + 1;
      }
    }
    if (stack.empty()) return;
    std::tie(lo, hi) = stack.back();
    stack.pop_back();
  }
}

// Keys from the kinds the engine gives: null, numbers, texts in any case.
HitArray random_hits(std::mt19937& rng, int n) {
  const std::vector<Text> words = {u"saga", u"Saga", u"SAGA", u"", u"Þór", u"þór", u"ár", u"Ár", u"öl", u"z", u"á", u"a"};
  HitArray a(1);
  for (int i = 0; i < n; ++i) {
    Variant key;
    switch (rng() % 6) {
      case 0: key = Variant::null(); break;
      case 1: key = Variant(int32_t(rng() % 5)); break;
      case 2: key = Variant(double(rng() % 5) / 2); break;
      default: key = Variant(words[rng() % words.size()]);
    }
    a.push_back(HitRecord{i + 1, u"", key, 0});
  }
  return a;
}

// The sort with prepared keys, whole or shortened, and the classes of the
// keys sorted by the same steps give every hit the plain steps give.
TEST(HitSort, PreparedKeysClassesAndAShortenedSortGiveThePlainStepsOrder) {
  std::mt19937 rng(11);
  for (int round = 0; round < 300; ++round) {
    HitArray a = random_hits(rng, int(rng() % (round % 2 ? 40 : 300)));
    HitArray full = a, sorted = a;
    reference_sort(full);
    SortHits(sorted);
    for (std::size_t i = 1; i < a.size(); ++i) ASSERT_EQ(sorted[i].ID, full[i].ID) << "round " << round << " position " << i;
    int32_t keep = int32_t(rng() % 60);

    // The classes of the keys, sorted by the same steps.
    KeyClasses classes;
    for (std::size_t i = 1; i < a.size(); ++i) classes.add(a[i].SortKey);
    std::vector<int32_t> c = classes.classes();
    std::vector<RankedHit> ranked(1, RankedHit{0, 0});
    for (std::size_t i = 1; i < a.size(); ++i) ranked.push_back(RankedHit{c[i - 1], a[i].ID});
    PartlySortedHits partly(ranked);
    // The first places asked of hits never moved: found in a pass where
    // the order is plain, else by the steps; the same hits either way.
    for (int32_t last : {1, 10, 40}) {
      PartlySortedHits fresh(ranked);
      std::vector<int32_t> ids = fresh.sorted_ids(2, last);
      for (int32_t p = 2; p <= std::min(last, fresh.size()); ++p)
        ASSERT_EQ(ids[std::size_t(p - 2)], full[std::size_t(p)].ID) << "round " << round << " place " << p << " of " << last;
    }
    SortRankedHits(ranked, keep);

    HitArray shortened = a;
    SortHits(shortened, keep);
    for (std::size_t i = 1; i < a.size() && i <= std::size_t(keep); ++i) {
      ASSERT_EQ(ranked[i].id, full[i].ID) << "round " << round << " position " << i;
      ASSERT_EQ(shortened[i].ID, full[i].ID) << "round " << round << " position " << i;
    }

    // Sorted a few positions at a time, as a client presents them: every
    // position where the whole sort puts it.
    for (int32_t to = 0; to <= partly.size();) {
      to += 1 + int32_t(rng() % 12);
      partly.sort_to(to);
      for (int32_t p = 1; p <= std::min(to, partly.size()); ++p)
        ASSERT_EQ(partly.id(p), full[std::size_t(p)].ID) << "round " << round << " position " << p << " of " << to;
    }
  }
}

// The first places of hits whose classes are all different come from one
// pass; a tie at or above the last place asked, or a hit without a key,
// leaves them to the sort's steps, which give the same hits.
TEST(HitSort, TheFirstPlacesOfPlainHitsAreTheSortsPlaces) {
  std::mt19937 rng(5);
  for (int shape = 0; shape < 4; ++shape) {
    std::vector<RankedHit> hits(1, RankedHit{0, 0});
    for (int32_t i = 0; i < 5000; ++i) hits.push_back(RankedHit{shape == 1 ? i / 3 : i, 100000 + i});
    std::shuffle(hits.begin() + 1, hits.end(), rng);
    if (shape == 2) hits[4000].rank = -1;
    if (shape == 3) hits[4000].rank = 2, hits[17].rank = 2;  // level with the third place
    std::vector<RankedHit> sorted = hits;
    SortRankedHits(sorted);
    for (int32_t last : {1, 3, 10, 999}) {
      PartlySortedHits partly(hits);
      std::vector<int32_t> ids = partly.sorted_ids(1, last);
      std::vector<RankedHit> shortened = hits;  // the same places, every hit still there once
      SortRankedHits(shortened, last);
      ASSERT_EQ(ids.size(), std::size_t(last));
      for (int32_t p = 1; p <= last; ++p) {
        ASSERT_EQ(ids[std::size_t(p - 1)], sorted[std::size_t(p)].id) << shape << " " << p;
        ASSERT_EQ(shortened[std::size_t(p)].id, sorted[std::size_t(p)].id) << shape << " " << p;
      }
      auto by_id = [](const RankedHit& a, const RankedHit& b) { return a.id < b.id; };
      std::sort(shortened.begin(), shortened.end(), by_id);
      std::vector<RankedHit> all = hits;
      std::sort(all.begin(), all.end(), by_id);
      for (std::size_t i = 0; i < all.size(); ++i) ASSERT_EQ(shortened[i].id, all[i].id);
    }
  }
}

// Keys fall into classes in the key order; the bytes a stored index keeps
// for a sort text order and compare equal exactly as the classes do, over
// every pair of the keys the engine gives.
TEST(HitSort, ClassesAndClassKeysFollowTheKeyOrder) {
  KeyClasses few;
  for (const Variant& v : {Variant(u"b"), Variant::null(), Variant(u"B"), Variant(int32_t(3)), Variant(u""), Variant(2.5),
                           Variant(u"á"), Variant(u"a")})
    few.add(v);
  // Numbers, then the empty text, then texts ignoring case with á after a.
  EXPECT_EQ(few.classes(), (std::vector<int32_t>{5, -1, 5, 1, 2, 0, 4, 3}));
  KeyClasses other;
  EXPECT_THROW(other.add(Variant(DateTime{})), std::invalid_argument);

  std::mt19937 rng(9);
  HitArray hits = random_hits(rng, 60);
  for (const Variant& v : {Variant(-0.0), Variant(0.0), Variant(-2.5), Variant(int32_t(-3)), Variant(u"\u00AD")})
    hits.push_back(HitRecord{0, u"", v, 0});
  KeyClasses classes;
  for (std::size_t i = 1; i < hits.size(); ++i) classes.add(hits[i].SortKey);
  std::vector<int32_t> c = classes.classes();
  for (std::size_t i = 1; i < hits.size(); ++i)
    for (std::size_t j = 1; j < hits.size(); ++j) {
      std::string a = ClassKey(hits[i].SortKey), b = ClassKey(hits[j].SortKey);
      if (c[i - 1] < 0 || c[j - 1] < 0) {
        EXPECT_TRUE(c[i - 1] >= 0 || a.empty());
        continue;
      }
      EXPECT_EQ(a < b, c[i - 1] < c[j - 1]) << i << " " << j;
      EXPECT_EQ(a == b, c[i - 1] == c[j - 1]) << i << " " << j;
    }
}

TEST(HitSort, IntersectionByJumpsOrSideBySide) {
  std::mt19937 rng(5);
  for (int round = 0; round < 500; ++round) {
    // Sets of very different sizes (jumps) and of a size (side by side).
    auto make = [&](int n, int range) {
      std::set<int32_t> s;
      while (int(s.size()) < n) s.insert(int32_t(rng() % range));
      std::vector<int32_t> v{0};
      v.insert(v.end(), s.begin(), s.end());
      return v;
    };
    int range = 10 + int(rng() % 5000);
    std::vector<int32_t> a = make(int(rng() % std::min(range, 40)), range);
    std::vector<int32_t> b = make(int(rng() % std::min(range, round % 2 ? 2000 : 60)), range);
    std::vector<int32_t> want{0};
    std::set_intersection(a.begin() + 1, a.end(), b.begin() + 1, b.end(), std::back_inserter(want));
    IntersectRecordNumbers(a, b);
    ASSERT_EQ(a, want) << "round " << round;
  }
}

TEST(HitSort, RecordNumbers) {
  std::vector<int32_t> v = {0, 7, 3, 9, 1, 3};
  SortRecordNumbers(v);
  EXPECT_EQ(v, (std::vector<int32_t>{0, 1, 3, 3, 7, 9}));
  // Móðurtafla's numbers that are not whole 32-bit numbers are no records.
  RecordRows rows;
  for (double d : {1e10, -3e9, 2.5, double(INT32_MIN), std::nan(""), std::numeric_limits<double>::infinity(), 7.0})
    rows.add(Variant(d), Variant(Text(u"a")), false, Variant(int32_t(1)));
  EXPECT_EQ(rows.finish().ids, (std::vector<int32_t>{INT32_MIN, 7}));
}

}  // namespace
