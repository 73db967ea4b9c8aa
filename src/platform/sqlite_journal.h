// How an SQLite file of ours survives a writer that dies.
//
// Our writers (the build's finishing, `kvistur update`, `kvistur index`)
// log ahead: SQLite's write-ahead log (WAL) keeps a transaction's pages in
// FILE-wal until its commit record is written, so a writer killed at any
// moment leaves frames that every reader ignores, and no reader ever needs
// the dead writer's successor.  Readers never wait for a writer's commit
// and a writer never waits for readers.
//
//   sqlite3_busy_timeout(db, kWriterBusyTimeoutMs);
//   UseWriteAheadLog(db);                       // before BEGIN
//   ... BEGIN ... COMMIT ...
//   CheckpointAfterCommit(db);
//
// A file still in rollback-journal mode (written by another program or an
// older kvistur) can be left with a hot journal by a writer that died in
// its commit.  A read-only connection cannot roll it back and fails with
// SQLITE_READONLY_ROLLBACK; the reader then calls RecoverForReaders once,
// which opens the file for writing just long enough for SQLite to roll the
// journal back, and tries again.
#pragma once

#include <string>

struct sqlite3;

namespace kvistur::db {

// How long a writer waits for another writer's transaction, or for readers
// when it must (switching a rollback-journal file to WAL takes the file for
// itself for a moment).  A reader holds one read transaction for the length
// of one method call.
inline constexpr int kWriterBusyTimeoutMs = 30000;

// What the WAL is cut back to when a writer resets it, so that one large
// update does not leave a large file behind for good.
inline constexpr long long kWalSizeLimitBytes = 64LL * 1024 * 1024;

// Switches the file to WAL (kept in the file's header, so that every later
// connection uses it), with a durable commit (synchronous=FULL) and the WAL
// and its index kept beside the file when the last connection closes: a
// host that may not create files in the folder can still read it.  Call it
// outside a transaction, after setting the busy timeout.  Throws
// std::runtime_error with SQLite's message when the file cannot switch.
void UseWriteAheadLog(sqlite3* db);

// After a commit: copies what the WAL holds into the file as far as no
// reader needs the older pages (never waiting for one), and when all was
// copied and no reader is in a transaction, cuts the WAL to nothing.  A
// failure loses nothing (the WAL still holds the commit) and is ignored.
void CheckpointAfterCommit(sqlite3* db);

// Whether an SQLite extended result code says that a dead writer left work
// that only a connection able to write the file can finish: a hot rollback
// journal, or a WAL index that must be rebuilt where the reader may not
// write it.
bool LeftByDeadWriter(int extended_code);

// Opens FILE for writing and reads its header, which makes SQLite roll back
// a hot journal (or rebuild the WAL index); then closes it.  False when the
// file cannot be opened for writing (no permission on it or its folder).
bool RecoverForReaders(const std::string& file);

// The engine's description of a file that RecoverForReaders could not
// recover (error 3051).
std::string CannotRecoverText(const std::string& file);

}  // namespace kvistur::db
