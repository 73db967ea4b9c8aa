// Writes a catalogue database and its directory database in the form the
// component reads, with the sqlite3 C API, in one transaction each.
//
//   CatalogueWriter w(dir);                      // DIR/katalogur.sqlite, DIR/skra.sqlite
//   for (...) w.Add(MapRecord(m, ...));
//   w.Finish();                                  // hosts, stop words, indexes, directory
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "import/store/batch_thread.h"
#include "import/marc/record_writer.h"
#include "import/store/sqlite_statement.h"
#include "import/store/text_numbers.h"
#include "import/store/writeback.h"
#include "import/marc/word_index.h"
#include "import/marc/word_links.h"
#include "search/record_facts.h"

namespace kvistur::import {

inline constexpr char kCatalogueFile[] = "katalogur.sqlite";
inline constexpr char kDirectoryFile[] = "skra.sqlite";

// The tables of the two databases.
extern const char kCatalogueTables[];
extern const char kDirectoryTables[];

// The collections (databases of the directory); copies name them by number.
const std::vector<NamedNumber>& collections();

// The stop words a new catalogue gets.
const std::vector<std::string>& default_stop_words();

// The settings files a catalogue folder holds (a host is pointed at
// either).
inline constexpr const char* kSettingsFiles[] = {"lindrit-1.0.ini", "lindrit.ini"};

// Writes into FOLDER the settings files that point every database at
// TARGET (a folder, as an absolute path, or a server URI): the settings
// files NOW (a folder) holds, if any, with only Grunnur's Slóð, GrunnNafn
// and kv_local set and the defaults of Debug, Leit and Prentun added where
// they are missing; every other line, section and comment a library put
// there stays.  Throws std::runtime_error when it cannot.
void WriteSettings(const std::string& folder, const std::string& target, const std::string& now);
// The settings file WriteSettings writes where there was none: what a
// build into a server prints for its hosts, so that hosts of a server and
// of files get the same settings.
std::string NewSettings(const std::string& target);

// The rows one record has in the catalogue's tables: Móðurtafla (with its
// host, Upprunafærsla), Frumfærsla, Aðfanganúmer, Árgangur and Tölublað,
// written through statements prepared once.  The word index is the
// caller's: a new catalogue writes it in key order at the end, an update
// row by row.
class RecordRows {
 public:
  // Prepares the statements on DB; volumes are numbered on from the
  // highest Árgangur.ID there.  IN_ORDER: every record is numbered one
  // above the highest written before (a new catalogue), so SQLite numbers
  // its rows itself instead of looking each number up in the table first;
  // Write checks that the number it gave is the record's.  Throws
  // std::runtime_error on an SQLite error.
  explicit RecordRows(sqlite3* db, bool in_order = false);

  void Write(int32_t id, const ImportedRecord& r, int32_t host);

 private:
  sqlite3* db_;
  bool in_order_;
  std::string now_;  // when the writing began: for records without 005
  SqliteStatement record_, source_, copy_, volume_, issue_;
  int32_t next_volume_ = 1;
};

class CatalogueWriter {
 public:
  // Creates both files in DIR, which must not hold a catalogue already (a
  // new catalogue is written where no host reads it, and moved into place
  // when complete: output.h).  Throws std::runtime_error when they cannot
  // be written.
  explicit CatalogueWriter(const std::string& dir);
  // Stops the writing thread; what was not finished is left unfinished.
  ~CatalogueWriter();

  // Numbers the record and its new words and hands its rows (with its
  // holdings, volumes, source record and words) to the writing thread;
  // returns the record's number.  Throws std::runtime_error when writing an
  // earlier record failed (the disk is full, say): the catalogue cannot be
  // finished then.  R's words are left in R; the rest is moved from it.
  int32_t Add(ImportedRecord&& r);
  // Frees the members of R's record that Add does not need (all but the
  // call numbers), and a batch of records already written if one waits.
  // Called on the threads that map records, any number at once: freed on
  // the writer's thread, each of those allocations would wait on the
  // mapping threads' malloc arenas.
  void Trim(ImportedRecord& r);
  // Points component parts and articles at their hosts, writes the stop
  // words, the word index and the indexes, commits, and writes the
  // directory database.  Returns the number of parts whose host was not
  // found (left at 0).  PROGRESS, when given, hears of the stages: "word
  // index" (rows written of the total) and "indexes".  Throws
  // std::runtime_error when writing failed.
  using Progress = std::function<void(const char* stage, long done, long total)>;
  int Finish(const Progress& progress = {});

  // Says how many records Add will be given, about: the word index's rows
  // are then held in room made once, not copied at every doubling.
  void Expect(std::size_t records) { expected_ = records; }

  long words() const { return long(word_ids_.size()); }

 private:
  // A record's rows as the writing thread gets them, with the words first
  // met in it (number, as written).
  struct Staged {
    int32_t id;
    ImportedRecord record;
    std::vector<std::pair<int32_t, std::string>> words;
  };
  using Batch = std::vector<Staged>;
  void write(Batch& batch);

  void exec(const char* sql);
  std::string dir_;
  SqliteConnection db_;
  Writeback writeback_;  // the file's pages to the disk while rows are written
  RecordRows rows_;
  SqliteStatement word_;
  Batch batch_;
  // Batches written, for Trim to free; the writer frees the oldest itself
  // when more wait.
  std::mutex spent_lock_;
  std::deque<Batch> spent_;
  int32_t next_id_ = 1;
  std::size_t expected_ = 0;
  TextNumbers word_ids_;      // by fold
  TextNumbers word_by_text_;  // as written
  TextNumbers by_control_;    // the first record of each control number
  std::vector<std::pair<int32_t, std::string>> parts_;  // record, host's control number
  std::vector<WordLink> links_;  // written in key order by Finish
  // What the stored index and the facet data need of each record (number
  // i + 1): its sort text (sort_keys_ up to sort_key_ends_[i]), its kind,
  // and the facts of its source record (worked out by the writing thread);
  // and of each copy in the order written, its holder and location
  // (copy_places_ up to the end given).
  std::string sort_keys_;
  std::vector<std::size_t> sort_key_ends_;
  std::vector<int32_t> kinds_;
  std::vector<facets::Facts> facts_;
  std::string copy_places_;
  std::vector<std::pair<int32_t, std::size_t>> copy_ends_;
  // Last: it writes through the statements above, and stops before they go.
  std::unique_ptr<BatchThread<Batch>> writer_;
};

}  // namespace kvistur::import
