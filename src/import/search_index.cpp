#include "import/search_index.h"

#include <sqlite3.h>

#include <algorithm>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "import/indexes.h"
#include "import/sqlite_statement.h"
#include "platform/content_stamp.h"
#include "platform/sqlite_functions.h"
#include "search/record_order.h"
#include "search/stored_index.h"

namespace kvistur::import {

namespace {

// Record number to position: a vector over the range of numbers when they
// lie close together, a hash map otherwise.
class Positions {
 public:
  void set(const std::vector<int32_t>& ids, const std::vector<uint32_t>& at) {
    if (ids.empty()) return;
    auto [lo, hi] = std::minmax_element(ids.begin(), ids.end());
    if (int64_t(*hi) - *lo + 1 <= int64_t(ids.size()) * 4 + 1024) {
      first_ = *lo;
      dense_.assign(std::size_t(int64_t(*hi) - *lo + 1), kNone);
      for (std::size_t i = 0; i < ids.size(); ++i) dense_[std::size_t(int64_t(ids[i]) - first_)] = at[i];
    } else {
      for (std::size_t i = 0; i < ids.size(); ++i) sparse_[ids[i]] = at[i];
    }
  }
  uint32_t find(int32_t id) const {
    if (!dense_.empty()) {
      int64_t i = int64_t(id) - first_;
      return i >= 0 && i < int64_t(dense_.size()) ? dense_[std::size_t(i)] : kNone;
    }
    auto it = sparse_.find(id);
    return it == sparse_.end() ? kNone : it->second;
  }
  static constexpr uint32_t kNone = UINT32_MAX;

 private:
  int32_t first_ = 0;
  std::vector<uint32_t> dense_;
  std::unordered_map<int32_t, uint32_t> sparse_;
};

struct Layout {
  std::vector<int32_t> ids;     // by position
  std::vector<uint64_t> starts;  // a bit per ordered position that starts a text
  uint32_t ordered = 0, records = 0;
  int64_t absent_rank = 0;
  std::string specials;
  Positions at;
};

// The positions of Móðurtafla's records (see stored_index.h), from the
// ranks the search itself would work out.
bool lay_out(sqlite3* db, Layout& out) {
  RankedRecords r;
  try {
    RecordRows rows;
    SqliteStatement st(db, "SELECT ID, Röðunarsvið, Einkennisstrengur, Tag FROM Móðurtafla");
    while (st.step())
      rows.add(db::column_variant(st.get(), 0), db::column_variant(st.get(), 1), sqlite3_column_type(st.get(), 2) == SQLITE_NULL,
               db::column_variant(st.get(), 3));
    r = rows.finish();
  } catch (const std::exception&) {
    return false;  // a record number twice or held as text, a sort text the order cannot class, no such column
  }
  std::vector<uint32_t> ordered, special;
  std::vector<uint32_t> unreadable_at;
  for (std::size_t i = 0; i < r.ids.size(); ++i) {
    bool unreadable = std::binary_search(r.unreadable.begin(), r.unreadable.end(), r.ids[i]);
    (r.ranks[i] < 0 || unreadable ? special : ordered).push_back(uint32_t(i));
  }
  std::sort(ordered.begin(), ordered.end(), [&](uint32_t a, uint32_t b) {
    return r.ranks[a] != r.ranks[b] ? r.ranks[a] < r.ranks[b] : r.ids[a] < r.ids[b];
  });
  std::sort(special.begin(), special.end(), [&](uint32_t a, uint32_t b) { return r.ids[a] < r.ids[b]; });
  out.ordered = uint32_t(ordered.size());
  out.records = uint32_t(r.ids.size());
  out.starts.assign((ordered.size() + 63) / 64, 0);
  // Texts are ranked 2, 4, 6, ...; the empty text, when no record has it,
  // takes the odd rank just below the first text that sorts after it.
  int64_t texts = 0;
  bool absent_placed = false;
  for (std::size_t p = 0; p < ordered.size(); ++p) {
    int32_t rank = r.ranks[ordered[p]];
    if (p == 0 || rank != r.ranks[ordered[p - 1]]) {
      ++texts;
      out.starts[p / 64] |= uint64_t(1) << (p % 64);
    }
    if (!absent_placed && rank >= r.absent) {
      out.absent_rank = rank == r.absent ? 2 * texts : 2 * texts - 1;
      absent_placed = true;
    }
    out.ids.push_back(r.ids[ordered[p]]);
  }
  if (!absent_placed) out.absent_rank = 2 * texts + 1;
  if (2 * texts + 1 > INT32_MAX) return false;
  for (uint32_t i : special) {
    out.ids.push_back(r.ids[i]);
    bool unreadable = std::binary_search(r.unreadable.begin(), r.unreadable.end(), r.ids[i]);
    out.specials.push_back(char((r.ranks[i] < 0 ? stored::kNullKey : 0) | (unreadable ? stored::kUnreadable : 0)));
  }
  std::vector<uint32_t> positions(out.ids.size());
  for (std::size_t p = 0; p < positions.size(); ++p) positions[p] = uint32_t(p);
  out.at.set(out.ids, positions);
  return true;
}

// Packs one word's entries into rows of at most stored::kPackedBytes.
void write_word(SqliteStatement& insert, int64_t word, std::vector<stored::Entry>& entries) {
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.position < b.position; });
  std::size_t n = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (n > 0 && entries[n - 1].position == entries[i].position) entries[n - 1].mask |= entries[i].mask;
    else entries[n++] = entries[i];
  }
  for (std::size_t from = 0; from < n;) {
    std::size_t len = std::min<std::size_t>(n - from, 8192);
    std::string packed = stored::PackEntries(&entries[from], len);
    while (packed.size() > stored::kPackedBytes && len > 1) {
      len = len * 3 / 4;
      packed = stored::PackEntries(&entries[from], len);
    }
    insert.bind(1, word).bind(2, entries[from + len - 1].position).bind_blob(3, packed).run();
    from += len;
  }
}

