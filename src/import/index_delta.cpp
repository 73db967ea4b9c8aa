#include "import/index_delta.h"

#include <sqlite3.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "import/indexes.h"
#include "import/search_index.h"
#include "import/sqlite_statement.h"
#include "platform/content_stamp.h"
#include "search/hits.h"
#include "search/stored_codec.h"

namespace kvistur::import {

namespace {

using stored::DeltaRecord;
using stored::Link;

// Why a delta cannot be written: the index is written whole instead.
struct WriteWhole {};

std::string quoted(const std::string& name) {
  std::string q = "\"";
  for (char c : name) q += c == '"' ? std::string("\"\"") : std::string(1, c);
  return q + "\"";
}

// A column of TABLE as the file spells it, quoted for SQL.
std::string column(sqlite3* db, const char* table, const std::string& wanted) {
  std::vector<std::string> names;
  SqliteStatement st(db, "SELECT name FROM pragma_table_info(?)");
  st.bind(1, std::string(table));
  while (st.step()) names.push_back(st.text(0));
  return quoted(db::spelled_as(names, wanted));
}

// The value of a logged number, which must be a whole number that fits.
int64_t whole(SqliteStatement& st, int i, int64_t lo, int64_t hi) {
  if (sqlite3_column_type(st.get(), i) != SQLITE_INTEGER || st.integer(i) < lo || st.integer(i) > hi) throw WriteWhole{};
  return st.integer(i);
}

// One change of Tengill: +1 a row written, -1 a row deleted.
struct LinkChange {
  int op;
  Link link;  // (word, HópID, Orðtag)
};

// What the base index says, read once per update: the record of every
// position and where sort texts start.
struct Base {
  stored::Summary meta;
  std::vector<int32_t> ids;
  std::vector<stored::OrderChunk> chunks;
  bool starts(uint32_t p) const { return chunks[p / stored::kChunk].starts_text(p % stored::kChunk); }
};

Base read_base(sqlite3* db, stored::Summary meta) {
  Base b;
  b.meta = std::move(meta);
  SqliteStatement st(db, "SELECT chunk, ids, starts, checksum FROM kv_order ORDER BY chunk");
  while (st.step()) {
    const int64_t c = int64_t(b.chunks.size());
    if (st.integer(0) != c) throw stored::Damaged("kv_order: a chunk missing");
    b.chunks.push_back(stored::DecodeOrder(b.meta.build, c, b.meta.positions, st.blob(1), st.blob(2), st.integer(3)));
    b.ids.insert(b.ids.end(), b.chunks.back().ids.begin(), b.chunks.back().ids.end());
  }
  if (int64_t(b.ids.size()) != b.meta.positions) throw stored::Damaged("kv_order: a chunk missing");
  return b;
}

// The Tengill rows the base counted for position P.
class BaseCounts {
 public:
  BaseCounts(sqlite3* db, const stored::Summary& meta)
      : meta_(meta), st_(db, "SELECT counts, checksum FROM kv_counts WHERE chunk = ?") {}
  uint32_t at(uint32_t p) {
    const int64_t c = p / stored::kChunk;
    auto it = chunks_.find(c);
    if (it == chunks_.end()) {
      st_.bind(1, c);
      if (!st_.step()) throw stored::Damaged("kv_counts chunk " + std::to_string(c) + ": missing");
      it = chunks_.emplace(c, stored::DecodeCounts(meta_.build, c, meta_.positions, st_.blob(0), st_.integer(1))).first;
      st_.reset();
    }
    return it->second[p % stored::kChunk];
  }

