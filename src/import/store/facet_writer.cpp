#include "import/store/facet_writer.h"

#include <sqlite3.h>

#include <map>
#include <set>

#include "import/store/index_delta.h"
#include "import/store/indexes.h"
#include "import/store/sqlite_statement.h"
#include "platform/content_stamp.h"
#include "record/record_text.h"

namespace kvistur::import {

namespace {

using facets::FacetRows;
using facets::FacetTable;
using stored::FacetHolder;
using stored::FacetRecord;
using stored::FacetRowKind;

// The records of Móðurtafla into B: all of them, or the one numbered *ID.
void read_records(sqlite3* db, FacetTable::Builder& b, const int64_t* id = nullptr) {
  // The columns as the file spells them (SQLite matches names without
  // regard to case for ASCII letters only).
  auto m = [&](const char* c) { return "m." + QuotedColumn(db, "Móðurtafla", c); };
  auto f = [&](const char* c) { return "f." + QuotedColumn(db, "Frumfærsla", c); };
  const bool sources = HasTable(db, "Frumfærsla");
  std::string sql = "SELECT " + m("ID") + ", " + m("Tag") + ", " + m("Upprunafærsla") + ", " +
                    (sources ? f("Færsla") + ", CASE WHEN " + f("ID") + " IS NULL THEN " + m("ÖllFærslan") +
                                   " END FROM Móðurtafla m LEFT JOIN Frumfærsla f ON " + f("ID") + " = " + m("ID")
                             : "NULL, " + m("ÖllFærslan") + " FROM Móðurtafla m");
  SqliteStatement rows(db, sql + (id ? " WHERE " + m("ID") + " = ?" : ""));
  if (id) rows.bind(1, *id);
  while (rows.step()) {
    if (!rows.is_integer(0)) continue;  // a record number the search cannot find either
    int64_t number = rows.integer(0);
    if (number < INT32_MIN || number > INT32_MAX) continue;
    int tag = int(rows.integer(1));
    int32_t origin = int32_t(rows.integer(2));
    facets::Facts f;
    if (!rows.is_null(3)) {
      f = facets::FactsFromSource(rows.bytes(3));
    } else {
      Text date;
      try {
        date = ParseRecordText(from_utf8(std::string(rows.bytes(4)))).Útgáfutími;
      } catch (const Error&) {
      }
      f = facets::FactsFromEntry(tag, date);
    }
    b.record(int32_t(number), tag, origin, f);
  }
}

// The copies of Aðfanganúmer into B: all of them, or those of holder *ID.
void read_copies(sqlite3* db, FacetTable::Builder& b, const int64_t* id = nullptr) {
  if (!HasTable(db, "Aðfanganúmer")) return;
  const std::string holder = QuotedColumn(db, "Aðfanganúmer", "Móðurbendir");
  SqliteStatement copies(db, "SELECT " + holder + ", " + QuotedColumn(db, "Aðfanganúmer", "Staðsetning") +
                                 " FROM Aðfanganúmer" + (id ? " WHERE " + holder + " = ?" : ""));
  if (id) copies.bind(1, *id);
  while (copies.step())
    if (copies.is_integer(0)) b.copy(int32_t(copies.integer(0)), copies.bytes(1));
}

// A row of kv_facets or kv_facet_copies, written, or deleted when it holds nothing.
void put_chunk(sqlite3* db, FacetRowKind kind, int64_t build, int64_t chunk, const std::string& data) {
  const std::string table = kind == FacetRowKind::kRecords ? "kv_facets" : "kv_facet_copies";
  if (data.empty()) {
    SqliteStatement(db, "DELETE FROM " + table + " WHERE chunk = ?").bind(1, chunk).run();
    return;
  }
  SqliteStatement put(db, "INSERT OR REPLACE INTO " + table + " (chunk, data, checksum) VALUES (?, ?, ?)");
  put.bind(1, chunk).bind_blob(2, data).bind(3, stored::FacetRowSum(build, kind, chunk, data)).run();
}

// Entries (ascending by number) as their chunks' rows.
template <typename Entry, typename Encode>
void put_chunks(sqlite3* db, FacetRowKind kind, int64_t build, const std::vector<Entry>& all, Encode encode) {
  for (std::size_t from = 0; from < all.size();) {
    std::size_t to = from;
    const int64_t chunk = stored::FacetChunk(all[from].id);
    while (to < all.size() && stored::FacetChunk(all[to].id) == chunk) ++to;
    put_chunk(db, kind, build, chunk, encode(std::span<const Entry>(all.data() + from, to - from)));
    from = to;
  }
}

void put_places(sqlite3* db, int64_t build, const std::vector<std::string>& places, std::size_t from) {
  SqliteStatement place(db, "INSERT INTO kv_facet_places (id, name, checksum) VALUES (?, ?, ?)");
  for (std::size_t i = from; i < places.size(); ++i)
    place.bind(1, int64_t(i)).bind(2, places[i]).bind(3, stored::FacetPlaceSum(build, int64_t(i), places[i])).run();
}

// The summary, at the stamp's counters now.
void put_summary(sqlite3* db, stored::FacetSummary meta) {
  std::optional<db::StampCounters> stamp = db::ReadStampCounters(db);
  if (!stamp || !stamp->facts) throw std::runtime_error("kv_state: no row, or no facts");
  meta.built_records = stamp->records;
  meta.built_links = stamp->links;
  meta.built_facts = *stamp->facts;
  meta.checksum = meta.sum();
  ExecSql(db, "DELETE FROM kv_facet_meta");
  std::string names, marks;
  for (const char* c : stored::FacetSummary::kColumns) {
    names += (names.empty() ? "" : ", ") + std::string(c);
    marks += marks.empty() ? "?" : ", ?";
  }
  SqliteStatement put(db, "INSERT INTO kv_facet_meta (" + names + ") VALUES (" + marks + ")");
  int i = 0;
  for (int64_t* v : meta.fields()) put.bind(++i, *v);
  put.run();
}

// A row of one of the chunked tables, checked, decoded; empty when there is none.
template <typename Decode>
auto read_chunk(sqlite3* db, FacetRowKind kind, int64_t build, int64_t chunk, Decode decode) {
  const std::string table = kind == FacetRowKind::kRecords ? "kv_facets" : "kv_facet_copies";
  SqliteStatement get(db, "SELECT data, checksum FROM " + table + " WHERE chunk = ?");
  decltype(decode(std::string_view())) out;
  if (!get.bind(1, chunk).step()) return out;
  std::string_view data = get.bytes(0);
  if (!get.is_integer(1) || get.integer(1) != stored::FacetRowSum(build, kind, chunk, data))
    throw stored::Damaged(table + " chunk " + std::to_string(chunk) + ": the checksum does not match");
  return decode(data);
}

// Replaces the entries of the chunks of TOUCHED in the rows with those of
// NOW (the touched numbers' entries as the tables hold them); the change
// in the number of entries.
template <typename Entry, typename Decode, typename Encode>
int64_t patch(sqlite3* db, FacetRowKind kind, int64_t build, const std::set<int64_t>& touched,
              const std::vector<Entry>& now, Decode decode, Encode encode) {
  int64_t change = 0;
  std::set<int64_t> chunks;
  for (int64_t id : touched) chunks.insert(stored::FacetChunk(id));
  for (int64_t c : chunks) {
    std::vector<Entry> entries = read_chunk(db, kind, build, c, [&](std::string_view d) { return decode(c, d); });
    change -= int64_t(entries.size());
    std::erase_if(entries, [&](const Entry& e) { return touched.count(e.id) > 0; });
    for (const Entry& e : now)
      if (stored::FacetChunk(e.id) == c) entries.push_back(e);
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.id < b.id; });
    change += int64_t(entries.size());
    put_chunk(db, kind, build, c, encode(std::span<const Entry>(entries)));
  }
  return change;
}

