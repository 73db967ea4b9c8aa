// Tables brought onto the tests' PostgreSQL server as another tool brings
// them (psql, a migration from another system): CREATE TABLE with the
// declared types, rows by INSERT, names spelled as in the file, and none of
// what our own loader adds (no keys, no kv_ columns, no triggers).
#pragma once

#include <libpq-fe.h>
#include <sqlite3.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "pg_server.h"

namespace kvistur::testing {

// Replaces SCHEMA of DATABASE with the tables of the SQLite FILE.
inline void load_by_plain_sql(const std::string& file, const std::string& database, const std::string& schema) {
  auto ident = [](const std::string& s) {
    std::string out = "\"";
    for (char c : s) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
  };
  sqlite3* in = nullptr;
  if (sqlite3_open_v2(file.c_str(), &in, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) throw std::runtime_error(file);
  PGconn* out = PQconnectdb(PgServer::get().admin_uri(database).c_str());
  PQsetNoticeProcessor(out, [](void*, const char*) {}, nullptr);
  std::string why = PQstatus(out) == CONNECTION_OK ? "" : PQerrorMessage(out);
  auto exec = [&](const std::string& sql, const std::vector<const char*>& values = {}) {
    PGresult* r = values.empty() ? PQexec(out, sql.c_str())
                                 : PQexecParams(out, sql.c_str(), int(values.size()), nullptr, values.data(), nullptr,
                                                nullptr, 0);
    if (PQresultStatus(r) != PGRES_COMMAND_OK && why.empty()) why = PQresultErrorMessage(r) + (" in: " + sql);
    PQclear(r);
  };
  auto query = [&](const std::string& sql, auto each) {
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(in, sql.c_str(), -1, &st, nullptr);
    while (st && sqlite3_step(st) == SQLITE_ROW) each(st);
    sqlite3_finalize(st);
  };
  auto text = [](sqlite3_stmt* st, int i) {
    const unsigned char* t = sqlite3_column_text(st, i);
    return std::string(t ? reinterpret_cast<const char*>(t) : "");
  };
  exec("BEGIN; DROP SCHEMA IF EXISTS " + ident(schema) + " CASCADE; CREATE SCHEMA " + ident(schema));
  query("SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite%' ORDER BY rowid", [&](auto* t) {
    std::string table = ident(schema) + "." + ident(text(t, 0)), columns, selected, marks;
    int n = 0;
    query("SELECT name, upper(type) FROM pragma_table_info('" + text(t, 0) + "')", [&](auto* c) {
      std::string type = text(c, 1), name = ident(text(c, 0)), comma = n++ ? ", " : "";
      type = type == "INTEGER" ? "bigint" : type == "BLOB" ? "bytea" : type == "REAL" ? "double precision" : "varchar";
      columns += comma + name + " " + type;
      // A blob is read in bytea's hex form.
      selected += comma + "CASE WHEN typeof(" + name + ") = 'blob' THEN '\\x' || lower(hex(" + name + ")) ELSE " +
                  name + " END";
      marks += comma + "$" + std::to_string(n);
    });
    exec("CREATE TABLE " + table + " (" + columns + ")");
    query("SELECT " + selected + " FROM " + ident(text(t, 0)), [&](auto* row) {
      std::vector<std::string> values(std::size_t(n), "");
      std::vector<const char*> params;
      for (int i = 0; i < n; ++i) {
        values[std::size_t(i)] = text(row, i);
        params.push_back(sqlite3_column_type(row, i) == SQLITE_NULL ? nullptr : values[std::size_t(i)].c_str());
      }
      exec("INSERT INTO " + table + " VALUES (" + marks + ")", params);
    });
  });
  exec(why.empty() ? "COMMIT" : "ROLLBACK");
  PQfinish(out);
  sqlite3_close(in);
  if (!why.empty()) throw std::runtime_error("plain load of " + file + ": " + why);
}

}  // namespace kvistur::testing