 private:
  const stored::Summary& meta_;
  SqliteStatement st_;
  std::unordered_map<int64_t, std::vector<uint32_t>> chunks_;
};

// A record's row of Móðurtafla as the order sees it.
struct Row {
  bool there = false;
  uint8_t kind = stored::kPlaced;  // or the bits of kNullKey and kUnreadable
  std::string key;
};

class Rows {
 public:
  explicit Rows(sqlite3* db)
      : st_(db, "SELECT Röðunarsvið, Einkennisstrengur IS NULL, Tag FROM Móðurtafla WHERE ID = ?") {}
  Row of(int64_t id) {
    Row r;
    st_.bind(1, id);
    if (st_.step()) {
      r.there = true;
      Variant key = db::column_variant(st_.get(), 0);
      bool unreadable = st_.integer(1) != 0;
      try {
        db::column_variant(st_.get(), 2).to_i16();
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
      if (st_.step()) throw WriteWhole{};  // a record number twice
    }
    st_.reset();
    return r;
  }

 private:
  SqliteStatement st_;
};

// The records the update touched, each with its changes of Tengill in order.
struct Touched {
  std::map<int32_t, std::vector<LinkChange>> records;
};

Touched read_log(sqlite3* db) {
  Touched t;
  SqliteStatement records(db, "SELECT DISTINCT id FROM temp.kv_log_records");
  while (records.step()) t.records[int32_t(whole(records, 0, INT32_MIN, INT32_MAX))];
  SqliteStatement links(db, "SELECT op, record, word, grp, field FROM temp.kv_log_links ORDER BY seq");
  while (links.step()) {
    auto& changes = t.records[int32_t(whole(links, 1, INT32_MIN, INT32_MAX))];
    changes.push_back({int(links.integer(0)), Link{whole(links, 2, INT64_MIN, INT64_MAX), whole(links, 3, INT64_MIN, INT64_MAX),
                                                   whole(links, 4, INT64_MIN, INT64_MAX)}});
  }
  return t;
}

// The links a record has now: those it had (KNOWN, or for a record of the
// base only their number, BASE_COUNT) with CHANGES applied.
std::vector<Link> links_now(std::optional<std::vector<Link>> known, uint32_t base_count,
                            const std::vector<LinkChange>& changes) {
  std::multiset<Link> now;
  if (known) now.insert(known->begin(), known->end());
  uint32_t removed = 0;  // of the rows the base counted
  for (const LinkChange& c : changes) {
    if (c.op > 0) {
      now.insert(c.link);
    } else if (auto it = now.find(c.link); it != now.end()) {
      now.erase(it);
    } else if (known) {
      throw WriteWhole{};  // a row deleted that the index never had
    } else {
      ++removed;
    }
  }
  // A record of the base keeps rows the update did not see unless it
  // deleted as many as the base counted.
  if (!known && removed != base_count) throw WriteWhole{};
  return std::vector<Link>(now.begin(), now.end());
}

// Where KEY falls among the base's positions that are not masked out: the
// first such ordered position whose text is not less, and whether it is
// the same text.
class Placer {
 public:
  Placer(sqlite3* db, const Base& base, const std::vector<bool>& masked) : base_(base), masked_(masked), rows_(db) {}
  std::pair<uint32_t, bool> place(const std::string& key) {
    uint32_t lo = 0, hi = uint32_t(base_.meta.ordered);
    // Live positions below LO sort before KEY, those at HI and above not.
    while (lo < hi) {
      uint32_t mid = lo + (hi - lo) / 2, m = mid;
      while (m < hi && masked_[m]) ++m;
      if (m == hi) {
        hi = mid;
      } else if (key_at(m) < key) {
        lo = m + 1;
      } else {
        hi = m;
      }
    }
    while (lo < base_.meta.ordered && masked_[lo]) ++lo;
    return {lo, lo < base_.meta.ordered && key_at(lo) == key};
  }

