#include "platform/sqlite_journal.h"

#include <sqlite3.h>

#include <stdexcept>

#include "platform/sqlite_statement.h"

namespace kvistur::db {

namespace {

// Runs one statement; its first column as text when it gives a row.
std::string run(sqlite3* db, const std::string& sql) {
  SqliteStatement q(db, sql);
  return q.step() ? q.text(0) : std::string();
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
  try {
    SqliteConnection db = OpenSqlite(file, SQLITE_OPEN_READWRITE);
    sqlite3_busy_timeout(db.get(), kWriterBusyTimeoutMs);
    // Closing last, it would remove the WAL files that hosts without
    // write permission need to read.
    int keep = 1;
    sqlite3_file_control(db.get(), "main", SQLITE_FCNTL_PERSIST_WAL, &keep);
    run(db.get(), "SELECT count(*) FROM sqlite_master");
    return true;
  } catch (const std::runtime_error&) {
    return false;
  }
}

std::string CannotRecoverText(const std::string& file) {
  return "The database engine cannot open the file '" + file +
         "'. A writer stopped in the middle of a change to it, and undoing that change needs permission to write "
         "the file and its folder.";
}

}  // namespace kvistur::db
