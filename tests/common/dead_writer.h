// A writer that dies: a child process opens an SQLite file for writing,
// begins a transaction, writes more than its page cache holds (so that
// pages reach the file or its WAL before any commit), and is killed with
// SIGKILL in the middle.  What it leaves beside the file is what a crashed
// `kvistur update` or cataloguing program leaves.
#pragma once

#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace kvistur::testing {

// SETUP runs before the transaction (a journal mode, say); WRITES inside
// it.  With COMMIT the transaction commits first and the process dies
// before closing (a WAL's committed frames never copied into the file).
inline void kill_writer_midway(const std::string& file, const std::string& setup, const std::string& writes,
                               bool commit = false) {
  pid_t pid = fork();
  if (pid == 0) {
    sqlite3* db = nullptr;
    sqlite3_open(file.c_str(), &db);
    sqlite3_exec(db, "PRAGMA cache_size=2; PRAGMA wal_autocheckpoint=0;", nullptr, nullptr, nullptr);
    sqlite3_exec(db, setup.c_str(), nullptr, nullptr, nullptr);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_exec(db, writes.c_str(), nullptr, nullptr, nullptr);
    if (commit) sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    kill(getpid(), SIGKILL);
    _exit(1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
}

}  // namespace kvistur::testing
