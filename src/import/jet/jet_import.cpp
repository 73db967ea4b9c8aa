#include "import/jet/jet_import.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <stdexcept>

#include "import/store/catalogue_writer.h"
#include "import/store/indexes.h"
#include "import/jet/jet_reader.h"
#include "import/store/output.h"
#include "import/store/writeback.h"
#include "import/jet/table_copy.h"
#include "kvistur/text.h"

namespace kvistur::import {

namespace fs = std::filesystem;

namespace {

// The tables that tell a catalogue and a directory database.
constexpr char kCatalogueTable[] = "Móðurtafla";
constexpr char kDirectoryTable[] = "DBGroups";

// The progress display is redrawn at most this often, and not at all for
// a file read in less time.
constexpr auto kProgressEvery = std::chrono::milliseconds(250);
constexpr uint64_t kRowsBetweenClockLooks = 1024;

bool holds(const JetInfo& info, const char* table) {
  for (auto& t : info.tables)
    if (equals_ci(from_utf8(t.shape.name), from_utf8(table))) return true;
  return false;
}

// Whether FILE holds a catalogue, from its list of tables alone (the
// reader is stopped once the list has come).
bool holds_catalogue(const std::string& file, int code_page) {
  struct Listed {};
  struct ListSink : JetSink {
    bool catalogue = false;
    void Tables(const JetInfo& info) override {
      catalogue = holds(info, kCatalogueTable);
      throw Listed{};
    }
    void BeginTable(std::size_t) override {}
    void Row(std::span<const Cell>) override {}
    void EndTable(std::size_t, uint64_t) override {}
  } sink;
  try {
    ReadJetFile(file, code_page, sink);
  } catch (const Listed&) {
  } catch (const JetError& e) {
    throw std::runtime_error(file + ": " + e.what());
  }
  return sink.catalogue;
}

class CopySink : public JetSink {
 public:
  CopySink(std::string file, std::string folder, std::map<std::string, std::string>& taken, std::ostream& report,
           std::ostream& notes, JetTotals& totals)
      : file_(std::move(file)), folder_(std::move(folder)), taken_(taken), report_(report), notes_(notes),
        totals_(totals) {}
  ~CopySink() override { clear_progress(); }

  void Tables(const JetInfo& info) override {
    info_ = info;
    catalogue_ = holds(info, kCatalogueTable);
    directory_ = holds(info, kDirectoryTable);
    if (catalogue_ && !(holds(info, "Orð") && holds(info, "Tengill")))
      throw std::runtime_error(std::string("holds ") + kCatalogueTable + " but not the word index (Orð and Tengill)");
    // A file that holds both tables is both databases.
    if (catalogue_) names_.push_back(kCatalogueFile);
    if (directory_) names_.push_back(kDirectoryFile);
    if (names_.empty()) names_.push_back(fs::path(file_).stem().string() + ".sqlite");
    for (auto& name : names_) {
      auto [at, fresh] = taken_.emplace(name, file_);
      if (!fresh) throw std::runtime_error("would become " + name + ", as " + at->second + " does");
    }
    db_ = CreateDatabase(folder_ + "/" + names_[0]);
    writeback_ = std::make_unique<Writeback>(db_.get());
    ExecSql(db_.get(), "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; BEGIN;");
    report_ << file_ << ": " << info.version;
    if (info.code_page) report_ << ", code page " << info.code_page;
    report_ << ", " << info.tables.size() << (info.tables.size() == 1 ? " table" : " tables") << ", into";
    for (auto& name : names_) report_ << " " << name;
    report_ << "\n";
  }

  void BeginTable(std::size_t index) override {
    table_ = &info_.tables[index];
    writer_ = std::make_unique<TableWriter>(db_.get(), table_->shape);
    read_ = 0;
  }

  void Row(std::span<const Cell> row) override {
    ++read_;
    writer_->Add(row);
    if (read_ % kRowsBetweenClockLooks == 0) show_progress();
  }

  void EndTable(std::size_t, uint64_t rows) override {
    clear_progress();
    if (rows > table_->rows)
      notes_ << "kvistur build: " << file_ << ": " << table_->shape.name << ": " << rows
             << " rows, more than the table's definition counts (" << table_->rows
             << "): the file was not closed properly\n";
    report_ << file_ << ": " << table_->shape.name << ": read " << rows << ", written " << writer_->written() << "\n";
    totals_.tables += 1;
    totals_.read += rows;
    totals_.written += writer_->written();
    writer_.reset();
    table_ = nullptr;
  }

