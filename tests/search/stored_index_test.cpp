// The packed rows of the stored index: written and read back whole, by
// blocks from any position on, and with masks.
#include <gtest/gtest.h>

#include <random>

#include "search/stored_index.h"

using namespace kvistur;

TEST(PackedRow, GivesBackWhatWasPackedFromAnyPosition) {
  std::mt19937 rng(3);
  for (std::size_t n : {std::size_t(1), stored::kBlock, stored::kBlock + 1, std::size_t(300)}) {
    std::vector<stored::Entry> entries;
    uint32_t p = rng() % 5;
    for (std::size_t i = 0; i < n; ++i) {
      entries.push_back({p, uint64_t(1) << (rng() % 3)});
      p += 1 + (i % 7 == 0 ? uint32_t(rng() % 100000) : uint32_t(rng() % 3));
    }
    std::string packed = stored::PackEntries(entries.data(), n);
    for (uint64_t mask : {uint64_t(7), uint64_t(2)}) {
      std::vector<uint32_t> want, got;
      for (auto& e : entries)
        if (e.mask & mask) want.push_back(e.position);
      stored::UnpackPositions(packed, mask, got);
      EXPECT_EQ(got, want) << n;
      // From each position on: the block it names holds the first position at
      // or after it (or it lies beyond this row's last).
      stored::PackedRow row;
      row.open(packed, 7);
      for (std::size_t i = 0; i < n; i += 5) {
        uint32_t at = entries[i].position;
        std::size_t b = row.block_for(at);
        uint32_t block[stored::kBlock];
        std::size_t k = row.decode(b, block);
        EXPECT_EQ(*std::lower_bound(block, block + k, at), at) << n << " " << i;
      }
    }
  }
  std::string bad = "\x05\x01\x01";  // five entries announced, none there
  std::vector<uint32_t> out;
  EXPECT_THROW(stored::UnpackPositions(bad, 1, out), std::runtime_error);
}
