// One prepared statement on an SQLite file that an import tool writes:
// bound, stepped and reset, finalized when it goes; SQLite's errors are
// thrown with SQLite's message.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace kvistur::import {

class SqliteStatement {
 public:
  SqliteStatement(sqlite3* db, const char* sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &st_, nullptr) != SQLITE_OK) {
      std::string m = sqlite3_errcode(db) == SQLITE_NOTADB ? "not an SQLite database" : sqlite3_errmsg(db);
      sqlite3_finalize(st_);
      throw std::runtime_error(m);
    }
  }
  ~SqliteStatement() { sqlite3_finalize(st_); }
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;

  sqlite3_stmt* get() const { return st_; }
  SqliteStatement& bind(int i, int64_t v) {
    sqlite3_bind_int64(st_, i, v);
    return *this;
  }
  SqliteStatement& bind(int i, const std::string& v) {
    sqlite3_bind_text(st_, i, v.data(), int(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  SqliteStatement& bind_blob(int i, const void* p, std::size_t n) {
    sqlite3_bind_blob(st_, i, p, int(n), SQLITE_TRANSIENT);
    return *this;
  }
  // Steps once; true when a row came back (read it with the column calls).
  bool step() {
    int rc = sqlite3_step(st_);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db_));
    return false;
  }
  // Steps once and makes the statement ready for its next values.
  void run() {
    step();
    reset();
  }
  void reset() {
    sqlite3_reset(st_);
    sqlite3_clear_bindings(st_);
  }
  int64_t integer(int i) const { return sqlite3_column_int64(st_, i); }
  std::string blob(int i) const {
    const char* p = static_cast<const char*>(sqlite3_column_blob(st_, i));
    return p ? std::string(p, std::size_t(sqlite3_column_bytes(st_, i))) : std::string();
  }

 private:
  sqlite3* db_;
  sqlite3_stmt* st_ = nullptr;
};

// Whether the file has a table of that name.
inline bool HasTable(sqlite3* db, const char* name) {
  SqliteStatement q(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
  return q.bind(1, std::string(name)).step();
}

}  // namespace kvistur::import
