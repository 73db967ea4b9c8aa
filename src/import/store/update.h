// The day's changes to a catalogue: new, changed and deleted records applied
// in place, in one transaction, while hosts go on searching.
//
//   CatalogueUpdate u(file);                   // opens it and begins the transaction
//   for (...) u.Apply(record, host_is_serial, why);
//   u.Commit();                                // hosts, the stored index's delta, COMMIT
//
// A record is matched by its control number (001), and by the agency the
// number belongs to (003) when both it and the catalogue's record carry
// one.  Leader/05 `d` deletes; any other record replaces the one it matches
// (keeping its number, so hosts' selections and component parts' links stay)
// or is added.  A replaced or deleted record loses its holdings, volumes,
// issues and word-index rows; its words are found again from the source
// record the catalogue keeps (Frumfærsla).
//
// The stored search index takes the update as a delta beside it
// (index_delta.h), and the facet data has the rows of the records it
// changed rewritten (facet_writer.h), so that the update costs what it
// changes; the planner's
// statistics are refreshed after the commit, and only when the index was
// written whole.
//
// Readers see the catalogue before or after: the changes go to the file's
// write-ahead log, which readers ignore until the commit record is written
// (sqlite_journal.h), and hosts let go of what they keep when SQLite's data
// version moves.  An update that fails, is interrupted or is killed before
// Commit leaves the catalogue as it was, with nothing for anyone to undo.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "import/store/catalogue_writer.h"
#include "import/store/facet_writer.h"
#include "import/store/index_delta.h"
#include "marc21/marc_reader.h"
#include "import/store/sqlite_statement.h"

namespace kvistur::import {

using marc21::MarcRecord;

enum class UpdateOutcome { kAdded, kReplaced, kDeleted, kSkipped };

class CatalogueUpdate {
 public:
  // Opens the catalogue FILE for writing and begins the transaction.
  // Throws std::runtime_error with a one-line message when it is missing,
  // is not a catalogue, or has no source records to match against.
  explicit CatalogueUpdate(const std::string& file);
  // Rolls back unless committed.
  ~CatalogueUpdate();
  CatalogueUpdate(const CatalogueUpdate&) = delete;
  CatalogueUpdate& operator=(const CatalogueUpdate&) = delete;

  // Applies one record; for kSkipped, WHY says why (no control number, not
  // in the catalogue, more than one match, cannot be catalogued).
  // `host_is_serial` as for MapRecord.  Throws std::runtime_error on an
  // SQLite error.
  UpdateOutcome Apply(const MarcRecord& m, bool host_is_serial, std::string& why);

  // Whether the catalogue's record with control number CONTROL is a
  // periodical (for articles whose host is not in the update).
  bool IsSerial(const std::string& control);

  // Links the component parts written to their hosts, brings the derived
  // data up to date and commits.  Throws std::runtime_error when it cannot.
  void Commit();

 private:
  struct Statements;
  std::vector<int32_t> matches(const std::string& control, const std::string& agency);
  void remove_rows(int32_t id, bool whole);
  void write(int32_t id, const ImportedRecord& r);
  int32_t word_id(const std::string& word);

  std::string file_;
  SqliteConnection db_;
  std::unique_ptr<Statements> st_;
  std::unique_ptr<RecordRows> rows_;
  std::unique_ptr<IndexChanges> changes_;
  std::unique_ptr<FacetChanges> facet_changes_;
  std::unordered_map<std::string, int32_t> word_ids_;
  std::vector<std::pair<int32_t, std::string>> parts_;  // record, host's control number
  bool committed_ = false;
};

}  // namespace kvistur::import
