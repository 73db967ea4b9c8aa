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

// Registers kv_fold and the engine's other functions on a connection that
// writes (indexes over kv_fold need it).  Throws std::runtime_error when
// SQLite cannot.
inline void RegisterKvFunctions(sqlite3* db) {
  if (db::register_kv_functions(db) != SQLITE_OK) throw std::runtime_error(sqlite3_errmsg(db));
}

}  // namespace kvistur::import