// Each word's positions from Tengill; record numbers Tengill holds without
// a Móðurtafla row get positions after the records.  False (with nothing
// kept) when Tengill holds a number that is not a 32-bit integer or more
// pairs of group and field than a mask can hold.
bool write_postings(sqlite3* db, Layout& layout) {
  ExecSql(db,
          "CREATE TABLE kv_postings (word INTEGER NOT NULL, upto INTEGER NOT NULL, packed BLOB NOT NULL, "
          "PRIMARY KEY (word, upto)) WITHOUT ROWID;"
          "CREATE TABLE kv_combos (bit INTEGER PRIMARY KEY, grp INTEGER, field INTEGER);");
  SqliteStatement insert(db, "INSERT INTO kv_postings (word, upto, packed) VALUES (?, ?, ?)");
  std::map<std::pair<int64_t, int64_t>, int> combos;
  std::unordered_map<int32_t, uint32_t> orphans;
  SqliteStatement rows(db, "SELECT OrðID, FærsluID, HópID, Orðtag FROM Tengill ORDER BY OrðID");
  std::vector<stored::Entry> entries;
  int64_t word = 0;
  bool any = false;
  while (rows.step()) {
    for (int i = 0; i < 4; ++i)
      if (sqlite3_column_type(rows.get(), i) != SQLITE_INTEGER) return false;
    int64_t w = sqlite3_column_int64(rows.get(), 0), record = sqlite3_column_int64(rows.get(), 1);
    if (record < INT32_MIN || record > INT32_MAX) return false;
    auto pair = std::make_pair(sqlite3_column_int64(rows.get(), 2), sqlite3_column_int64(rows.get(), 3));
    auto c = combos.find(pair);
    if (c == combos.end()) {
      if (combos.size() == stored::kMaxCombos) return false;
      c = combos.emplace(pair, int(combos.size())).first;
    }
    uint32_t p = layout.at.find(int32_t(record));
    if (p == Positions::kNone) {
      auto o = orphans.find(int32_t(record));
      if (o == orphans.end()) {
        if (layout.ids.size() >= uint64_t(INT32_MAX)) return false;
        o = orphans.emplace(int32_t(record), uint32_t(layout.ids.size())).first;
        layout.ids.push_back(int32_t(record));
      }
      p = o->second;
    }
    if (any && w != word) {
      write_word(insert, word, entries);
      entries.clear();
    }
    any = true;
    word = w;
    entries.push_back({p, uint64_t(1) << c->second});
  }
  if (any) write_word(insert, word, entries);
  SqliteStatement put(db, "INSERT INTO kv_combos (bit, grp, field) VALUES (?, ?, ?)");
  for (auto& [pair, bit] : combos) {
    put.bind(1, bit).bind(2, pair.first).bind(3, pair.second).run();
  }
  return true;
}