bool patch_facets(sqlite3* db, FacetChanges& changes) {
  for (const char* t : {"kv_facet_meta", "kv_facet_places", "kv_facets", "kv_facet_copies"})
    if (!HasTable(db, t)) return false;
  if (!changes.watching()) return false;
  facets::StoredFacets head;
  if (facets::ReadFacetHead(SqliteRows(db), head) != facets::Stored::kRead) return false;
  stored::FacetSummary meta = head.meta;
  if (meta.built_records != changes.records_before() || meta.built_links != changes.links_before() ||
      changes.facts_before() != meta.built_facts)
    return false;

  std::set<int64_t> records, holders;
  {
    SqliteStatement log(db, "SELECT DISTINCT holder, id FROM temp.kv_log_facets");
    while (log.step())
      if (log.is_integer(1) && log.integer(1) >= INT32_MIN && log.integer(1) <= INT32_MAX)
        (log.integer(0) ? holders : records).insert(log.integer(1));
  }
  FacetTable::Builder b(head.rows.places);
  for (int64_t id : records) read_records(db, b, &id);
  for (int64_t id : holders) read_copies(db, b, &id);
  FacetRows now = b.rows();

  meta.records += patch(db, FacetRowKind::kRecords, meta.build, records, now.records, stored::DecodeFacetRecords,
                        stored::EncodeFacetRecords);
  meta.holders += patch(
      db, FacetRowKind::kHolders, meta.build, holders, now.holders,
      [&](int64_t c, std::string_view d) { return stored::DecodeFacetHolders(c, d, meta.places); },
      stored::EncodeFacetHolders);
  put_places(db, meta.build, now.places, std::size_t(meta.places));
  meta.places = int64_t(now.places.size());
  put_summary(db, meta);
  return true;
}

}  // namespace

