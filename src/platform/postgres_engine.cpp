// The PostgreSQL backend of the database engine (engine.h), for catalogues
// kept as schemas of a database on a server (postgres_sql.h).
//
// A workspace is one log-on: the role and password of LogOn, checked by
// the server when the workspace is made.  It keeps one connection per
// database and uses it for every call after (no new connection and
// password exchange per call); the schemas of one database share it.  A
// connection found broken is made again at the next call, and a call whose
// first command finds it broken (the server restarted since) makes it
// again at once.
//
// During a method call the statements of a connection share one read-only
// REPEATABLE READ transaction: they see one state of the catalogue, as in
// a file.  Its BEGIN goes to the server with the first look at the schema,
// in one round trip; its COMMIT is sent when the call ends and its answer
// read at the next use.  The look finds the schema (3024 when there is
// none), notices a schema replaced since (its tables are read again) and
// reads kv_changes, the counter that the schema's triggers keep (what
// callers keep in Derived slots is let go when it moved), and kv_state,
// the content stamp by which the search shares what it keeps and trusts
// the stored index it reads through cursors.
//
// Queries are translated as for SQLite (jet_sql.h) into PostgreSQL's SQL
// for the schema, with the same rows in the same order; the values are
// sent apart from the text ($1, $2 ...), never spliced into it.
#include <algorithm>
#include <functional>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/column_names.h"
#include "platform/content_stamp.h"
#include "platform/engine.h"
#include "platform/jet_sql.h"
#include "platform/kept_memory.h"
#include "platform/postgres_sql.h"
#include "platform/sqlite_functions.h"
#include "settings/settings.h"

namespace kvistur::db {
namespace {

using pg::Result;

// A call's transaction, with a savepoint at its start: a statement of the
// call that fails rolls back to it (recover), which keeps the transaction's
// snapshot, so the call's later statements read the state its earlier
// ones did.
constexpr char kBegin[] = "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY;SAVEPOINT kv_call";
constexpr Oid kInt8Type = 20, kFloat8Type = 701, kInt8ArrayType = 1016;

[[noreturn]] void fail(int32_t number, const char16_t* source, const std::string& description) {
  throw Error(number, source, from_utf8(description));
}

// A translation's values as libpq takes them, and one more integer EXTRA
// when TAIL is given.  Numbers go as numbers (a minus before one needs its
// type); texts take the type of what they are compared with.
struct Params {
  Params(const Translation& t, const char* tail, int64_t extra) {
    texts.reserve(t.values.size() + 1);
    for (const SqlValue& v : t.values) {
      if (v.kind == SqlValue::kInteger) {
        texts.push_back(std::to_string(v.integer));
      } else if (v.kind == SqlValue::kReal) {
        char buf[40];
        std::snprintf(buf, sizeof buf, "%.17g", v.real);
        texts.push_back(buf);
      } else if (v.kind == SqlValue::kList) {
        texts.push_back(list_text(v.list, '{', '}'));
      } else {
        texts.push_back(v.text);
      }
      types.push_back(v.kind == SqlValue::kReal      ? kFloat8Type
                      : v.kind == SqlValue::kInteger ? kInt8Type
                      : v.kind == SqlValue::kList    ? kInt8ArrayType
                                                     : 0);
    }
    if (tail) {
      texts.push_back(std::to_string(extra));
      types.push_back(kInt8Type);
    }
    for (const std::string& s : texts) values.push_back(s.c_str());
  }
  std::vector<std::string> texts;
  std::vector<const char*> values;
  std::vector<Oid> types;
};

// What a connection knows of one schema.
struct SchemaState {
  std::string name;  // as the server spells it
  Oid oid = 0;
  Schema schema;
  TranslationCache translations;
  bool counted = false;  // the schema has kv_changes
  std::string version;   // kv_changes at the last look; "" when it cannot be read
  // The content stamp: the oids of Móðurtafla, Tengill and Orð when the
  // schema has kv_state too, and the stamp at the last look.
  std::string stamped;
  // The triggers of kv_state's facts the tables call for, and the oids of
  // their tables; none when kv_state has no facts.
  std::vector<std::string> facts_triggers;
  std::string facts_tables;
  ContentStamp stamp;
  std::string shape;  // pg::shape_sql when the tables were read
  bool looked_in_call = false;
  std::map<std::string, std::shared_ptr<void>, std::less<>> derived;
};

class ServerConnection : public std::enable_shared_from_this<ServerConnection> {
 public:
  ServerConnection(std::string uri, std::string user, std::string password)
      : uri_(std::move(uri)), user_(std::move(user)), password_(std::move(password)) {}

  void connect(const char16_t* source) {
    // Lost during this call: a new connection would show the call's later
    // statements a newer state than its earlier ones read.  The next call
    // connects again.
    if (lost_in_call_) lost();
    conn_.reset();
    conn_ = pg::connect(uri_, user_, password_, true, source);
    in_transaction_ = pending_ = false;
    schemas_.clear();
    prepared_.clear();
    seen_.clear();
    prepared_kept_.Clear();
    seen_kept_.Clear();
  }
  bool broken() const { return !conn_ || PQstatus(conn_.get()) == CONNECTION_BAD; }
  bool lost_in_call() const { return lost_in_call_; }

