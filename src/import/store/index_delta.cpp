#include "import/store/index_delta.h"

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

#include "import/store/delta_base.h"
#include "import/store/indexes.h"
#include "import/store/search_index.h"
#include "import/store/sqlite_statement.h"
#include "platform/content_stamp.h"
#include "platform/jet_sql.h"
#include "search/hits.h"
#include "search/stored_codec.h"

namespace kvistur::import {

std::string QuotedColumn(sqlite3* db, const char* table, const std::string& wanted) {
  return db::quote_ident(db::spelled_as(db::TableColumns(db, table), wanted));
}

namespace {

using stored::DeltaRecord;
using stored::Link;
using namespace delta;

// The value of a logged number, which must be a whole number that fits.
int64_t whole(SqliteStatement& st, int i, int64_t lo, int64_t hi) {
  if (!st.is_integer(i) || st.integer(i) < lo || st.integer(i) > hi) throw WriteWhole{};
  return st.integer(i);
}

// One change of Tengill: +1 a row written, -1 a row deleted.
struct LinkChange {
  int op;
  Link link;  // (word, HópID, Orðtag)
};

// A record the update touched: its row when the update began (not there
// when it had none), and its changes of Tengill in order.
struct Touched {
  Row before;
  bool seen = false;  // the update changed its row (its first change read into BEFORE)
  std::vector<LinkChange> links;
};

std::map<int32_t, Touched> read_log(sqlite3* db) {
  std::map<int32_t, Touched> t;
  SqliteStatement records(db, "SELECT id, old, key, ident_null, tag FROM temp.kv_log_records ORDER BY seq");
  while (records.step()) {
    Touched& r = t[int32_t(whole(records, 0, INT32_MIN, INT32_MAX))];
    // Its first event says whether it was a record when the update began:
    // an old row logged, or a row inserted where there was none.
    if (!r.seen && records.integer(1) == 1)
      r.before = Rows::from(db::column_variant(records.get(), 2), records.integer(3) != 0, db::column_variant(records.get(), 4));
    r.seen = true;
  }
  SqliteStatement links(db, "SELECT op, record, word, grp, field FROM temp.kv_log_links ORDER BY seq");
  while (links.step()) {
    Touched& r = t[int32_t(whole(links, 1, INT32_MIN, INT32_MAX))];
    r.links.push_back({int(links.integer(0)), Link{whole(links, 2, INT64_MIN, INT64_MAX),
                                                    whole(links, 3, INT64_MIN, INT64_MAX), whole(links, 4, INT64_MIN, INT64_MAX)}});
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

bool write_delta(sqlite3* db, IndexChanges& changes) {
  // A table missing is damage: the index is written whole.
  if (!changes.watching() || !HasTable(db, "kv_search_meta") || !HasTable(db, kOrderTable)) return false;
  for (const char* t : kListTables)
    if (!HasTable(db, t)) return false;
  if (StoredFormat(db) != stored::kFormat) return false;
  stored::Summary meta = ReadSummary(db);
  if (!meta.postings || meta.collator != collation_version() || !db::ContentStampInstalled(db) ||
      meta.built_records != changes.records_before() || meta.built_links != changes.links_before())
    return false;

  std::map<int32_t, Touched> touched = read_log(db);
  std::vector<std::pair<int64_t, DeltaRecord>> written;  // the rows of kv_delta to write (or remove: kind kGone, base -1)
  std::map<int32_t, DeltaRecord> prior;                   // kv_delta as it was
  {
    SqliteStatement st(db, "SELECT id, base, kind, place, equal, key, links, checksum FROM kv_delta");
    while (st.step()) {
      DeltaRecord d = DeltaRecord::Read(st);
      d.check(meta);
      prior.emplace(int32_t(d.id), std::move(d));
    }
    if (int64_t(prior.size()) != meta.delta_records) throw stored::Damaged("kv_delta: not as many rows as the summary says");
  }

  if (!touched.empty()) {
    BaseOrder order(db, meta);
    std::vector<bool> masked(std::size_t(meta.positions), false);
    for (auto& [id, d] : prior)
      if (d.base >= 0) masked[std::size_t(d.base)] = true;
    std::set<int32_t> touched_ids;
    for (auto& [id, t] : touched) touched_ids.insert(id);
    BaseSearch search(db, order, meta, masked, touched_ids);
    BaseCounts counts(db, meta);
    Rows rows(db);
    std::map<int32_t, DeltaRecord> next = prior;
    std::set<int64_t> words;  // whose delta postings change
    for (auto& [id, t] : touched) {
      DeltaRecord d;
      d.id = id;
      std::optional<std::vector<Link>> known;
      uint32_t base_count = 0;
      if (auto it = prior.find(id); it != prior.end()) {
        d.base = it->second.base;
        known = it->second.links;
      } else if (std::optional<uint32_t> at = search.locate(id, t.seen ? t.before : rows.of(id))) {
        // (A record whose row the update did not touch has the row it had.)
        d.base = *at;
        base_count = counts.at(*at);
      } else {
        known.emplace();  // not in the index: no links before
      }
      if (known)
        for (const Link& l : *known) words.insert(l.a);
      d.links = links_now(known, base_count, t.links);
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
    for (auto& [id, d] : next) {
      if (d.kind != stored::kPlaced) continue;
      if (touched.count(id)) {
        auto [place, equal] = search.place(d.key);
        d.place = place;
        d.equal = equal;
      } else if (d.place < meta.ordered && masked[std::size_t(d.place)]) {
        int64_t p = d.place;
        while (p < meta.ordered && masked[std::size_t(p)]) {
          ++p;
          if (p < meta.ordered && order.starts(uint32_t(p))) d.equal = false;
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
      if (d.kind != stored::kPlaced && touched.count(id)) {
        d.place = 0;
        d.equal = false;
        d.checksum = d.sum(meta.build);
        written.emplace_back(id, d);
      }
    for (auto& [id, t] : touched)
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
    for (auto& [id, t] : touched)
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
        std::string_view packed = get.bytes(0);
        if (get.integer(1) != stored::DeltaPostingsSum(meta.build, w, packed))
          throw stored::Damaged("kv_delta_postings word " + std::to_string(w) + ": the checksum does not match");
        postings = stored::DecodeLinks(packed);
      }
      get.reset();
      std::erase_if(postings, [&](const Link& l) { return touched.count(int32_t(l.a)) > 0; });
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

  std::optional<db::StampCounters> stamp = db::ReadStampCounters(db);
  if (!stamp) return false;
  meta.built_records = stamp->records;
  meta.built_links = stamp->links;
  WriteSummary(db, meta);
  return true;
}

}  // namespace

IndexChanges::IndexChanges(sqlite3* db) : WatchedChanges(db) {
  if (!HasTable(db, "Móðurtafla") || !HasTable(db, "Tengill") || !read_stamp()) return;
  auto m = [&](const char* c) { return QuotedColumn(db, "Móðurtafla", c); };
  auto t = [&](const char* c) { return QuotedColumn(db, "Tengill", c); };
  std::string updated;
  for (const std::string& c : db::stamped_record_columns()) updated += (updated.empty() ? "" : ", ") + m(c.c_str());
  auto logged = [&](const char* op, const std::string& row) {
    std::string values;
    for (const char* c : {"FærsluID", "OrðID", "HópID", "Orðtag"}) values += ", " + row + "." + t(c);
    return std::string("INSERT INTO kv_log_links (op, record, word, grp, field) VALUES (") + op + values + ");";
  };
  // A row of Móðurtafla as the log keeps it: number, sort text, whether
  // the identifying string is null, kind.
  auto logged_row = [&](const std::string& row) {
    return row + "." + m("ID") + ", 1, " + row + "." + m("Röðunarsvið") + ", " + row + "." + m("Einkennisstrengur") +
           " IS NULL, " + row + "." + m("Tag");
  };
  const std::string log_row = "INSERT INTO kv_log_records (id, old, key, ident_null, tag) ";
  watch("CREATE TEMP TABLE IF NOT EXISTS kv_log_records (seq INTEGER PRIMARY KEY, id, old INTEGER, key, "
               "ident_null, tag);"
               "CREATE TEMP TABLE IF NOT EXISTS kv_log_links (seq INTEGER PRIMARY KEY, op INTEGER, record, word, grp, field);"
               "DELETE FROM temp.kv_log_records; DELETE FROM temp.kv_log_links;"
               // A row an INSERT OR REPLACE takes the place of, which fires no delete trigger.
               "CREATE TEMP TRIGGER kv_log_records_replace BEFORE INSERT ON main.Móðurtafla BEGIN " + log_row +
               "SELECT " + logged_row("m") + " FROM Móðurtafla AS m WHERE m." + m("ID") + " = new." + m("ID") + "; END;"
               "CREATE TEMP TRIGGER kv_log_records_insert AFTER INSERT ON main.Móðurtafla BEGIN " + log_row +
               "VALUES (new." + m("ID") + ", 0, NULL, NULL, NULL); END;"
               "CREATE TEMP TRIGGER kv_log_records_delete AFTER DELETE ON main.Móðurtafla BEGIN " + log_row +
               "VALUES (" + logged_row("old") + "); END;"
               "CREATE TEMP TRIGGER kv_log_records_update AFTER UPDATE OF " + updated + " ON main.Móðurtafla BEGIN " +
               log_row + "VALUES (" + logged_row("old") + "), (new." + m("ID") + ", 0, NULL, NULL, NULL); END;"
               "CREATE TEMP TRIGGER kv_log_links_insert AFTER INSERT ON main.Tengill BEGIN " + logged("1", "new") + " END;"
               "CREATE TEMP TRIGGER kv_log_links_delete AFTER DELETE ON main.Tengill BEGIN " + logged("-1", "old") + " END;"
               "CREATE TEMP TRIGGER kv_log_links_update AFTER UPDATE ON main.Tengill BEGIN " + logged("-1", "old") +
               logged("1", "new") + " END;",
        {"kv_log_records_replace", "kv_log_records_insert", "kv_log_records_delete", "kv_log_records_update",
         "kv_log_links_insert", "kv_log_links_delete", "kv_log_links_update"},
        {"kv_log_records", "kv_log_links"});
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
