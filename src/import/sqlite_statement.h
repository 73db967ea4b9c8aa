// The statement and connection owners the import tools write through
// (platform/sqlite_statement.h), the engine's functions on a connection
// that writes, and a look at a file's tables.
#pragma once

#include <string>

#include "platform/sqlite_functions.h"
#include "platform/sqlite_statement.h"

namespace kvistur::import {

using db::ExecSql;
using db::OpenSqlite;
using db::SqliteConnection;
using db::SqliteStatement;

// Whether the file has a table of that name.
inline bool HasTable(sqlite3* db, const char* name) {
  SqliteStatement q(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
  return q.bind(1, std::string(name)).step();
}

// A statement's current row as the stored index's codec reads rows
// (search/stored_codec.h).
struct StatementRow {
  SqliteStatement& st;
  bool is_integer(int i) { return sqlite3_column_type(st.get(), i) == SQLITE_INTEGER; }
  int64_t integer(int i) { return st.integer(i); }
  std::string_view bytes(int i) {
    const char* p = static_cast<const char*>(sqlite3_column_blob(st.get(), i));
    return p ? std::string_view(p, std::size_t(sqlite3_column_bytes(st.get(), i))) : std::string_view();
  }
};

// Registers kv_fold and the engine's other functions on a connection that
// writes (indexes over kv_fold need it).  Throws std::runtime_error when
// SQLite cannot.
inline void RegisterKvFunctions(sqlite3* db) {
  if (db::register_kv_functions(db) != SQLITE_OK) throw std::runtime_error(sqlite3_errmsg(db));
}

}  // namespace kvistur::import