  // The schema named NAME (letter case aside) for a database object of
  // this call: looked at once per call, with the BEGIN of the call's
  // transaction when this is the call's first use of the connection.
  std::shared_ptr<SchemaState> open(const std::string& name, const std::string& shown) {
    auto known = find_known(name);
    if (InCall() && in_transaction_ && known && known->looked_in_call) return known;
    std::vector<Result> rs;
    if (InCall() && !in_transaction_) {
      rs = run_many(std::string(kBegin) + (known ? ";" + look_sql(*known) : ""));
      if (broken() || rs.empty() || PQresultStatus(rs[0].get()) != PGRES_COMMAND_OK) {
        // The server may have restarted since the last call: one new
        // connection, and the call goes on with it.
        try {
          connect(u"DAO.Workspace");
        } catch (const Error&) {
          lost();
        }
        known = nullptr;
        rs = run_many(kBegin);
        if (broken() || rs.empty() || PQresultStatus(rs[0].get()) != PGRES_COMMAND_OK) lost();
      }
      rs.erase(rs.begin(), rs.begin() + std::min<std::ptrdiff_t>(2, std::ptrdiff_t(rs.size())));  // BEGIN, SAVEPOINT
      in_transaction_ = true;
      ++transaction_;
      std::weak_ptr<ServerConnection> self = weak_from_this();
      AtCallEnd([self] {
        if (auto c = self.lock()) c->end_call();
      });
    } else if (known) {
      rs = run_many(look_sql(*known));
    }
    if (known && read_look(*known, rs)) return known;
    if (known) forget_statements();
    drop_known(name);
    auto state = find_schema(name, shown);
    if (state->counted || !state->stamped.empty()) read_look(*state, rs = run_many(look_sql(*state)));
    return state;
  }

  // Runs one translated query; the rows, or the engine's error.  TAIL,
  // when given, follows the query's SQL with one more value, EXTRA: a
  // LIMIT or an OFFSET for a cursor's reads.
  Result query(const Translation& t, const char* tail = nullptr, int64_t extra = 0) {
    settle();
    Params p(t, tail, extra);
    std::string sql = tail ? t.sql + tail + std::to_string(p.values.size()) : t.sql;
    const std::string* name = statement_for(sql, p.types);
    Result r(name ? PQexecPrepared(conn_.get(), name->c_str(), int(p.values.size()), p.values.data(), nullptr, nullptr, 0)
                  : PQexecParams(conn_.get(), sql.c_str(), int(p.values.size()), p.types.data(), p.values.data(), nullptr,
                                 nullptr, 0));
    if (r && PQresultStatus(r.get()) == PGRES_TUPLES_OK) return r;
    failed(r.get(), t);
  }

  // The call's transaction (its number), 0 outside a call: a cursor
  // declared in it lives until it ends.
  long transaction() const { return in_transaction_ ? transaction_ : 0; }
  std::string cursor_name() { return "kv_cursor_" + std::to_string(++cursors_made_); }
  // Declares cursor NAME over T's rows after the first SKIP (in the call's
  // transaction), and fetches its first N rows.
  Result declare(const Translation& t, const std::string& name, int64_t skip, int n) {
    settle();
    Params p(t, " OFFSET $", skip);
    std::string sql = "DECLARE " + name + " NO SCROLL CURSOR FOR " + t.sql + " OFFSET $" + std::to_string(p.values.size());
    Result r(PQexecParams(conn_.get(), sql.c_str(), int(p.values.size()), p.types.data(), p.values.data(), nullptr,
                          nullptr, 0));
    if (!r || PQresultStatus(r.get()) != PGRES_COMMAND_OK) failed(r.get(), t);
    return fetch(t, name, n);
  }
  Result fetch(const Translation& t, const std::string& name, int n) {
    settle();
    Result r(PQexec(conn_.get(), ("FETCH " + std::to_string(n) + " FROM " + name).c_str()));
    if (r && PQresultStatus(r.get()) == PGRES_TUPLES_OK) return r;
    failed(r.get(), t);
  }
  // Closes cursor NAME of TRANSACTION.  The transaction's end closes its
  // cursors anyway, so they are closed in a group, sent without waiting,
  // only when kMaxIdleCursors of the call's wait.
  void close(const std::string& name, long transaction) {
    if (broken() || transaction == 0 || transaction != this->transaction()) return;
    if (idle_transaction_ != transaction) {
      idle_cursors_.clear();
      idle_count_ = 0;
    }
    idle_transaction_ = transaction;
    idle_cursors_ += "CLOSE " + name + ";";
    if (++idle_count_ < kMaxIdleCursors) return;
    settle();
    pending_ = PQsendQuery(conn_.get(), idle_cursors_.c_str()) == 1;
    idle_cursors_.clear();
    idle_count_ = 0;
  }

  void end_call() {
    if (!in_transaction_) return;
    in_transaction_ = false;
    for (auto& [n, s] : schemas_) s->looked_in_call = false;
    if (broken()) return;
    // Sent now, its answer read at the next use: the call does not wait.
    settle();
    pending_ = PQsendQuery(conn_.get(), "COMMIT") == 1;
  }

  const std::string& uri() const { return uri_; }

