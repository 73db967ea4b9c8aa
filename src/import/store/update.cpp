#include "import/store/update.h"

#include <sys/stat.h>

#include <stdexcept>

#include "import/store/index_delta.h"
#include "import/store/indexes.h"
#include "import/store/record_numbers.h"
#include "import/marc/record_writer.h"
#include "import/store/sqlite_statement.h"
#include "import/marc/word_index.h"
#include "platform/sqlite_functions.h"
#include "platform/sqlite_journal.h"

namespace kvistur::import {

using marc21::MarcRecord;
using marc21::ReadProblem;
using marc21::MarcReader;

namespace {

std::string trimmed(const std::string& s) {
  std::size_t a = s.find_first_not_of(' '), b = s.find_last_not_of(' ');
  return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

}  // namespace

struct CatalogueUpdate::Statements {
  explicit Statements(sqlite3* db)
      : match(db,
              "SELECT ID FROM Frumfærsla WHERE Stjórnnúmer = ? AND (? = '' OR Stofnun IS NULL OR Stofnun = '' OR "
              "Stofnun = ?) ORDER BY ID"),
        by_control(db, "SELECT ID FROM Frumfærsla WHERE Stjórnnúmer = ? ORDER BY ID LIMIT 1"),
        kind_of(db, "SELECT Tag FROM Móðurtafla WHERE ID = ?"),
        source_of(db, "SELECT Færsla FROM Frumfærsla WHERE ID = ?"),
        next_id(db, NextRecordNumberSql(db)),
        find_word(db, "SELECT ID FROM Orð WHERE kv_fold(Orð) = ?"),
        add_word(db, "INSERT INTO Orð (Orð) VALUES (?)"),
        add_link(db, "INSERT OR IGNORE INTO Tengill (FærsluID, OrðID, HópID, Orðtag) VALUES (?,?,?,?)"),
        drop_link(db, "DELETE FROM Tengill WHERE OrðID = ? AND FærsluID = ?"),
        drop_links(db, "DELETE FROM Tengill WHERE FærsluID = ?"),
        drop_copies(db, "DELETE FROM Aðfanganúmer WHERE Móðurbendir = ?"),
        drop_issues(db, "DELETE FROM Tölublað WHERE MóðurID IN (SELECT ID FROM Árgangur WHERE MóðurID = ?)"),
        drop_volumes(db, "DELETE FROM Árgangur WHERE MóðurID = ?"),
        drop_record(db, "DELETE FROM Móðurtafla WHERE ID = ?"),
        drop_source(db, "DELETE FROM Frumfærsla WHERE ID = ?"),
        drop_selected(db, "DELETE FROM ValdarFærslur WHERE Valdar = ?"),
        set_host(db, "UPDATE Móðurtafla SET Upprunafærsla = ? WHERE ID = ?") {}
  SqliteStatement match, by_control, kind_of, source_of, next_id, find_word, add_word, add_link, drop_link, drop_links,
      drop_copies, drop_issues, drop_volumes, drop_record, drop_source, drop_selected, set_host;
};

CatalogueUpdate::CatalogueUpdate(const std::string& file) : file_(file) {
  struct stat sb;
  if (stat(file.c_str(), &sb) != 0) throw std::runtime_error("no such file: " + file);
  db_ = OpenSqlite(file, SQLITE_OPEN_READWRITE);
  sqlite3* db = db_.get();
  try {
    RegisterKvFunctions(db);
    sqlite3_busy_timeout(db, db::kWriterBusyTimeoutMs);
    if (!HasTable(db, "Móðurtafla") || !HasTable(db, "Orð") || !HasTable(db, "Tengill"))
      throw std::runtime_error("not a catalogue (no tables Móðurtafla, Orð and Tengill)");
    if (!HasTable(db, "Frumfærsla"))
      throw std::runtime_error("no source records to match updates against (table Frumfærsla); build it anew with kvistur build");
    // Write-ahead: the changes go to the WAL, which readers ignore until
    // the commit record is there; a process killed before it leaves
    // nothing anyone must undo.
    db::UseWriteAheadLog(db);
    ExecSql(db, "BEGIN IMMEDIATE");
    // Before anything is deleted, so that the numbers this update deletes
    // are never given again either.
    InstallRecordMark(db);
    // What the update changes, so that the stored search index takes only that.
    changes_ = std::make_unique<IndexChanges>(db);
    facet_changes_ = std::make_unique<FacetChanges>(db);
    st_ = std::make_unique<Statements>(db);
    rows_ = std::make_unique<RecordRows>(db);
  } catch (const std::exception& e) {
    throw std::runtime_error(file + ": " + e.what());
  }
}

CatalogueUpdate::~CatalogueUpdate() {
  // The statements go before the transaction is rolled back and the
  // connection closed.
  rows_.reset();
  st_.reset();
  if (!committed_ && !sqlite3_get_autocommit(db_.get())) sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
}

std::vector<int32_t> CatalogueUpdate::matches(const std::string& control, const std::string& agency) {
  std::vector<int32_t> ids;
  st_->match.bind(1, control).bind(2, agency).bind(3, agency);
  while (st_->match.step()) ids.push_back(int32_t(st_->match.integer(0)));
  st_->match.reset();
  return ids;
}

bool CatalogueUpdate::IsSerial(const std::string& control) {
  bool serial = false;
  if (st_->by_control.bind(1, control).step()) {
    int64_t id = st_->by_control.integer(0);
    if (st_->kind_of.bind(1, id).step()) serial = st_->kind_of.integer(0) == kKindPeriodical;
    st_->kind_of.reset();
  }
  st_->by_control.reset();
  return serial;
}

int32_t CatalogueUpdate::word_id(const std::string& word) {
  std::string key = db::fold_utf8(word);
  auto it = word_ids_.find(key);
  if (it != word_ids_.end()) return it->second;
  int32_t id;
  if (st_->find_word.bind(1, key).step()) {
    id = int32_t(st_->find_word.integer(0));
  } else {
    st_->add_word.bind(1, word).run();
    id = int32_t(sqlite3_last_insert_rowid(db_.get()));
  }
  st_->find_word.reset();
  word_ids_.emplace(key, id);
  return id;
}

// Removes what record ID has in the catalogue; WHOLE also its selection.
void CatalogueUpdate::remove_rows(int32_t id, bool whole) {
  std::vector<WordOccurrence> words;
  bool known = false;
  if (st_->source_of.bind(1, id).step()) {
    std::vector<ReadProblem> problems;
    try {
      MarcReader reader = MarcReader::from_bytes(st_->source_of.blob(0));
      if (auto old = reader.next(problems)) {
        words = IndexedWords(*old);
        known = true;
      }
    } catch (const std::runtime_error&) {
    }
  }
  st_->source_of.reset();
  if (known) {
    for (auto& w : words) {
      std::string key = db::fold_utf8(w.word);
      if (st_->find_word.bind(1, key).step()) st_->drop_link.bind(1, st_->find_word.integer(0)).bind(2, id).run();
      st_->find_word.reset();
    }
  } else {
    // No readable source record: every row of the word index is looked at.
    st_->drop_links.bind(1, id).run();
  }
  for (SqliteStatement* s : {&st_->drop_copies, &st_->drop_issues, &st_->drop_volumes, &st_->drop_record, &st_->drop_source})
    s->bind(1, id).run();
  if (whole) st_->drop_selected.bind(1, id).run();
}

void CatalogueUpdate::write(int32_t id, const ImportedRecord& r) {
  rows_->Write(id, r, 0);
  if ((r.kind == kKindComponent || r.kind == kKindArticle) && !r.host_control.empty()) parts_.push_back({id, r.host_control});
  std::vector<int> groups = RecordGroups(r.kind);
  for (auto& w : r.words) {
    int32_t wid = word_id(w.word);
    for (int g : groups) st_->add_link.bind(1, id).bind(2, wid).bind(3, g).bind(4, w.field).run();
  }
}

UpdateOutcome CatalogueUpdate::Apply(const MarcRecord& m, bool host_is_serial, std::string& why) {
  std::string control = trimmed(m.control("001")), agency = trimmed(m.control("003"));
  if (control.empty()) {
    why = "no control number (001) to match it by";
    return UpdateOutcome::kSkipped;
  }
  std::vector<int32_t> ids = matches(control, agency);
  if (ids.size() > 1) {
    why = "control number " + control + " matches " + std::to_string(ids.size()) + " records";
    return UpdateOutcome::kSkipped;
  }
  if (m.leader_at(5) == 'd') {
    if (ids.empty()) {
      why = "record " + control + " to be deleted is not in the catalogue";
      return UpdateOutcome::kSkipped;
    }
    remove_rows(ids[0], true);
    return UpdateOutcome::kDeleted;
  }
  ImportedRecord row;
  try {
    row = MapRecord(m, host_is_serial);
  } catch (const std::runtime_error& e) {
    why = e.what();
    return UpdateOutcome::kSkipped;
  }
  if (!ids.empty()) {
    remove_rows(ids[0], false);
    write(ids[0], row);
    return UpdateOutcome::kReplaced;
  }
  int32_t id = st_->next_id.step() ? int32_t(st_->next_id.integer(0)) : 1;
  st_->next_id.reset();
  write(id, row);
  return UpdateOutcome::kAdded;
}

void CatalogueUpdate::Commit() {
  for (auto& [part, control] : parts_) {
    if (st_->by_control.bind(1, control).step()) st_->set_host.bind(1, st_->by_control.integer(0)).bind(2, part).run();
    st_->by_control.reset();
  }
  CreateQueryIndexes(db_.get());
  const bool whole = UpdateSearchIndex(db_.get(), *changes_);
  UpdateFacetData(db_.get(), *facet_changes_);
  ExecSql(db_.get(), "COMMIT");
  committed_ = true;
  // The planner's statistics after the commit, in a transaction of their
  // own, when the index was written whole (the tables changed by a good
  // share): hosts do not wait for them.  They only guide the planner, so
  // an update that cannot refresh them has still done its work.
  if (whole) {
    try {
      RefreshStatistics(db_.get());
    } catch (const std::runtime_error&) {
    }
  }
  db::CheckpointAfterCommit(db_.get());
}

}  // namespace kvistur::import
