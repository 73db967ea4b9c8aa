// The stored index's codec: rows written and read back whole, by blocks
// from any position on, and with masks; every byte of every kind of row is
// covered by its checksum; a word's rows must follow one another.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "search/stored_codec.h"

using namespace kvistur;
using namespace kvistur::stored;

namespace {

std::vector<PostingsRow> rows_of(std::size_t n, std::mt19937& rng, std::vector<Entry>& entries) {
  uint32_t p = rng() % 5;
  for (std::size_t i = 0; i < n; ++i) {
    entries.push_back({p, uint64_t(1) << (rng() % 3)});
    p += 1 + (i % 7 == 0 ? uint32_t(rng() % 100000) : uint32_t(rng() % 3));
  }
  return EncodePostings(7, 42, entries);
}

}  // namespace

TEST(StoredCodec, PostingsGiveBackWhatWasPackedFromAnyPosition) {
  std::mt19937 rng(3);
  for (std::size_t n : {std::size_t(0), std::size_t(1), kBlock, kBlock + 1, std::size_t(300), std::size_t(5000)}) {
    std::vector<Entry> entries;
    std::vector<PostingsRow> rows = rows_of(n, rng, entries);
    EXPECT_EQ(rows.back().upto, kLastRow);
    for (uint64_t mask : {uint64_t(7), uint64_t(2)}) {
      std::vector<uint32_t> want, got;
      for (auto& e : entries)
        if (e.mask & mask) want.push_back(e.position);
      RowChain chain;
      for (const PostingsRow& r : rows) {
        PackedRow row;
        row.open(7, 42, r.upto, r.packed, r.checksum, mask);
        EXPECT_LE(r.packed.size(), kPackedBytes);
        chain.next(r.upto, row.before(), row.last());
        AppendPositions(row, got);
      }
      EXPECT_TRUE(chain.end());
      EXPECT_EQ(got, want) << n;
    }
    // From each position on: the block it names holds the first position at
    // or after it.
    std::size_t first = 0;
    for (const PostingsRow& r : rows) {
      PackedRow row;
      row.open(r.packed, 7);
      for (std::size_t i = 0; i < row.entries(); i += 5) {
        uint32_t at = entries[first + i].position, block[kBlock];
        std::size_t k = row.decode(row.block_for(at), block);
        EXPECT_EQ(*std::lower_bound(block, block + k, at), at) << n << " " << first + i;
      }
      first += row.entries();
    }
  }
}

// Rows of one mask and of three, their blocks' entries of every width
// from 0 bits up (the widths a block decodes eight entries at a time and
// the rest), every mask taken or one: read back whole, and from any
// position on.
TEST(StoredCodec, RowsOfEveryWidth) {
  std::mt19937 rng(11);
  for (uint64_t masks : {1, 3})
    for (int width = 0; width <= 32; ++width) {
      std::vector<Entry> entries;
      uint32_t p = rng() % 5;
      for (std::size_t i = 0; i < 3 * kBlock + 21; ++i) {
        entries.push_back({p, uint64_t(4) << (i % masks)});
        // One step a block of WIDTH bits (the widest in the first block
        // alone: positions stay below 2^32); the rest as narrow as it allows.
        const bool wide = i % kBlock == 9 && width > 0 && (width < 30 || i < kBlock);
        p += wide ? (uint32_t(1) << (width - 1)) + 1 : width > 1 ? 1 + rng() % 2 : 1;
      }
      for (uint64_t mask : {uint64_t(28), uint64_t(8)}) {
        std::vector<uint32_t> want, got;
        for (auto& e : entries)
          if (e.mask & mask) want.push_back(e.position);
        std::size_t first = 0;
        for (const PostingsRow& r : EncodePostings(7, 42, entries)) {
          PackedRow row;
          row.open(7, 42, r.upto, r.packed, r.checksum, mask);
          AppendPositions(row, got);
          for (std::size_t i = 0; i < row.entries(); i += 3) {
            if (!(entries[first + i].mask & mask)) continue;
            uint32_t at = entries[first + i].position, block[kBlock];
            std::size_t k = row.decode(row.block_for(at), block);
            EXPECT_EQ(*std::lower_bound(block, block + k, at), at) << masks << " " << width << " " << first + i;
          }
          first += row.entries();
        }
        EXPECT_EQ(got, want) << masks << " " << width << " " << mask;
      }
    }
}