 private:
  // A statement run a second time is prepared, so that the server parses
  // and plans it once (the per-record queries of a search run hundreds of
  // times with other values); nullptr for one run once so far.
  const std::string* statement_for(const std::string& sql, const std::vector<Oid>& types) {
    auto it = prepared_.find(sql);
    if (it != prepared_.end()) return &it->second;
    if (seen_.size() >= kMaxStatements) {
      seen_.clear();
      seen_kept_.Clear();
    }
    // Each text kept is charged to the process's budget; one without room
    // is not counted, and so never prepared.
    const std::size_t bytes = HeapBytesOfLength<char>(sql.size()) + sizeof(std::pair<const std::string, std::string>) +
                              3 * sizeof(void*) + KeptMemory::kPerBlock;
    auto seen = seen_.find(sql);
    if (seen == seen_.end()) {
      if (seen_kept_.Add(bytes)) seen_.emplace(sql, 1);
      return nullptr;
    }
    if (++seen->second < 2) return nullptr;
    if (prepared_.size() >= kMaxStatements) forget_statements();
    if (!prepared_kept_.Add(bytes)) return nullptr;
    std::string name = "kv" + std::to_string(++statements_made_);
    Result p(PQprepare(conn_.get(), name.c_str(), sql.c_str(), int(types.size()), types.data()));
    if (!p || PQresultStatus(p.get()) != PGRES_COMMAND_OK) {
      prepared_kept_.Remove(bytes);
      return nullptr;  // the plain run reports the error
    }
    return &prepared_.emplace(sql, name).first->second;
  }
  // Prepared statements keep the result columns of the tables as they
  // were: a schema replaced, or too many kept, and they go.
  void forget_statements() {
    if (!prepared_.empty() && !broken()) PQclear(PQexec(conn_.get(), "DEALLOCATE ALL"));
    prepared_.clear();
    seen_.clear();
    prepared_kept_.Clear();
    seen_kept_.Clear();
  }

  // Reads what earlier commands sent without waiting left to answer.
  void settle() {
    if (!pending_) return;
    pending_ = false;
    while (PGresult* r = PQgetResult(conn_.get())) PQclear(r);
  }

  // Sends statements as one message and collects an answer per statement
  // (up to the first that fails).
  std::vector<Result> run_many(const std::string& sql) {
    std::vector<Result> out;
    if (broken()) return out;
    settle();
    if (!PQsendQuery(conn_.get(), sql.c_str())) return out;
    while (PGresult* r = PQgetResult(conn_.get())) out.emplace_back(r);
    return out;
  }

  // After a failed statement in the call's transaction: back to the
  // savepoint at its start, so that the call's later statements can run (as
  // they can in SQLite) in the same snapshot.  Cursors the call declared
  // went with the rollback: the transaction's number changes, so that their
  // recordsets read on by a query of their own (in that same snapshot).
  void recover() {
    if (broken() || !in_transaction_) return;
    run_many("ROLLBACK TO SAVEPOINT kv_call");
    ++transaction_;
    for (auto& [n, s] : schemas_) s->looked_in_call = false;
  }

  [[noreturn]] void lost() {
    in_transaction_ = pending_ = false;
    if (InCall() && !lost_in_call_) {
      // The call's later statements fail too (connect).
      conn_.reset();
      lost_in_call_ = true;
      std::weak_ptr<ServerConnection> self = weak_from_this();
      AtCallEnd([self] {
        if (auto c = self.lock()) c->lost_in_call_ = false;
      });
    }
    fail(pg::kConnectionFailed, u"DAO.Database", "ODBC--connection to '" + uri_ + "' failed.");
  }

  [[noreturn]] void failed(const PGresult* r, const Translation& t) {
    if (broken()) lost();
    std::string state = pg::sql_state(r);
    std::string message = r ? PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY) ? PQresultErrorField(r, PG_DIAG_MESSAGE_PRIMARY) : ""
                            : PQerrorMessage(conn_.get());
    // Class 40: the server rolled the call's transaction back (a standby
    // does, to replay a change that the call stands in the way of).  A new
    // one would show the call's later statements a newer state than its
    // earlier ones read: the connection goes, so that they fail as this
    // one did, and the next call connects again.
    if (state.rfind("40", 0) == 0) lost();
    recover();
    if (state.rfind("08", 0) == 0 || state.rfind("57P", 0) == 0) lost();
    // A table the translation knew of but the server no longer has was
    // dropped or renamed since the call's look (the next look reads the
    // tables again).
    if (state == "42P01")
      fail(kTableNotFound, u"DAO.Database",
           "The database engine cannot find the input table or query '" +
               (t.missing_table.empty() ? first_table(t, true) : t.missing_table) +
               "'. Make sure it exists and that its name is spelled correctly.");
    if (state == "42501")
      fail(3112, u"DAO.Database", "Records can't be read; no read permission on '" + first_table(t, false) + "'.");
    if (state == "42703") fail(kTooFewParameters, u"DAO.Database", "Too few parameters. Expected 1.");
    if (state == "42702")
      fail(3079, u"DAO.Database",
           "The specified field could refer to more than one table listed in the FROM clause of your SQL statement.");
    if (state.rfind("22", 0) == 0) fail(3464, u"DAO.Database", "Data type mismatch in criteria expression.");
    if (state.rfind("42", 0) == 0) fail(kSyntaxInExpression, u"DAO.Database", "Syntax error in query expression: " + message + ".");
    fail(kSqlSyntax, u"DAO.Database", "The query could not be carried out: " + message + ".");
  }

