// The SQLite backend of the database engine (engine.h).
//
// Each thread's workspace keeps the connections it has opened, one per file,
// so that the statements a method runs again and again (the per-result query
// of the search, the record fetch) are prepared once.  A connection is used
// again only while the file is the same file: same device and inode, size
// and modification time of what the name resolves to (a catalogue's name is
// a symbolic link to its current generation); a file that was replaced,
// truncated, rewritten or removed is opened afresh, so the next call always
// sees the file as it is now; within one method call a file is looked at
// once.  During a method call a connection's statements share one read
// transaction, ended with the call, so that the call sees one state of the
// file.  Connections are read-only and refuse writes (query_only); what a
// dead writer left is ignored (a WAL's uncommitted frames) or rolled back
// through a connection opened for that alone (sqlite_journal.h).
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/column_names.h"
#include "platform/content_stamp.h"
#include "platform/kept_memory.h"
#include "platform/engine.h"
#include "platform/jet_sql.h"
#include "platform/sqlite_functions.h"
#include "platform/sqlite_journal.h"
#include "platform/workgroup.h"
#include "settings/file_watch.h"
#include "settings/settings.h"

namespace kvistur::db {
namespace {

// How long a reader waits for another process's write to finish: long
// enough for the commit of a large update (its pages written to the file).
constexpr int kBusyTimeoutMs = 10000;
// Prepared statements kept per connection.
constexpr std::size_t kStatementCacheSize = 64;
// Times a file is opened before its name is taken to be gone: the name can
// move to another file while it is being opened (a build switching the
// catalogue to its new generation and removing the old one).
constexpr int kOpenAttempts = 5;

[[noreturn]] void fail(int32_t number, const char16_t* source, const std::string& description) {
  throw Error(number, source, from_utf8(description));
}

std::string file_name(TextView path) {
  std::string p = to_utf8(path);
  for (char& c : p)
    if (c == '\\') c = '/';
  return p;
}

bool is_text_type(std::string type) {
  for (char& c : type)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  if (type.find("INT") != std::string::npos) return false;
  if (type.find("CHAR") != std::string::npos || type.find("CLOB") != std::string::npos ||
      type.find("TEXT") != std::string::npos || type.find("BLOB") != std::string::npos || type.empty())
    return true;
  return false;  // REAL, FLOAT, DOUBLE, NUMERIC, DECIMAL, BOOLEAN, DATE ...
}

// SQLite's pending byte (its file format): a writer that is about to
// commit holds a write lock on it until it has.
constexpr off_t kPendingByte = 0x40000000;

// A descriptor of each catalogue file (by device and inode) to look at the
// locks of other processes on it.  It is never closed: closing any
// descriptor of a file drops every POSIX lock the process holds on it,
// SQLite's among them.  One per file version a process reads.
int watch_descriptor(const std::string& file, dev_t dev, ino_t ino) {
  static std::mutex mutex;
  static std::map<std::pair<dev_t, ino_t>, int> descriptors;
  std::lock_guard<std::mutex> lock(mutex);
  auto it = descriptors.find({dev, ino});
  if (it != descriptors.end()) return it->second;
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd >= 0 && ::fstat(fd, &st) == 0 && (st.st_dev != dev || st.st_ino != ino)) {
    // Replaced in the meantime: the descriptor is the new file's.
    descriptors.emplace(std::make_pair(st.st_dev, st.st_ino), fd);
    fd = -1;
  }
  descriptors.emplace(std::make_pair(dev, ino), fd);
  return fd;
}

// Waits (up to TIMEOUT) while a writer in another process waits to commit.
// SQLite lets the connections of one process share one read lock on a file,
// so while their read transactions overlap the process never lets go of it
// and such a writer would wait for ever; a read transaction therefore does
// not begin while a writer is waiting for the readers to finish.
void let_writer_commit(int fd, std::chrono::milliseconds timeout) {
  if (fd < 0) return;
  auto until = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    struct flock probe {};
    probe.l_type = F_RDLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = kPendingByte;
    probe.l_len = 1;
    if (::fcntl(fd, F_GETLK, &probe) != 0 || probe.l_type == F_UNLCK) return;
    if (std::chrono::steady_clock::now() >= until) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// A file as a connection was made to it (device, inode, size, times): the
// connection is used again only while its name gives the same.
using FileIdentity = FileStatus;

// What FILE resolves to now; nothing when it cannot be looked at.
std::optional<FileIdentity> identity_of(const std::string& file) {
  FileIdentity id;
  if (!LookAtFile(file, id)) return std::nullopt;
  return id;
}

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(std::string file, FileIdentity id) : file_(std::move(file)), id_(id) {
    int rc = sqlite3_open_v2(file_.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
      sqlite3_close(db_);
      db_ = nullptr;
      cannot_open();
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    register_kv_functions(db_);
    sqlite3_exec(db_, "PRAGMA query_only=1", nullptr, nullptr, nullptr);
    try {
      // The file opened must be the one looked at: the name may have moved
      // on in between (OpenDatabase then opens again).
      auto opened = identity_of(sqlite3_db_filename(db_, "main"));
      if (!opened || !opened->same_file(id_)) cannot_open();
      schema_cookie_ = first_read().value_or(-1);
      // A writer in WAL mode never holds readers off, so only a file in
      // rollback-journal mode needs its locks watched.
      wal_ = journal_mode() == "wal";
      if (!wal_) watch_ = watch_descriptor(file_, id.dev, id.ino);
      load_schema();
    } catch (...) {
      // The destructor does not run for a constructor that throws.
      release();
      throw;
    }
  }
  ~Connection() { release(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  const FileIdentity& identity() const { return id_; }
  // The watch on the file's path taken before its identity was last looked
  // at (file_watch.h): while it holds, the identity does.
  uint64_t path_watch() const { return watch_token_; }
  void set_path_watch(uint64_t token) { watch_token_ = token; }
  std::string file_name() const {
    const char* f = sqlite3_db_filename(db_, "main");
    return f ? f : "";
  }

 private:
  // The statements, then the connection: a statement left unfinalized
  // would keep the closed connection, and its memory, for ever.
  void release() {
    sqlite3_finalize(begin_);
    sqlite3_finalize(commit_);
    sqlite3_finalize(cookie_);
    sqlite3_finalize(data_version_);
    sqlite3_finalize(schema_version_);
    sqlite3_finalize(stamp_);
    for (auto& [sql, list] : free_)
      for (const FreeStatement& f : list) sqlite3_finalize(f.stmt);
    free_.clear();
    begin_ = commit_ = cookie_ = data_version_ = schema_version_ = stamp_ = nullptr;
    sqlite3_close_v2(db_);
    db_ = nullptr;
  }

 public:

  // Reads during one method call share one read transaction: one look at
  // the file's locks for the call instead of one per statement, and the
  // statements of the call see one state of the file, the one before or
  // the one after another process's change, never a mix of the two.  It
  // ends with the call, so nothing is held between calls.  In WAL mode
  // readers and the writer never wait for each other; in rollback-journal
  // mode a writer in another process waits for the calls in progress, and
  // calls that begin while it waits wait for its commit (let_writer_commit).
  //
  // The call's first read is made here: it meets what a dead writer left
  // (recovered once, sqlite_journal.h), and it tells whether another
  // connection changed the tables since the last call.  A commit in WAL
  // mode leaves the file itself as it was, so the connection stays and
  // reads the new tables' columns again.
  void join_call() {
    if (in_call_read_ || !InCall()) return;
    if (!wal_) let_writer_commit(watch_, std::chrono::milliseconds(kBusyTimeoutMs));
    if (run(begin_, "BEGIN") != SQLITE_DONE) return;
    in_call_read_ = true;
    std::weak_ptr<Connection> self = weak_from_this();
    AtCallEnd([self] {
      if (auto c = self.lock()) c->end_call();
    });
    auto cookie = first_read();
    call_cookie_ = cookie.value_or(-1);
    if (cookie && *cookie != schema_cookie_) {
      schema_cookie_ = *cookie;
      schema_ = Schema{};
      translations_.clear();
      load_schema();
    }
  }
  void end_call() {
    if (!in_call_read_) return;
    in_call_read_ = false;
    call_cookie_ = -1;
    commit_read();
  }

  // The caller's slot KEY, emptied (with every other) when SQLite's data
  // version says another connection has committed since the last look.
  // With CHECK false the last look stands (for several slots taken within
  // one method call, one look is enough).
  std::shared_ptr<void>& derived(std::string_view key, bool check = true) {
    if (check || seen_version_ < 0) {
      sqlite3_int64 version = pragma(data_version_, "PRAGMA data_version");
      // When the version cannot be read nothing is kept.
      if (version < 0 || version != seen_version_) derived_.clear();
      seen_version_ = version;
    }
    auto it = derived_.find(key);
    if (it == derived_.end()) it = derived_.emplace(std::string(key), nullptr).first;
    if (seen_version_ < 0) it->second.reset();
    return it->second;
  }
  // The content stamp as the read transaction sees it.  The triggers are
  // looked for again whenever the schema has changed since the last look.
  ContentStamp stamp() {
    // Within one read transaction the stamp cannot change.
    if (in_call_read_ && stamp_read_ == reads_ended_) return kept_stamp_;
    // The call's first read took the schema's cookie in this transaction.
    const bool call_read = in_call_read_ && call_cookie_ >= 0;
    sqlite3_int64 cookie = call_read ? call_cookie_ : pragma(schema_version_, "PRAGMA schema_version");
    if (cookie < 0) return {};
    // The pager counts every change to the file it has seen, its own or
    // another connection's, and looks for them when a read transaction
    // begins: a call whose transaction finds the count where the last
    // call's stamp was read has the same tables, and so the same stamp,
    // without reading kv_state again.
    unsigned version = 0;
    const bool versioned =
        call_read && sqlite3_file_control(db_, "main", SQLITE_FCNTL_DATA_VERSION, &version) == SQLITE_OK;
    if (versioned && stamp_version_ == version && cookie == stamp_cookie_) {
      stamp_read_ = reads_ended_;
      return kept_stamp_;
    }
    stamp_version_.reset();
    if (cookie != stamp_cookie_) {
      stamp_cookie_ = cookie;
      sqlite3_finalize(stamp_);
      stamp_ = nullptr;
      facts_trusted_ = FactsStampInstalled(db_);
      stamp_trusted_ = ContentStampInstalled(db_) &&
                       sqlite3_prepare_v2(db_,
                                          facts_trusted_ ? "SELECT instance, records, links, words, facts FROM kv_state"
                                                         : "SELECT instance, records, links, words FROM kv_state",
                                          -1, &stamp_, nullptr) == SQLITE_OK;
    }
    if (!stamp_trusted_) return {};
    ContentStamp st;
    if (sqlite3_step(stamp_) == SQLITE_ROW) {
      int64_t v[4];
      for (int i = 0; i < 4; ++i) v[i] = sqlite3_column_int64(stamp_, i);
      // The file's place and the last token are kept: a catalogue read
      // again at the same counters has the same token.
      if (stamp_place_.empty()) stamp_place_ = StampPlace({"file", std::to_string(id_.dev), std::to_string(id_.ino)});
      st.place = stamp_place_;
      if (stamp_token_.empty() || !std::equal(v, v + 4, stamp_numbers_)) {
        stamp_token_ = StampToken(stamp_place_, "", v);
        std::copy(v, v + 4, stamp_numbers_);
      }
      st.token = stamp_token_;
      st.records = v[1];
      st.links = v[2];
      st.words = v[3];
      st.facts_followed = facts_trusted_;
      if (facts_trusted_) st.facts = sqlite3_column_int64(stamp_, 4);
    }
    sqlite3_reset(stamp_);
    if (in_call_read_) {
      stamp_read_ = reads_ended_;
      kept_stamp_ = st;
      if (versioned) stamp_version_ = version;
    }
    return st;
  }
  const Schema& schema() const { return schema_; }
  Translation translate(TextView sql) { return translations_.translate(sql, schema_); }
  const Translation& translate(TextView sql, Translation& scratch) { return translations_.translate(sql, schema_, scratch); }
  sqlite3* handle() const { return db_; }

  // A prepared statement for the SQL, from the cache when one is free.
  sqlite3_stmt* acquire(const std::string& sql) {
    auto it = free_.find(sql);
    if (it != free_.end() && !it->second.empty()) {
      FreeStatement f = it->second.back();
      it->second.pop_back();
      statements_kept_.Remove(f.bytes);  // in use: no longer kept
      in_use_.push_back(f);
      return f.stmt;
    }
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v3(db_, sql.c_str(), int(sql.size()), SQLITE_PREPARE_PERSISTENT, &s, nullptr);
    if (rc != SQLITE_OK) {
      std::string msg = sqlite3_errmsg(db_);
      sqlite3_finalize(s);
      prepare_failed(rc, msg);
    }
    return s;
  }
  void release(const std::string& sql, sqlite3_stmt* s) {
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    // Kept for the next use when there is room: SQLite's own count of the
    // statement's memory, and its text.  The count walks the statement, so
    // a statement taken from the cache keeps the count it was kept with.
    std::size_t bytes = 0;
    auto known = std::find_if(in_use_.begin(), in_use_.end(), [&](const FreeStatement& f) { return f.stmt == s; });
    if (known != in_use_.end()) {
      bytes = known->bytes;
      *known = in_use_.back();
      in_use_.pop_back();
    } else {
      bytes = std::size_t(sqlite3_stmt_status(s, SQLITE_STMTSTATUS_MEMUSED, 0)) + HeapBytesOfLength<char>(sql.size()) +
              sizeof(FreeStatement);
    }
    if ((free_.size() >= kStatementCacheSize && !free_.count(sql)) || !statements_kept_.Add(bytes)) {
      sqlite3_finalize(s);
      return;
    }
    free_[sql].push_back({s, bytes});
  }

  [[noreturn]] void step_failed(int rc) const {
    std::string msg = sqlite3_errmsg(db_);
    switch (rc & 0xFF) {
      case SQLITE_NOTADB:
        fail(kNotDatabase, u"DAO.Database", "Unrecognized database format '" + file_ + "'.");
      case SQLITE_CORRUPT:
        fail(3049, u"DAO.Database",
             "Cannot open database '" + file_ + "'. It may not be a database that your application recognizes, or the file may be corrupt.");
      case SQLITE_BUSY:
      case SQLITE_LOCKED:
        fail(3045, u"DAO.Database", "Could not use '" + file_ + "'; file already in use.");
      case SQLITE_IOERR:
      case SQLITE_CANTOPEN:
        fail(3043, u"DAO.Database", "Disk or network error.");
      default:
        if (msg.find("invalid pattern") != std::string::npos) throw Error(93, kProjectName, u"Invalid pattern string");
        fail(3000, u"DAO.Database", "The query could not be carried out: " + msg + ".");
    }
  }

 private:
  [[noreturn]] void cannot_open() const {
    fail(3051, u"DAO.Workspace",
         "The database engine cannot open the file '" + file_ +
             "'. It is already opened exclusively by another user, or you need permission to view its data.");
  }

  // Reads the file's schema cookie, the first read of a transaction.  When
  // a dead writer left a hot journal (or a WAL index this connection may
  // not rebuild), a connection that can write the file finishes its work
  // once, and the read is made again.  Nothing when the file cannot be
  // read: the statements that follow fail as they always did.
  std::optional<sqlite3_int64> first_read() {
    for (bool recovered = false;; recovered = true) {
      if (!cookie_ && sqlite3_prepare_v2(db_, "PRAGMA schema_version", -1, &cookie_, nullptr) != SQLITE_OK) {
        sqlite3_finalize(cookie_);
        cookie_ = nullptr;
      }
      int rc = cookie_ ? sqlite3_step(cookie_) : SQLITE_ERROR;
      sqlite3_int64 cookie = rc == SQLITE_ROW ? sqlite3_column_int64(cookie_, 0) : 0;
      int code = sqlite3_extended_errcode(db_);
      if (cookie_) sqlite3_reset(cookie_);
      if (rc == SQLITE_ROW) return cookie;
      if (recovered || !LeftByDeadWriter(code)) return std::nullopt;
      if (!RecoverForReaders(sqlite3_db_filename(db_, "main")))
        fail(3051, u"DAO.Workspace", CannotRecoverText(file_));
    }
  }

  std::string journal_mode() {
    sqlite3_stmt* s = nullptr;
    std::string mode;
    if (sqlite3_prepare_v2(db_, "PRAGMA journal_mode", -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW) {
      const unsigned char* t = sqlite3_column_text(s, 0);
      mode = t ? reinterpret_cast<const char*>(t) : "";
    }
    sqlite3_finalize(s);
    return mode;
  }

  [[noreturn]] void prepare_failed(int rc, const std::string& msg) const {
    auto after = [&](const char* prefix) -> std::optional<std::string> {
      std::string p = prefix;
      if (msg.compare(0, p.size(), p) != 0) return std::nullopt;
      std::string rest = msg.substr(p.size());
      if (rest.compare(0, 5, "main.") == 0) rest = rest.substr(5);
      return rest;
    };
    if (auto t = after("no such table: "))
      fail(kTableNotFound, u"DAO.Database",
           "The database engine cannot find the input table or query '" + *t +
               "'. Make sure it exists and that its name is spelled correctly.");
    if (after("no such column: ")) fail(kTooFewParameters, u"DAO.Database", "Too few parameters. Expected 1.");
    if (auto c = after("ambiguous column name: "))
      fail(3079, u"DAO.Database",
           "The specified field '" + *c + "' could refer to more than one table listed in the FROM clause of your SQL statement.");
    int base = rc & 0xFF;
    if (base == SQLITE_NOTADB || base == SQLITE_CORRUPT || base == SQLITE_BUSY || base == SQLITE_IOERR) step_failed(rc);
    fail(kSyntaxInExpression, u"DAO.Database", "Syntax error in query expression: " + msg + ".");
  }

  // Every table's and view's columns, in one query.
  void load_schema() {
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v2(db_,
                                "SELECT m.name, p.name, p.type FROM sqlite_master AS m, pragma_table_info(m.name) AS p "
                                "WHERE m.type IN ('table','view') ORDER BY m.rowid, p.cid",
                                -1, &s, nullptr);
    if (rc != SQLITE_OK) {
      sqlite3_finalize(s);
      step_failed(rc);
    }
    TableInfo t;
    auto text = [&](int i) {
      const char* v = reinterpret_cast<const char*>(sqlite3_column_text(s, i));
      return std::string(v ? v : "");
    };
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      std::string table = text(0);
      if (table != t.name && !t.name.empty()) {
        schema_.add_table(std::move(t));
        t = TableInfo{};
      }
      t.name = table;
      t.columns.push_back({text(1), is_text_type(text(2))});
    }
    sqlite3_finalize(s);
    if (rc != SQLITE_DONE) step_failed(rc);
    if (!t.name.empty()) schema_.add_table(std::move(t));
  }

  // The number a pragma gives, through the statement kept in S; -1 when it
  // cannot be read.
  sqlite3_int64 pragma(sqlite3_stmt*& s, const char* sql) {
    if (!s && sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) != SQLITE_OK) {
      sqlite3_finalize(s);
      s = nullptr;
    }
    if (!s) return -1;
    sqlite3_int64 v = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : -1;
    sqlite3_reset(s);
    return v;
  }

  std::string file_;  // the path as opened, every "\" of the component's path read as "/"
  FileIdentity id_;
  uint64_t watch_token_ = 0;
  sqlite3* db_ = nullptr;
  Schema schema_;
  TranslationCache translations_;
  struct FreeStatement {
    sqlite3_stmt* stmt;
    std::size_t bytes;  // charged to the budget while it waits here
  };
  std::unordered_map<std::string, std::vector<FreeStatement>> free_;
  std::vector<FreeStatement> in_use_;  // taken from free_ and not given back yet, with what they were kept as
  KeptBytes statements_kept_;
  void commit_read() {
    ++reads_ended_;
    if (!sqlite3_get_autocommit(db_) && run(commit_, "COMMIT") != SQLITE_DONE)
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  // Steps a statement kept in S (prepared at first use); SQLite's result.
  int run(sqlite3_stmt*& s, const char* sql) {
    if (!s && sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) != SQLITE_OK) {
      sqlite3_finalize(s);
      s = nullptr;
      return SQLITE_ERROR;
    }
    int rc = sqlite3_step(s);
    sqlite3_reset(s);
    return rc;
  }
  sqlite3_stmt* begin_ = nullptr;
  sqlite3_stmt* commit_ = nullptr;
  sqlite3_stmt* cookie_ = nullptr;       // PRAGMA schema_version: first_read
  sqlite3_int64 schema_cookie_ = -1;     // the schema_ read at this cookie
  bool wal_ = false;                     // the file is in WAL mode
  int64_t reads_ended_ = 0;  // read transactions ended so far
  int64_t stamp_read_ = -1;  // the read transaction the kept stamp was read in
  ContentStamp kept_stamp_;
  std::optional<unsigned> stamp_version_;  // the pager's data version kept_stamp_ was read at, when known

  sqlite3_stmt* data_version_ = nullptr;
  sqlite3_int64 seen_version_ = -1;
  int watch_ = -1;  // watch_descriptor of the file
  sqlite3_stmt* schema_version_ = nullptr;
  sqlite3_stmt* stamp_ = nullptr;
  sqlite3_int64 stamp_cookie_ = -1;
  sqlite3_int64 call_cookie_ = -1;  // the schema cookie of the call's read transaction, -1 unknown
  std::string stamp_place_;         // the file's place in its stamps, once worked out
  std::string stamp_token_;         // the token of the last stamp read, at STAMP_NUMBERS_
  int64_t stamp_numbers_[4] = {};
  bool stamp_trusted_ = false;
  bool facts_trusted_ = false;
  bool in_call_read_ = false;
  std::map<std::string, std::shared_ptr<void>, std::less<>> derived_;
};

// Binds the query's values.  A value SQLite cannot take (a text longer
// than it holds) is the engine's error, never a parameter left Null; the
// caller lets the statement go.
void bind_values(sqlite3_stmt* s, const std::vector<SqlValue>& values) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    const SqlValue& v = values[i];
    int k = int(i + 1), rc;
    if (v.kind == SqlValue::kInteger) {
      rc = sqlite3_bind_int64(s, k, v.integer);
    } else if (v.kind == SqlValue::kReal) {
      rc = sqlite3_bind_double(s, k, v.real);
    } else if (v.kind == SqlValue::kList) {
      // The list as a JSON array, which the query reads through json_each.
      const std::string array = list_text(v.list, '[', ']');
      rc = sqlite3_bind_text64(s, k, array.data(), array.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    } else {
      rc = sqlite3_bind_text64(s, k, v.text.data(), v.text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    }
    if (rc != SQLITE_OK)
      fail(3000, u"DAO.Database", std::string("The query could not be carried out: ") + sqlite3_errstr(rc) + ".");
  }
}

class SqliteRecordset : public Recordset {
 public:
  SqliteRecordset(std::shared_ptr<Connection> c, std::string sql, std::vector<SqlValue> values, sqlite3_stmt* s)
      : conn_(std::move(c)), sql_(std::move(sql)), values_(std::move(values)), stmt_(s) {
    int n = sqlite3_column_count(stmt_);
    for (int i = 0; i < n; ++i) {
      names_.add(sqlite3_column_name(stmt_, i));
    }
    fetch();
  }
  ~SqliteRecordset() override { finish(); }

  int32_t RecordCount() override {
    check_open();
    return int32_t(rows_.size());
  }
  void MoveFirst() override {
    check_open();
    if (rows_.empty()) no_current();
    pos_ = 0;
  }
  void MoveLast() override {
    check_open();
    while (fetch()) {
    }
    if (rows_.empty()) no_current();
    pos_ = rows_.size() - 1;
  }
  void MoveNext() override {
    check_open();
    if (pos_ >= rows_.size()) no_current();
    ++pos_;
    if (pos_ == rows_.size()) fetch();
  }
  bool eof() override {
    check_open();
    return pos_ >= rows_.size();
  }
  Variant field(TextView name) override {
    check_open();
    std::size_t col = column_index(name);
    if (pos_ >= rows_.size()) no_current();
    return rows_[pos_][col];
  }
  void Close() override {
    finish();
    closed_ = true;
  }

  void ReadIntegers(TextView name, std::vector<int32_t>& out) override {
    check_open();
    std::size_t col = column_index(name);
    for (; pos_ < rows_.size(); ++pos_) out.push_back(rows_[pos_][col].to_i32());
    drop_rows();
    while (step()) {
      int c = int(col);
      if (sqlite3_column_type(stmt_, c) == SQLITE_INTEGER) {
        sqlite3_int64 v = sqlite3_column_int64(stmt_, c);
        if (v >= INT32_MIN && v <= INT32_MAX) {
          out.push_back(int32_t(v));
          continue;
        }
      }
      out.push_back(column_variant(stmt_, c).to_i32());
    }
  }

  void ReadSortedIntegers(TextView name, std::vector<int32_t>& out, std::size_t from) override {
    check_open();
    // A SELECT DISTINCT of one column is read without DISTINCT (SQLite
    // keeps the rows distinct through a temporary tree, which costs more
    // than sorting the numbers afterwards), when every value is a plain
    // integer: the distinct integers are then the distinct rows.  Anything
    // else is read through the DISTINCT query itself.
    const std::string distinct = "SELECT DISTINCT ";
    if (!stmt_ || names_.size() != 1 || sql_.compare(0, distinct.size(), distinct) != 0) {
      Recordset::ReadSortedIntegers(name, out, from);
      return;
    }
    column_index(name);
    std::string plain = "SELECT " + sql_.substr(distinct.size());
    sqlite3_stmt* s = conn_->acquire(plain);
    try {
      bind_values(s, values_);
    } catch (...) {
      conn_->release(plain, s);
      throw;
    }
    std::size_t start = out.size();
    bool integers = true;
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      if (sqlite3_column_type(s, 0) != SQLITE_INTEGER) {
        integers = false;
        break;
      }
      sqlite3_int64 v = sqlite3_column_int64(s, 0);
      if (v < INT32_MIN || v > INT32_MAX) {
        integers = false;
        break;
      }
      out.push_back(int32_t(v));
    }
    conn_->release(plain, s);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
      finish();
      conn_->step_failed(rc);
    }
    if (!integers) {
      // The distinct rows themselves, converted as field() would.
      out.resize(start);
      Recordset::ReadSortedIntegers(name, out, from);
      return;
    }
    finish();
    drop_rows();
    if (from > out.size()) from = out.size();
    auto first = out.begin() + std::ptrdiff_t(from);
    if (!std::is_sorted(first, out.end())) std::sort(first, out.end());
    out.erase(std::unique(first, out.end()), out.end());
  }

  void ForEachRow(const std::function<void(std::vector<Variant>&)>& each) override {
    check_open();
    for (; pos_ < rows_.size(); ++pos_) each(rows_[pos_]);
    drop_rows();
    std::vector<Variant> row(names_.size());
    while (step()) {
      for (std::size_t i = 0; i < names_.size(); ++i) row[i] = column_variant(stmt_, int(i));
      each(row);
    }
  }

 private:
  void drop_rows() {
    rows_.clear();
    rows_.shrink_to_fit();
    pos_ = 0;
  }
  // Steps the statement for a bulk read: true on a row, false at the end.
  bool step() {
    if (!stmt_) return false;
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) {
      finish();
      return false;
    }
    sqlite3_reset(stmt_);
    finish();
    conn_->step_failed(rc);
  }

