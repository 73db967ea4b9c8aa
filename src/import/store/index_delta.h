// An update's changes to the stored search index, written as a delta
// beside the index (search/stored_delta.h) so that an update costs what it
// changes rather than what the catalogue holds.
//
//   IndexChanges changes(db);          // after BEGIN, before the first change
//   ... the update's inserts and deletes ...
//   bool whole = UpdateSearchIndex(db, changes);   // before COMMIT
//
// IndexChanges watches Móðurtafla and Tengill through temporary triggers,
// which live on this connection only and never in the file: the records
// whose row came, went or changed its number, sort text, identifying
// string or kind (with the row they had), and every row of Tengill written
// or deleted, in order.  UpdateSearchIndex then works out the new state of
// each record touched: where it stood in the base (a binary search by the
// row it had), its row now, its links (those the delta had for it, or, for
// a record of the base, the update's own when it deleted every row the
// base counted for it) and its place in the base's order, found by a
// binary search over the sort texts of the base's records (delta_base.h).  Whenever it cannot be sure (the index was
// not written at the state the update began in, a record kept links the
// update did not see, a row it cannot class) or the delta would grow past
// kMaxDeltaShare of the records, it writes the index whole instead.
#pragma once

#include <cstdint>
#include <string>

#include "import/store/watched_changes.h"

struct sqlite3;

namespace kvistur::import {

// The most records a delta holds, as a share of the base's records (and
// at least kMinDeltaRecords): past it the index is written whole, so that
// what every search merges stays small.
inline constexpr double kMaxDeltaShare = 1.0 / 50;
inline constexpr int64_t kMinDeltaRecords = 256;

// A column of TABLE as the file spells it (names match as the search
// folds them), quoted for SQL.
std::string QuotedColumn(sqlite3* db, const char* table, const std::string& wanted);

// The records and links a transaction changes (Móðurtafla, Tengill),
// logged with what the delta needs of each row before the change.
class IndexChanges : public WatchedChanges {
 public:
  // Installs the triggers on DB, inside its transaction, and notes the
  // content stamp's counters.  When it cannot (the tables are not all
  // there), nothing is watched and the index will be written whole.
  explicit IndexChanges(sqlite3* db);
};

// Brings the stored index to the state the transaction made, inside it:
// a delta when it can, the index written whole otherwise.  True when it
// was written whole (the tables changed by a good share: the caller brings
// the planner's statistics up to date after its commit).  Throws
// std::runtime_error on an SQLite error.
bool UpdateSearchIndex(sqlite3* db, IndexChanges& changes);

}  // namespace kvistur::import