void write_order(sqlite3* db, const Layout& layout, int64_t build) {
  ExecSql(db, "CREATE TABLE kv_order (chunk INTEGER PRIMARY KEY, build INTEGER, ids BLOB, starts BLOB);");
  SqliteStatement insert(db, "INSERT INTO kv_order (chunk, build, ids, starts) VALUES (?, ?, ?, ?)");
  const std::size_t n = layout.ids.size();
  for (std::size_t from = 0, c = 0; from < n; from += stored::kChunk, ++c) {
    std::size_t len = std::min<std::size_t>(stored::kChunk, n - from);
    std::string ids, starts((len + 63) / 64 * 8, '\0');
    for (std::size_t i = 0; i < len; ++i) {
      uint32_t v = uint32_t(layout.ids[from + i]);
      for (int b = 0; b < 4; ++b) ids.push_back(char(v >> (8 * b)));
      std::size_t p = from + i;
      if (p < layout.ordered && (layout.starts[p / 64] >> (p % 64) & 1)) starts[i / 8] = char(starts[i / 8] | 1 << (i % 8));
    }
    insert.bind(1, int64_t(c)).bind(2, build).bind_blob(3, ids).bind_blob(4, starts).run();
  }
}

}  // namespace

void WriteSearchIndex(sqlite3* db) {
  ExecSql(db,
          "DROP TABLE IF EXISTS kv_search_meta; DROP TABLE IF EXISTS kv_order; DROP TABLE IF EXISTS kv_postings;"
          "DROP TABLE IF EXISTS kv_combos;");
  if (!HasTable(db, "Móðurtafla") || !HasTable(db, "Tengill") || !HasTable(db, "Orð")) return;
  db::InstallContentStamp(db);

  Layout layout;
  if (!lay_out(db, layout)) return;  // the stamp alone: readers share what they work out
  ExecSql(db, "SAVEPOINT kv_postings");
  bool postings = write_postings(db, layout);
  if (!postings) {
    ExecSql(db, "ROLLBACK TO kv_postings");
    layout.ids.resize(layout.records);  // no positions for Tengill's numbers
  }
  ExecSql(db, "RELEASE kv_postings");

  std::random_device rd;
  int64_t build = int64_t((uint64_t(rd()) << 31) ^ rd()) & INT64_MAX;
  write_order(db, layout, build);
  ExecSql(db,
          "CREATE TABLE kv_search_meta (format INTEGER, build INTEGER, positions INTEGER, ordered INTEGER, records "
          "INTEGER, absent_rank INTEGER, specials BLOB, postings INTEGER, built_records INTEGER, built_links INTEGER);");
  SqliteStatement meta(db,
                 "INSERT INTO kv_search_meta SELECT ?, ?, ?, ?, ?, ?, ?, ?, records, links FROM kv_state");
  meta.bind(1, stored::kFormat).bind(2, build).bind(3, int64_t(layout.ids.size())).bind(4, layout.ordered);
  meta.bind(5, layout.records).bind(6, layout.absent_rank).bind_blob(7, layout.specials).bind(8, postings ? 1 : 0).run();
}

}  // namespace kvistur::import
