#include "platform/workgroup.h"

#include <sodium.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <array>
#include <map>
#include <memory>
#include <mutex>

#include "kvistur/error.h"
#include "platform/engine.h"
#include "platform/sqlite_functions.h"
#include "platform/sqlite_journal.h"

namespace kvistur::db {
namespace {

// Argon2id through libsodium's "interactive" limits: about 0.1 s and 64 MiB
// per guess, so that a stolen file resists offline guessing while a log-on
// stays quick.
const unsigned long long kOpsLimit = crypto_pwhash_OPSLIMIT_INTERACTIVE;
const std::size_t kMemLimit = crypto_pwhash_MEMLIMIT_INTERACTIVE;
constexpr char kMarker[] = "kvistur-workgroup";

constexpr char16_t kSource[] = u"DAO.DBEngine";

[[noreturn]] void fail(int32_t number, const std::string& description) {
  throw Error(number, kSource, from_utf8(description));
}

void ensure_sodium() {
  if (sodium_init() < 0) fail(7, "The password library could not start.");
}

std::string hash_password(TextView password) {
  ensure_sodium();
  std::string pw = to_utf8(password);
  char out[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str(out, pw.data(), pw.size(), kOpsLimit, kMemLimit) != 0) fail(7, "Out of memory");
  return out;
}

// A hash of nothing in particular, checked against when the user is unknown,
// so that a failed log-on takes as long whether or not the user exists.
// Written out here rather than made at start, so that a process that logs
// on once (every `kvistur search`) pays one hash, not two; made afresh only
// if the library's parameters ever differ from those written in it.
const std::string& decoy_hash() {
  static const std::string h = [] {
    std::string fixed = "$argon2id$v=19$m=65536,t=2,p=1$tWe8DUTz/dqEdO82yCBgWA$QSK3Dvvahpxsz7sNpGMLDBKxBpV1x19quwU4l4Bg62c";
    return crypto_pwhash_str_needs_rehash(fixed.c_str(), kOpsLimit, kMemLimit) == 0 ? fixed
                                                                                     : hash_password(u"\x01decoy");
  }();
  return h;
}

// Log-ons this process has already checked.  A server logs every session
// on, and every SRU request over a new connection is a session: paying one
// Argon2 hash (a fifth of a second of a core and 64 MiB) each time would
// make the hash the server's main work.  A password that passed is
// remembered as a keyed BLAKE2b digest (the key random and in this process
// only) beside the stored hash it passed against, so a changed password
// (a new hash with a new salt) or a removed user is never let in from here.
// Only successes are remembered: every wrong guess still costs the full
// hash, so the store gives a guesser nothing.
class PassedLogOns {
 public:
  using Digest = std::array<unsigned char, crypto_generichash_BYTES>;

  bool known(const std::string& stored_hash, const std::string& password) {
    Digest d = digest(password);
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = passed_.find(stored_hash);
    return it != passed_.end() && sodium_memcmp(it->second.data(), d.data(), d.size()) == 0;
  }
  void remember(const std::string& stored_hash, const std::string& password) {
    Digest d = digest(password);
    std::lock_guard<std::mutex> lock(mutex_);
    if (passed_.size() >= kMaxEntries) passed_.clear();
    passed_[stored_hash] = d;
  }

