// Fuzzes the query-dialect translator and the Like matcher: any text must be
// translated (for SQLite and for a schema on a server) or refused with an
// Error, never crash or hang, and a translated query runs on an in-memory
// database without harm.
#include <sqlite3.h>

#include <cstdint>
#include <string>

#include "kvistur/error.h"
#include "platform/jet_sql.h"
#include "platform/sqlite_functions.h"
#include "platform/sqlite_statement.h"

using namespace kvistur;
using namespace kvistur::db;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view raw(reinterpret_cast<const char*>(data), size);
  static Schema schema = [] {
    Schema s;
    s.add_table({"Orð", {{"ID", false}, {"Orð", true}}});
    s.add_table({"Tengill", {{"FærsluID", false}, {"OrðID", false}}});
    return s;
  }();
  static SqliteConnection connection = [] {
    sqlite3* d = nullptr;
    sqlite3_open(":memory:", &d);
    SqliteConnection owned(d);
    register_kv_functions(d);
    sqlite3_exec(d, "CREATE TABLE \"Orð\"(ID INTEGER, \"Orð\" TEXT); INSERT INTO \"Orð\" VALUES (1,'Saga'),(2,'þór');"
                    "CREATE TABLE \"Tengill\"(\"FærsluID\" INTEGER, \"OrðID\" INTEGER); PRAGMA query_only=1;",
                 nullptr, nullptr, nullptr);
    return owned;
  }();
  sqlite3* db = connection.get();
  static Schema server = [] {
    Schema s;
    s.set_server_schema("katalogur");
    TableInfo t("Orð", {{"ID", false}, {"Orð", true}});
    t.columns[1].fold_column = "kv_fold_Orð";
    t.order = {"ID"};
    s.add_table(t);
    s.add_table({"Tengill", {{"FærsluID", false}, {"OrðID", false}}});
    return s;
  }();
  Text query = from_utf8(raw);
  try {
    translate_jet(query, server);
  } catch (const Error&) {
  }
  try {
    Translation t = translate_jet(query, schema);
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, t.sql.c_str(), -1, &s, nullptr) == SQLITE_OK && s) {
      if (!sqlite3_stmt_readonly(s)) __builtin_trap();
      for (std::size_t i = 0; i < t.values.size(); ++i)
        sqlite3_bind_text(s, int(i + 1), t.values[i].text.c_str(), -1, SQLITE_TRANSIENT);
      for (int rows = 0; rows < 1000 && sqlite3_step(s) == SQLITE_ROW; ++rows) {
      }
    }
    sqlite3_finalize(s);
  } catch (const Error&) {
  }
  std::string pattern = fold_utf8(raw.substr(0, raw.size() / 2));
  std::string text = fold_utf8(raw.substr(raw.size() / 2));
  like_match(pattern, text);
  like_prefix(pattern);
  if (like_pattern_valid(pattern)) like_regex(pattern);
  return 0;
}