  // The first table of the query that the server does not have (MISSING),
  // or that the role may not read.
  std::string first_table(const Translation& t, bool missing) {
    std::string list;
    for (const std::string& table : t.tables) list += (list.empty() ? "" : ", ") + pg::quote_literal(table);
    Result r(PQexec(conn_.get(), ("SELECT c.relname, has_table_privilege(c.oid, 'SELECT') FROM pg_class c JOIN "
                                  "pg_namespace n ON n.oid = c.relnamespace WHERE n.nspname = " +
                                  pg::quote_literal(t.schema) + " AND c.relname IN (" + list + ")")
                                     .c_str()));
    if (r && PQresultStatus(r.get()) == PGRES_TUPLES_OK) {
      for (const std::string& table : t.tables) {
        int found = -1;
        for (int i = 0; i < PQntuples(r.get()) && found < 0; ++i)
          if (table == PQgetvalue(r.get(), i, 0)) found = i;
        if (missing ? found < 0 : found >= 0 && PQgetvalue(r.get(), found, 1)[0] == 'f') return table;
      }
    }
    recover();
    return t.tables.empty() ? "" : t.tables.front();
  }

  std::shared_ptr<SchemaState> find_known(const std::string& name) {
    auto it = schemas_.find(fold_utf8(name));
    return it == schemas_.end() ? nullptr : it->second;
  }
  void drop_known(const std::string& name) { schemas_.erase(fold_utf8(name)); }

  // The look at a known schema: still there under the same oid with its
  // tables as they were read (no table or column added, dropped or
  // renamed in place since), and its change counter.  Inside a call it runs in a savepoint, so that a
  // schema dropped meanwhile, or a counter the role may not read, leaves
  // the call's transaction as it was.
  std::string look_sql(const SchemaState& s) const {
    std::string counter = s.counted ? "(SELECT generation || ' ' || n FROM " + quote_ident(s.name) + "." +
                                          pg::kChangesTable + " LIMIT 1)"
                                    : "NULL";
    // The stamp: kv_state's one row, trusted while its triggers are all
    // there and enabled, and shared only while the role reads the tables
    // whole (it may read each, and no row security filters them or the
    // search's own kv_ tables for it), with the role that reads it.
    std::string stamp = "NULL, NULL, NULL", facts = "false";
    if (!s.stamped.empty()) {
      std::string names;
      for (const std::string& t : pg::stamp_trigger_names()) names += (names.empty() ? "'" : ", '") + t + "'";
      const std::string counters = s.facts_triggers.empty() ? "" : " || ' ' || max(facts)";
      stamp = "(SELECT CASE WHEN count(*) = 1 THEN max(instance) || ' ' || max(records) || ' ' || max(links) || ' ' || "
              "max(words)" + counters + " END FROM " + quote_ident(s.name) + ".kv_state), (SELECT count(*) FROM pg_trigger WHERE "
              "tgrelid IN (" + s.stamped + ") AND tgname IN (" + names + ") AND tgenabled <> 'D'), "
              "(SELECT count(*) = 3 FROM pg_class c WHERE c.oid IN (" + s.stamped + ") AND "
              "has_table_privilege(c.oid, 'SELECT')) AND NOT EXISTS (SELECT FROM pg_class c WHERE (c.oid IN (" +
              s.stamped + ") OR (c.relname LIKE 'kv\\_%' AND c.relnamespace = n.oid)) AND c.relrowsecurity AND "
              "row_security_active(c.oid))";
      // Facts followed: its triggers all there and enabled, and their
      // tables read whole too.
      if (!s.facts_triggers.empty()) {
        std::string fnames;
        for (const std::string& t : s.facts_triggers) fnames += (fnames.empty() ? "'" : ", '") + t + "'";
        facts = "(SELECT count(*) = " + std::to_string(s.facts_triggers.size()) + " FROM pg_trigger WHERE tgrelid IN (" +
                s.facts_tables + ") AND tgname IN (" + fnames + ") AND tgenabled <> 'D') AND NOT EXISTS (SELECT FROM "
                "pg_class c WHERE c.oid IN (" + s.facts_tables + ") AND (NOT has_table_privilege(c.oid, 'SELECT') OR "
                "(c.relrowsecurity AND row_security_active(c.oid))))";
      }
    }
    std::string select = "SELECT n.oid, " + counter + ", " + stamp + ", current_user, " +
                         pg::shape_sql(std::to_string(s.oid)) + ", " + facts + " FROM pg_namespace n WHERE n.nspname = " +
                         pg::quote_literal(s.name);
    if (!InCall()) return select;
    return "SAVEPOINT kv_look;" + select + ";RELEASE SAVEPOINT kv_look";
  }

