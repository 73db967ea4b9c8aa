// What updates changed since the stored index was written whole: the
// records they added, changed or removed (kv_delta), merged with the base
// index as the search reads it.
//
// The base index stays as it was written.  A record an update touched has
// its base position masked out, and when it is still a record, a delta
// record of its own: a record the order places sorts just before the base
// position `place` (after every base position when place is `ordered`),
// among the delta records of the same place by its text's class (`key`),
// and holds the same text as that position when `equal`.  Positions only
// masked out still separate texts as they did (their bits in kv_order's
// starts stay), so two base positions hold one text exactly when they did.
// A word's records in the delta are in kv_delta_postings.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "search/stored_codec.h"

namespace kvistur {

struct RankedRecords;

class StoredDelta {
 public:
  struct Record {
    int32_t id;
    uint8_t kind;   // stored::kPlaced, kNoRow, kGone or the bits of kNullKey and kUnreadable
    uint32_t place;
    bool equal;
    std::string key;
    uint32_t rank;  // kPlaced: its place among the placed records, in order
  };

  // From every row of kv_delta, each checked against META already.
  StoredDelta(const stored::Summary& meta, std::vector<stored::DeltaRecord> rows);

  bool masked(uint32_t p) const { return p / 64 < masked_.size() && (masked_[p / 64] >> (p % 64) & 1); }
  // The record ID's row, or null.
  const Record* find(int32_t id) const;
  // The placed records, in order.
  const std::vector<const Record*>& placed() const { return placed_; }
  const std::vector<Record>& records() const { return records_; }
  // The bytes it holds, for the budget of what is kept.
  std::size_t memory() const;

 private:
  std::vector<uint64_t> masked_;
  std::vector<Record> records_;           // by id
  std::vector<const Record*> placed_;     // in order
};

// The ranks of every record of an index's order, with DELTA's records
// merged in (null for none), as the search ranks them; CHUNK(c) gives
// chunk c of kv_order.  For the reader and for the check.
RankedRecords StoredRanks(const stored::Summary& meta, const std::function<const stored::OrderChunk&(uint32_t)>& chunk,
                          const StoredDelta* delta);

}  // namespace kvistur
