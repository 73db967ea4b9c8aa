// What the writer of an update's delta (index_delta.cpp) reads of the base
// index and the tables: the order's chunks as they are needed, records'
// rows as the order sees them, and binary searches over the base's order,
// so that an update of one record reads a few dozen rows, whatever the
// catalogue holds.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "import/sqlite_statement.h"
#include "search/stored_codec.h"

namespace kvistur::import::delta {

// Why a delta cannot be written: the index is written whole instead.
struct WriteWhole {};

// A record's row of Móðurtafla as the order sees it.
struct Row {
  bool there = false;
  uint8_t kind = stored::kPlaced;  // or the bits of kNullKey and kUnreadable
  std::string key;                 // its sort text's class (search/hits.h, ClassKey)
};

class Rows {
 public:
  explicit Rows(sqlite3* db);
  // The row of record ID now; WriteWhole for a number twice or a sort
  // text the order cannot class.
  Row of(int64_t id);
  // A row from its values: sort text, whether the identifying string is
  // null, kind.
  static Row from(const Variant& key, bool null_identity, const Variant& tag);

 private:
  SqliteStatement st_;
};

// The base's kv_order, a chunk at a time as it is asked for.
class BaseOrder {
 public:
  BaseOrder(sqlite3* db, const stored::Summary& meta);
  int32_t id(uint32_t p) { return chunk(p).ids[p % stored::kChunk]; }
  bool starts(uint32_t p) { return chunk(p).starts_text(p % stored::kChunk); }
  // The position of record ID among positions FROM..TO-1, looked at one by one.
  std::optional<uint32_t> scan(int32_t id, uint32_t from, uint32_t to);

 private:
  const stored::OrderChunk& chunk(uint32_t p);
  const stored::Summary& meta_;
  SqliteStatement st_;
  std::unordered_map<uint32_t, stored::OrderChunk> chunks_;
};

// The Tengill rows the base counted for position P.
class BaseCounts {
 public:
  BaseCounts(sqlite3* db, const stored::Summary& meta);
  uint32_t at(uint32_t p);

 private:
  const stored::Summary& meta_;
  SqliteStatement st_;
  std::unordered_map<int64_t, std::vector<uint32_t>> chunks_;
};

// Binary searches over the base's ordered positions whose records the
// base still stands for: not masked out by the delta before, and not
// touched by this update (their rows now are not the ones the base was
// ordered by).  The keys of those records are read from their rows.
class BaseSearch {
 public:
  BaseSearch(sqlite3* db, BaseOrder& order, const stored::Summary& meta, const std::vector<bool>& masked,
             const std::set<int32_t>& touched);
  // Where record ID stood, given its row before the update; null when it
  // was not a record of the base then.
  std::optional<uint32_t> locate(int32_t id, const Row& before);
  // Where a record of KEY goes: the first position whose text is not less
  // (ordered when none), and whether its text is KEY.
  std::pair<uint32_t, bool> place(const std::string& key);

 private:
  bool stands(uint32_t p) { return !masked_[p] && !touched_.count(order_.id(p)); }
  const std::string& key_at(uint32_t p);
  // The first position of LO..HI-1 (hi when none) whose (key, record)
  // is not less than (KEY, ID), over the positions that stand.
  uint32_t lower_bound(uint32_t lo, uint32_t hi, const std::string& key, int64_t id);
  BaseOrder& order_;
  const stored::Summary& meta_;
  const std::vector<bool>& masked_;
  const std::set<int32_t>& touched_;
  Rows rows_;
  std::unordered_map<uint32_t, std::string> keys_;
};

}  // namespace kvistur::import::delta
