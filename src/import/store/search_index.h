// Writes the search's stored index (src/search/stored_index.h) into a
// catalogue and installs the content stamp (src/platform/content_stamp.h)
// that tells readers whether the index was written at the state they read.
//
// kvistur build, generate and index call it, through CreateIndexes, at the
// end of their transaction, and write the index whole; kvistur update
// writes only what it changed beside it (index_delta.h), and the index
// whole when that would grow too large.  Another program's later change to
// Móðurtafla or Tengill raises the stamp, and readers then read those
// tables as if there were no stored index, until one of these tools writes
// it again.  The tables and their rows: docs/stored-index.md.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "import/marc/word_links.h"

struct sqlite3;

namespace kvistur {
struct RankedRecords;
class RecordRows;
namespace stored {
struct Summary;
}
}

namespace kvistur::import {

// The tables of a stored index beside kv_search_meta: the order, and
// those of the word lists, there when the summary says it has them.
inline constexpr const char kOrderTable[] = "kv_order";
inline constexpr const char* kListTables[] = {"kv_postings", "kv_counts", "kv_delta", "kv_delta_postings",
                                              "kv_prefixes", "kv_prefix_postings"};

// The ranks of Móðurtafla's records as the search works them out
// (search/record_order.h); false when the table cannot be ordered that way
// (a record number twice or held as text, a sort text of no kind).
bool ReadRanks(sqlite3* db, RankedRecords& out);

// On an open connection that may write (kv_fold registered), inside the
// caller's transaction.  A catalogue whose tables the stored index cannot
// stand for (a record number twice or held as text, a word link whose
// numbers are not integers, more than 64 group and field pairs) gets only
// the parts it can take, or none.  Throws std::runtime_error on an SQLite
// error.
void WriteSearchIndex(sqlite3* db);

// A stored index worked out, on any thread, from what a new catalogue's
// writer holds in memory instead of from its tables, and written later by
// the thread that owns the connection: the build works it out while it
// writes the word index and the plain indexes.  Written, it is the index
// WriteSearchIndex(db) would write from those tables, row for row.
class PreparedSearchIndex;
struct PreparedSearchIndexDeleter {
  void operator()(PreparedSearchIndex* p) const;
};
using PreparedIndex = std::unique_ptr<PreparedSearchIndex, PreparedSearchIndexDeleter>;
// RECORDS feeds the rows Móðurtafla will hold, in the order of their
// numbers, to the RecordRows it is given (search/record_order.h); Orð's
// words are numbered 1 to WORDS; LINKS are Tengill's rows in key order
// (word, record, group, field), each once; FOLDS[i] is the fold of word
// i + 1 (kv_fold of its text, for the prefix lists).  LINKS and FOLDS need
// only last until it returns.  Throws std::bad_alloc; what the tables could not stand for
// gives what WriteSearchIndex gives for them.
PreparedIndex PrepareSearchIndex(const std::function<void(::kvistur::RecordRows&)>& records, int32_t words,
                                 std::span<const WordLink> links, std::span<const std::string_view> folds);
// Writes PREPARED on DB, as WriteSearchIndex(db) does (the content stamp
// too), inside the caller's transaction, then calls ALSO (when given) with
// DB while the word file, written on another thread, is still being
// written.  DB must hold the rows PREPARED was worked out from.  Throws
// std::runtime_error on an SQLite error.
void WriteSearchIndex(sqlite3* db, const PreparedSearchIndex& prepared,
                      const std::function<void(sqlite3*)>& also = nullptr);

// The folds of Orð's words with integer numbers, as (fold, word): the
// words the prefix lists are made from (kv_fold registered on DB).
std::vector<std::pair<std::string, int64_t>> WordFolds(sqlite3* db);

// The format of DB's stored index, -1 when it has none (or it is no number).
int64_t StoredFormat(sqlite3* db);
// kv_search_meta's row, read and checked; stored::Damaged when it does not
// hold.  For an index in this version's format.
stored::Summary ReadSummary(sqlite3* db);
// Writes META (with its checksum, set here) as kv_search_meta's one row.
void WriteSummary(sqlite3* db, stored::Summary& meta);

}  // namespace kvistur::import
