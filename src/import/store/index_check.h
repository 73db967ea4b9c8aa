// kvistur index --check: whether a catalogue's stored search index and
// its indexes are sound.
//
//   IndexCheck check(std::cout);
//   check.Sqlite(db);          // SQLite's integrity check of the whole file
//   check.StoredIndex(db);     // every row, the summary, and the tables' agreement
//   check.Facets(db);          // the facet data beside it, likewise
//   return check.findings() ? 1 : 0;
//
// Each finding is one line on OUT; a damaged catalogue may give many, and
// after kMaxLines the rest are only counted.  The stored index is read
// through the same codec the search reads it with (search/stored_codec.h),
// and what it says is compared with what the tables say: every word's
// records with their group and field, and the order of every record.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "import/store/sqlite_statement.h"
#include "search/stored_codec.h"

struct sqlite3;

namespace kvistur {
class StoredDelta;
}

namespace kvistur::import {

class IndexCheck {
 public:
  static constexpr long kMaxLines = 100;

  explicit IndexCheck(std::ostream& out) : out_(out) {}

  // PRAGMA integrity_check (kv_fold must be registered on DB).
  void Sqlite(sqlite3* db);
  // The triggers of the content stamp, without which the index is not used.
  void ContentStamp(sqlite3* db);
  // The stored index, when there is one; says so when there is none.
  void StoredIndex(sqlite3* db);
  // The facet data, when there is one: every row, the summary, and each
  // record's and holder's entry against what the tables say.
  void Facets(sqlite3* db);

  long findings() const { return findings_; }
  // What was looked at, for the closing line.
  const std::string& summary() const { return summary_; }

 private:
  void find(const std::string& line);
  // Every row of TABLE (kv_order or kv_counts) in chunk order, each given
  // to DECODE; whether every chunk was there and sound.
  bool read_chunks(sqlite3* db, const stored::Summary& meta, const std::string& table, uint32_t chunks,
                   const std::function<void(SqliteStatement&, int64_t)>& decode);
  // Every row of kv_delta and kv_delta_postings; whether all are sound.
  bool read_delta(sqlite3* db, const stored::Summary& meta, std::unique_ptr<StoredDelta>& delta,
                  std::map<int32_t, std::vector<stored::Link>>& links, std::map<int64_t, std::vector<stored::Link>>& words);
  // Every row of kv_prefixes and kv_prefix_postings; with COMPARE, each
  // list against the union of the lists of the words of Orð its prefix
  // starts (when they are the words the row names: an update that changed
  // them leaves the list unused, not wrong).
  void prefix_lists(sqlite3* db, const stored::Summary& meta, bool compare);
  // The word file beside the catalogue's file, when there is one: every
  // bucket, each list against the word's rows of kv_postings, and the
  // vocabulary against Orð when it was written at Orð's state.
  void word_file(sqlite3* db, const stored::Summary& meta);
  std::ostream& out_;
  long findings_ = 0;
  std::string summary_;
};

// The whole check of a catalogue file, with a closing line naming SHOWN;
// the number of findings.  WHOLE_FILE: the file is the catalogue itself
// (not a copy of a server's schema), so SQLite's integrity and the stamp's
// triggers are checked too.  Throws std::runtime_error when the file cannot
// be opened or is not a catalogue.
long CheckCatalogueFile(const std::string& file, const std::string& shown, bool whole_file, std::ostream& out);

}  // namespace kvistur::import
