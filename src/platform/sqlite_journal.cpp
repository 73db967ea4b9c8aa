#include "platform/sqlite_journal.h"

#include <sqlite3.h>

#include <stdexcept>

namespace kvistur::db {

namespace {

// Runs one statement; its first column as text when it gives a row.
std::string run(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* s = nullptr;
  int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr);
  std::string out;
  if (rc == SQLITE_OK) {
    rc = sqlite3_step(s);
    if (rc == SQLITE_ROW) {
      const unsigned char* t = sqlite3_column_text(s, 0);
      out = t ? reinterpret_cast<const char*>(t) : "";
      rc = SQLITE_OK;
    } else if (rc == SQLITE_DONE) {
      rc = SQLITE_OK;
    }
  }
  std::string message = rc == SQLITE_OK ? "" : sqlite3_errmsg(db);
  sqlite3_finalize(s);
  if (rc != SQLITE_OK) throw std::runtime_error(message);
  return out;
}

}  // namespace

void UseWriteAheadLog(sqlite3* db) {
  std::string mode = run(db, "PRAGMA journal_mode=WAL");
  if (mode != "wal") throw std::runtime_error("cannot use write-ahead logging (the journal stays " + mode + ")");
  run(db, "PRAGMA synchronous=FULL");
  run(db, "PRAGMA journal_size_limit=" + std::to_string(kWalSizeLimitBytes));
  int keep = 1;
  sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &keep);
  // The switch opens no WAL yet; a read makes the WAL and its index.
  run(db, "SELECT count(*) FROM sqlite_master");
}

void CheckpointAfterCommit(sqlite3* db) {
  int frames = 0, copied = 0;
  if (sqlite3_wal_checkpoint_v2(db, "main", SQLITE_CHECKPOINT_PASSIVE, &frames, &copied) != SQLITE_OK) return;
  if (frames <= 0 || copied != frames) return;
  // Truncating waits for readers through the busy handler: none for it.
  sqlite3_busy_timeout(db, 0);
  sqlite3_wal_checkpoint_v2(db, "main", SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  sqlite3_busy_timeout(db, kWriterBusyTimeoutMs);
}

bool LeftByDeadWriter(int extended_code) {
  return extended_code == SQLITE_READONLY_ROLLBACK || extended_code == SQLITE_READONLY_RECOVERY;
}

bool RecoverForReaders(const std::string& file) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_busy_timeout(db, kWriterBusyTimeoutMs);
    // Closing last, it would remove the WAL files that hosts without
    // write permission need to read.
    int keep = 1;
    sqlite3_file_control(db, "main", SQLITE_FCNTL_PERSIST_WAL, &keep);
    rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
  }
  sqlite3_close(db);
  return rc == SQLITE_OK;
}

std::string CannotRecoverText(const std::string& file) {
  return "The database engine cannot open the file '" + file +
         "'. A writer stopped in the middle of a change to it, and undoing that change needs permission to write "
         "the file and its folder.";
}

}  // namespace kvistur::db