  // Reads one more row into the buffer; false at the end.
  bool fetch() {
    if (!step()) return false;
    std::vector<Variant> row;
    row.reserve(names_.size());
    for (std::size_t i = 0; i < names_.size(); ++i) row.push_back(column_variant(stmt_, int(i)));
    rows_.push_back(std::move(row));
    return true;
  }
  void finish() {
    if (stmt_) {
      conn_->release(sql_, stmt_);
      stmt_ = nullptr;
    }
  }
  std::size_t column_index(TextView name) {
    int i = names_.find(name);
    if (i < 0) throw Error(kItemNotFound, u"DAO.Fields", u"Item not found in this collection.");
    return std::size_t(i);
  }
  void check_open() const {
    if (closed_) throw Error(3420, u"DAO.Recordset", u"Object invalid or no longer set.");
  }
  [[noreturn]] void no_current() const { throw Error(kNoCurrentRecord, u"DAO.Recordset", u"No current record."); }

  std::shared_ptr<Connection> conn_;
  std::string sql_;
  std::vector<SqlValue> values_;
  sqlite3_stmt* stmt_;
  ColumnNames names_;
  std::vector<std::vector<Variant>> rows_;
  std::size_t pos_ = 0;
  bool closed_ = false;
};

class SqliteCursor : public Cursor {
 public:
  SqliteCursor(std::shared_ptr<Connection> c, std::string sql, std::vector<SqlValue> values, sqlite3_stmt* s)
      : conn_(std::move(c)), sql_(std::move(sql)), values_(std::move(values)), stmt_(s) {}
  ~SqliteCursor() override { finish(); }
  bool Next() override {
    if (!stmt_) return false;
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) sqlite3_reset(stmt_);
    finish();
    if (rc != SQLITE_DONE) conn_->step_failed(rc);
    return false;
  }
  bool IsNull(int i) override { return sqlite3_column_type(check(i), i) == SQLITE_NULL; }
  bool IsInteger(int i) override { return sqlite3_column_type(check(i), i) == SQLITE_INTEGER; }
  int64_t Integer(int i) override { return sqlite3_column_int64(check(i), i); }
  std::string_view Bytes(int i) override {
    sqlite3_stmt* s = check(i);
    const char* p = static_cast<const char*>(sqlite3_column_blob(s, i));
    return std::string_view(p ? p : "", std::size_t(sqlite3_column_bytes(s, i)));
  }
  Variant Value(int i) override;
  void Again(const std::vector<Literal>& literals) override {
    if (!take_literals(values_, literals)) Cursor::Again(literals);  // refuses
    if (stmt_) {
      sqlite3_reset(stmt_);
      sqlite3_clear_bindings(stmt_);
    } else {
      stmt_ = conn_->acquire(sql_);
    }
    bind_values(stmt_, values_);
  }

 private:
  sqlite3_stmt* check(int i) {
    if (!stmt_) throw Error(kNoCurrentRecord, u"DAO.Recordset", u"No current record.");
    if (i < 0 || i >= sqlite3_column_count(stmt_)) throw Error(kItemNotFound, u"DAO.Fields", u"Item not found in this collection.");
    return stmt_;
  }
  void finish() {
    if (stmt_) conn_->release(sql_, stmt_);
    stmt_ = nullptr;
  }
  std::shared_ptr<Connection> conn_;
  std::string sql_;
  std::vector<SqlValue> values_;
  sqlite3_stmt* stmt_;
};

