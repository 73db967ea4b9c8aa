// The database engine: the one narrow interface through which Kvistur reads
// catalogue and directory databases.
//
// Callers hand it SQL in the catalogue's own (Jet) dialect, exactly as the
// component's queries are written and logged: table aliases with and without
// AS, [bracketed] and Icelandic identifiers, DISTINCT, INNER JOIN, ORDER BY
// ... DESC, Like patterns with * ? #, a trailing ";".  The backend (SQLite
// files, or schemas on a PostgreSQL server) translates, binds every literal as a parameter, refuses anything but
// one SELECT, and compares text with `=`, DISTINCT and Like ignoring letter
// case (Icelandic letters too) but not accents.  Files are opened read-only.
//
// Rows are read by the count-then-walk pattern:
//   auto rs = db->OpenRecordset(sql);
//   if (rs->RecordCount() > 0) { rs->MoveLast(); n = rs->RecordCount(); rs->MoveFirst();
//     while (!rs->eof()) { rs->field(u"Name") ...; rs->MoveNext(); } }
//
// Every failure is a kvistur::Error with the engine's number (3024 file not
// found, 3029 bad account or password, 3078 table not found, 3075 syntax
// error, 3265 column not found, 3021 no current row ...), the engine
// object's name as source ("DAO.Workspace", "DAO.Database", "DAO.Recordset",
// "DAO.Field") and the engine's description.
//
// What a backend adds for the search's speed (all optional: the defaults
// refuse or keep nothing, and the search then gives the same results, only
// slower):
//   Database::Derived     a slot for data worked out from the contents,
//                         emptied on any change (one process).
//   Database::Stamp       the content stamp, read in the call's read
//                         transaction, so kept data is shared by every
//                         thread and checked against the data before use;
//                         needs the stamp's triggers (content_stamp.h) on
//                         Móðurtafla, Tengill and Orð, and kv_state.
//   Database::OpenCursor  a forward walk over stored bytes and integers,
//                         for the stored index (kv_order, kv_postings,
//                         kv_search_meta; search/stored_codec.h);
//   Cursor::Again         the same query run again with new literals
//                         (whole numbers and texts), without reading its
//                         text again (the stored index jumps ahead in a
//                         word's list by its rows' keys this way);
//   Database::OpenCursorWith  a query opened with its literals given apart,
//                         so that a text that differs only in its values
//                         (a word looked up, a list of numbers of any
//                         length in a list's place `IN (?)`) is read and
//                         prepared once per connection.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "kvistur/variant.h"

namespace kvistur::db {

// Error numbers of the engine.
inline constexpr int32_t kNoCurrentRecord = 3021;
inline constexpr int32_t kFileNotFound = 3024;
inline constexpr int32_t kBadAccount = 3029;
inline constexpr int32_t kSyntaxInExpression = 3075;
inline constexpr int32_t kTableNotFound = 3078;
inline constexpr int32_t kItemNotFound = 3265;
inline constexpr int32_t kNotDatabase = 3343;  // unrecognized database format
inline constexpr int32_t kTooFewParameters = 3061;
inline constexpr int32_t kSqlSyntax = 3000;     // generic: statement not understood

// Recordset types and options that callers may ask for (they do not change
// which rows come back).
inline constexpr int kDynaset = 2;
inline constexpr int kSnapshot = 4;
inline constexpr int kReadOnly = 4;

// Error 3251: what the engine object SOURCE ("DAO.Database",
// "DAO.Recordset") says of an operation it does not offer.
[[noreturn]] void NotSupported(const char16_t* source);

// A value put in the place of a query's literal (Cursor::Again,
// Database::OpenCursorWith): a whole number for a number, a text for a text
// in quotes, a list of whole numbers for a list's place (`x IN (?)`,
// jet_sql.h), of any length, empty too.
using Literal = std::variant<int64_t, Text, std::vector<int64_t>>;

class Recordset {
 public:
  virtual ~Recordset() = default;
  // Right after opening: more than 0 exactly when there is a row.  After
  // MoveLast: the number of rows.
  virtual int32_t RecordCount() = 0;
  virtual void MoveFirst() = 0;
  virtual void MoveLast() = 0;
  virtual void MoveNext() = 0;
  virtual bool eof() = 0;
  // The current row's column by name (case-insensitive): a number, a text or
  // Null.  3265 for an unknown column, 3021 when there is no current row.
  virtual Variant field(TextView name) = 0;
  virtual void Close() = 0;

