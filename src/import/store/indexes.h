// The indexes that make searches fast.  They change no query's result: the
// word lookup by its folded form (equality and prefix ranges), the word
// links by word, holdings by record, the identifying string, the volumes
// and issues of periodicals.
#pragma once

#include <functional>
#include <string>

#include "import/store/sqlite_statement.h"

namespace kvistur::import {

// Creates FILE and opens it for one writing thread.  Throws
// std::runtime_error when it exists already (a new catalogue is written into
// a fresh staging folder, never over a file) or cannot be written.
SqliteConnection CreateDatabase(const std::string& file);

// Creates the indexes on an open catalogue connection (kv_fold must be
// registered on it), then, unless SEARCH_INDEX is false (a copy that is
// only read from), raises the mark of record numbers given
// (record_numbers.h) and writes the search's stored index and the content
// stamp (search_index.h).  Every tool that changes a catalogue calls it at the
// end of its transaction.  Throws std::runtime_error on an SQLite error.
void CreateIndexes(sqlite3* db, bool search_index = true);
// The same, with the stored index and the facet data written by
// WRITE_SEARCH_DATA in place of WriteSearchIndex and WriteFacetData (a new
// catalogue's, worked out from what its writer holds while the rest is
// written: search_index.h, facet_writer.h).
void CreateIndexes(sqlite3* db, const std::function<void(sqlite3*)>& write_search_data);
// Its parts: the indexes alone, and the query planner's statistics.
void CreateQueryIndexes(sqlite3* db);
// The index of the holdings by their record, which CreateQueryIndexes
// makes too.  A new catalogue makes it before its first row: its rows come
// in record order, so each key goes on the end of the index, cheaper than
// sorting every key after the last record.
void CreateHoldingsIndex(sqlite3* db);
void RefreshStatistics(sqlite3* db);

// Opens a catalogue file made by any tool, checks that it has the word
// index tables, switches it to write-ahead logging and adds the indexes in
// one transaction (hosts go on reading meanwhile).  The caller holds the
// catalogue folder's lock.  Throws std::runtime_error with a one-line
// message when the file is missing or not a catalogue.
void IndexCatalogue(const std::string& file);

}  // namespace kvistur::import