Variant SqliteCursor::Value(int i) { return column_variant(check(i), i); }

class SqliteDatabase : public Database {
 public:
  explicit SqliteDatabase(std::shared_ptr<Connection> c) : conn_(std::move(c)) { conn_->join_call(); }

  std::unique_ptr<Recordset> OpenRecordset(TextView sql, int, int) override {
    Prepared p = prepare(sql);
    return std::make_unique<SqliteRecordset>(conn_, std::move(p.sql), std::move(p.values), p.stmt);
  }
  std::unique_ptr<Cursor> OpenCursor(TextView sql) override {
    Prepared p = prepare(sql);
    return std::make_unique<SqliteCursor>(conn_, std::move(p.sql), std::move(p.values), p.stmt);
  }
  std::unique_ptr<Cursor> OpenCursorWith(TextView sql, const std::vector<Literal>& literals) override {
    Prepared p = prepare(sql, &literals);
    return std::make_unique<SqliteCursor>(conn_, std::move(p.sql), std::move(p.values), p.stmt);
  }
  ContentStamp Stamp() override {
    if (!conn_) return {};
    return conn_->stamp();
  }
  void Close() override { conn_.reset(); }
  std::string FileName() override {
    if (!conn_) return {};
    return conn_->file_name();
  }
  std::shared_ptr<void>& Derived(std::string_view key) override {
    if (!conn_) return Database::Derived(key);
    // The data version is looked at once per database object, that is once
    // per method call: what is kept is then no older than the call's start.
    bool first = !version_checked_;
    version_checked_ = true;
    return conn_->derived(key, first);
  }