  // Commits the file, adds the search indexes to a catalogue, and writes
  // the copies a file that is both databases needs.
  void Finish() {
    writer_.reset();
    ExecSql(db_.get(), "COMMIT");
    db_.reset();
    std::string first = folder_ + "/" + names_[0];
    if (catalogue_) IndexCatalogue(first);
    for (std::size_t i = 1; i < names_.size(); ++i)
      fs::copy_file(first, folder_ + "/" + names_[i], fs::copy_options::overwrite_existing);
  }

  const char* table() const { return table_ ? table_->shape.name.c_str() : nullptr; }

 private:
  void show_progress() {
    if (!terminal_) return;
    auto now = std::chrono::steady_clock::now();
    if (now - last_shown_ < kProgressEvery) return;
    last_shown_ = now;
    std::cerr << "\r\033[K" << file_ << ": " << table_->shape.name << " " << read_ << "/" << table_->rows
              << std::flush;
    shown_ = true;
  }
  void clear_progress() {
    if (shown_) std::cerr << "\r\033[K" << std::flush;
    shown_ = false;
  }

  std::string file_, folder_;
  std::map<std::string, std::string>& taken_;
  std::ostream& report_;
  std::ostream& notes_;
  JetTotals& totals_;
  JetInfo info_;
  std::vector<std::string> names_;
  bool catalogue_ = false, directory_ = false;
  SqliteConnection db_;
  std::unique_ptr<Writeback> writeback_;  // the copy's pages to the disk as it is written
  const JetTable* table_ = nullptr;
  std::unique_ptr<TableWriter> writer_;  // on db_, so after it
  uint64_t read_ = 0;
  bool terminal_ = isatty(STDERR_FILENO);
  bool shown_ = false;
  std::chrono::steady_clock::time_point last_shown_ = std::chrono::steady_clock::now();
};

}  // namespace

JetTotals CopyTables(const std::vector<TableSource>& sources, const std::string& folder, std::ostream& report,
                     std::ostream& notes) {
  JetTotals totals;
  std::map<std::string, std::string> taken;  // output file -> the source it comes from
  for (auto& source : sources) {
    CopySink sink(source.name, folder, taken, report, notes, totals);
    try {
      source.read(sink);
      sink.Finish();
    } catch (const JetError& e) {
      throw std::runtime_error(source.name + ": " + e.what());
    } catch (const std::exception& e) {
      // Writing failed: say where.
      std::string where = sink.table() ? std::string(sink.table()) + ": " : "";
      throw std::runtime_error(source.name + ": " + where + e.what());
    }
    totals.files += 1;
  }
  totals.directory = taken.count(kDirectoryFile) > 0;
  return totals;
}

JetTotals CopyJetFiles(const std::vector<std::string>& files, const std::string& folder, int code_page,
                       std::ostream& report, std::ostream& notes) {
  if (code_page) CheckCodePage(code_page);
  std::vector<TableSource> sources;
  for (auto& file : files)
    sources.push_back({file, [file, code_page](JetSink& sink) { ReadJetFile(file, code_page, sink); }});
  return CopyTables(sources, folder, report, notes);
}

int BuildFromJet(const std::vector<std::string>& files, const std::string& out, int code_page, std::ostream& report,
                 std::ostream& notes) {
  // Settings pointing at a catalogue that is not there would fail every
  // search: files without one are refused before anything is written.
  if (code_page) CheckCodePage(code_page);
  if (!std::any_of(files.begin(), files.end(), [&](const std::string& f) { return holds_catalogue(f, code_page); })) {
    std::string names;
    for (auto& f : files) names += (names.empty() ? "" : ", ") + f;
    throw std::runtime_error(names + ": no table " + kCatalogueTable + ", which a catalogue needs");
  }
  CatalogueOutput output(out);
  JetTotals t = CopyJetFiles(files, output.folder(), code_page, report, notes);
  if (!t.directory)
    notes << "kvistur build: no file holds " << kDirectoryTable << ": no directory database was made\n";
  output.Commit();
  report << "read " << t.files << (t.files == 1 ? " file, " : " files, ") << t.tables
         << (t.tables == 1 ? " table, " : " tables, ") << t.read
         << " rows; written " << t.written << " rows into " << output.target() << "\n";
  return 0;
}

}  // namespace kvistur::import
