#include "import/jet/table_copy.h"

#include <sqlite3.h>

#include <stdexcept>

#include "import/store/indexes.h"
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

namespace {

// Creates the table of SHAPE on DB and gives the statement that inserts a
// row into it.
std::string create_table(sqlite3* db, const TableShape& shape) {
  if (shape.columns.empty()) throw std::runtime_error("table " + shape.name + " has no columns");
  std::string create = "CREATE TABLE " + db::quote_ident(shape.name) + " (";
  std::string insert = "INSERT INTO " + db::quote_ident(shape.name) + " VALUES (";
  for (std::size_t i = 0; i < shape.columns.size(); ++i) {
    if (i) create += ", ", insert += ",";
    create += db::quote_ident(shape.columns[i].name) + " " + declared_type(shape.columns[i].type);
    insert += "?";
  }
  ExecSql(db, (create + ")").c_str());
  return insert + ")";
}

}  // namespace

TableWriter::TableWriter(sqlite3* db, const TableShape& shape)
    : columns_(shape.columns.size()), insert_(db, create_table(db, shape)) {}

void TableWriter::Add(std::span<const Cell> row) {
  if (row.size() != columns_) throw std::logic_error("a row with the wrong number of values");
  // Every value is bound anew: the last row's are never left in place.
  insert_.reset();
  for (std::size_t i = 0; i < row.size(); ++i) {
    const Cell& c = row[i];
    int n = int(i + 1);
    switch (c.kind) {
      case Cell::kNull: break;
      case Cell::kInteger: insert_.bind(n, c.integer); break;
      case Cell::kReal: insert_.bind_real(n, c.real); break;
      case Cell::kText: insert_.bind_in_place(n, c.bytes); break;
      case Cell::kBlob: insert_.bind_blob_in_place(n, c.bytes); break;
    }
  }
  insert_.run();
  ++written_;
}

}  // namespace kvistur::import