TEST(StoredCodec, EveryByteIsCoveredAndRowsMustFollow) {
  std::mt19937 rng(5);
  std::vector<Entry> entries;
  std::vector<PostingsRow> rows = rows_of(3000, rng, entries);
  ASSERT_GE(rows.size(), 3u);
  for (const PostingsRow& r : rows)
    for (std::size_t i = 0; i < r.packed.size(); ++i) {
      std::string bad = r.packed;
      bad[i] = char(bad[i] ^ (1 << (i % 8)));
      PackedRow row;
      EXPECT_THROW(row.open(7, 42, r.upto, bad, r.checksum, 7), Damaged) << i;
    }
  // The sum of bytes is the one indexes already written carry: a reader
  // that reads the words otherwise must not find every row damaged.
  EXPECT_EQ(Checksum(7).add(std::string_view("a row of nineteen b")).value(), 964587531740660905);
  PackedRow row;
  EXPECT_THROW(row.open(7, 43, rows[0].upto, rows[0].packed, rows[0].checksum, 7), Damaged) << "another word's row";
  EXPECT_THROW(row.open(8, 42, rows[0].upto, rows[0].packed, rows[0].checksum, 7), Damaged) << "another build's row";

  // A row lost between two, before the first read from a position, or at the end.
  auto follow = [&](std::vector<std::size_t> read, int64_t from) {
    RowChain chain;
    chain.restart(from);
    for (std::size_t i : read) {
      PackedRow r;
      r.open(rows[i].packed, 1);
      chain.next(rows[i].upto, r.before(), r.last());
    }
    return chain.end();
  };
  std::vector<std::size_t> all(rows.size());
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
  EXPECT_TRUE(follow(all, 0));
  EXPECT_TRUE(follow({rows.size() - 2, rows.size() - 1}, rows[rows.size() - 3].upto + 1));
  EXPECT_FALSE(follow({}, 0)) << "a word without rows is one the index does not know";
  EXPECT_THROW(follow({0, 2}, 0), Damaged);
  EXPECT_THROW(follow({1, 2}, 0), Damaged);
  EXPECT_THROW(follow({0, 1}, 0), Damaged);

  std::vector<int32_t> ids(kChunk);
  std::vector<uint64_t> starts((kChunk + 63) / 64, 0x5555);
  for (auto& id : ids) id = int32_t(rng());
  OrderRow order = EncodeOrder(7, 2, ids, starts);
  OrderChunk back = DecodeOrder(7, 2, 3 * kChunk, order.ids, order.starts, order.checksum);
  EXPECT_EQ(back.ids, ids);
  EXPECT_EQ(back.starts, starts);
  for (std::size_t i = 0; i < order.ids.size() + order.starts.size(); i += 7) {
    OrderRow bad = order;
    std::string& b = i < bad.ids.size() ? bad.ids : bad.starts;
    std::size_t at = i < bad.ids.size() ? i : i - bad.ids.size();
    b[at] = char(b[at] ^ 0x10);
    EXPECT_THROW(DecodeOrder(7, 2, 3 * kChunk, bad.ids, bad.starts, bad.checksum), Damaged) << i;
  }
  EXPECT_THROW(DecodeOrder(7, 3, 4 * kChunk, order.ids, order.starts, order.checksum), Damaged) << "another chunk";

  Summary meta;
  meta.build = 7;
  meta.collator = "1.2.3.4";
  meta.positions = 10;
  meta.ordered = 8;
  meta.records = 9;
  meta.specials = "\x01";
  meta.combos = {{1, 2}, {-1, 3}};
  meta.checksum = meta.sum();
  meta.check();
  EXPECT_EQ(Summary::DecodeCombos(Summary::EncodeCombos(meta.combos)), meta.combos);
  for (auto change : std::vector<std::function<void(Summary&)>>{
           [](Summary& s) { s.collator = "1.2.3.5"; }, [](Summary& s) { ++s.records; }, [](Summary& s) { s.specials = "\x02"; },
           [](Summary& s) { s.combos[1].first = 1; }, [](Summary& s) { ++s.built_links; }, [](Summary& s) { s.format = 5; }}) {
    Summary bad = meta;
    change(bad);
    EXPECT_THROW(bad.check(), Damaged);
  }
}

// A word's entries are split into rows as packing 8192 entries, then a
// quarter fewer at a time until they fit, would split them (the build
// works the length out without packing each): dense and sparse positions,
// one mask and many, rows that end just inside and just past a block.
TEST(StoredCodec, RowsAreSplitWhereTrialPackingSplitsThem) {
  auto by_trial = [](std::span<const Entry> entries) {
    std::vector<std::pair<int64_t, std::string>> rows;
    for (std::size_t from = 0; from < entries.size();) {
      std::size_t len = std::min<std::size_t>(entries.size() - from, 8192);
      std::string body = PackEntries(&entries[from], len);
      while (body.size() + 11 > kPackedBytes && len > 1) {
        len = len * 3 / 4;
        body = PackEntries(&entries[from], len);
      }
      rows.push_back({entries[from + len - 1].position, body});
      from += len;
    }
    return rows;
  };
  std::mt19937 rng(9);
  for (int round = 0; round < 60; ++round) {
    const uint32_t spread = round % 4 == 0 ? 1 : round % 4 == 1 ? 3 : round % 4 == 2 ? 300 : 1u << 20;
    const int masks = 1 + round % 7 * round % 40;
    std::vector<Entry> entries;
    uint32_t p = uint32_t(rng() % 1000);
    for (std::size_t n = 1 + rng() % 30000; entries.size() < n && p < (1u << 30);) {
      entries.push_back({p, uint64_t(1) << (rng() % masks)});
      p += 1 + uint32_t(rng() % spread) * (rng() % 8 == 0);
    }
    auto want = by_trial(entries);
    std::vector<PostingsRow> got = EncodePostings(7, 42, entries);
    ASSERT_EQ(got.size(), want.size()) << round;
    for (std::size_t r = 0; r < got.size(); ++r) {
      EXPECT_EQ(got[r].upto, r + 1 == got.size() ? kLastRow : want[r].first) << round << " " << r;
      EXPECT_EQ(got[r].packed.substr(got[r].packed.size() - want[r].second.size()), want[r].second) << round << " " << r;
    }
  }
}