 private:
  // A statement ready to step, with the SQL it was prepared from and the
  // values bound to it (the cursor's own, for Again).
  struct Prepared {
    std::string sql;
    std::vector<SqlValue> values;
    sqlite3_stmt* stmt = nullptr;
  };
  // The query translated (with LITERALS in place of its own, when given)
  // and its statement, bound.  Of a kept translation only the SQL and the
  // values are copied.
  Prepared prepare(TextView sql, const std::vector<Literal>* literals = nullptr) {
    if (!conn_) throw Error(3420, u"DAO.Database", u"Object invalid or no longer set.");
    Translation scratch;
    const Translation& t = conn_->translate(sql, scratch);
    if (!literals) refuse_list_place(sql, t);
    Prepared p{t.sql, t.values};
    if (literals && !put_literals(p.values, *literals))  // P's values are this call's own copy
      NotSupported(u"DAO.Database");
    p.stmt = conn_->acquire(p.sql);
    if (!sqlite3_stmt_readonly(p.stmt)) {
      conn_->release(p.sql, p.stmt);
      throw Error(3129, u"DAO.Database", u"Invalid SQL statement; expected 'SELECT'.");
    }
    try {
      bind_values(p.stmt, p.values);
    } catch (...) {
      conn_->release(p.sql, p.stmt);
      throw;
    }
    return p;
  }