  // Reads the answers of look_sql: false when the schema is not the one
  // known any more.  A counter that cannot be read keeps nothing.
  bool read_look(SchemaState& s, const std::vector<Result>& rs) {
    std::size_t at = InCall() ? 1 : 0;  // after the SAVEPOINT
    const PGresult* r = rs.size() > at ? rs[at].get() : nullptr;
    std::string version;
    if (r && PQresultStatus(r) == PGRES_TUPLES_OK) {
      if (PQntuples(r) != 1 || Oid(std::strtoul(PQgetvalue(r, 0, 0), nullptr, 10)) != s.oid) return false;
      if (s.shape != PQgetvalue(r, 0, 6)) return false;
      if (!PQgetisnull(r, 0, 1)) version = PQgetvalue(r, 0, 1);
    } else {
      if (broken()) lost();
      if (InCall()) run_many("ROLLBACK TO SAVEPOINT kv_look;RELEASE SAVEPOINT kv_look");
      // Only a role without the right to read the counter keeps the schema.
      if (pg::sql_state(r) != "42501") return false;
    }
    if (version.empty() || version != s.version) s.derived.clear();
    s.version = version;
    s.stamp = ContentStamp();
    if (r && PQresultStatus(r) == PGRES_TUPLES_OK && !PQgetisnull(r, 0, 2) &&
        std::atoi(PQgetvalue(r, 0, 3)) == int(pg::stamp_trigger_names().size()) && PQgetvalue(r, 0, 4)[0] == 't') {
      long long v[5] = {0, 0, 0, 0, 0};
      const int read = std::sscanf(PQgetvalue(r, 0, 2), "%lld %lld %lld %lld %lld", &v[0], &v[1], &v[2], &v[3], &v[4]);
      if (read >= 4) {
        // The schema by its oid too: one dropped and made again is another.
        const int64_t numbers[4] = {v[0], v[1], v[2], v[3]};
        auto text = [](const char* p) { return std::string_view(p ? p : ""); };
        s.stamp.place = StampPlace(
            {"server", text(PQhost(conn_.get())), text(PQport(conn_.get())), text(PQdb(conn_.get())), s.name});
        s.stamp.token = StampToken(s.stamp.place + std::to_string(s.oid), PQgetvalue(r, 0, 5), numbers);
        s.stamp.records = v[1];
        s.stamp.links = v[2];
        s.stamp.facts = v[4];
        s.stamp.facts_followed = read == 5 && PQgetvalue(r, 0, 7)[0] == 't';
      }
    }
    if (InCall()) s.looked_in_call = true;
    return true;
  }

  // Finds a schema by name (letter case aside, the exact spelling first)
  // and reads its tables; 3024 when there is none.
  std::shared_ptr<SchemaState> find_schema(const std::string& name, const std::string& shown) {
    Result ns(PQexec(conn_.get(), "SELECT oid, nspname FROM pg_namespace"));
    if (!ns || PQresultStatus(ns.get()) != PGRES_TUPLES_OK) catalogue_failed(ns.get());
    std::string want = fold_utf8(name);
    int found = -1;
    for (int i = 0; i < PQntuples(ns.get()); ++i) {
      std::string n = PQgetvalue(ns.get(), i, 1);
      if (n == name) {
        found = i;
        break;
      }
      if (found < 0 && fold_utf8(n) == want) found = i;
    }
    if (found < 0) fail(kFileNotFound, u"DAO.Workspace", "Could not find file '" + shown + "'.");
    auto s = std::make_shared<SchemaState>();
    s->name = PQgetvalue(ns.get(), found, 1);
    s->oid = Oid(std::strtoul(PQgetvalue(ns.get(), found, 0), nullptr, 10));
    read_tables(*s);
    schemas_[want] = s;
    return s;
  }

  // The tables of a schema, their visible columns, stored folds and the
  // columns of their rows' order.
  void read_tables(SchemaState& s) {
    // The shape first: a change after it is seen by the next look.
    Result shape(PQexec(conn_.get(), ("SELECT " + pg::shape_sql(std::to_string(s.oid))).c_str()));
    if (!shape || PQresultStatus(shape.get()) != PGRES_TUPLES_OK) catalogue_failed(shape.get());
    s.shape = PQgetvalue(shape.get(), 0, 0);
    Result r(PQexec(conn_.get(), pg::tables_query(std::to_string(s.oid)).c_str()));
    if (!r || PQresultStatus(r.get()) != PGRES_TUPLES_OK) catalogue_failed(r.get());
    s.schema = Schema();
    s.schema.set_server_schema(s.name);
    s.translations.clear();
    s.counted = false;
    s.stamped.clear();
    s.derived.clear();
    std::map<std::string, std::string> oids;  // of the tables the stamp counts
    std::map<std::string, std::vector<std::string>> columns;
    const std::string prefix = pg::kFoldPrefix;
    for (int i = 0, n = PQntuples(r.get()); i < n;) {
      TableInfo t;
      t.name = PQgetvalue(r.get(), i, 0);
      std::vector<std::pair<int, std::string>> key;
      std::set<std::string> folds;
      bool row_column = false;
      for (; i < n && t.name == PQgetvalue(r.get(), i, 0); ++i) {
        std::string col = PQgetvalue(r.get(), i, 1);
        int keypos = std::atoi(PQgetvalue(r.get(), i, 3));
        if (keypos > 0) key.push_back({keypos, col});
        if (col == pg::kRowColumn) {
          row_column = true;
        } else if (col.rfind(prefix, 0) == 0) {
          folds.insert(col);
        } else {
          t.columns.emplace_back(col, PQgetvalue(r.get(), i, 2)[0] == 't');
        }
      }
      for (ColumnInfo& c : t.columns)
        if (folds.count(prefix + c.name)) c.fold_column = prefix + c.name;
      std::sort(key.begin(), key.end());
      if (row_column) {
        t.order.push_back(pg::kRowColumn);
      } else {
        for (auto& [pos, col] : key) t.order.push_back(col);
      }
      if (t.name == pg::kChangesTable) s.counted = true;
      oids[t.name] = PQgetvalue(r.get(), i - 1, 7);
      for (const ColumnInfo& c : t.columns) columns[t.name].push_back(c.name);
      s.schema.add_table(std::move(t));
    }
    s.facts_triggers.clear();
    s.facts_tables.clear();
    if (oids.count(kStampTable) && oids.count("Móðurtafla") && oids.count("Tengill") && oids.count("Orð")) {
      s.stamped = oids["Móðurtafla"] + ", " + oids["Tengill"] + ", " + oids["Orð"];
      const std::vector<std::string>& state = columns[kStampTable];
      if (std::find(state.begin(), state.end(), kFactsColumn) != state.end())
        for (const pg::FactsTrigger& t : pg::facts_triggers([&](const char* table) { return columns[table]; })) {
          s.facts_triggers.push_back(t.name);
          s.facts_tables += (s.facts_tables.empty() ? "" : ", ") + oids[t.table];
        }
    }
  }

