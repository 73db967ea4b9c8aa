// Tables copied into an SQLite database as they are: the source's own table
// and column names, every row, each value as one of SQLite's four kinds.
// Used for whatever comes from another database program (Jet files), so
// that one writer decides how names are quoted and values are bound.
//
//   TableWriter t(db, shape);   // CREATE TABLE "Name" ("Column" TYPE, ...)
//   t.Add(row);                 // one Cell per column
//   t.written();
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "import/store/sqlite_statement.h"

namespace kvistur::import {

// One value on its way into SQLite.
struct Cell {
  enum Kind : uint8_t { kNull, kInteger, kReal, kText, kBlob };
  Kind kind = kNull;
  int64_t integer = 0;
  double real = 0;
  std::string bytes;  // the text (UTF-8) or the blob
};

// The declared type of a column, which is also the kind its values have.
enum class ColumnType : uint8_t { kInteger, kReal, kText, kBlob };
// "INTEGER", "REAL", "TEXT", "BLOB".
const char* declared_type(ColumnType t);

struct ColumnShape {
  std::string name;
  ColumnType type = ColumnType::kText;
};

struct TableShape {
  std::string name;
  std::vector<ColumnShape> columns;
};


class TableWriter {
 public:
  // Creates the table on DB.  Throws std::runtime_error with SQLite's
  // message when it cannot (a table of that name is there already).
  TableWriter(sqlite3* db, const TableShape& shape);

  // Inserts one row, a Cell per column in the shape's order.
  void Add(std::span<const Cell> row);
  uint64_t written() const { return written_; }

 private:
  std::size_t columns_;
  SqliteStatement insert_;
  uint64_t written_ = 0;
};

}  // namespace kvistur::import