void WriteFacetData(sqlite3* db) { WriteFacetData(db, nullptr); }

void WriteFacetData(sqlite3* db, const FacetRows* given) {
  ExecSql(db, "DROP TABLE IF EXISTS kv_facet_meta; DROP TABLE IF EXISTS kv_facet_places; DROP TABLE IF EXISTS kv_facets;"
              "DROP TABLE IF EXISTS kv_facet_copies;");
  if (!HasTable(db, "Móðurtafla") || !HasTable(db, db::kStampTable)) return;
  // Written at facts too: a catalogue stamped before it gets it here.
  db::InstallStampTriggers(db);
  // The facets ask for the copies on loan after every change: the index
  // holds those copies alone (the query's own condition), a fraction of
  // them all, so that making it sorts only theirs.
  if (HasTable(db, "Aðfanganúmer")) {
    const std::string borrower = QuotedColumn(db, "Aðfanganúmer", "Lánþegabendir");
    ExecSql(db, "CREATE INDEX IF NOT EXISTS kv_adfang_lan ON Aðfanganúmer(" + borrower + ", " +
                    QuotedColumn(db, "Aðfanganúmer", "Móðurbendir") + ") WHERE " + borrower + " > 0;");
  }
  FacetRows read;
  if (!given) read = FacetRowsOfTables(db);
  const FacetRows& rows = given ? *given : read;
  ExecSql(db,
          "CREATE TABLE kv_facet_places (id INTEGER PRIMARY KEY, name TEXT NOT NULL, checksum INTEGER);"
          "CREATE TABLE kv_facets (chunk INTEGER PRIMARY KEY, data BLOB, checksum INTEGER);"
          "CREATE TABLE kv_facet_copies (chunk INTEGER PRIMARY KEY, data BLOB, checksum INTEGER);"
          "CREATE TABLE kv_facet_meta (format INTEGER, build INTEGER, records INTEGER, holders INTEGER, "
          "places INTEGER, built_records INTEGER, built_links INTEGER, built_facts INTEGER, checksum INTEGER);");
  stored::FacetSummary meta;
  meta.build = db::RandomInstance();
  meta.records = int64_t(rows.records.size());
  meta.holders = int64_t(rows.holders.size());
  meta.places = int64_t(rows.places.size());
  put_places(db, meta.build, rows.places, 0);
  put_chunks(db, FacetRowKind::kRecords, meta.build, rows.records, stored::EncodeFacetRecords);
  put_chunks(db, FacetRowKind::kHolders, meta.build, rows.holders, stored::EncodeFacetHolders);
  put_summary(db, meta);
}

