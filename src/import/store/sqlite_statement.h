// The statement and connection owners the import tools write through,
// with a look at a file's tables (platform/sqlite_statement.h), and the
// engine's functions on a connection that writes.
#pragma once

#include <string>

#include "platform/sqlite_functions.h"
#include "platform/sqlite_statement.h"

namespace kvistur::import {

using db::ExecSql;
using db::HasTable;
using db::OpenSqlite;
using db::SqliteConnection;
using db::SqliteStatement;

// Registers kv_fold and the engine's other functions on a connection that
// writes (indexes over kv_fold need it).  Throws std::runtime_error when
// SQLite cannot.
inline void RegisterKvFunctions(sqlite3* db) {
  if (db::register_kv_functions(db) != SQLITE_OK) throw std::runtime_error(sqlite3_errmsg(db));
}

}  // namespace kvistur::import
