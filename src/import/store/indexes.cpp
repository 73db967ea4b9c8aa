#include "import/store/indexes.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>
#include <stdexcept>

#include "import/store/facet_writer.h"
#include "import/store/record_numbers.h"
#include "import/store/search_index.h"
#include "import/store/sqlite_statement.h"
#include "platform/sqlite_functions.h"
#include "platform/sqlite_journal.h"

namespace kvistur::import {

SqliteConnection CreateDatabase(const std::string& file) {
  if (std::filesystem::exists(file)) throw std::runtime_error("will not write over the database " + file);
  // One thread writes it: SQLite need not guard the connection.
  return OpenSqlite(file, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX);
}

namespace {

// Whether Tengill is kept in the order of (OrðID, FærsluID, ...) already:
// a table without rowid whose key starts with those two columns.
bool word_index_is_table(sqlite3* db) {
  SqliteStatement st(db,
                     "SELECT group_concat(name, ',') FROM (SELECT ii.name FROM pragma_index_list('Tengill') il, "
                     "pragma_index_info(il.name) ii WHERE il.origin = 'pk' ORDER BY ii.seqno)");
  return st.step() && st.blob(0).rfind("OrðID,FærsluID", 0) == 0;
}

// Whether COLUMN is TABLE's rowid (declared INTEGER PRIMARY KEY), which
// finds a row by it without any index.
bool is_rowid(sqlite3* db, const char* table, const char* column) {
  SqliteStatement st(db,
                     "SELECT sum(pk > 0), max(pk > 0 AND name = ? COLLATE NOCASE AND upper(type) = 'INTEGER') "
                     "FROM pragma_table_info(?)");
  return st.bind(1, std::string(column)).bind(2, std::string(table)).step() && st.integer(0) == 1 && st.integer(1) == 1;
}

}  // namespace

void CreateHoldingsIndex(sqlite3* db) {
  ExecSql(db, "CREATE INDEX IF NOT EXISTS kv_adfanganumer ON Aðfanganúmer(Móðurbendir);");
}

void CreateQueryIndexes(sqlite3* db) {
  ExecSql(db, "CREATE INDEX IF NOT EXISTS kv_ord_fold ON Orð(kv_fold(Orð));");
  // The search reads a word's records in record order; a Tengill of
  // another tool's making gets an index that holds every column the search
  // reads, so the rows themselves are never visited.
  if (!word_index_is_table(db))
    ExecSql(db, "CREATE INDEX IF NOT EXISTS kv_tengill_ord ON Tengill(OrðID, FærsluID, HópID, Orðtag);");
  if (HasTable(db, "Aðfanganúmer")) CreateHoldingsIndex(db);
  if (HasTable(db, "Móðurtafla")) {
    ExecSql(db, "CREATE INDEX IF NOT EXISTS kv_einkenni ON Móðurtafla(kv_fold(Einkennisstrengur));");
    // Records are fetched by number; a Móðurtafla copied from another
    // database program keeps ID as an ordinary column.
    if (!is_rowid(db, "Móðurtafla", "ID")) ExecSql(db, "CREATE INDEX IF NOT EXISTS kv_modurtafla_id ON Móðurtafla(ID);");
  }
  if (HasTable(db, "ValdarFærslur")) ExecSql(db, "CREATE INDEX IF NOT EXISTS kv_valdar ON ValdarFærslur(Valdar);");
  if (HasTable(db, "Árgangur")) ExecSql(db, "CREATE INDEX IF NOT EXISTS kv_argangur ON Árgangur(MóðurID);");
  if (HasTable(db, "Tölublað")) ExecSql(db, "CREATE INDEX IF NOT EXISTS kv_tolublad ON Tölublað(MóðurID);");
  // Updates find the record they change by its control number.
  if (HasTable(db, "Frumfærsla"))
    ExecSql(db, "CREATE INDEX IF NOT EXISTS kv_stjornnumer ON Frumfærsla(Stjórnnúmer);");
}

void RefreshStatistics(sqlite3* db) {
  // From a sample of each index: enough for the planner's choices, and
  // quick on a catalogue of millions of rows.
  ExecSql(db, "PRAGMA analysis_limit=1000; ANALYZE;");
}

void CreateIndexes(sqlite3* db, bool search_index) {
  std::function<void(sqlite3*)> write;
  if (search_index)
    write = [](sqlite3* d) {
      WriteSearchIndex(d);
      WriteFacetData(d);
    };
  CreateIndexes(db, write);
}

void CreateIndexes(sqlite3* db, const std::function<void(sqlite3*)>& write_search_data) {
  CreateQueryIndexes(db);
  if (write_search_data) {
    if (HasTable(db, "Móðurtafla")) InstallRecordMark(db);
    write_search_data(db);
  }
  RefreshStatistics(db);
}

void IndexCatalogue(const std::string& file) {
  struct stat sb;
  if (stat(file.c_str(), &sb) != 0) throw std::runtime_error("no such file: " + file);
  SqliteConnection db = OpenSqlite(file, SQLITE_OPEN_READWRITE);
  try {
    RegisterKvFunctions(db.get());
    sqlite3_busy_timeout(db.get(), db::kWriterBusyTimeoutMs);
    if (!HasTable(db.get(), "Orð") || !HasTable(db.get(), "Tengill"))
      throw std::runtime_error("not a catalogue (no tables Orð and Tengill)");
    db::UseWriteAheadLog(db.get());
    ExecSql(db.get(), "BEGIN IMMEDIATE");
    CreateIndexes(db.get());
    ExecSql(db.get(), "COMMIT");
    db::CheckpointAfterCommit(db.get());
  } catch (const std::exception& e) {
    throw std::runtime_error(file + ": " + e.what());
  }
}

}  // namespace kvistur::import
