// Record numbers are never given twice.  A client of `kvistur serve` keeps
// the numbers of a result set it made and fetches by them later; a number
// given again to another record would hand it that record instead.
//
// A catalogue keeps the highest number ever given in a one-row table,
// kv_record_mark(highest), and triggers on Móðurtafla raise it to the
// number of every record deleted or renumbered, whoever deletes it: a
// cataloguing program, the sqlite3 shell or psql, kvistur update.  A new
// record is numbered one past the highest of the mark and the numbers in
// use (by records, and by source records, Frumfærsla, that a program which
// does not know of them left behind when it deleted their records).  A catalogue without the mark (made by another tool, or before the
// mark existed) gets one, from its highest number, the first time a kvistur
// tool writes to it; until then the numbers in use are all there is.
#pragma once

#include <cstdint>
#include <string>

struct sqlite3;

namespace kvistur::import {

inline constexpr char kRecordMarkTable[] = "kv_record_mark";

// Creates the mark and its triggers when they are missing (or differ), and
// raises the mark to the highest number in use, inside the caller's
// transaction.  Needs Móðurtafla.  Throws std::runtime_error on an SQLite
// error.
void InstallRecordMark(sqlite3* db);

// The SQL that gives the number for the next new record, one row, one
// column (prepare it once for many records).
std::string NextRecordNumberSql(sqlite3* db);

// On a PostgreSQL server: the statements that make the mark in SCHEMA when
// it is missing, raise it to the highest number in use, and make the
// triggers on Móðurtafla (whose number column the server spells
// ID_COLUMN) that raise it on every delete, renumbering and truncation.
std::string ServerRecordMarkSql(const std::string& schema, const std::string& id_column);

}  // namespace kvistur::import
