#include "import/facet_writer.h"

#include <sqlite3.h>

#include <random>

#include "import/indexes.h"
#include "import/sqlite_statement.h"
#include "platform/content_stamp.h"
#include "record/record_text.h"
#include "search/facet_table.h"

namespace kvistur::import {

namespace {

using facets::FacetTable;

bool integer(sqlite3_stmt* st, int i) { return sqlite3_column_type(st, i) == SQLITE_INTEGER; }

std::string_view bytes(sqlite3_stmt* st, int i) {
  const void* p = sqlite3_column_blob(st, i);
  return p ? std::string_view(static_cast<const char*>(p), std::size_t(sqlite3_column_bytes(st, i))) : std::string_view();
}

void read_records(sqlite3* db, FacetTable::Builder& b) {
  const bool sources = HasTable(db, "Frumfærsla");
  std::string sql = sources ? "SELECT m.ID, m.Tag, m.Upprunafærsla, f.Færsla, CASE WHEN f.ID IS NULL THEN "
                              "m.ÖllFærslan END FROM Móðurtafla m LEFT JOIN Frumfærsla f ON f.ID = m.ID"
                            : "SELECT m.ID, m.Tag, m.Upprunafærsla, NULL, m.ÖllFærslan FROM Móðurtafla m";
  SqliteStatement rows(db, sql.c_str());
  while (rows.step()) {
    sqlite3_stmt* st = rows.get();
    if (!integer(st, 0)) continue;  // a record number the search cannot find either
    int64_t id = sqlite3_column_int64(st, 0);
    if (id < INT32_MIN || id > INT32_MAX) continue;
    int tag = int(sqlite3_column_int64(st, 1));
    int32_t origin = int32_t(sqlite3_column_int64(st, 2));
    facets::Facts f;
    if (sqlite3_column_type(st, 3) != SQLITE_NULL) {
      f = facets::FactsFromSource(bytes(st, 3));
    } else {
      Text date;
      try {
        date = ParseRecordText(from_utf8(std::string(bytes(st, 4)))).Útgáfutími;
      } catch (const Error&) {
      }
      f = facets::FactsFromEntry(tag, date);
    }
    b.record(int32_t(id), tag, origin, f);
  }
}

}  // namespace

void WriteFacetData(sqlite3* db) {
  ExecSql(db, "DROP TABLE IF EXISTS kv_facet_meta; DROP TABLE IF EXISTS kv_facet_places; DROP TABLE IF EXISTS kv_facets;");
  if (!HasTable(db, "Móðurtafla") || !HasTable(db, db::kStampTable)) return;
  FacetTable::Builder b;
  read_records(db, b);
  if (HasTable(db, "Aðfanganúmer")) {
    // The facets ask for the copies on loan after every change.
    ExecSql(db, "CREATE INDEX IF NOT EXISTS kv_adfang_lan ON Aðfanganúmer(Lánþegabendir, Móðurbendir);");
    SqliteStatement copies(db, "SELECT Móðurbendir, Staðsetning FROM Aðfanganúmer");
    while (copies.step())
      if (integer(copies.get(), 0)) b.copy(int32_t(sqlite3_column_int64(copies.get(), 0)), bytes(copies.get(), 1));
  }
  std::unique_ptr<FacetTable> table = b.finish();

  ExecSql(db,
          "CREATE TABLE kv_facet_places (id INTEGER PRIMARY KEY, name TEXT NOT NULL);"
          "CREATE TABLE kv_facets (chunk INTEGER PRIMARY KEY, build INTEGER, records INTEGER, data BLOB, "
          "checksum INTEGER);"
          "CREATE TABLE kv_facet_meta (format INTEGER, build INTEGER, records INTEGER, chunks INTEGER, "
          "built_records INTEGER, built_links INTEGER);");
  SqliteStatement place(db, "INSERT INTO kv_facet_places (id, name) VALUES (?, ?)");
  for (std::size_t i = 0; i < table->places().size(); ++i) place.bind(1, int64_t(i)).bind(2, table->places()[i]).run();
  std::random_device rd;
  const int64_t build = int64_t((uint64_t(rd()) << 31) ^ rd()) & INT64_MAX;
  std::vector<std::string> chunks = table->EncodeChunks();
  SqliteStatement chunk(db, "INSERT INTO kv_facets (chunk, build, records, data, checksum) VALUES (?, ?, ?, ?, ?)");
  const int64_t records = int64_t(table->records());
  for (std::size_t c = 0; c < chunks.size(); ++c) {
    int64_t n = std::min<int64_t>(int64_t(facets::kChunkRecords), records - int64_t(c * facets::kChunkRecords));
    chunk.bind(1, int64_t(c)).bind(2, build).bind(3, n).bind_blob(4, chunks[c]);
    chunk.bind(5, facets::ChunkChecksum(build, int64_t(c), chunks[c])).run();
  }
  SqliteStatement meta(db,
                       "INSERT INTO kv_facet_meta SELECT ?, ?, ?, ?, records, links FROM kv_state");
  meta.bind(1, int64_t(facets::kFormat)).bind(2, build).bind(3, records).bind(4, int64_t(chunks.size())).run();
}

}  // namespace kvistur::import
