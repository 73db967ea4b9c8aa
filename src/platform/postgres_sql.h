// A catalogue on a PostgreSQL server: where it is, how Kvistur connects,
// and what Kvistur keeps in its schema beside the tables.
//
// The database folder (Grunnur/Slóð) may be a libpq URI; a path that the
// component builds from it, "postgresql://db/lindrit\katalogur.sqlite",
// names schema "katalogur" of that database (split_server_path).
//
// Each schema that `kvistur build` (or the loader) writes holds, beside
// the tables:
//
//   kv_fold(text)    the fold of a text exactly as the engine's kv_fold
//                    makes it in SQLite (NFC, then Unicode case folding),
//                    written in SQL from ICU's tables when the schema is
//                    made: lower() by ICU's root locale, then the few
//                    characters whose fold differs from their lower case.
//   kv_ci            the Icelandic collation ignoring case, not accents
//                    (ICU, is-IS, secondary strength, nondeterministic),
//                    for text ORDER BY.
//   kv_changes       one row (generation, n): a random generation when the
//                    schema is made and a counter that a trigger on every
//                    table adds 1 to at every statement that changes it;
//                    readers let go of what they worked out from the
//                    tables when the pair changes.
//   kv_rowid         a column of tables that have no integer key in their
//                    SQLite file: the SQLite rowid, the order SQLite reads
//                    their rows in.
//   kv_fold_COLUMN   a stored fold of a column the search compares (Orð,
//                    Einkennisstrengur), indexed.
#pragma once

#include <libpq-fe.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kvistur/text.h"

namespace kvistur::db::pg {

inline constexpr char kRowColumn[] = "kv_rowid";
inline constexpr char kFoldPrefix[] = "kv_fold_";
inline constexpr char kChangesTable[] = "kv_changes";
// The longest a connection attempt may take before the server counts as
// unreachable.
inline constexpr int kConnectTimeoutSeconds = 10;

// Error numbers of a server: the log-on refused, the server or database
// not reached.
inline constexpr int32_t kLogOnRefused = 3029;
inline constexpr int32_t kConnectionFailed = 3151;

// True when PATH (a folder, or a folder and file name) is a server URI.
bool is_server_path(TextView path);

struct ServerPath {
  std::string uri;     // the database folder without its trailing "\"
  std::string schema;  // the file name without its extension; empty when there is none
};
// Splits "URI\file.ext"; nullopt when PATH is not a server URI.
std::optional<ServerPath> split_server_path(TextView path);

// URI without the user and password it carries (in its authority, or as
// user= and password= options): as a host's settings name a server, and as
// a URI may be shown.
std::string without_credentials(const std::string& uri);

std::string quote_literal(std::string_view value);

// The bytes of a bytea value from the hex digits of its text form (what
// follows "\x"), two digits a byte.
std::string bytes_of_hex(std::string_view digits);
// The same into OUT, which keeps its room.
void bytes_of_hex(std::string_view digits, std::string& out);

// How long closing a connection waits for the answers of commands sent
// without waiting (a call's COMMIT).
inline constexpr int kCloseWaitMilliseconds = 1000;

// Closes C once the answers still owed to it are read (up to
// kCloseWaitMilliseconds): the server sends them whether or not anyone
// reads, and finding the reader gone it logs the session as lost.
void close_connection(PGconn* c);

struct ConnectionCloser {
  void operator()(PGconn* c) const { close_connection(c); }
};
using Connection = std::unique_ptr<PGconn, ConnectionCloser>;
struct ResultClearer {
  void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultClearer>;

// Connects to the database of URI as USER with PASSWORD (libpq's own
// defaults for an empty one: PGUSER, PGPASSWORD, the password file).
// READ_ONLY makes every transaction of the session read-only.  Throws
// Error kLogOnRefused when the server refuses the log-on, and
// kConnectionFailed when it cannot be reached or has no such database,
// with SOURCE; WHY, when given, receives libpq's own words for it.
Connection connect(const std::string& uri, const std::string& user, const std::string& password, bool read_only,
                   const char16_t* source, std::string* why = nullptr);

// The SQLSTATE of a failed result ("" when there is none).
std::string sql_state(const PGresult* r);

// The statements that make, in SCHEMA (which exists): kv_fold; kv_ci;
// kv_changes with its row and the trigger function that counts changes.
struct SchemaObjects {
  std::string fold, collation, changes;
};
SchemaObjects schema_objects_sql(const std::string& schema);
// The statement that makes TABLE of SCHEMA count its changes.
std::string change_trigger_sql(const std::string& schema, const std::string& table);

// The content stamp's triggers on a server (content_stamp.h): statement
// triggers that raise kv_state's counters at every change of Móðurtafla
// (its rows, or their ID, Röðunarsvið, Einkennisstrengur, Tag), Tengill and
// Orð; by name, and the statements that make them and their function in
// SCHEMA.  Each statement raises its counter by one, however many rows it
// changes: the counters still move at every change, and only ever up.
// RECORD_COLUMNS are Móðurtafla's columns on the server: the triggers name
// them as the server spells them.
const std::vector<std::string>& stamp_trigger_names();
std::string stamp_triggers_sql(const std::string& schema, const std::vector<std::string>& record_columns);

// The statement triggers that raise kv_state's facts (content_stamp.h,
// facts_sources), one a table, for the tables COLUMNS_OF names columns of
// (none: the schema has no such table), naming the columns as it spells
// them.  A column the table lacks is left out, as the server refuses a
// trigger that names it.
struct FactsTrigger {
  std::string name, table, event;
};
std::vector<FactsTrigger> facts_triggers(const std::function<std::vector<std::string>(const char* table)>& columns_of);
// The statements that make them in SCHEMA (after stamp_triggers_sql, whose
// function they call).
std::string facts_triggers_sql(const std::string& schema, const std::vector<FactsTrigger>& triggers);

// The query for the columns of the tables of the schema with oid OID, one
// row a column in table and column order: the table, the column, whether
// it holds text ('t'/'f'), its place in the primary key (1, 2 ..., 0 for
// none), whether the table counts its changes ('t'/'f'), its type, the
// kind of relation ('r' a table, 'p' a partitioned one, 'v' a view ...) and
// the table's oid.
std::string tables_query(const std::string& oid);

// An SQL expression whose value changes whenever a relation of the schema
// with oid OID, or a column of one, is made, dropped, renamed or altered
// (each catalogue row's xmin moves), and stays the same under reads,
// ANALYZE and VACUUM (which change those rows in place).
std::string shape_sql(const std::string& oid);

}  // namespace kvistur::db::pg