 private:
  const std::string& key_at(uint32_t p) {
    auto it = keys_.find(p);
    if (it != keys_.end()) return it->second;
    Row r = rows_.of(base_.ids[p]);
    // A record of the base the update did not touch has the row it had.
    if (!r.there || r.kind != stored::kPlaced) throw WriteWhole{};
    return keys_.emplace(p, std::move(r.key)).first->second;
  }
  const Base& base_;
  const std::vector<bool>& masked_;
  Rows rows_;
  std::unordered_map<uint32_t, std::string> keys_;
};

bool write_delta(sqlite3* db, IndexChanges& changes) {
  if (!changes.watching() || !HasTable(db, "kv_search_meta") || !HasTable(db, "kv_delta")) return false;
  if (StoredFormat(db) != stored::kFormat) return false;
  stored::Summary meta = ReadSummary(db);
  if (!meta.postings || meta.collator != collation_version() || !db::ContentStampInstalled(db) ||
      meta.built_records != changes.records_before() || meta.built_links != changes.links_before())
    return false;

  Touched touched = read_log(db);
  std::vector<std::pair<int64_t, DeltaRecord>> written;  // the rows of kv_delta to write (or remove: kind kGone, base -1)
  std::map<int32_t, DeltaRecord> prior;                   // kv_delta as it was
  {
    SqliteStatement st(db, "SELECT id, base, kind, place, equal, key, links, checksum FROM kv_delta");
    while (st.step()) {
      StatementRow r{st};
      DeltaRecord d = DeltaRecord::Read(r);
      d.check(meta);
      prior.emplace(int32_t(d.id), std::move(d));
    }
    if (int64_t(prior.size()) != meta.delta_records) throw stored::Damaged("kv_delta: not as many rows as the summary says");
  }

  if (!touched.records.empty()) {
    Base base = read_base(db, meta);
    // Every record of the base the update touched, by its position.
    std::unordered_map<int32_t, uint32_t> base_of;
    for (uint32_t p = 0; p < base.ids.size(); ++p)
      if (touched.records.count(base.ids[p])) base_of.emplace(base.ids[p], p);
    std::vector<bool> masked(base.ids.size(), false);
    for (auto& [id, d] : prior)
      if (d.base >= 0) masked[std::size_t(d.base)] = true;

    BaseCounts counts(db, meta);
    Rows rows(db);
    std::map<int32_t, DeltaRecord> next = prior;
    std::set<int64_t> words;  // whose delta postings change
    for (auto& [id, log] : touched.records) {
      DeltaRecord d;
      d.id = id;
      std::optional<std::vector<Link>> known;
      uint32_t base_count = 0;
      if (auto it = prior.find(id); it != prior.end()) {
        d.base = it->second.base;
        known = it->second.links;
      } else if (auto at = base_of.find(id); at != base_of.end()) {
        d.base = at->second;
        base_count = counts.at(at->second);
      } else {
        known.emplace();  // a new record number: no links before
      }
      if (known)
        for (const Link& l : *known) words.insert(l.a);
      d.links = links_now(known, base_count, log);
      for (const Link& l : d.links) words.insert(l.a);
      Row row = rows.of(id);
      d.kind = row.there ? row.kind : d.links.empty() ? stored::kGone : stored::kNoRow;
      d.key = d.kind == stored::kPlaced ? row.key : std::string();
      if (d.base >= 0) masked[std::size_t(d.base)] = true;
      if (d.kind == stored::kGone && d.base < 0) next.erase(id);
      else next[id] = std::move(d);
    }
    const int64_t bound = std::max<int64_t>(kMinDeltaRecords, int64_t(double(meta.records) * kMaxDeltaShare));
    if (int64_t(next.size()) > bound) return false;

    // Places: the records touched found among the positions not masked
    // out; a record placed earlier on a position masked out now is moved
    // on to the next one not masked (it still sorts before it), holding
    // its text only when no text starts between.
    Placer placer(db, base, masked);
    for (auto& [id, d] : next) {
      if (d.kind != stored::kPlaced) continue;
      if (touched.records.count(id)) {
        auto [place, equal] = placer.place(d.key);
        d.place = place;
        d.equal = equal;
      } else if (d.place < meta.ordered && masked[std::size_t(d.place)]) {
        int64_t p = d.place;
        while (p < meta.ordered && masked[std::size_t(p)]) {
          ++p;
          if (p < meta.ordered && base.starts(uint32_t(p))) d.equal = false;
        }
        d.place = p;
        d.equal = d.equal && p < meta.ordered;
      } else {
        continue;  // as it was
      }
      d.checksum = d.sum(meta.build);
      written.emplace_back(id, d);
    }
    for (auto& [id, d] : next)
      if (d.kind != stored::kPlaced && touched.records.count(id)) {
        d.place = 0;
        d.equal = false;
        d.checksum = d.sum(meta.build);
        written.emplace_back(id, d);
      }
    for (auto& [id, log] : touched.records)
      if (!next.count(id) && prior.count(id)) written.emplace_back(id, DeltaRecord{});  // removed

    SqliteStatement put(db, "INSERT OR REPLACE INTO kv_delta (id, base, kind, place, equal, key, links, checksum) "
                            "VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
    SqliteStatement drop(db, "DELETE FROM kv_delta WHERE id = ?");
    for (auto& [id, d] : written) {
      if (!next.count(int32_t(id))) {
        drop.bind(1, id).run();
        continue;
      }
      put.bind(1, id).bind(2, d.base).bind(3, int64_t(d.kind)).bind(4, d.place).bind(5, int64_t(d.equal ? 1 : 0));
      put.bind_blob(6, d.key).bind_blob(7, stored::EncodeLinks(d.links)).bind(8, d.checksum).run();
    }

    // Each word whose records in the delta changed: its row without the
    // records touched, and with their links now.
    std::map<int64_t, std::vector<Link>> adds;  // word -> (record, HópID, Orðtag)
    for (auto& [id, log] : touched.records)
      if (auto it = next.find(id); it != next.end())
        for (const Link& l : it->second.links) adds[l.a].push_back(Link{id, l.group, l.field});
    SqliteStatement get(db, "SELECT packed, checksum FROM kv_delta_postings WHERE word = ?");
    SqliteStatement set(db, "INSERT OR REPLACE INTO kv_delta_postings (word, packed, checksum) VALUES (?, ?, ?)");
    SqliteStatement del(db, "DELETE FROM kv_delta_postings WHERE word = ?");
    for (int64_t w : words) {
      std::vector<Link> postings;
      bool had = false;
      if (get.bind(1, w).step()) {
        had = true;
        std::string packed = get.blob(0);
        if (get.integer(1) != stored::DeltaPostingsSum(meta.build, w, packed))
          throw stored::Damaged("kv_delta_postings word " + std::to_string(w) + ": the checksum does not match");
        postings = stored::DecodeLinks(packed);
      }
      get.reset();
      std::erase_if(postings, [&](const Link& l) { return touched.records.count(int32_t(l.a)) > 0; });
      auto& more = adds[w];
      postings.insert(postings.end(), more.begin(), more.end());
      std::sort(postings.begin(), postings.end());
      postings.erase(std::unique(postings.begin(), postings.end()), postings.end());
      if (postings.empty()) {
        if (had) {
          del.bind(1, w).run();
          --meta.delta_words;
        }
        continue;
      }
      std::string packed = stored::EncodeLinks(postings);
      set.bind(1, w).bind_blob(2, packed).bind(3, stored::DeltaPostingsSum(meta.build, w, packed)).run();
      if (!had) ++meta.delta_words;
    }
    meta.delta_records = int64_t(next.size());
  }

  SqliteStatement stamp(db, "SELECT records, links FROM kv_state");
  if (!stamp.step()) return false;
  meta.built_records = stamp.integer(0);
  meta.built_links = stamp.integer(1);
  WriteSummary(db, meta);
  return true;
}

}  // namespace

IndexChanges::IndexChanges(sqlite3* db) : db_(db) {
  if (!HasTable(db, "Móðurtafla") || !HasTable(db, "Tengill") || !HasTable(db, db::kStampTable)) return;
  SqliteStatement stamp(db, "SELECT records, links FROM kv_state");
  if (!stamp.step()) return;
  records_ = stamp.integer(0);
  links_ = stamp.integer(1);
  auto m = [&](const char* c) { return column(db, "Móðurtafla", c); };
  auto t = [&](const char* c) { return column(db, "Tengill", c); };
  std::string updated;
  for (const std::string& c : db::stamped_record_columns()) updated += (updated.empty() ? "" : ", ") + m(c.c_str());
  auto logged = [&](const char* op, const std::string& row) {
    std::string values;
    for (const char* c : {"FærsluID", "OrðID", "HópID", "Orðtag"}) values += ", " + row + "." + t(c);
    return std::string("INSERT INTO kv_log_links (op, record, word, grp, field) VALUES (") + op + values + ");";
  };
  ExecSql(db, ("CREATE TEMP TABLE IF NOT EXISTS kv_log_records (id);"
               "CREATE TEMP TABLE IF NOT EXISTS kv_log_links (seq INTEGER PRIMARY KEY, op INTEGER, record, word, grp, field);"
               "DELETE FROM temp.kv_log_records; DELETE FROM temp.kv_log_links;"
               "CREATE TEMP TRIGGER kv_log_records_insert AFTER INSERT ON main.Móðurtafla BEGIN "
               "INSERT INTO kv_log_records VALUES (new." + m("ID") + "); END;"
               "CREATE TEMP TRIGGER kv_log_records_delete AFTER DELETE ON main.Móðurtafla BEGIN "
               "INSERT INTO kv_log_records VALUES (old." + m("ID") + "); END;"
               "CREATE TEMP TRIGGER kv_log_records_update AFTER UPDATE OF " + updated + " ON main.Móðurtafla BEGIN "
               "INSERT INTO kv_log_records VALUES (old." + m("ID") + "), (new." + m("ID") + "); END;"
               "CREATE TEMP TRIGGER kv_log_links_insert AFTER INSERT ON main.Tengill BEGIN " + logged("1", "new") + " END;"
               "CREATE TEMP TRIGGER kv_log_links_delete AFTER DELETE ON main.Tengill BEGIN " + logged("-1", "old") + " END;"
               "CREATE TEMP TRIGGER kv_log_links_update AFTER UPDATE ON main.Tengill BEGIN " + logged("-1", "old") +
               logged("1", "new") + " END;")
                  .c_str());
  watching_ = true;
}

void IndexChanges::stop() {
  if (!watching_) return;
  ExecSql(db_, "DROP TRIGGER IF EXISTS temp.kv_log_records_insert; DROP TRIGGER IF EXISTS temp.kv_log_records_delete;"
               "DROP TRIGGER IF EXISTS temp.kv_log_records_update; DROP TRIGGER IF EXISTS temp.kv_log_links_insert;"
               "DROP TRIGGER IF EXISTS temp.kv_log_links_delete; DROP TRIGGER IF EXISTS temp.kv_log_links_update;");
}

IndexChanges::~IndexChanges() {
  try {
    stop();
    if (watching_) ExecSql(db_, "DROP TABLE IF EXISTS temp.kv_log_records; DROP TABLE IF EXISTS temp.kv_log_links;");
  } catch (const std::exception&) {
    // The connection is closing with the transaction rolled back: the
    // temporary triggers and tables go with it.
  }
}

bool UpdateSearchIndex(sqlite3* db, IndexChanges& changes) {
  try {
    bool done = write_delta(db, changes);
    changes.stop();
    if (done) return false;
  } catch (const WriteWhole&) {
  } catch (const stored::Damaged&) {
  }
  changes.stop();
  // Whatever the delta wrote so far goes with the tables written anew.
  WriteSearchIndex(db);
  return true;
}

}  // namespace kvistur::import