  // Bulk reads, for lists of many rows.  Both start at the current row, go
  // to the end and keep nothing: afterwards the recordset is at its end
  // (eof) with no rows left to move to.  Errors are those of field() and
  // MoveNext() for the same rows.
  //
  // ReadIntegers appends column NAME of each row to OUT, converted as
  // field(NAME).to_i32() converts it.
  virtual void ReadIntegers(TextView name, std::vector<int32_t>& out);
  // ReadSortedIntegers is ReadIntegers followed by sorting OUT from position
  // FROM on.  For a SELECT DISTINCT of one integer column an engine may
  // read the rows without the work of keeping them distinct and drop the
  // repeated numbers instead, which gives the same numbers.
  virtual void ReadSortedIntegers(TextView name, std::vector<int32_t>& out, std::size_t from);
  // ForEachRow calls EACH with the row's values in the order of the query's
  // columns; EACH may take them (move them out).
  virtual void ForEachRow(const std::function<void(std::vector<Variant>&)>& each);
};

// A forward-only walk over rows whose values are read as stored, for the
// bulk data kvistur's own tools write beside the catalogue's tables (the
// search's stored index, search/stored_index.h).  Nothing is kept and
// nothing is converted unless asked: Bytes() stays valid until the next
// Next().  Errors are those of OpenRecordset and MoveNext.
class Cursor {
 public:
  virtual ~Cursor() = default;
  // Moves to the next row (to the first at the first call); false at the end.
  virtual bool Next() = 0;
  // Column I (from 0) of the current row.
  virtual bool IsNull(int i) = 0;
  virtual bool IsInteger(int i) = 0;  // stored as an integer
  virtual int64_t Integer(int i) = 0;
  virtual std::string_view Bytes(int i) = 0;  // a blob's or a text's bytes
  virtual Variant Value(int i) = 0;           // as Recordset::field gives it
  // Runs the same query again from its first row, with LITERALS in place
  // of the query's literals (one for each, in the order they stand in its
  // text), without reading the text again.  A whole number stands for a
  // number (a minus with no operand before it is the number's own, so
  // `= -5` takes -5), a text for a text in quotes, compared as that text
  // would be.  A Like pattern may be another pattern only of the same form:
  // without wildcards, or a text followed by one `*` (`saga*` for
  // `orð*`); any other pattern only itself.  Refused (3251), the cursor
  // unchanged, when a literal does not fit; the default always refuses.
  virtual void Again(const std::vector<Literal>& literals);
};

// The content stamp of a database (platform/content_stamp.h), read in the
// call's read transaction.  Two connections, in any thread or process, that
// read the same TOKEN read the same contents of Móðurtafla, Tengill and Orð,
// so data worked out from those tables can be kept with the token and
// shared.  RECORDS and LINKS are the counters of changes to Móðurtafla and
// Tengill, which tell whether data that kvistur's tools stored beside them
// was written at this state.  FACTS counts the changes of the rest of what
// the facet data is worked out from (copies, source records, what a record
// is part of); the token leaves it out, so that the search's own kept data
// outlives them.  Data worked out from those tables may be kept with the
// token only together with FACTS, and only while FACTS_FOLLOWED (the
// catalogue has the counter and all its triggers).
struct ContentStamp {
  std::string token;  // "" when the database has no stamp the engine trusts
  // The catalogue the token is of, whoever reads it and in whatever state
  // (StampToken in content_stamp.h).
  std::string place;
  int64_t records = 0;
  int64_t links = 0;
  // The counter of changes to Orð (0 where the engine does not read it).
  int64_t words = 0;
  int64_t facts = 0;
  bool facts_followed = false;
};

class Database {
 public:
  virtual ~Database() = default;
  virtual std::unique_ptr<Recordset> OpenRecordset(TextView sql, int type = 0, int options = 0) = 0;
  virtual void Close() = 0;

  // A place for something a caller worked out from this database's
  // contents (for instance an ordering of all its records), kept with the
  // open file under KEY so that the next call can use it again.  The slot
  // is emptied whenever the contents may have changed: a commit by any
  // other connection, or the file replaced.  The first call of Derived on a
  // database object looks; later calls on the same object use that look.  An engine that cannot tell
  // gives a slot that is always empty, so callers must work without it.
  virtual std::shared_ptr<void>& Derived(std::string_view key);

  // The stamp of the contents as this call reads them.  An engine gives a
  // token only when every change of those tables raises the stamp (for
  // SQLite: the triggers of content_stamp.h are all there as installed), and
  // only when what this reader reads of them is the whole of them (on a
  // server: a role that may read each table, with no row security on it).
  // The token names everything else that decides what is read: the file
  // itself (device and inode for SQLite), so copies of one catalogue do not
  // share a token once either changes, or the server, database and schema,
  // and the role that reads it.  The default has no stamp.
  virtual ContentStamp Stamp();
  // The file the database is in, as the engine opened it (a link followed
  // to the file itself); empty for a database on a server.
  virtual std::string FileName() { return {}; }

  // A Cursor over the rows of SQL (the catalogue's dialect, one SELECT).
  // The default refuses (3251), and callers then read without it.
  virtual std::unique_ptr<Cursor> OpenCursor(TextView sql);
  // A Cursor over the rows of SQL with LITERALS in place of its literals,
  // as Cursor::Again takes them.  SQL is then the query's shape, the same
  // text for every set of values, so that it is read and prepared once.
  // Refused (3251) as Again refuses; the default opens SQL and runs it
  // again with LITERALS.
  virtual std::unique_ptr<Cursor> OpenCursorWith(TextView sql, const std::vector<Literal>& literals);
};

class Workspace {
 public:
  virtual ~Workspace() = default;
  // Opens a database file (the path as the component builds it; "\" is read
  // as "/").  3024 when the file does not exist.
  virtual std::unique_ptr<Database> OpenDatabase(TextView path) = 0;
  virtual const Text& user_name() const = 0;
};

class Engine {
 public:
  virtual ~Engine() = default;
  // The workgroup file that checks user names and passwords.
  virtual void set_system_db(TextView path) = 0;
  virtual Text system_db() const = 0;
  // 3029 when the user is unknown or the password wrong; 3024-like errors
  // when the workgroup file cannot be read.
  virtual std::shared_ptr<Workspace> CreateWorkspace(TextView name, TextView user, TextView password) = 0;
};

// The SQLite backend.
std::shared_ptr<Engine> create_sqlite_engine();
// The PostgreSQL backend: the system database is the database folder, a
// server URI (postgres_sql.h), and the server checks the log-on.
std::shared_ptr<Engine> create_postgres_engine();
// The engine LogOn uses: each workspace it makes belongs to the backend
// that the system database's path names, a server for a postgresql:// URI,
// SQLite files otherwise.
std::shared_ptr<Engine> create_engine();

}  // namespace kvistur::db
