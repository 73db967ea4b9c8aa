// Writes what the facets need of every record (search/facet_table.h)
// beside the stored search index, at the content stamp's counters, so
// that the search reads it once per state instead of every record.
//
// kvistur build, generate and index write it whole, through CreateIndexes,
// after the stored index, in the same transaction.  kvistur update keeps
// it at the state it commits, in its transaction, rewriting only the rows
// of the records and holders of copies it changed:
//
//   FacetChanges facets(db);           // after BEGIN, before the first change
//   ... the update's inserts and deletes ...
//   UpdateFacetData(db, facets);       // before COMMIT
//
// It also gives Aðfanganúmer the index that finds the copies on loan,
// which the facets read afresh after every change of the catalogue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "import/store/watched_changes.h"
#include "platform/engine.h"
#include "search/facet_table.h"

struct sqlite3;

namespace kvistur::import {

// On an open connection that may write, inside the caller's transaction,
// once the content stamp is installed; a catalogue without Móðurtafla or
// the stamp gets nothing.  Throws std::runtime_error on an SQLite error.
void WriteFacetData(sqlite3* db);
// The same with the rows worked out already (a new catalogue's, from what
// its writer holds, on another thread while the rest is written); they
// must be what FacetRowsOfTables would read.  Null: read from the tables.
void WriteFacetData(sqlite3* db, const facets::FacetRows* rows);

// The records (Móðurtafla, Frumfærsla) and holders of copies
// (Aðfanganúmer) a transaction changes, watched through temporary
// triggers on its connection, and the stamp's counters before it.
class FacetChanges : public WatchedChanges {
 public:
  explicit FacetChanges(sqlite3* db);
};

// Brings the facet data to the state the transaction made, inside it: the
// rows of what CHANGES saw rewritten when the data was current when they
// began and reads back, else all of it written whole.  True when it was
// patched.  Throws std::runtime_error on an SQLite error.
bool UpdateFacetData(sqlite3* db, FacetChanges& changes);

// What the tables of DB say the facet data is, and a query's rows on DB as
// the engine's cursors give them (for facets::ReadStoredFacets): for the
// check.
facets::FacetRows FacetRowsOfTables(sqlite3* db);
std::function<std::unique_ptr<db::Cursor>(const std::u16string&)> SqliteRows(sqlite3* db);

}  // namespace kvistur::import
