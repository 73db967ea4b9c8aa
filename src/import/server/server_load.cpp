#include "import/server/server_load.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <stdexcept>

#include "import/store/catalogue_writer.h"
#include "import/store/indexes.h"
#include "import/store/output.h"
#include "import/store/record_numbers.h"
#include "kvistur/error.h"
#include "kvistur/text.h"
#include "marc21/marc_reader.h"
#include "platform/content_stamp.h"
#include "platform/jet_sql.h"
#include "platform/postgres_sql.h"
#include "platform/sqlite_functions.h"

namespace kvistur::import {

namespace fs = std::filesystem;
using db::quote_ident;
using db::pg::quote_literal;

namespace {

// The columns the search compares with `=` and Like: each gets a stored
// fold on the server, indexed.
const std::pair<const char*, const char*> kFoldedColumns[] = {{"Orð", "Orð"}, {"Móðurtafla", "Einkennisstrengur"}};
// COPY sends its rows in pieces of about this many bytes.
constexpr std::size_t kCopyChunk = 1 << 20;

struct Server {
  db::pg::Connection conn;
  std::string uri;

  db::pg::Result run(const std::string& sql) {
    db::pg::Result r(PQexec(conn.get(), sql.c_str()));
    ExecStatusType st = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
    if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK && st != PGRES_COPY_IN && st != PGRES_COPY_OUT)
      throw std::runtime_error(uri + ": " + (r ? PQresultErrorField(r.get(), PG_DIAG_MESSAGE_PRIMARY) ?: "" : PQerrorMessage(conn.get())));
    return r;
  }
  // Ends a failed transaction; a broken connection has nothing to end.
  void roll_back() noexcept {
    if (PQstatus(conn.get()) == CONNECTION_OK) PQclear(PQexec(conn.get(), "ROLLBACK"));
  }
};

Server connect_to(const std::string& uri) {
  std::string why;
  try {
    Server s{db::pg::connect(uri, "", "", false, u"kvistur", &why), uri};
    auto r = s.run("SELECT current_setting('server_encoding'), pg_is_in_recovery()");
    if (std::string(PQgetvalue(r.get(), 0, 0)) != "UTF8")
      throw std::runtime_error(uri + ": the database's encoding is " + PQgetvalue(r.get(), 0, 0) + ", not UTF8");
    // A hot standby refuses every write; said before a load begins, so
    // that the reason is not a statement's "read-only transaction".
    if (PQgetvalue(r.get(), 0, 1)[0] == 't')
      throw std::runtime_error(uri + ": the server is a standby, which only replays its primary's changes; "
                                     "write the catalogue on the primary");
    return s;
  } catch (const Error&) {
    throw std::runtime_error("cannot connect to " + uri + ": " + why);
  }
}

// A table as the server has it (or will).
struct ServerColumn {
  std::string name;
  bool text = false;
  std::string type;  // the server's type, for a copy back into SQLite
};
struct ServerTable {
  std::string name;
  std::vector<ServerColumn> columns;
  std::vector<std::string> key;  // the primary key
  bool row_column = false;       // kv_rowid
  bool counted = false;          // has the change trigger
  bool partitioned = false;      // rows only in its partitions
  bool has(const std::string& c) const {
    return std::any_of(columns.begin(), columns.end(), [&](auto& x) { return x.name == c; });
  }
  bool text(const std::string& c) const {
    return std::any_of(columns.begin(), columns.end(), [&](auto& x) { return x.name == c && x.text; });
  }
};

// The tables of the schema with oid OID as the server has them.
std::map<std::string, ServerTable> server_tables(Server& server, const std::string& oid) {
  auto r = server.run(db::pg::tables_query(oid));
  std::map<std::string, ServerTable> tables;
  std::map<std::string, std::vector<std::pair<int, std::string>>> keys;
  for (int i = 0; i < PQntuples(r.get()); ++i) {
    char kind = PQgetvalue(r.get(), i, 6)[0];
    if (PQgetvalue(r.get(), i, 0) == std::string(db::pg::kChangesTable) || (kind != 'r' && kind != 'p')) continue;
    ServerTable& t = tables[PQgetvalue(r.get(), i, 0)];
    t.name = PQgetvalue(r.get(), i, 0);
    std::string col = PQgetvalue(r.get(), i, 1);
    if (int k = std::atoi(PQgetvalue(r.get(), i, 3))) keys[t.name].push_back({k, col});
    t.counted = PQgetvalue(r.get(), i, 4)[0] == 't';
    t.partitioned = kind == 'p';
    if (col == db::pg::kRowColumn) t.row_column = true;
    else t.columns.push_back({col, PQgetvalue(r.get(), i, 2)[0] == 't', PQgetvalue(r.get(), i, 5)});
  }
  for (auto& [name, t] : tables) {
    std::sort(keys[name].begin(), keys[name].end());
    for (auto& [k, c] : keys[name]) t.key.push_back(c);
  }
  return tables;
}

std::string schema_oid(Server& server, const std::string& schema) {
  auto found = server.run("SELECT oid FROM pg_namespace WHERE nspname = " + quote_literal(schema));
  if (PQntuples(found.get()) == 0) throw std::runtime_error(server.uri + ": there is no schema " + schema);
  return PQgetvalue(found.get(), 0, 0);
}

std::string fold_column(const std::string& c) { return db::pg::kFoldPrefix + c; }

// Whether the tables carry a content stamp (kv_state) for the search.
bool stamped(const std::map<std::string, ServerTable>& tables) {
  for (const char* t : {db::kStampTable, "Móðurtafla", "Tengill", "Orð"})
    if (!tables.count(t)) return false;
  return true;
}
// Móðurtafla's columns as the server spells them.
std::vector<std::string> record_columns(const std::map<std::string, ServerTable>& tables) {
  std::vector<std::string> names;
  if (auto it = tables.find("Móðurtafla"); it != tables.end())
    for (const ServerColumn& c : it->second.columns) names.push_back(c.name);
  return names;
}
// The triggers of kv_state's facts the tables call for: none when kv_state
// has no facts (a schema stamped before it), whose triggers would fail every
// change they fire at.
std::vector<db::pg::FactsTrigger> facts_triggers(const std::map<std::string, ServerTable>& tables) {
  if (!stamped(tables) || !tables.at(db::kStampTable).has(db::kFactsColumn)) return {};
  return db::pg::facts_triggers([&](const char* table) {
    std::vector<std::string> names;
    if (auto it = tables.find(table); it != tables.end())
      for (const ServerColumn& c : it->second.columns) names.push_back(c.name);
    return names;
  });
}
std::string stamp_sql(const std::string& schema, const std::map<std::string, ServerTable>& tables) {
  std::string sql;
  if (stamped(tables))
    sql += db::pg::stamp_triggers_sql(schema, record_columns(tables)) +
           db::pg::facts_triggers_sql(schema, facts_triggers(tables));
  if (tables.count("Móðurtafla") && tables.count(kRecordMarkTable))
    sql += ServerRecordMarkSql(schema, db::spelled_as(record_columns(tables), "ID"));
  return sql;
}
bool folded(const ServerTable& t, const std::string& c) {
  for (auto& [table, column] : kFoldedColumns)
    if (t.name == table && c == column) return t.text(c);
  return false;
}
std::string fold_column_sql(const std::string& schema, const std::string& c) {
  return quote_ident(fold_column(c)) + " text COLLATE \"C\" GENERATED ALWAYS AS (" + quote_ident(schema) + ".kv_fold(" +
         quote_ident(c) + ")) STORED";
}

// The indexes the search needs, as `kvistur index` gives them to an SQLite
// catalogue: the word by its fold, the word index by word and record,
// holdings by their record and by their loan, selections, volumes and
// issues by their record, records by their identifying string's fold.
std::string index_sql(const std::string& schema, const std::map<std::string, ServerTable>& tables) {
  std::string sql, s = quote_ident(schema);
  auto index = [&](const char* name, const std::string& table, std::vector<std::string> cols) {
    auto it = tables.find(table);
    if (it == tables.end()) return;
    std::string list;
    for (const std::string& c : cols) {
      if (!it->second.has(c) && c != db::pg::kRowColumn && c.rfind(db::pg::kFoldPrefix, 0) != 0) return;
      if (c == db::pg::kRowColumn && !it->second.row_column) continue;
      list += (list.empty() ? "" : ", ") + quote_ident(c);
    }
    sql += std::string("CREATE INDEX IF NOT EXISTS ") + name + " ON " + s + "." + quote_ident(table) + " (" + list + ");\n";
  };
  if (tables.count("Orð") && folded(tables.at("Orð"), "Orð")) index("kv_ord_fold", "Orð", {fold_column("Orð"), "ID"});
  std::vector<std::string> words = {"OrðID", "FærsluID", "HópID", "Orðtag"};
  if (tables.count("Tengill") && tables.at("Tengill").key != words) index("kv_tengill_ord", "Tengill", words);
  index("kv_adfanganumer", "Aðfanganúmer", {"Móðurbendir", db::pg::kRowColumn});
  // The copies on loan, which the facets read again after every change.
  index("kv_adfang_lan", "Aðfanganúmer", {"Lánþegabendir", "Móðurbendir"});
  if (tables.count("Móðurtafla") && folded(tables.at("Móðurtafla"), "Einkennisstrengur"))
    index("kv_einkenni", "Móðurtafla", {fold_column("Einkennisstrengur")});
  index("kv_valdar", "ValdarFærslur", {"Valdar"});
  index("kv_argangur", "Árgangur", {"MóðurID"});
  index("kv_tolublad", "Tölublað", {"MóðurID"});
  index("kv_stjornnumer", "Frumfærsla", {"Stjórnnúmer"});
  return sql;
}

// ---- Reading an SQLite file ----

struct Sqlite {
  sqlite3* db = nullptr;
  std::string file;
  ~Sqlite() { sqlite3_close_v2(db); }
  sqlite3_stmt* prepare(const std::string& sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) fail();
    return s;
  }
  [[noreturn]] void fail() { throw std::runtime_error(file + ": " + sqlite3_errmsg(db)); }
};