 private:
  static constexpr std::size_t kMaxEntries = 4096;
  Digest digest(const std::string& password) {
    std::call_once(keyed_, [this] { randombytes_buf(key_.data(), key_.size()); });
    Digest d;
    crypto_generichash(d.data(), d.size(), reinterpret_cast<const unsigned char*>(password.data()), password.size(),
                       key_.data(), key_.size());
    return d;
  }
  std::once_flag keyed_;
  std::array<unsigned char, crypto_generichash_KEYBYTES> key_{};
  std::mutex mutex_;
  std::map<std::string, Digest> passed_;
};

PassedLogOns& passed_log_ons() {
  static PassedLogOns p;
  return p;
}

struct Db {
  sqlite3* db = nullptr;
  ~Db() { sqlite3_close(db); }
};

struct Stmt {
  sqlite3_stmt* s = nullptr;
  ~Stmt() { sqlite3_finalize(s); }
};

[[noreturn]] void not_workgroup(const std::string& file) {
  fail(kNotDatabase, "Unrecognized database format '" + file + "'.");
}

void exec(Db& d, const std::string& file, const char* sql) {
  char* msg = nullptr;
  int rc = sqlite3_exec(d.db, sql, nullptr, nullptr, &msg);
  std::string m = msg ? msg : "";
  sqlite3_free(msg);
  if (rc != SQLITE_OK) fail(3000, "The workgroup file '" + file + "' could not be written: " + m + ".");
}

// The file keeps a rollback journal, whose deletion is the commit: with
// synchronous=EXTRA SQLite syncs the folder after deleting it, so that a
// change said to be made survives the power going at once.
void make_commits_durable(Db& d, const std::string& file) { exec(d, file, "PRAGMA synchronous=EXTRA;"); }

// Opens an existing workgroup file and checks that it is one.
void open_existing(Db& d, const std::string& file, bool write) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) fail(kFileNotFound, "Could not find file '" + file + "'.");
  if (!S_ISREG(st.st_mode)) not_workgroup(file);
  int flags = write ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY;
  if (sqlite3_open_v2(file.c_str(), &d.db, flags, nullptr) != SQLITE_OK)
    fail(3051, "The database engine cannot open the file '" + file + "'.");
  sqlite3_busy_timeout(d.db, 2000);
  if (write) make_commits_durable(d, file);
  Stmt s;
  auto read_marker = [&] {
    sqlite3_finalize(s.s);
    s.s = nullptr;
    int rc = sqlite3_prepare_v2(d.db, "SELECT marker FROM workgroup", -1, &s.s, nullptr);
    return rc == SQLITE_OK ? sqlite3_step(s.s) : rc;
  };
  int rc = read_marker();
  // A writer that died in its commit left a journal that this read-only
  // connection cannot roll back: one that can write does it, once.
  if (rc != SQLITE_ROW && LeftByDeadWriter(sqlite3_extended_errcode(d.db))) {
    if (!RecoverForReaders(file))
      fail(3051, CannotRecoverText(file));
    rc = read_marker();
  }
  if (rc != SQLITE_ROW) not_workgroup(file);
  const char* m = reinterpret_cast<const char*>(sqlite3_column_text(s.s, 0));
  if (!m || std::string(m) != kMarker) not_workgroup(file);
}

struct UserRow {
  std::string name, hash;
};

std::vector<UserRow> read_users(Db& d, const std::string& file) {
  Stmt s;
  if (sqlite3_prepare_v2(d.db, "SELECT name, hash FROM users ORDER BY rowid", -1, &s.s, nullptr) != SQLITE_OK)
    not_workgroup(file);
  std::vector<UserRow> out;
  int rc;
  while ((rc = sqlite3_step(s.s)) == SQLITE_ROW) {
    const char* n = reinterpret_cast<const char*>(sqlite3_column_text(s.s, 0));
    const char* h = reinterpret_cast<const char*>(sqlite3_column_text(s.s, 1));
    out.push_back({n ? n : "", h ? h : ""});
  }
  if (rc != SQLITE_DONE) not_workgroup(file);
  return out;
}

const UserRow* find_user(const std::vector<UserRow>& users, TextView name) {
  std::string f = fold_text(name);
  for (const UserRow& u : users)
    if (fold_utf8(u.name) == f) return &u;
  return nullptr;
}

void write_user(Db& d, const std::string& file, const std::string& old_name, TextView name, TextView password) {
  std::string h = hash_password(password);
  std::string n = to_utf8(name);
  Stmt s;
  const char* sql = old_name.empty() ? "INSERT INTO users(name, hash) VALUES(?1, ?2)"
                                     : "UPDATE users SET name = ?1, hash = ?2 WHERE name = ?3";
  if (sqlite3_prepare_v2(d.db, sql, -1, &s.s, nullptr) != SQLITE_OK) not_workgroup(file);
  int rc = sqlite3_bind_text(s.s, 1, n.data(), int(n.size()), SQLITE_TRANSIENT);
  if (rc == SQLITE_OK) rc = sqlite3_bind_text(s.s, 2, h.data(), int(h.size()), SQLITE_TRANSIENT);
  if (rc == SQLITE_OK && !old_name.empty())
    rc = sqlite3_bind_text(s.s, 3, old_name.data(), int(old_name.size()), SQLITE_TRANSIENT);
  if (rc != SQLITE_OK || sqlite3_step(s.s) != SQLITE_DONE)
    fail(3000, "The workgroup file '" + file + "' could not be written.");
}

}  // namespace