  [[noreturn]] void catalogue_failed(const PGresult* r) {
    if (broken()) lost();
    fail(kSqlSyntax, u"DAO.Database",
         std::string("The query could not be carried out: ") + (r ? PQresultErrorMessage(r) : PQerrorMessage(conn_.get())));
  }

  // Prepared statements kept per connection.
  static constexpr std::size_t kMaxStatements = 256;
  // Cursors read to their end or let go that a call leaves open on the
  // server before it closes them.
  static constexpr int kMaxIdleCursors = 16;

  std::string uri_, user_, password_;
  pg::Connection conn_;
  std::unordered_map<std::string, std::string> prepared_;  // SQL -> statement name
  std::unordered_map<std::string, int> seen_;              // SQL -> runs before it is prepared
  KeptBytes prepared_kept_, seen_kept_;
  long statements_made_ = 0, cursors_made_ = 0, transaction_ = 0;
  std::string idle_cursors_;  // CLOSE statements waiting to be sent
  long idle_transaction_ = 0;
  int idle_count_ = 0;
  // An answer to read before the next command: a COMMIT or a CLOSE sent
  // without waiting.
  bool in_transaction_ = false, pending_ = false;
  bool lost_in_call_ = false;  // the connection was lost, or let go, during this call
  std::map<std::string, std::shared_ptr<SchemaState>> schemas_;  // by folded name
};

Variant value_of(const PGresult* r, int row, int col) {
  if (PQgetisnull(r, row, col)) return Variant::null();
  const char* v = PQgetvalue(r, row, col);
  auto number = [](const char* s) -> Variant {
    errno = 0;
    char* end = nullptr;
    long long i = std::strtoll(s, &end, 10);
    if (errno == 0 && end && *end == 0) {
      if (i >= INT32_MIN && i <= INT32_MAX) return Variant(int32_t(i));
      return Variant(double(i));
    }
    return Variant(std::strtod(s, nullptr));
  };
  switch (PQftype(r, col)) {
    case 20:  // int8
    case 21:  // int2
    case 23:  // int4
    case 26:  // oid
      return number(v);
    case 700:  // float4
    case 701:  // float8
      return Variant(std::strtod(v, nullptr));
    case 1700:  // numeric: an integer, or a real when it has a point or an exponent
      if (std::strpbrk(v, ".eEN")) return Variant(std::strtod(v, nullptr));
      return number(v);
    case 16:  // bool, as the catalogue's Yes/No
      return Variant(int32_t(v[0] == 't' ? -1 : 0));
    case 17: {  // bytea, "\x..." in hex
      std::string bytes;
      if (v[0] == '\\' && v[1] == 'x') bytes = pg::bytes_of_hex(v + 2);
      return Variant(from_utf8(bytes));
    }
    default:
      return Variant(from_utf8(v));
  }
}

// A cursor over the rows of a query, read in batches: a reader that stops
// after a few rows (the first blocks of a word's postings) has the server
// find and send those alone.  The first kFirstRows come from the query with
// a LIMIT, prepared like any other statement; a reader that goes on gets
// the rest through a cursor declared on the server in the call's
// transaction (the query with an OFFSET, in the same snapshot and the same
// total order), kFetchRows at first, twice as many at each fetch after, up
// to kMaxFetchRows.  A query whose rows have no total order (grouped, or
// with TOP), or one outside a call, is read whole.  Values as stored
// (bytea's bytes decoded from its hex at each read).
class ServerCursor : public Cursor {
 public:
  static constexpr int kFirstRows = 16;
  static constexpr int kFetchRows = 256;
  static constexpr int kMaxFetchRows = 16384;

