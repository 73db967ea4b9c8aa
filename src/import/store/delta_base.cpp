#include "import/store/delta_base.h"

#include <algorithm>

#include "search/hits.h"

namespace kvistur::import::delta {

Rows::Rows(sqlite3* db) : st_(db, "SELECT Röðunarsvið, Einkennisstrengur IS NULL, Tag FROM Móðurtafla WHERE ID = ?") {}

Row Rows::from(const Variant& key, bool null_identity, const Variant& tag) {
  Row r;
  r.there = true;
  // What reading the record into the result table would fail on.
  bool unreadable = null_identity;
  try {
    tag.to_i16();
  } catch (const Error&) {
    unreadable = true;
  }
  try {
    r.key = ClassKey(key);
  } catch (const std::invalid_argument&) {
    throw WriteWhole{};  // a sort key the order cannot class
  }
  r.kind = uint8_t((key.is_null() ? stored::kNullKey : 0) | (unreadable ? stored::kUnreadable : 0));
  if (r.kind == 0) r.kind = stored::kPlaced;
  return r;
}

Row Rows::of(int64_t id) {
  Row r;
  st_.bind(1, id);
  if (st_.step()) {
    r = from(db::column_variant(st_.get(), 0), st_.integer(1) != 0, db::column_variant(st_.get(), 2));
    if (st_.step()) throw WriteWhole{};  // a record number twice
  }
  st_.reset();
  return r;
}

BaseOrder::BaseOrder(sqlite3* db, const stored::Summary& meta)
    : meta_(meta), st_(db, "SELECT ids, starts, checksum FROM kv_order WHERE chunk = ?") {}

const stored::OrderChunk& BaseOrder::chunk(uint32_t p) {
  const uint32_t c = p / stored::kChunk;
  auto it = chunks_.find(c);
  if (it != chunks_.end()) return it->second;
  st_.bind(1, int64_t(c));
  if (!st_.step()) throw stored::Damaged("kv_order chunk " + std::to_string(c) + ": missing");
  stored::OrderChunk got = stored::DecodeOrder(meta_.build, c, meta_.positions, st_.bytes(0), st_.bytes(1), st_.integer(2));
  st_.reset();
  return chunks_.emplace(c, std::move(got)).first->second;
}

std::optional<uint32_t> BaseOrder::scan(int32_t id, uint32_t from, uint32_t to) {
  for (uint32_t p = from; p < to; ++p)
    if (this->id(p) == id) return p;
  return std::nullopt;
}

BaseCounts::BaseCounts(sqlite3* db, const stored::Summary& meta)
    : meta_(meta), st_(db, "SELECT counts, checksum FROM kv_counts WHERE chunk = ?") {}

uint32_t BaseCounts::at(uint32_t p) {
  const int64_t c = p / stored::kChunk;
  auto it = chunks_.find(c);
  if (it == chunks_.end()) {
    st_.bind(1, c);
    if (!st_.step()) throw stored::Damaged("kv_counts chunk " + std::to_string(c) + ": missing");
    it = chunks_.emplace(c, stored::DecodeCounts(meta_.build, c, meta_.positions, st_.bytes(0), st_.integer(1))).first;
    st_.reset();
  }
  return it->second[p % stored::kChunk];
}

BaseSearch::BaseSearch(sqlite3* db, BaseOrder& order, const stored::Summary& meta, const std::vector<bool>& masked,
                       const std::set<int32_t>& touched)
    : order_(order), meta_(meta), masked_(masked), touched_(touched), rows_(db) {}

const std::string& BaseSearch::key_at(uint32_t p) {
  auto it = keys_.find(p);
  if (it != keys_.end()) return it->second;
  Row r = rows_.of(order_.id(p));
  // A record of the base that no update touched has the row it had.
  if (!r.there || r.kind != stored::kPlaced) throw stored::Damaged("kv_order: a position whose record is not there");
  return keys_.emplace(p, std::move(r.key)).first->second;
}

uint32_t BaseSearch::lower_bound(uint32_t lo, uint32_t hi, const std::string& key, int64_t id) {
  const uint32_t end = hi;
  // Positions that stand below LO are less, those at HI and above not.
  while (lo < hi) {
    uint32_t mid = lo + (hi - lo) / 2, m = mid;
    while (m < hi && !stands(m) && order_.id(m) != id) ++m;
    if (m == hi) {
      hi = mid;
      continue;
    }
    const std::string& k = order_.id(m) == id ? key : key_at(m);
    if (k < key || (k == key && order_.id(m) < id)) lo = m + 1;
    else hi = m;
  }
  while (lo < end && !stands(lo) && order_.id(lo) != id) ++lo;
  return lo;
}

std::optional<uint32_t> BaseSearch::locate(int32_t id, const Row& before) {
  const uint32_t ordered = uint32_t(meta_.ordered), records = uint32_t(meta_.records);
  if (!before.there) return order_.scan(id, records, uint32_t(meta_.positions));  // only a number Tengill held
  uint32_t p;
  if (before.kind == stored::kPlaced) {
    p = lower_bound(0, ordered, before.key, id);
  } else {
    // The records the order cannot place stand by number.
    uint32_t lo = ordered, hi = records;
    while (lo < hi) {
      uint32_t mid = lo + (hi - lo) / 2;
      if (order_.id(mid) < id) lo = mid + 1;
      else hi = mid;
    }
    p = lo;
  }
  if (p < records && order_.id(p) == id) return p;
  // Not where its row says: the base was ordered otherwise; look at every
  // position rather than guess.
  return order_.scan(id, 0, uint32_t(meta_.positions));
}

std::pair<uint32_t, bool> BaseSearch::place(const std::string& key) {
  const uint32_t p = lower_bound(0, uint32_t(meta_.ordered), key, INT64_MIN);
  return {p, p < meta_.ordered && key_at(p) == key};
}

}  // namespace kvistur::import::delta
