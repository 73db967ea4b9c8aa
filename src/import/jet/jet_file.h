// A Jet database file (.mdb of Access 97 to 2003, .accdb of the later
// versions) read through libmdb in this process: its tables, their columns
// and every row, each value converted for SQLite.
//
//   struct Sink : JetSink { ... };
//   ReadJet("catalogue.mdb", 0, sink);   // Tables, then per table BeginTable, Row..., EndTable
//
// libmdb trusts the file it reads, and a damaged file can crash it; the
// build therefore reads through ReadJetFile (jet_reader.h), which runs this
// in a child process.  What this file can see for itself (a row that does
// not fit its page, a long value whose chain of pages breaks, a table that
// yields fewer rows than its definition counts) is a JetError naming the
// table and the place.
//
// Values, by the column's type in the file:
//
//   Text, Memo                TEXT, every character kept: JET3 texts in the
//                             file's code page, JET4 and ACE texts Unicode
//   Byte, Integer, Long       INTEGER
//   Yes/No                    INTEGER, -1 or 0
//   Currency                  REAL, the amount in ten-thousandths / 10000
//   Single                    REAL, the shortest decimal that reads back as
//                             the same single (0.05, not 0.0500000007)
//   Double, Decimal           REAL
//   Date/Time                 TEXT, YYYY-MM-DD HH:MM:SS
//   Replication ID            TEXT, {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
//   Binary, OLE object, other BLOB, the bytes as stored
//
// Null is Null; a Yes/No column is never Null.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "import/jet/table_copy.h"

namespace kvistur::import {

// libmdb's number for a column type (MDB_TEXT, ...), kept for reports.
using JetType = int;

struct JetTable {
  TableShape shape;               // the file's own names, the SQLite types
  std::vector<JetType> jet_types;  // one per column
  uint64_t rows = 0;              // as the table's definition counts them
};

struct JetInfo {
  std::string version;  // "JET3", "JET4", "ACE12", ...
  int code_page = 0;    // the one JET3 texts were read in (0 for Unicode files)
  std::vector<JetTable> tables;  // the user tables, in the file's order
};

// Receives a file's tables and rows as they are read.  The span of a row
// is valid only during the call.
class JetSink {
 public:
  virtual ~JetSink() = default;
  virtual void Tables(const JetInfo& info) = 0;
  virtual void BeginTable(std::size_t index) = 0;
  virtual void Row(std::span<const Cell> row) = 0;
  virtual void EndTable(std::size_t index, uint64_t rows) = 0;
};

// A file that cannot be read, or a table or row of it: one line.
struct JetError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The code page of a JET3 file whose header names none.
inline constexpr int kDefaultCodePage = 1252;

// Throws JetError unless JET3 texts can be read in code page N.
void CheckCodePage(int n);

// Reads every user table of the Jet file FILE, in order, into SINK.
// CODE_PAGE (0: the file's own) is the code page of a JET3 file's texts
// and names; JET4 and ACE files are Unicode.  Throws JetError.
void ReadJet(const std::string& file, int code_page, JetSink& sink);

// The same for a file's bytes held in memory.
void ReadJetBytes(std::span<const uint8_t> bytes, int code_page, JetSink& sink);

}  // namespace kvistur::import
