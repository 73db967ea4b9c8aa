// A private PostgreSQL server for the tests that need one, started on first
// use from a copy of a cluster prepared once per machine and version (in
// /tmp), on a Unix socket only, as `nobody` when the tests run as root;
// stopped when the process ends, and servers of crashed test processes by
// the next.  When it cannot start, get() throws, so that no test passes
// without it.  It has the database kv, the administrator kvadmin (password
// kvadmin, the role that loads catalogues) and the role "Admin" that logs
// on without a password as a host's default user does; every role may read
// what kvadmin writes.  primary() and standby() are a second pair, for read
// replicas: a hot standby made by `pg_basebackup -R` replays its primary.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "files.h"

namespace kvistur::testing {

class PgServer {
 public:
  static PgServer& get() {
    static PgServer server;
    return checked(server);
  }
  static PgServer& primary() { return checked(pair().first); }
  static PgServer& standby() { return checked(pair().second); }

  // Waits until this standby has replayed everything PRIMARY has written
  // so far; throws when it has not within kReplayWaitSeconds.
  void replayed(const PgServer& primary) const {
    std::string lsn = primary.sql("postgres", "SELECT pg_current_wal_lsn()");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kReplayWaitSeconds);
    while (sql("postgres", "SELECT pg_last_wal_replay_lsn() >= '" + lsn + "'::pg_lsn") != "t") {
      if (std::chrono::steady_clock::now() > deadline)
        throw std::runtime_error("the standby has not replayed " + lsn + " in " + std::to_string(kReplayWaitSeconds) +
                                 " s: " + log());
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  // What the server has written to its log so far.
  std::string log() const { return file_bytes(dir_ + "/log"); }

  // A URI of DATABASE as hosts name it (no user, no password), and one
  // that logs on as the administrator.
  std::string uri(const std::string& database) const { return "postgresql:///" + database + "?host=" + dir_; }
  std::string admin_uri(const std::string& database) const {
    return "postgresql://kvadmin:kvadmin@/" + database + "?host=" + dir_;
  }

  // Runs SQL on DATABASE as the administrator; the first value of the last
  // statement's answer ("" when it has none).  Throws on failure.
  std::string sql(const std::string& database, const std::string& text) const {
    PGconn* c = PQconnectdb(admin_uri(database).c_str());
    std::string why, value;
    if (PQstatus(c) != CONNECTION_OK) {
      why = PQerrorMessage(c);
    } else {
      PQsetNoticeProcessor(c, [](void*, const char*) {}, nullptr);
      PGresult* r = PQexec(c, text.c_str());
      if (PQresultStatus(r) != PGRES_COMMAND_OK && PQresultStatus(r) != PGRES_TUPLES_OK) why = PQresultErrorMessage(r);
      else if (PQntuples(r) > 0 && PQnfields(r) > 0) value = PQgetvalue(r, 0, 0);
      PQclear(r);
    }
    PQfinish(c);
    if (!why.empty()) throw std::runtime_error("sql: " + why + " in: " + text);
    return value;
  }

  // The database of the tests' catalogues, emptied of every schema that a
  // test made before.
  std::string empty_database() const {
    sql(kDatabase,
        "DO $$ DECLARE s text; BEGIN FOR s IN SELECT nspname FROM pg_namespace WHERE nspname NOT LIKE 'pg\\_%' "
        "AND nspname NOT IN ('public', 'information_schema') LOOP EXECUTE format('DROP SCHEMA %I CASCADE', s); "
        "END LOOP; END $$");
    return kDatabase;
  }

  // Stops the server at once, as a crash would, and starts it again.
  void kill() { ctl({"stop", "-m", "immediate"}); }
  void start() {
    if (ctl({"start", "-w", "-t", "60", "-l", dir_ + "/log", "-o",
             "-c listen_addresses= -c unix_socket_directories=" + dir_ +
                 " -c fsync=off -c synchronous_commit=off -c full_page_writes=off" + options_.at(int(role_))}) != 0)
      throw std::runtime_error("pg_ctl start failed: " + log());
  }

  ~PgServer() {
    if (dir_.empty()) return;
    ctl({"stop", "-m", "immediate"});
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

 private:
  // Alone: the tests' server.  A primary also lets kvadmin stream its
  // WAL; a standby is a copy of PRIMARY that replays it and answers reads.
  enum class Role { kAlone, kPrimary, kStandby };

  explicit PgServer(Role role = Role::kAlone, const PgServer* primary = nullptr) : role_(role) {
    try {
      if (primary && !primary->error_.empty()) throw std::runtime_error("its primary cannot start: " + primary->error_);
      find_programs();
      stop_stale();
      std::string tmpl = prepared_cluster();
      char folder[] = "/tmp/kvistur-pg-XXXXXX";
      if (!mkdtemp(folder)) throw std::runtime_error("mkdtemp");
      // The process id in the name tells the next test process whether
      // this server's owner is still alive.
      dir_ = std::string(folder) + "-" + std::to_string(getpid());
      std::filesystem::rename(folder, dir_);
      own(dir_);
      if (role == Role::kStandby) {
        // -R writes the primary's address and standby.signal into the copy.
        std::string from = "host=" + primary->dir_ + " user=kvadmin password=kvadmin";
        if (run({bin_ + "/pg_basebackup", "-D", data(), "-d", from, "-R", "-X", "stream", "-c", "fast", "--no-sync"},
                dir_ + "/log") != 0)
          throw std::runtime_error("pg_basebackup failed: " + log());
      } else if (run({"cp", "-a", tmpl, data()}) != 0) {
        throw std::runtime_error("cannot copy " + tmpl);
      }
      if (role == Role::kPrimary) {
        std::ofstream(data() + "/pg_hba.conf", std::ios::app) << "local replication kvadmin scram-sha-256\n";
      }
      start();
    } catch (const std::exception& e) {
      error_ = e.what();
    }
  }

  static PgServer& checked(PgServer& server) {
    if (!server.error_.empty()) throw std::runtime_error("the test PostgreSQL server cannot start: " + server.error_);
    return server;
  }
  // Made at the first call, the standby after its primary, so that it is
  // stopped first.
  static std::pair<PgServer&, PgServer&> pair() {
    static PgServer primary(Role::kPrimary);
    static PgServer standby(Role::kStandby, &primary);
    return {primary, standby};
  }

  std::string data() const { return dir_ + "/data"; }

  // The first line a command prints.
  static std::string output_of(const std::string& command) {
    std::unique_ptr<FILE, int (*)(FILE*)> p(popen((command + " 2>/dev/null").c_str(), "r"), pclose);
    char buf[512] = {0};
    if (p && !fgets(buf, sizeof buf, p.get())) buf[0] = 0;
    std::string out = buf;
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
  }

  void find_programs() {
    bin_ = output_of("pg_config --bindir");
    // Debian keeps the server's programs by version, off the PATH.
    if (!std::filesystem::exists(bin_ + "/initdb")) bin_ = output_of("ls -d /usr/lib/postgresql/*/bin | sort -V | tail -1");
    if (bin_.empty() || !std::filesystem::exists(bin_ + "/initdb"))
      throw std::runtime_error("no PostgreSQL server programs (initdb) in '" + bin_ + "'; scripts/deps installs them");
    if (geteuid() == 0) {
      const passwd* pw = getpwnam("nobody");
      if (!pw) throw std::runtime_error("the tests run as root and there is no user nobody to run the server as");
      as_other_ = true;
      uid_ = pw->pw_uid;
      gid_ = pw->pw_gid;
    }
  }

  // Runs a program as the server's user, its output in LOG (or nowhere);
  // its exit status.
  int run(const std::vector<std::string>& argv, const std::string& log = "") const {
    pid_t pid = fork();
    if (pid == 0) {
      if (as_other_ && (setgroups(0, nullptr) != 0 || setgid(gid_) != 0 || setuid(uid_) != 0)) _exit(126);
      int null = open("/dev/null", O_RDWR);
      int out = log.empty() ? null : open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      dup2(null, 0), dup2(out, 1), dup2(out, 2);
      std::vector<char*> args;
      for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execvp(args[0], args.data());
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  int ctl(std::vector<std::string> args, const std::string& data_dir = "") const {
    args.insert(args.begin(), {bin_ + "/pg_ctl", "-D", data_dir.empty() ? data() : data_dir});
    return run(args);
  }
  void own(const std::string& path) const {
    if (as_other_ && chown(path.c_str(), uid_, gid_) != 0) throw std::runtime_error("chown " + path);
  }

  // Servers whose test process is gone.
  void stop_stale() const {
    std::error_code ec;
    for (auto& e : std::filesystem::directory_iterator("/tmp", ec)) {
      std::string name = e.path().filename().string();
      if (name.rfind("kvistur-pg-", 0) != 0 || name.rfind("kvistur-pg-template", 0) == 0 ||
          name.rfind("kvistur-pg-make", 0) == 0)
        continue;
      std::size_t dash = name.rfind('-');
      pid_t pid = pid_t(std::atol(name.c_str() + dash + 1));
      if (pid <= 0 || ::kill(pid, 0) == 0 || errno == EPERM) continue;
      ctl({"stop", "-m", "immediate"}, e.path().string() + "/data");
      std::filesystem::remove_all(e.path(), ec);
    }
  }

  // initdb once per machine, server programs and user: the cluster with its
  // roles and rights, kept for every later test process to copy.
  std::string prepared_cluster() {
    std::string key = std::to_string(std::hash<std::string>()(bin_ + output_of(bin_ + "/postgres --version"))) + "-" +
                      std::to_string(as_other_ ? uid_ : geteuid());
    std::string path = "/tmp/kvistur-pg-template-" + key;
    int lock = open((path + ".lock").c_str(), O_RDWR | O_CREAT, 0644);
    if (lock < 0 || flock(lock, LOCK_EX) != 0) throw std::runtime_error("cannot lock " + path + ".lock");
    struct Unlock {
      int fd;
      ~Unlock() { close(fd); }
    } unlock{lock};
    if (std::filesystem::exists(path + "/PG_VERSION")) return path;
    char folder[] = "/tmp/kvistur-pg-make-XXXXXX";
    if (!mkdtemp(folder)) throw std::runtime_error("mkdtemp");
    std::string made = folder;
    own(made);
    { std::ofstream(made + "/pw") << "kvadmin\n"; }
    own(made + "/pw");
    if (run({bin_ + "/initdb", "-D", made + "/data", "-U", "kvadmin", "--pwfile=" + made + "/pw", "-A", "scram-sha-256",
             "-E", "UTF8", "--locale=C", "--no-sync", "--no-instructions"}) != 0)
      throw std::runtime_error("initdb failed");
    { std::ofstream(made + "/data/pg_hba.conf") << "local all Admin trust\nlocal all all scram-sha-256\n"; }
    std::string saved = dir_;
    dir_ = made;
    start();
    sql("postgres", "CREATE ROLE \"Admin\" LOGIN");
    sql("template1",
        "ALTER DEFAULT PRIVILEGES FOR ROLE kvadmin GRANT USAGE ON SCHEMAS TO PUBLIC;"
        "ALTER DEFAULT PRIVILEGES FOR ROLE kvadmin GRANT SELECT ON TABLES TO PUBLIC");
    sql("postgres", std::string("CREATE DATABASE ") + kDatabase);
    ctl({"stop", "-m", "fast"});
    dir_ = saved;
    std::filesystem::remove(made + "/data/postmaster.opts");
    std::filesystem::rename(made + "/data", path);
    std::error_code ec;
    std::filesystem::remove_all(made, ec);
    return path;
  }

  static constexpr char kDatabase[] = "kv";
  // A standby that has not replayed a commit in this time is broken.
  static constexpr int kReplayWaitSeconds = 60;
  // What each role adds to the server's settings: a primary keeps WAL
  // senders; a standby answers reads while it replays, and tells its
  // primary which rows its readers' snapshots still need, so that their
  // calls are not cancelled by the replay of a cleanup.
  inline static const std::vector<std::string> options_ = {
      "", " -c wal_level=replica -c max_wal_senders=4",
      " -c hot_standby=on -c hot_standby_feedback=on -c wal_receiver_status_interval=1"};
  Role role_;
  std::string bin_, dir_, error_;
  bool as_other_ = false;  // the server runs as nobody
  uid_t uid_ = 0;
  gid_t gid_ = 0;
};

}  // namespace kvistur::testing