struct Statement {
  sqlite3_stmt* s;
  ~Statement() { sqlite3_finalize(s); }
};

// How a column's values go to the server.
enum class Kind { kText, kInteger, kReal, kNumeric, kBytes };

struct SourceColumn {
  std::string name, declared;
  Kind kind = Kind::kText;
};

struct SourceTable {
  ServerTable server;
  std::vector<SourceColumn> columns;
  bool rowid = true;  // a table with a rowid (not WITHOUT ROWID)
  long rows = 0;
};

std::string upper(std::string s) {
  for (char& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool declared_text(const std::string& declared) {
  std::string t = upper(declared);
  if (t.find("INT") != std::string::npos) return false;
  return t.empty() || t.find("CHAR") != std::string::npos || t.find("CLOB") != std::string::npos ||
         t.find("TEXT") != std::string::npos || t.find("BLOB") != std::string::npos;
}

const char* server_type(Kind k) {
  switch (k) {
    case Kind::kInteger: return "bigint";
    case Kind::kReal: return "double precision";
    case Kind::kNumeric: return "numeric";
    case Kind::kBytes: return "bytea";
    default: return "text";
  }
}

// The tables of a file, their columns as declared and the order of their
// rows: the integer key that is the rowid, the key of a table without
// rowid, or else the rowid itself in kv_rowid.
std::vector<SourceTable> list_tables(Sqlite& in) {
  std::vector<SourceTable> out;
  {
    Statement st{in.prepare("SELECT t.name, l.wr FROM sqlite_master t JOIN pragma_table_list l ON l.name = t.name "
                            "AND l.schema = 'main' WHERE t.type = 'table' AND t.name NOT LIKE 'sqlite\\_%' ESCAPE '\\' "
                            "ORDER BY t.rowid")};
    while (sqlite3_step(st.s) == SQLITE_ROW) {
      SourceTable t;
      t.server.name = reinterpret_cast<const char*>(sqlite3_column_text(st.s, 0));
      t.rowid = sqlite3_column_int(st.s, 1) == 0;
      out.push_back(std::move(t));
    }
  }
  for (SourceTable& t : out) {
    std::vector<std::pair<int, std::string>> key;
    Statement st{in.prepare("SELECT name, type, pk FROM pragma_table_info(?)")};
    sqlite3_bind_text(st.s, 1, t.server.name.c_str(), -1, SQLITE_TRANSIENT);
    while (sqlite3_step(st.s) == SQLITE_ROW) {
      SourceColumn c;
      c.name = reinterpret_cast<const char*>(sqlite3_column_text(st.s, 0));
      const unsigned char* d = sqlite3_column_text(st.s, 1);
      c.declared = d ? reinterpret_cast<const char*>(d) : "";
      if (int pk = sqlite3_column_int(st.s, 2)) key.push_back({pk, c.name});
      t.columns.push_back(std::move(c));
    }
    std::sort(key.begin(), key.end());
    bool alias = false;
    if (t.rowid && key.size() == 1)
      for (auto& c : t.columns)
        if (c.name == key[0].second && upper(c.declared) == "INTEGER") alias = true;
    if (!t.rowid || alias) {
      for (auto& [pos, name] : key) t.server.key.push_back(name);
    } else {
      t.server.row_column = true;
      t.server.key = {db::pg::kRowColumn};
    }
  }
  return out;
}

// The kind of every column of T worked out from the values it holds (one
// pass over the table): a column holds numbers or text, never both, since
// a server's column has one type.
void work_out_kinds(Sqlite& in, SourceTable& t) {
  std::string q = "SELECT count(*)";
  for (auto& c : t.columns)
    for (const char* type : {"integer", "real", "text", "blob"})
      q += ", max(typeof(" + quote_ident(c.name) + ") = '" + type + "')";
  Statement st{in.prepare(q + " FROM " + quote_ident(t.server.name))};
  if (sqlite3_step(st.s) != SQLITE_ROW) in.fail();
  t.rows = sqlite3_column_int64(st.s, 0);
  t.server.columns.clear();
  for (std::size_t i = 0; i < t.columns.size(); ++i) {
    SourceColumn& c = t.columns[i];
    bool ints = sqlite3_column_int(st.s, int(4 * i + 1)), reals = sqlite3_column_int(st.s, int(4 * i + 2)),
         blobs = sqlite3_column_int(st.s, int(4 * i + 4)), texts = sqlite3_column_int(st.s, int(4 * i + 3)) || blobs;
    std::string where = in.file + ": table " + t.server.name + ", column " + c.name;
    if (texts && (ints || reals)) throw std::runtime_error(where + " holds both text and numbers");
    // A column not declared as text compares its texts as they are; on
    // the server a text column ignores letter case, so it is refused.
    if (texts && !declared_text(c.declared)) throw std::runtime_error(where + " is declared " + c.declared + " but holds text");
    std::string type = upper(c.declared);
    // Bytes alone stay bytes (a source record as it was read).
    if (blobs && !sqlite3_column_int(st.s, int(4 * i + 3))) c.kind = Kind::kBytes;
    else if (texts) c.kind = Kind::kText;
    else if (ints && reals) c.kind = Kind::kNumeric;
    else if (reals) c.kind = Kind::kReal;
    else if (ints) c.kind = Kind::kInteger;
    // An empty column declared for bytes (a stored index's delta, empty
    // until an update) stays bytes, which a server's text could not take.
    else if (type.find("BLOB") != std::string::npos && type.find("INT") == std::string::npos) c.kind = Kind::kBytes;
    else if (declared_text(c.declared)) c.kind = Kind::kText;
    else if (type.find("INT") != std::string::npos) c.kind = Kind::kInteger;
    else if (type.find("REAL") != std::string::npos || type.find("FLOA") != std::string::npos ||
             type.find("DOUB") != std::string::npos)
      c.kind = Kind::kReal;
    else c.kind = Kind::kNumeric;
    t.server.columns.push_back({c.name, c.kind == Kind::kText, server_type(c.kind)});
  }
}

// One value in COPY's text form.
void put_value(std::string& out, sqlite3_stmt* s, int i, Kind kind, const std::string& where) {
  int type = sqlite3_column_type(s, i);
  if (type == SQLITE_NULL) {
    out += "\\N";
    return;
  }
  if (kind == Kind::kBytes) {
    static const char hex[] = "0123456789abcdef";
    const unsigned char* p = static_cast<const unsigned char*>(sqlite3_column_blob(s, i));
    out += "\\\\x";
    for (int k = 0, n = sqlite3_column_bytes(s, i); k < n; ++k) out += hex[p[k] >> 4], out += hex[p[k] & 15];
    return;
  }
  if (kind == Kind::kText) {
    const unsigned char* p = static_cast<const unsigned char*>(sqlite3_column_blob(s, i));
    std::size_t n = std::size_t(sqlite3_column_bytes(s, i));
    std::string fixed;
    // Bytes that are not UTF-8 are read by the engine as U+FFFD each; they
    // are stored so.
    if (!marc21::well_formed_utf8(std::string_view(reinterpret_cast<const char*>(p), n))) {
      fixed = to_utf8(from_utf8(std::string_view(reinterpret_cast<const char*>(p), n)));
      p = reinterpret_cast<const unsigned char*>(fixed.data());
      n = fixed.size();
    }
    for (std::size_t k = 0; k < n; ++k) {
      char c = char(p[k]);
      switch (c) {
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\0': throw std::runtime_error(where + " holds a text with a NUL character, which a server's text cannot hold");
        default: out += c;
      }
    }
    return;
  }
  if (type == SQLITE_INTEGER) {
    out += std::to_string(sqlite3_column_int64(s, i));
    return;
  }
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", sqlite3_column_double(s, i));
  out += buf;
  // In a column of integers and reals, a real keeps its point, so that it
  // is read back as a real.
  if (kind == Kind::kNumeric && !std::strpbrk(buf, ".eEni")) out += ".0";
}

// Copies the rows of SELECT (its columns of KINDS) into TARGET, a table
// and its column list, with COPY.
long copy_query(Server& server, Sqlite& in, const std::string& select, const std::string& target,
                const std::vector<Kind>& kinds, const std::string& where) {
  server.run("COPY " + target + " FROM STDIN");
  Statement st{in.prepare(select)};
  std::string buf;
  auto send = [&] {
    if (PQputCopyData(server.conn.get(), buf.data(), int(buf.size())) != 1)
      throw std::runtime_error(server.uri + ": " + PQerrorMessage(server.conn.get()));
    buf.clear();
  };
  try {
    int rc;
    while ((rc = sqlite3_step(st.s)) == SQLITE_ROW) {
      for (std::size_t i = 0; i < kinds.size(); ++i) {
        if (i) buf += '\t';
        put_value(buf, st.s, int(i), kinds[i], where);
      }
      buf += '\n';
      if (buf.size() >= kCopyChunk) send();
    }
    if (rc != SQLITE_DONE) in.fail();
    send();
  } catch (const std::exception& e) {
    PQputCopyEnd(server.conn.get(), e.what());
    while (PGresult* r = PQgetResult(server.conn.get())) PQclear(r);
    throw;
  }
  if (PQputCopyEnd(server.conn.get(), nullptr) != 1) throw std::runtime_error(server.uri + ": " + PQerrorMessage(server.conn.get()));
  db::pg::Result r(PQgetResult(server.conn.get()));
  std::string failure = PQresultStatus(r.get()) == PGRES_COMMAND_OK ? "" : PQresultErrorMessage(r.get());
  long rows = std::atol(PQcmdTuples(r.get()));
  while (PGresult* more = PQgetResult(server.conn.get())) PQclear(more);
  if (!failure.empty()) throw std::runtime_error(server.uri + ": " + failure);
  return rows;
}

// The rows of a table of the file (those WHERE picks) into the table of
// the same name in SCHEMA, in the file's own order (rowid or key): the
// server keeps them so.
long copy_rows(Server& server, Sqlite& in, const SourceTable& t, const std::string& schema, const std::string& where = "") {
  std::string cols;
  std::vector<Kind> kinds;
  for (auto& c : t.columns) {
    cols += (cols.empty() ? "" : ", ") + quote_ident(c.name);
    kinds.push_back(c.kind);
  }
  std::string select = cols;
  if (t.server.row_column) {
    cols += ", " + quote_ident(db::pg::kRowColumn);
    select += ", rowid";
    kinds.push_back(Kind::kInteger);
  }
  return copy_query(server, in, "SELECT " + select + " FROM " + quote_ident(t.server.name) + where,
             quote_ident(schema) + "." + quote_ident(t.server.name) + " (" + cols + ")", kinds,
             in.file + ": table " + t.server.name);
}

// Gives the roles that could use schema FROM the same use of schema TO:
// USAGE, and SELECT on TABLES (a list of quoted names; every table of TO
// when empty).
void carry_grants(Server& server, const std::string& from, const std::string& to, const std::string& tables = "") {
  auto r = server.run(
      "SELECT DISTINCT CASE WHEN a.grantee = 0 THEN 'PUBLIC' ELSE quote_ident(r.rolname) END "
      "FROM pg_namespace n CROSS JOIN aclexplode(n.nspacl) a LEFT JOIN pg_roles r ON r.oid = a.grantee "
      "WHERE n.nspname = " + quote_literal(from) + " AND a.privilege_type = 'USAGE' AND a.grantee <> n.nspowner");
  std::string s = quote_ident(to), on = tables.empty() ? "ALL TABLES IN SCHEMA " + s : "TABLE " + tables;
  for (int i = 0; i < PQntuples(r.get()); ++i) {
    std::string role = PQgetvalue(r.get(), i, 0);
    server.run("GRANT USAGE ON SCHEMA " + s + " TO " + role + "; GRANT SELECT ON " + on + " TO " + role);
  }
}

// Rows copied in with their kv_rowid leave the column's sequence behind:
// the next row another program adds is numbered after the last.
void advance_row_numbers(Server& server, const std::string& table) {
  server.run("SELECT setval(pg_get_serial_sequence(" + quote_literal(table) + ", " + quote_literal(db::pg::kRowColumn) +
             "), coalesce(max(" + quote_ident(db::pg::kRowColumn) + "), 0) + 1, false) FROM " + table);
}

// Makes table T of the file in SCHEMA and copies its rows: its own columns
// first (so that an INSERT without a column list means what it means in
// the file), kv_rowid, the stored folds, the key and the change trigger.
void create_table(Server& server, Sqlite& in, const SourceTable& t, const std::string& schema) {
  std::string table = quote_ident(schema) + "." + quote_ident(t.server.name);
  std::string ddl = "CREATE TABLE " + table + " (";
  for (std::size_t i = 0; i < t.columns.size(); ++i)
    ddl += (i ? ", " : "") + quote_ident(t.columns[i].name) + " " + server_type(t.columns[i].kind);
  if (t.server.row_column) ddl += ", " + quote_ident(db::pg::kRowColumn) + " bigint GENERATED BY DEFAULT AS IDENTITY";
  for (auto& c : t.columns)
    if (folded(t.server, c.name)) ddl += ", " + fold_column_sql(schema, c.name);
  server.run(ddl + ")");
  copy_rows(server, in, t, schema);
  std::string key;
  for (const std::string& k : t.server.key) key += (key.empty() ? "" : ", ") + quote_ident(k);
  if (!key.empty()) server.run("ALTER TABLE " + table + " ADD PRIMARY KEY (" + key + ")");
  if (t.server.row_column) advance_row_numbers(server, table);
  server.run(db::pg::change_trigger_sql(schema, t.server.name));
}

std::string table_list(const std::string& schema, const std::vector<std::string>& names) {
  std::string all;
  for (const std::string& name : names) all += (all.empty() ? "" : ", ") + quote_ident(schema) + "." + quote_ident(name);
  return all;
}

void load_one(Server& server, const std::string& file, const std::string& schema, std::ostream* report) {
  Sqlite in;
  in.file = file;
  if (sqlite3_open_v2(file.c_str(), &in.db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) in.fail();
  std::vector<SourceTable> tables = list_tables(in);
  // Built beside the old schema and renamed into its place at the end.
  std::string fresh = schema + "_kv_new";
  long rows = 0;
  server.run("BEGIN");
  try {
    server.run("CREATE SCHEMA " + quote_ident(fresh));
    db::pg::SchemaObjects objects = db::pg::schema_objects_sql(fresh);
    server.run(objects.fold + objects.collation + objects.changes);
    std::map<std::string, ServerTable> by_name;
    std::vector<std::string> names;
    for (SourceTable& t : tables) {
      work_out_kinds(in, t);
      create_table(server, in, t, fresh);
      rows += t.rows;
      by_name[t.server.name] = t.server;
      names.push_back(t.server.name);
    }
    std::string indexes = index_sql(fresh, by_name);
    if (!indexes.empty()) server.run(indexes);
    if (std::string sql = stamp_sql(fresh, by_name); !sql.empty()) server.run(sql);
    carry_grants(server, schema, fresh);
    if (!names.empty()) server.run("ANALYZE " + table_list(fresh, names));
    server.run("DROP SCHEMA IF EXISTS " + quote_ident(schema) + " CASCADE");
    server.run("ALTER SCHEMA " + quote_ident(fresh) + " RENAME TO " + quote_ident(schema));
    server.run("COMMIT");
  } catch (...) {
    server.roll_back();
    throw;
  }
  if (report) *report << "loaded " << schema << ": " << tables.size() << " tables, " << rows << " rows\n";
}

}  // namespace

void LoadDatabases(const std::vector<std::string>& files, const std::string& uri, std::ostream* report) {
  Server server = connect_to(uri);
  for (const std::string& file : files) load_one(server, file, fs::path(file).stem().string(), report);
}

void LoadIntoServer(const std::string& folder, const std::string& uri) {
  std::vector<std::string> files;
  for (auto& e : fs::directory_iterator(folder))
    if (e.is_regular_file() && e.path().extension() == ".sqlite") files.push_back(e.path().string());
  std::sort(files.begin(), files.end());
  LoadDatabases(files, uri, &std::cout);
  // The settings that point hosts at the schemas.
  std::cout << NewSettings(db::pg::without_credentials(uri));
}

}  // namespace kvistur::import

namespace kvistur::import {

namespace {

Kind kind_of_server_type(const std::string& type) {
  if (type == "int8" || type == "int4" || type == "int2" || type == "bool") return Kind::kInteger;
  if (type == "float8" || type == "float4") return Kind::kReal;
  if (type == "numeric") return Kind::kNumeric;
  if (type == "bytea") return Kind::kBytes;
  return Kind::kText;
}

const char* sqlite_type(Kind k) {
  switch (k) {
    case Kind::kInteger: return "INTEGER";
    case Kind::kReal: return "REAL";
    case Kind::kNumeric: return "NUMERIC";
    case Kind::kBytes: return "BLOB";
    default: return "TEXT";
  }
}

// A server table as the file copy has it: its own columns (not the stored
// folds), their kinds, and whether it keeps the order in a rowid (kv_rowid
// or an integer key) or in its key (a table without rowid).
SourceTable as_source(const ServerTable& t) {
  SourceTable s;
  s.server = t;
  for (const ServerColumn& c : t.columns)
    if (!(c.name.rfind(db::pg::kFoldPrefix, 0) == 0 && t.has(c.name.substr(std::strlen(db::pg::kFoldPrefix)))))
      s.columns.push_back({c.name, sqlite_type(kind_of_server_type(c.type)), kind_of_server_type(c.type)});
  s.server.columns.clear();
  for (auto& c : s.columns) s.server.columns.push_back({c.name, c.kind == Kind::kText, server_type(c.kind)});
  s.rowid = t.row_column || t.key.empty() || (t.key.size() == 1 && kind_of_server_type(
                                                      std::find_if(t.columns.begin(), t.columns.end(), [&](auto& c) {
                                                        return c.name == t.key[0];
                                                      })->type) == Kind::kInteger);
  return s;
}

// One field of COPY's text form, unescaped; false for NULL.
bool copy_field(const char* p, std::size_t n, std::string& out) {
  out.clear();
  if (n == 2 && p[0] == '\\' && p[1] == 'N') return false;
  for (std::size_t i = 0; i < n; ++i) {
    if (p[i] != '\\' || i + 1 >= n) {
      out += p[i];
      continue;
    }
    char c = p[++i];
    switch (c) {
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'b': out += '\b'; break;
      case 'f': out += '\f'; break;
      case 'v': out += '\v'; break;
      default:
        if (c >= '0' && c <= '7') {
          int v = c - '0';
          for (int k = 0; k < 2 && i + 1 < n && p[i + 1] >= '0' && p[i + 1] <= '7'; ++k) v = v * 8 + (p[++i] - '0');
          out += char(v);
        } else {
          out += c;
        }
    }
  }
  return true;
}

// Copies the schema's tables into a new SQLite file, with the search's
// indexes.
void export_schema(Server& server, const std::string& schema, const std::vector<SourceTable>& tables,
                   const std::string& file) {
  Sqlite out;
  out.file = file;
  if (sqlite3_open(file.c_str(), &out.db) != SQLITE_OK) out.fail();
  db::register_kv_functions(out.db);
  ExecSql(out.db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; BEGIN");
  for (const SourceTable& t : tables) {
    std::string ddl = "CREATE TABLE " + quote_ident(t.server.name) + " (", cols, marks;
    bool integer_key = !t.server.row_column && t.rowid && !t.server.key.empty();
    for (const SourceColumn& c : t.columns) {
      ddl += (cols.empty() ? "" : ", ") + quote_ident(c.name) + " " + c.declared;
      if (integer_key && c.name == t.server.key[0]) ddl += " PRIMARY KEY";
      cols += (cols.empty() ? "" : ", ") + quote_ident(c.name);
      marks += marks.empty() ? "?" : ", ?";
    }
    std::string key;
    for (const std::string& k : t.server.key) key += (key.empty() ? "" : ", ") + quote_ident(k);
    std::string create = ddl + (t.rowid ? ")" : ", PRIMARY KEY (" + key + ")) WITHOUT ROWID");
    try { ExecSql(out.db, create.c_str()); } catch (const std::exception& e) { throw std::runtime_error(std::string(e.what()) + " in " + create); }
    std::string select = cols;
    if (t.server.row_column) select += ", " + quote_ident(db::pg::kRowColumn), cols += ", rowid", marks += ", ?";
    Statement insert{out.prepare("INSERT INTO " + quote_ident(t.server.name) + " (" + cols + ") VALUES (" + marks + ")")};
    server.run("COPY (SELECT " + select + " FROM " + quote_ident(schema) + "." + quote_ident(t.server.name) + ") TO STDOUT");
    char* line = nullptr;
    int n;
    std::string field;
    while ((n = PQgetCopyData(server.conn.get(), &line, 0)) > 0) {
      const char* p = line;
      const char* end = line + n - (n > 0 && line[n - 1] == '\n' ? 1 : 0);
      for (int i = 1; p <= end; ++i) {
        const char* tab = std::find(p, end, '\t');
        Kind kind = std::size_t(i) <= t.columns.size() ? t.columns[std::size_t(i - 1)].kind : Kind::kInteger;
        int rc;
        if (!copy_field(p, std::size_t(tab - p), field)) {
          rc = sqlite3_bind_null(insert.s, i);
        } else if (kind == Kind::kInteger || (kind == Kind::kNumeric && !std::strpbrk(field.c_str(), ".eEN"))) {
          rc = sqlite3_bind_int64(insert.s, i, std::strtoll(field.c_str(), nullptr, 10));
        } else if (kind == Kind::kReal || kind == Kind::kNumeric) {
          rc = sqlite3_bind_double(insert.s, i, std::strtod(field.c_str(), nullptr));
        } else if (kind == Kind::kBytes) {
          std::string bytes = db::pg::bytes_of_hex(std::string_view(field).substr(std::min<std::size_t>(2, field.size())));
          rc = sqlite3_bind_blob64(insert.s, i, bytes.data(), bytes.size(), SQLITE_TRANSIENT);
        } else {
          rc = sqlite3_bind_text64(insert.s, i, field.data(), field.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
        }
        if (rc != SQLITE_OK) {
          PQfreemem(line);
          out.fail();
        }
        p = tab + 1;
      }
      PQfreemem(line);
      if (sqlite3_step(insert.s) != SQLITE_DONE) out.fail();
      sqlite3_reset(insert.s);
    }
    db::pg::Result r(PQgetResult(server.conn.get()));
    if (n == -2 || PQresultStatus(r.get()) != PGRES_COMMAND_OK)
      throw std::runtime_error(server.uri + ": " + PQerrorMessage(server.conn.get()));
    while (PGresult* more = PQgetResult(server.conn.get())) PQclear(more);
  }
  // The indexes an update looks records up by; the stored search index is
  // copied as it is.
  auto has = [&](const char* name) {
    return std::any_of(tables.begin(), tables.end(), [&](auto& t) { return t.server.name == name; });
  };
  if (has("Tengill")) CreateIndexes(out.db, false);
  // The stamp counts the copy's changes on from the schema's state, so
  // that an update adds what it changed beside the stored index made at
  // that state (a delta) rather than writing the index whole.
  if (has("Móðurtafla") && has("Tengill") && has("Orð") && has(db::kStampTable)) db::InstallStampTriggers(out.db);
  ExecSql(out.db, "COMMIT");
}

// Whether the triggers of the content stamp and of the record mark that
// the tables call for are all there, enabled.
bool stamp_triggers_there(Server& server, const std::string& oid, const std::map<std::string, ServerTable>& tables) {
  std::vector<std::string> wanted;
  if (stamped(tables)) wanted = db::pg::stamp_trigger_names();
  for (const db::pg::FactsTrigger& t : facts_triggers(tables)) wanted.push_back(t.name);
  if (tables.count("Móðurtafla") && tables.count(kRecordMarkTable))
    wanted.insert(wanted.end(), {"kv_record_mark", "kv_record_mark_truncate"});
  if (wanted.empty()) return true;
  std::string names;
  for (const std::string& t : wanted) names += (names.empty() ? "" : ", ") + quote_literal(t);
  auto r = server.run("SELECT count(*) FROM pg_trigger g JOIN pg_class c ON c.oid = g.tgrelid WHERE c.relnamespace = " +
                      oid + " AND g.tgname IN (" + names + ") AND g.tgenabled <> 'D'");
  return std::atol(PQgetvalue(r.get(), 0, 0)) == long(wanted.size());
}

// Gives SCHEMA, in place and in the caller's transaction, what the search
// and the copy an update works on need beside its tables, whoever made
// them: kv_fold, kv_ci, kv_changes, the mark of record numbers given
// (record_numbers.h); a row order for every table (a table with no primary
// key gets kv_rowid, numbered in the order the server keeps its rows, as
// its key); the stored folds, the change, stamp and mark triggers and the
// indexes.  What is there already stays as it is.  The
// names of the tables it changed go to TOUCHED.  Its tables afterwards.
std::map<std::string, ServerTable> make_ready(Server& server, const std::string& schema, std::vector<std::string>& touched) {
  std::string s = quote_ident(schema), oid = schema_oid(server, schema);
  db::pg::SchemaObjects objects = db::pg::schema_objects_sql(schema);
  if (PQgetisnull(server.run("SELECT to_regprocedure(" + quote_literal(s + ".kv_fold(text)") + ")").get(), 0, 0))
    server.run(objects.fold);
  if (PQntuples(server.run("SELECT 1 FROM pg_collation WHERE collname = 'kv_ci' AND collnamespace = " + oid).get()) == 0)
    server.run(objects.collation);
  if (PQgetisnull(server.run("SELECT to_regclass(" + quote_literal(s + "." + db::pg::kChangesTable) + ")").get(), 0, 0))
    server.run(objects.changes);
  std::map<std::string, ServerTable> tables = server_tables(server, oid);
  if (tables.count("Móðurtafla") && !tables.count(kRecordMarkTable)) {
    server.run(ServerRecordMarkSql(schema, db::spelled_as(record_columns(tables), "ID")));
    tables = server_tables(server, oid);
  }
  for (auto& [name, t] : tables) {
    std::string table = s + "." + quote_ident(name);
    bool changed = false;
    if (t.key.empty() && !t.row_column && !t.partitioned) {
      // Adding the column rewrites the table, numbering the rows as they
      // lie: the order a scan gives them, which is the order they were
      // loaded in.
      server.run("ALTER TABLE " + table + " ADD COLUMN " + quote_ident(db::pg::kRowColumn) +
                 " bigint GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY");
      t.row_column = true;
      t.key = {db::pg::kRowColumn};
      changed = true;
    }
    for (const ServerColumn& c : std::vector<ServerColumn>(t.columns))
      if (folded(t, c.name) && !t.has(fold_column(c.name))) {
        server.run("ALTER TABLE " + table + " ADD COLUMN " + fold_column_sql(schema, c.name));
        t.columns.push_back({fold_column(c.name), true, "text"});
        changed = true;
      }
    if (!t.counted) server.run(db::pg::change_trigger_sql(schema, name)), t.counted = true;
    if (changed) touched.push_back(name);
  }
  std::string indexes = index_sql(schema, tables);
  if (!indexes.empty()) server.run(indexes);
  if (!stamp_triggers_there(server, oid, tables)) server.run(stamp_sql(schema, tables));
  return tables;
}

}  // namespace

struct ServerCatalogueUpdate::State {
  Server server;
  std::string schema, dir, before, after;
  std::vector<SourceTable> tables;
  std::vector<std::string> touched;  // tables changed in shape, for ANALYZE
  bool open = false;
};

ServerCatalogueUpdate::ServerCatalogueUpdate(const std::string& uri, const std::string& schema)
    : s_(std::make_unique<State>()) {
  s_->server = connect_to(uri);
  s_->schema = schema;
  char tmpl[] = "/tmp/kvistur-update-XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("cannot make a temporary folder");
  s_->dir = tmpl;
  fs::create_directory(s_->dir + "/before");
  fs::create_directory(s_->dir + "/after");
  s_->before = s_->dir + "/before/" + schema + ".sqlite";
  s_->after = s_->dir + "/after/" + schema + ".sqlite";
  Server& server = s_->server;
  server.run("BEGIN");
  s_->open = true;
  std::map<std::string, ServerTable> tables = make_ready(server, schema, s_->touched);
  std::vector<std::string> names;
  for (auto& [name, t] : tables) {
    s_->tables.push_back(as_source(t));
    names.push_back(name);
  }
  // No other writer until the commit; hosts read on, and see the state
  // before the update until then.
  if (!names.empty()) server.run("LOCK TABLE " + table_list(schema, names) + " IN SHARE ROW EXCLUSIVE MODE");
  export_schema(server, schema, s_->tables, s_->before);
  fs::copy_file(s_->before, s_->after);
}

ServerCatalogueUpdate::~ServerCatalogueUpdate() {
  if (s_->open) s_->server.roll_back();
  std::error_code ec;
  fs::remove_all(s_->dir, ec);
}

const std::string& ServerCatalogueUpdate::file() const { return s_->after; }

bool ServerCatalogueUpdate::catalogue() const {
  auto has = [&](const char* name) {
    return std::any_of(s_->tables.begin(), s_->tables.end(), [&](auto& t) { return t.server.name == name; });
  };
  return has("Orð") && has("Tengill");
}

void ServerCatalogueUpdate::Commit(std::ostream* report) {
  Server& server = s_->server;
  Sqlite in;
  in.file = s_->after;
  if (sqlite3_open_v2(s_->after.c_str(), &in.db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) in.fail();
  {
    Statement attach{in.prepare("ATTACH ? AS b")};
    sqlite3_bind_text(attach.s, 1, s_->before.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(attach.s) != SQLITE_DONE) in.fail();
  }
  std::vector<SourceTable> after = list_tables(in);
  // The stamp last: the triggers raise it at every change of the other
  // tables, and the copy's stamp is the one its stored index was made at.
  std::stable_partition(after.begin(), after.end(), [](auto& t) { return t.server.name != db::kStampTable; });
  long deleted = 0, added = 0, n = 0;
  std::string s = quote_ident(s_->schema);
  std::vector<std::string> made;
  // A table new in the copy, or with other columns, is made anew; the
  // tables are locked, so no one else's rows are lost.
  auto make = [&](SourceTable& t, bool drop) {
    if (drop) server.run("DROP TABLE " + s + "." + quote_ident(t.server.name));
    work_out_kinds(in, t);
    create_table(server, in, t, s_->schema);
    made.push_back(t.server.name);
    added += t.rows;
  };
  for (SourceTable& a : after) {
    auto old = std::find_if(s_->tables.begin(), s_->tables.end(), [&](auto& t) { return t.server.name == a.server.name; });
    if (old == s_->tables.end() ||
        !std::equal(a.columns.begin(), a.columns.end(), old->columns.begin(), old->columns.end(),
                    [](auto& x, auto& y) { return x.name == y.name; })) {
      make(a, old != s_->tables.end());
      continue;
    }
    const SourceTable& t = *old;
    std::string table = quote_ident(t.server.name), target = s + "." + table;
    if (t.server.key.empty()) {
      // No key to find its rows by (a partitioned table): all of them anew.
      deleted += std::atol(PQcmdTuples(server.run("DELETE FROM " + target).get()));
      added += copy_rows(server, in, t, s_->schema);
      continue;
    }
    std::string key;
    for (const std::string& k : t.server.key) key += (key.empty() ? "" : ", ") + quote_ident(k);
    // The rows as the file keeps them: by rowid, or by key.
    std::string id = t.rowid ? "rowid" : key, rows = "SELECT " + id + (t.rowid ? " AS kv_k" : "") + ", * FROM ";
    std::string changed = " WHERE (" + id + ") IN (SELECT " + (t.rowid ? "kv_k" : key) + " FROM (" + rows + "main." +
                          table + " EXCEPT " + rows + "b." + table + "))";
    std::string gone = "SELECT " + (t.rowid ? std::string("kv_k") : key) + " FROM (" + rows + "b." + table + " EXCEPT " +
                       rows + "main." + table + ")";
    // Rows gone or changed: their keys into a temporary table, then out.
    std::vector<Kind> kinds;
    std::string columns, match;
    for (const std::string& k : t.server.key) {
      auto c = std::find_if(t.columns.begin(), t.columns.end(), [&](auto& x) { return x.name == k; });
      Kind kind = c == t.columns.end() ? Kind::kInteger : c->kind;
      kinds.push_back(kind);
      columns += (columns.empty() ? "" : ", ") + quote_ident(k) + " " + server_type(kind);
      match += (match.empty() ? "" : " AND ") + ("t." + quote_ident(k)) + " = g." + quote_ident(k);
    }
    std::string temp = "kv_gone_" + std::to_string(n++);
    server.run("CREATE TEMP TABLE " + temp + " (" + columns + ") ON COMMIT DROP");
    copy_query(server, in, gone, temp, kinds, in.file + ": table " + t.server.name);
    auto d = server.run("DELETE FROM " + target + " t USING " + temp + " g WHERE " + match);
    deleted += std::atol(PQcmdTuples(d.get()));
    added += copy_rows(server, in, t, s_->schema, changed);  // rows new or changed
    if (t.server.row_column) advance_row_numbers(server, target);
  }
  for (const SourceTable& t : s_->tables)
    if (std::none_of(after.begin(), after.end(), [&](auto& a) { return a.server.name == t.server.name; }))
      server.run("DROP TABLE " + s + "." + quote_ident(t.server.name));
  if (!made.empty()) {
    // The new tables' indexes and triggers, and the readers' right to them.
    std::vector<std::string> more;
    make_ready(server, s_->schema, more);
    carry_grants(server, s_->schema, s_->schema, table_list(s_->schema, made));
  }
  made.insert(made.end(), s_->touched.begin(), s_->touched.end());
  if (!made.empty()) server.run("ANALYZE " + table_list(s_->schema, made));
  server.run("COMMIT");
  s_->open = false;
  if (report) *report << "updated " << s_->schema << ": " << deleted << " rows out, " << added << " rows in\n";
}

void IndexServerSchema(const std::string& uri, const std::string& schema) {
  ServerCatalogueUpdate copy(uri, schema);
  if (copy.catalogue()) IndexCatalogue(copy.file());
  copy.Commit(nullptr);
}

}  // namespace kvistur::import
