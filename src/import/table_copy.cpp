#include "import/table_copy.h"

#include <sqlite3.h>

#include <stdexcept>

#include "import/indexes.h"
#include "platform/jet_sql.h"

namespace kvistur::import {

const char* declared_type(ColumnType t) {
  switch (t) {
    case ColumnType::kInteger: return "INTEGER";
    case ColumnType::kReal: return "REAL";
    case ColumnType::kText: return "TEXT";
    case ColumnType::kBlob: return "BLOB";
  }
  return "BLOB";
}

TableWriter::TableWriter(sqlite3* db, const TableShape& shape) : db_(db), columns_(shape.columns.size()) {
  if (shape.columns.empty()) throw std::runtime_error("table " + shape.name + " has no columns");
  std::string create = "CREATE TABLE " + db::quote_ident(shape.name) + " (";
  std::string insert = "INSERT INTO " + db::quote_ident(shape.name) + " VALUES (";
  for (std::size_t i = 0; i < shape.columns.size(); ++i) {
    if (i) create += ", ", insert += ",";
    create += db::quote_ident(shape.columns[i].name) + " " + declared_type(shape.columns[i].type);
    insert += "?";
  }
  ExecSql(db_, (create + ")").c_str());
  if (sqlite3_prepare_v2(db_, (insert + ")").c_str(), -1, &insert_, nullptr) != SQLITE_OK)
    throw std::runtime_error(sqlite3_errmsg(db_));
}

TableWriter::~TableWriter() { sqlite3_finalize(insert_); }

void TableWriter::Add(std::span<const Cell> row) {
  if (row.size() != columns_) throw std::logic_error("a row with the wrong number of values");
  for (std::size_t i = 0; i < row.size(); ++i) {
    const Cell& c = row[i];
    int n = int(i + 1);
    switch (c.kind) {
      case Cell::kNull: sqlite3_bind_null(insert_, n); break;
      case Cell::kInteger: sqlite3_bind_int64(insert_, n, c.integer); break;
      case Cell::kReal: sqlite3_bind_double(insert_, n, c.real); break;
      case Cell::kText: sqlite3_bind_text64(insert_, n, c.bytes.data(), c.bytes.size(), SQLITE_STATIC, SQLITE_UTF8); break;
      // An empty blob is bound as one: a null pointer would bind Null.
      case Cell::kBlob:
        if (c.bytes.empty())
          sqlite3_bind_zeroblob(insert_, n, 0);
        else
          sqlite3_bind_blob64(insert_, n, c.bytes.data(), c.bytes.size(), SQLITE_STATIC);
        break;
    }
  }
  int rc = sqlite3_step(insert_);
  sqlite3_reset(insert_);
  if (rc != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db_));
  ++written_;
}

}  // namespace kvistur::import