  ServerCursor(std::shared_ptr<ServerConnection> c, std::shared_ptr<SchemaState> s, Translation t)
      : conn_(std::move(c)), schema_(std::move(s)), translation_(std::move(t)) {
    run();
  }
  ~ServerCursor() override { close(); }
  bool Next() override {
    if (at_ + 1 < rows_) {
      ++at_;
      return true;
    }
    if (!more_) {
      at_ = rows_;
      return false;
    }
    read_more();
    at_ = 0;
    return rows_ > 0;
  }
  bool IsNull(int i) override { return PQgetisnull(result_.get(), row(), i); }
  bool IsInteger(int i) override {
    Oid type = PQftype(result_.get(), i);
    return !IsNull(i) && (type == 20 || type == 21 || type == 23 || type == 26);
  }
  int64_t Integer(int i) override { return std::strtoll(PQgetvalue(result_.get(), row(), i), nullptr, 10); }
  std::string_view Bytes(int i) override {
    const char* v = PQgetvalue(result_.get(), row(), i);
    std::size_t n = std::size_t(PQgetlength(result_.get(), row(), i));
    if (PQftype(result_.get(), i) != 17) return std::string_view(v, n);
    // One buffer a column, made for every column at the run (growing the
    // list would move a short buffer's bytes from under a view handed out
    // already): the bytes of every column of the row stay valid until the
    // next row.
    std::string& out = bytes_.at(std::size_t(i));
    pg::bytes_of_hex(std::string_view(v, n).substr(std::min<std::size_t>(n, 2)), out);
    return out;
  }
  Variant Value(int i) override { return value_of(result_.get(), row(), i); }
  void Again(const std::vector<Literal>& literals) override {
    if (!take_literals(translation_.values, literals)) Cursor::Again(literals);  // refuses
    close();
    run();
  }

 private:
  void run() {
    more_ = translation_.resumable && conn_->transaction() != 0;
    result_ = more_ ? conn_->query(translation_, " LIMIT $", kFirstRows + 1) : conn_->query(translation_);
    read_ = rows_ = std::size_t(PQntuples(result_.get()));
    if (more_ && rows_ > std::size_t(kFirstRows)) {
      rows_ = read_ = kFirstRows;  // the row after them only tells that there are more
    } else {
      more_ = false;
    }
    at_ = std::size_t(-1);
    fetch_ = kFetchRows;
    bytes_.resize(std::size_t(PQnfields(result_.get())));
  }
  // The next batch, after the rows read so far.
  void read_more() {
    if (transaction_ != 0 && transaction_ != conn_->transaction()) {
      // The call that declared the cursor has ended: the rest as one query.
      result_ = conn_->query(translation_, " OFFSET $", int64_t(read_));
      more_ = false;
    } else if (name_.empty()) {
      name_ = conn_->cursor_name();
      transaction_ = conn_->transaction();
      result_ = conn_->declare(translation_, name_, int64_t(read_), fetch_);
    } else {
      result_ = conn_->fetch(translation_, name_, fetch_);
    }
    rows_ = std::size_t(PQntuples(result_.get()));
    read_ += rows_;
    if (more_ && rows_ < std::size_t(fetch_)) more_ = false;
    fetch_ = std::min(fetch_ * 2, kMaxFetchRows);
  }
  void close() {
    if (!name_.empty()) conn_->close(name_, transaction_);
    name_.clear();
    transaction_ = 0;
  }
  int row() const {
    if (at_ >= rows_) throw Error(kNoCurrentRecord, u"DAO.Recordset", u"No current record.");
    return int(at_);
  }

  std::shared_ptr<ServerConnection> conn_;
  std::shared_ptr<SchemaState> schema_;
  Translation translation_;
  Result result_;
  std::size_t rows_ = 0, at_ = 0, read_ = 0;  // in this batch; the row at; rows read in all
  bool more_ = false;                       // rows may follow this batch
  std::string name_;                        // the cursor on the server, once declared
  long transaction_ = 0;                    // the transaction it was declared in
  int fetch_ = kFetchRows;
  std::vector<std::string> bytes_;
};

// The rows of one query, read from the server at once and handed out the
// way the SQLite recordset steps them: RecordCount counts the rows reached
// so far (1 or 0 right after opening, all after MoveLast).
class ServerRecordset : public Recordset {
 public:
  ServerRecordset(Result r, const Translation& t) : result_(std::move(r)) {
    const PGresult* res = result_.get();
    // The query's own columns come before those it did not ask for.
    int n = PQnfields(res) - t.hidden;
    for (int i = 0; i < n; ++i) {
      names_.add(PQfname(res, i));
    }
    total_ = std::size_t(PQntuples(res));
    reached_ = std::min<std::size_t>(total_, 1);
  }

  int32_t RecordCount() override {
    check_open();
    return int32_t(reached_ - dropped_);
  }
  void MoveFirst() override {
    check_open();
    if (reached_ == dropped_) no_current();
    pos_ = dropped_;
  }
  void MoveLast() override {
    check_open();
    reached_ = total_;
    if (reached_ == dropped_) no_current();
    pos_ = reached_ - 1;
  }
  void MoveNext() override {
    check_open();
    if (pos_ >= reached_) no_current();
    ++pos_;
    if (pos_ == reached_ && reached_ < total_) ++reached_;
  }
  bool eof() override {
    check_open();
    return pos_ >= reached_;
  }
  Variant field(TextView name) override {
    check_open();
    int col = column_index(name);
    if (pos_ >= reached_) no_current();
    return value_of(result_.get(), row(pos_), col);
  }
  void Close() override {
    result_.reset();
    closed_ = true;
  }

  void ReadIntegers(TextView name, std::vector<int32_t>& out) override {
    check_open();
    int col = column_index(name);
    for (; pos_ < total_; ++pos_) out.push_back(value_of(result_.get(), row(pos_), col).to_i32());
    drop_rows();
  }
  void ForEachRow(const std::function<void(std::vector<Variant>&)>& each) override {
    check_open();
    std::vector<Variant> values(names_.size());
    for (; pos_ < total_; ++pos_) {
      for (std::size_t i = 0; i < names_.size(); ++i) values[i] = value_of(result_.get(), row(pos_), int(i));
      each(values);
    }
    drop_rows();
  }