  std::shared_ptr<Connection> conn_;
  bool version_checked_ = false;
};

class SqliteWorkspace : public Workspace, public std::enable_shared_from_this<SqliteWorkspace> {
 public:
  explicit SqliteWorkspace(Text user) : user_(std::move(user)) {}

  std::unique_ptr<Database> OpenDatabase(TextView path) override {
    std::string file = file_name(path);
    // Within one method call a file is looked at once: the second and later
    // opens in the call use the connection the first one checked.
    if (InCall() && checked_.count(file)) {
      auto it = pool_.find(file);
      if (it != pool_.end()) return std::make_unique<SqliteDatabase>(it->second);
    }
    for (int attempt = 1;; ++attempt) {
      uint64_t watch = 0;
      FileIdentity id = look_at(file, watch);
      auto it = pool_.find(file);
      if (it != pool_.end() && it->second->identity() == id) {
        it->second->set_path_watch(watch);
        checked(file);
        return std::make_unique<SqliteDatabase>(it->second);
      }
      pool_.erase(file);
      try {
        auto c = std::make_shared<Connection>(file, id);
        // The name moved on while the file was opened: the connection may
        // be to the generation just replaced, so the name is opened again.
        auto now = identity_of(file);
        if (now && now->same_file(id)) {
          c->set_path_watch(watch);
          pool_[file] = c;
          checked(file);
          return std::make_unique<SqliteDatabase>(c);
        }
        if (attempt >= kOpenAttempts) return std::make_unique<SqliteDatabase>(c);
      } catch (Error& e) {
        auto now = identity_of(file);
        bool moved = now && !now->same_file(id);
        if (!moved || attempt >= kOpenAttempts) {
          if (e.source() == u"DAO.Database") throw Error(e.number(), u"DAO.Workspace", e.description());
          throw;
        }
      }
    }
  }
  const Text& user_name() const override { return user_; }