void workgroup_init(const std::string& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) == 0) throw Error(58, kProjectName, u"File already exists: " + from_utf8(file));
  Db d;
  if (sqlite3_open_v2(file.c_str(), &d.db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
    fail(3051, "The workgroup file '" + file + "' cannot be created.");
  make_commits_durable(d, file);
  exec(d, file,
       "BEGIN; CREATE TABLE workgroup(marker TEXT NOT NULL, version INTEGER NOT NULL);"
       "INSERT INTO workgroup VALUES('kvistur-workgroup', 1);"
       "CREATE TABLE users(name TEXT NOT NULL, hash TEXT NOT NULL);");
  write_user(d, file, "", u"Admin", u"");
  exec(d, file, "COMMIT;");
}

void workgroup_set_user(const std::string& file, TextView name, TextView password) {
  if (trim(name).empty()) throw Error(5, kProjectName, u"A user name may not be empty.");
  Db d;
  open_existing(d, file, true);
  auto users = read_users(d, file);
  const UserRow* u = find_user(users, name);
  write_user(d, file, u ? u->name : "", name, password);
}

void workgroup_add_user(const std::string& file, TextView name, TextView password) {
  if (trim(name).empty()) throw Error(5, kProjectName, u"A user name may not be empty.");
  Db d;
  open_existing(d, file, true);
  auto users = read_users(d, file);
  if (const UserRow* u = find_user(users, name))
    throw Error(58, kProjectName, u"There is a user '" + from_utf8(u->name) + u"' in the workgroup file already.");
  write_user(d, file, "", name, password);
}

void workgroup_set_password(const std::string& file, TextView name, TextView password) {
  Db d;
  open_existing(d, file, true);
  auto users = read_users(d, file);
  const UserRow* u = find_user(users, name);
  if (!u) throw Error(5, kProjectName, u"There is no user '" + Text(name) + u"' in the workgroup file.");
  write_user(d, file, u->name, from_utf8(u->name), password);
}

void workgroup_remove_user(const std::string& file, TextView name) {
  Db d;
  open_existing(d, file, true);
  auto users = read_users(d, file);
  const UserRow* u = find_user(users, name);
  if (!u) throw Error(5, kProjectName, u"There is no user '" + Text(name) + u"' in the workgroup file.");
  Stmt s;
  if (sqlite3_prepare_v2(d.db, "DELETE FROM users WHERE name = ?1", -1, &s.s, nullptr) != SQLITE_OK ||
      sqlite3_bind_text(s.s, 1, u->name.data(), int(u->name.size()), SQLITE_TRANSIENT) != SQLITE_OK ||
      sqlite3_step(s.s) != SQLITE_DONE)
    fail(3000, "The workgroup file '" + file + "' could not be written.");
}

std::vector<Text> workgroup_users(const std::string& file) {
  Db d;
  open_existing(d, file, false);
  std::vector<Text> out;
  for (const UserRow& u : read_users(d, file)) out.push_back(from_utf8(u.name));
  return out;
}

void workgroup_check(const std::string& file, TextView name, TextView password) {
  ensure_sodium();
  // The decoy is made before the user is looked up, so that the first failed
  // log-on of an unknown user does not take one hash longer than the rest.
  const std::string& decoy = decoy_hash();
  Db d;
  open_existing(d, file, false);
  auto users = read_users(d, file);
  const UserRow* u = find_user(users, name);
  std::string pw = to_utf8(password);
  if (u && passed_log_ons().known(u->hash, pw)) return;
  const std::string& hash = u ? u->hash : decoy;
  bool ok = crypto_pwhash_str_verify(hash.c_str(), pw.data(), pw.size()) == 0;
  if (!u || !ok) fail(kBadAccount, "Not a valid account name or password.");
  passed_log_ons().remember(u->hash, pw);
}

}  // namespace kvistur::db