 private:
  static int row(std::size_t i) { return int(i); }
  // After a bulk read nothing is left, as in the SQLite recordset.
  void drop_rows() { pos_ = reached_ = dropped_ = total_; }
  int column_index(TextView name) {
    int i = names_.find(name);
    if (i < 0) throw Error(kItemNotFound, u"DAO.Fields", u"Item not found in this collection.");
    return i;
  }
  void check_open() const {
    if (closed_) throw Error(3420, u"DAO.Recordset", u"Object invalid or no longer set.");
  }
  [[noreturn]] void no_current() const { throw Error(kNoCurrentRecord, u"DAO.Recordset", u"No current record."); }

  Result result_;
  ColumnNames names_;
  std::size_t total_ = 0, reached_ = 0, pos_ = 0, dropped_ = 0;
  bool closed_ = false;
};

class ServerDatabase : public Database {
 public:
  ServerDatabase(std::shared_ptr<ServerConnection> c, std::shared_ptr<SchemaState> s)
      : conn_(std::move(c)), schema_(std::move(s)) {}

  std::unique_ptr<Recordset> OpenRecordset(TextView sql, int, int) override {
    Translation t = translate(sql);
    refuse_list_place(sql, t);
    return std::make_unique<ServerRecordset>(conn_->query(t), t);
  }
  void Close() override { conn_.reset(); }
  ContentStamp Stamp() override { return conn_ ? schema_->stamp : ContentStamp(); }
  std::unique_ptr<Cursor> OpenCursor(TextView sql) override {
    Translation t = translate(sql);
    refuse_list_place(sql, t);
    return std::make_unique<ServerCursor>(conn_, schema_, std::move(t));
  }
  std::unique_ptr<Cursor> OpenCursorWith(TextView sql, const std::vector<Literal>& literals) override {
    Translation t = translate(sql);
    if (!take_literals(t.values, literals))
      NotSupported(u"DAO.Database");
    return std::make_unique<ServerCursor>(conn_, schema_, std::move(t));
  }
  std::shared_ptr<void>& Derived(std::string_view key) override {
    // Kept only while kv_changes can be read: the look when the database
    // was opened has emptied the slots if it moved.
    if (!conn_ || schema_->version.empty()) return Database::Derived(key);
    auto it = schema_->derived.find(key);
    if (it == schema_->derived.end()) it = schema_->derived.emplace(std::string(key), nullptr).first;
    return it->second;
  }

 private:
  Translation translate(TextView sql) {
    if (!conn_) throw Error(3420, u"DAO.Database", u"Object invalid or no longer set.");
    Translation t = schema_->translations.translate(sql, schema_->schema);
    if (!t.missing_table.empty())
      fail(kTableNotFound, u"DAO.Database",
           "The database engine cannot find the input table or query '" + t.missing_table +
               "'. Make sure it exists and that its name is spelled correctly.");
    return t;
  }

  std::shared_ptr<ServerConnection> conn_;
  std::shared_ptr<SchemaState> schema_;
};

class ServerWorkspace : public Workspace {
 public:
  ServerWorkspace(Text user, std::string password) : user_(std::move(user)), password_(std::move(password)) {}

  // The connection to URI, made when there is none or it broke.
  std::shared_ptr<ServerConnection> connection(const std::string& uri, const char16_t* source) {
    auto& c = pool_[uri];
    if (!c) c = std::make_shared<ServerConnection>(uri, to_utf8(user_), password_);
    if (c->broken()) {
      try {
        c->connect(source);
      } catch (...) {
        if (!c->lost_in_call()) pool_.erase(uri);
        throw;
      }
    }
    return c;
  }

  std::unique_ptr<Database> OpenDatabase(TextView path) override {
    auto where = pg::split_server_path(path);
    std::string shown = to_utf8(path);
    if (!where || where->schema.empty()) fail(kFileNotFound, u"DAO.Workspace", "Could not find file '" + shown + "'.");
    auto c = connection(where->uri, u"DAO.Workspace");
    try {
      auto s = c->open(where->schema, shown);
      return std::make_unique<ServerDatabase>(c, s);
    } catch (Error& e) {
      if (e.source() == u"DAO.Database") throw Error(e.number(), u"DAO.Workspace", e.description());
      throw;
    }
  }
  const Text& user_name() const override { return user_; }

 private:
  Text user_;
  std::string password_;
  std::map<std::string, std::shared_ptr<ServerConnection>> pool_;
};

class ServerEngine : public Engine {
 public:
  void set_system_db(TextView path) override { system_db_ = Text(path); }
  Text system_db() const override { return system_db_; }
  // The server checks the role and its password: the workspace connects
  // to the database of the folder at once and keeps that connection.
  std::shared_ptr<Workspace> CreateWorkspace(TextView, TextView user, TextView password) override {
    auto where = pg::split_server_path(system_db_);
    if (!where) fail(kFileNotFound, u"DAO.DBEngine", "Could not find file '" + to_utf8(system_db_) + "'.");
    auto ws = std::make_shared<ServerWorkspace>(Text(user), to_utf8(password));
    ws->connection(where->uri, u"DAO.DBEngine");
    return ws;
  }

 private:
  Text system_db_;
};

}  // namespace

std::shared_ptr<Engine> create_postgres_engine() { return std::make_shared<ServerEngine>(); }

}  // namespace kvistur::db