FacetRows FacetRowsOfTables(sqlite3* db) {
  FacetTable::Builder b;
  read_records(db, b);
  read_copies(db, b);
  return b.rows();
}

FacetChanges::FacetChanges(sqlite3* db) : WatchedChanges(db) {
  if (!HasTable(db, "Móðurtafla") || !read_stamp()) return;
  std::string sql = "CREATE TEMP TABLE IF NOT EXISTS kv_log_facets (holder INTEGER, id); DELETE FROM temp.kv_log_facets;";
  // Each change of a table logs the numbers it touched: 0 a record's, 1 a holder's.
  std::vector<std::string> triggers;
  auto log_changes = [&](const char* table, const char* column, const char* holder, const std::string& name) {
    for (const char* e : {"_insert", "_delete", "_update"}) triggers.push_back(name + e);
    const std::string c = QuotedColumn(db, table, column), log = "INSERT INTO kv_log_facets VALUES ";
    auto row = [&](const char* which) { return std::string("(") + holder + ", " + which + "." + c + ")"; };
    sql += "CREATE TEMP TRIGGER " + name + "_insert AFTER INSERT ON main." + table + " BEGIN " + log + row("new") +
           "; END; CREATE TEMP TRIGGER " + name + "_delete AFTER DELETE ON main." + table + " BEGIN " + log +
           row("old") + "; END; CREATE TEMP TRIGGER " + name + "_update AFTER UPDATE ON main." + table + " BEGIN " +
           log + row("old") + ", " + row("new") + "; END;";
  };
  log_changes("Móðurtafla", "ID", "0", "kv_facets_records");
  if (HasTable(db, "Frumfærsla")) log_changes("Frumfærsla", "ID", "0", "kv_facets_sources");
  if (HasTable(db, "Aðfanganúmer")) log_changes("Aðfanganúmer", "Móðurbendir", "1", "kv_facets_copies");
  watch(sql, std::move(triggers), {"kv_log_facets"});
}

bool UpdateFacetData(sqlite3* db, FacetChanges& changes) {
  changes.stop();
  try {
    if (patch_facets(db, changes)) return true;
  } catch (const stored::Damaged&) {
  }
  // Whatever the patch wrote so far goes with the tables written anew.
  WriteFacetData(db);
  return false;
}

namespace {

// A statement's rows as the engine's cursors give them.
class StatementCursor : public db::Cursor {
 public:
  StatementCursor(sqlite3* db, const std::string& sql) : st_(db, sql) {}
  bool Next() override { return st_.step(); }
  bool IsNull(int i) override { return st_.is_null(i); }
  bool IsInteger(int i) override { return st_.is_integer(i); }
  int64_t Integer(int i) override { return st_.integer(i); }
  std::string_view Bytes(int i) override { return st_.bytes(i); }
  Variant Value(int i) override { return db::column_variant(st_.get(), i); }

 private:
  SqliteStatement st_;
};

}  // namespace

std::function<std::unique_ptr<db::Cursor>(const std::u16string&)> SqliteRows(sqlite3* db) {
  return [db](const std::u16string& sql) -> std::unique_ptr<db::Cursor> {
    return std::make_unique<StatementCursor>(db, to_utf8(sql));
  };
}

}  // namespace kvistur::import
