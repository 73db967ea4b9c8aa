// Owners of SQLite handles for the code that writes or checks a file
// outside the engine's read path: a connection closed when its owner goes,
// and a prepared statement finalized when it goes, whose every prepare,
// bind and step is checked.  SQLite's errors are thrown as
// std::runtime_error with SQLite's message.
//
//   SqliteConnection db = OpenSqlite(file, SQLITE_OPEN_READWRITE);
//   SqliteStatement insert(db.get(), "INSERT INTO t (a, b) VALUES (?, ?)");
//   insert.bind(1, 7).bind(2, "text").run();      // step, reset, bindings cleared
//   SqliteStatement q(db.get(), "SELECT a FROM t");
//   while (q.step()) use(q.integer(0));
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kvistur::db {

struct SqliteCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using SqliteConnection = std::unique_ptr<sqlite3, SqliteCloser>;

// Opens FILE with FLAGS (sqlite3_open_v2's).  Throws std::runtime_error
// "cannot open FILE: why" when SQLite cannot.
inline SqliteConnection OpenSqlite(const std::string& file, int flags) {
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(file.c_str(), &raw, flags, nullptr);
  SqliteConnection db(raw);  // SQLite gives a handle to close even when the open fails
  if (rc != SQLITE_OK) throw std::runtime_error("cannot open " + file + ": " + (raw ? sqlite3_errmsg(raw) : "out of memory"));
  return db;
}

// Runs SQL (one or more statements) on a connection; std::runtime_error
// with SQLite's message when it fails.
inline void ExecSql(sqlite3* db, const std::string& sql) {
  char* msg = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &msg) != SQLITE_OK) {
    std::string m = msg ? msg : sqlite3_errmsg(db);
    sqlite3_free(msg);
    throw std::runtime_error(m);
  }
}

class SqliteStatement {
 public:
  SqliteStatement(sqlite3* db, std::string_view sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql.data(), int(sql.size()), &st_, nullptr) != SQLITE_OK) {
      std::string m = sqlite3_errcode(db) == SQLITE_NOTADB ? "not an SQLite database" : sqlite3_errmsg(db);
      sqlite3_finalize(st_);
      throw std::runtime_error(m);
    }
  }
  ~SqliteStatement() { sqlite3_finalize(st_); }
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;

  sqlite3_stmt* get() const { return st_; }

  // A value that fails to bind (too big, out of memory) throws: left
  // unbound, the parameter would keep the previous row's value.
  SqliteStatement& bind(int i, int64_t v) { return check(sqlite3_bind_int64(st_, i, v)); }
  SqliteStatement& bind_real(int i, double v) { return check(sqlite3_bind_double(st_, i, v)); }
  SqliteStatement& bind(int i, std::string_view v) {
    return check(sqlite3_bind_text64(st_, i, v.data(), v.size(), SQLITE_TRANSIENT, SQLITE_UTF8));
  }
  SqliteStatement& bind_null(int i) { return check(sqlite3_bind_null(st_, i)); }
  // An empty blob is bound as one: a null pointer would bind Null.
  SqliteStatement& bind_blob(int i, std::string_view v) {
    return check(v.empty() ? sqlite3_bind_zeroblob(st_, i, 0)
                           : sqlite3_bind_blob64(st_, i, v.data(), v.size(), SQLITE_TRANSIENT));
  }
  // For values that stay in place until the statement is reset: SQLite
  // reads them there instead of copying them.
  SqliteStatement& bind_in_place(int i, std::string_view v) {
    return check(sqlite3_bind_text64(st_, i, v.data(), v.size(), SQLITE_STATIC, SQLITE_UTF8));
  }
  SqliteStatement& bind_blob_in_place(int i, std::string_view v) {
    return check(v.empty() ? sqlite3_bind_zeroblob(st_, i, 0)
                           : sqlite3_bind_blob64(st_, i, v.data(), v.size(), SQLITE_STATIC));
  }

  // Steps once; true when a row came back (read it with the column calls).
  bool step() {
    int rc = sqlite3_step(st_);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) {
      std::string m = sqlite3_errmsg(db_);
      sqlite3_reset(st_);
      throw std::runtime_error(m);
    }
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
  bool is_null(int i) const { return sqlite3_column_type(st_, i) == SQLITE_NULL; }
  bool is_integer(int i) const { return sqlite3_column_type(st_, i) == SQLITE_INTEGER; }
  int64_t integer(int i) const { return sqlite3_column_int64(st_, i); }
  std::string text(int i) const {
    const unsigned char* p = sqlite3_column_text(st_, i);
    return p ? std::string(reinterpret_cast<const char*>(p), std::size_t(sqlite3_column_bytes(st_, i))) : std::string();
  }
  // A column's bytes where SQLite holds them, until the next step or
  // reset.  With is_integer and integer, a statement is a row as the
  // stored index's codec reads rows (search/stored_codec.h).
  std::string_view bytes(int i) const {
    const char* p = static_cast<const char*>(sqlite3_column_blob(st_, i));
    return p ? std::string_view(p, std::size_t(sqlite3_column_bytes(st_, i))) : std::string_view();
  }
  std::string blob(int i) const { return std::string(bytes(i)); }

 private:
  SqliteStatement& check(int rc) {
    if (rc != SQLITE_OK) throw std::runtime_error(sqlite3_errmsg(db_));
    return *this;
  }
  sqlite3* db_;
  sqlite3_stmt* st_ = nullptr;
};

// Whether the file has a table of that name.
inline bool HasTable(sqlite3* db, const char* name) {
  SqliteStatement q(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
  return q.bind(1, name).step();
}

}  // namespace kvistur::db
