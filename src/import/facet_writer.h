// Writes what the facets need of every record (search/facet_table.h)
// beside the stored search index, at the content stamp's counters, so
// that the search reads it once per state instead of every record.
//
// kvistur build, generate, index and update write it, through
// CreateIndexes, after the stored index, in the same transaction.  It
// also gives Aðfanganúmer the index that finds the copies on loan, which
// the facets read afresh after every change of the catalogue.
#pragma once

struct sqlite3;

namespace kvistur::import {

// On an open connection that may write, inside the caller's transaction,
// once the content stamp is installed; a catalogue without Móðurtafla or
// the stamp gets nothing.  Throws std::runtime_error on an SQLite error.
void WriteFacetData(sqlite3* db);

}  // namespace kvistur::import