 private:
  // What FILE resolves to now; the engine's error when it is missing, not a
  // file, or not readable; WATCH the watch on its path taken before the
  // look.  While the watch on the path of the connection kept for it says
  // nothing has happened there, the connection's identity is the answer,
  // without a look (file_watch.h).  Whether the file is readable was asked
  // when that connection was made: while its identity is the same (its
  // change time moves with its owner, mode and access list), so is the
  // answer, and the question is not asked again.
  FileIdentity look_at(const std::string& file, uint64_t& watch) {
    auto it = pool_.find(file);
    if (it != pool_.end() && FileUnchanged(file, it->second->path_watch())) {
      watch = it->second->path_watch();
      return it->second->identity();
    }
    watch = WatchFile(file);
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) {
      pool_.erase(file);
      if (errno == EACCES) cannot_read(file);
      fail(kFileNotFound, u"DAO.Workspace", "Could not find file '" + file + "'.");
    }
    if (!S_ISREG(st.st_mode)) {
      pool_.erase(file);
      fail(kNotDatabase, u"DAO.Workspace", "Unrecognized database format '" + file + "'.");
    }
    FileIdentity id = StatusOf(st);
    if (it != pool_.end() && it->second->identity() == id) return id;
    if (::access(file.c_str(), R_OK) != 0) {
      pool_.erase(file);
      cannot_read(file);
    }
    return id;
  }

  [[noreturn]] static void cannot_read(const std::string& file) {
    fail(3051, u"DAO.Workspace",
         "The database engine cannot open the file '" + file +
             "'. It is already opened exclusively by another user, or you need permission to view its data.");
  }

  void checked(const std::string& file) {
    if (!InCall() || !checked_.insert(file).second) return;
    if (checked_.size() == 1) {
      std::weak_ptr<SqliteWorkspace> self = std::static_pointer_cast<SqliteWorkspace>(shared_from_this());
      AtCallEnd([self] {
        if (auto w = self.lock()) w->checked_.clear();
      });
    }
  }

  Text user_;
  std::map<std::string, std::shared_ptr<Connection>> pool_;
  std::set<std::string> checked_;  // files looked at in the call in progress
};

class SqliteEngine : public Engine {
 public:
  void set_system_db(TextView path) override { system_db_ = Text(path); }
  Text system_db() const override { return system_db_; }
  std::shared_ptr<Workspace> CreateWorkspace(TextView, TextView user, TextView password) override {
    try {
      workgroup_check(file_name(system_db_), user, password);
    } catch (Error& e) {
      throw Error(e.number(), u"DAO.DBEngine", e.description());
    }
    return std::make_shared<SqliteWorkspace>(Text(user));
  }

 private:
  Text system_db_;
};

}  // namespace

std::shared_ptr<Engine> create_sqlite_engine() { return std::make_shared<SqliteEngine>(); }

}  // namespace kvistur::db
