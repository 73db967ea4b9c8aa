#include "import/store/catalogue_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <stdexcept>

#include "import/store/facet_writer.h"
#include "import/store/indexes.h"
#include "import/store/ordered_map.h"
#include "import/store/search_index.h"
#include "search/record_order.h"
#include "kvistur/text.h"
#include "kvistur/variant.h"
#include "platform/sqlite_functions.h"
#include "settings/settings_edit.h"

namespace kvistur::import {

const char kCatalogueTables[] = R"(
CREATE TABLE Móðurtafla (ID INTEGER PRIMARY KEY, Skráning TEXT, ISBN TEXT, Marktákn1 TEXT, Marktákn2 TEXT,
  Marktákn3 TEXT, Marktákn4 TEXT, ÖllFærslan TEXT, MarkSnið TEXT, Upprunafærsla INTEGER, Röðunarsvið TEXT,
  Tag INTEGER, Uppruni INTEGER, Safndeild INTEGER, UpprunaID INTEGER, Einkennisstrengur TEXT);
CREATE TABLE Aðfanganúmer (Aðfanganúmer INTEGER, Athugasemd TEXT, Staðsetning TEXT, Móðurbendir INTEGER,
  Tag INTEGER, Lánþegabendir INTEGER);
CREATE TABLE ValdarFærslur (Valdar INTEGER);
CREATE TABLE EkkiOrð (EkkiOrð TEXT);
CREATE TABLE Orð (ID INTEGER PRIMARY KEY, Orð TEXT);
CREATE TABLE Tengill (FærsluID INTEGER, OrðID INTEGER, HópID INTEGER, Orðtag INTEGER,
  PRIMARY KEY (OrðID, FærsluID, HópID, Orðtag)) WITHOUT ROWID;
CREATE TABLE Árgangur (ID INTEGER, MóðurID INTEGER, Númer INTEGER, Árgangur TEXT, Útgáfuár TEXT);
CREATE TABLE Tölublað (MóðurID INTEGER, Númer INTEGER, Tölublað TEXT);
CREATE TABLE Frumfærsla (ID INTEGER PRIMARY KEY, Stjórnnúmer TEXT, Stofnun TEXT, Færsla BLOB);
)";

const char kDirectoryTables[] = R"(
CREATE TABLE databases (ID INTEGER, Name TEXT, Description TEXT);
CREATE TABLE DBGroups (ID INTEGER, Name TEXT, Description TEXT);
CREATE TABLE QueryTypes (QueryID INTEGER, QueryTypeName TEXT, GroupID INTEGER);
CREATE TABLE relations (dbID INTEGER, GroupID INTEGER);
)";

const std::vector<NamedNumber>& collections() {
  static const std::vector<NamedNumber> v = {
      {1, "Aðalsafn", "Aðalsafn, Tryggvagötu"},
      {2, "Útibú", "Útibúið í Gerðubergi"},
  };
  return v;
}

const std::vector<std::string>& default_stop_words() {
  static const std::vector<std::string> v = {"og", "að", "í", "á", "um", "til", "frá", "með", "af", "fyrir",
                                             "en", "eða", "sem", "er", "við", "hinn", "hin", "hið",
                                             "the", "of", "and"};
  return v;
}

namespace {

// The values a build owns: where the databases are.
std::vector<SettingValue> owned_settings(const std::string& target) {
  return {{u"Grunnur", u"Slóð", from_utf8(target)},
          {u"Grunnur", u"GrunnNafn", from_utf8(kCatalogueFile)},
          {u"Grunnur", u"kv_local", from_utf8(kDirectoryFile)}};
}

// The values a build adds only where a settings file lacks them.
const std::vector<SettingValue>& default_settings() {
  static const std::vector<SettingValue> v = {
      {u"Debug", u"NoDebug", u"0"}, {u"Leit", u"Fjöldi", u"250"}, {u"Prentun", u"ListaTegund", u"3"}};
  return v;
}

}  // namespace

std::string NewSettings(const std::string& target) { return EditSettings("", owned_settings(target), default_settings()); }

void WriteSettings(const std::string& folder, const std::string& target, const std::string& now) {
  const std::vector<SettingValue> owned = owned_settings(target);
  for (const char* name : kSettingsFiles) {
    std::string kept, file = now + "/" + name;
    if (std::filesystem::exists(file)) {
      std::ifstream in(file, std::ios::binary);
      if (in) kept.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      if (!in.is_open() || in.bad()) throw std::runtime_error("cannot read " + file);
    }
    std::string text;
    try {
      text = EditSettings(kept, owned, default_settings());
    } catch (const std::runtime_error& e) {
      throw std::runtime_error(file + ": " + e.what());
    }
    std::string staged = folder + "/" + name;
    std::ofstream f(staged, std::ios::binary | std::ios::trunc);
    f << text;
    if (!f.flush()) throw std::runtime_error("cannot write " + staged + ": " + std::strerror(errno));
  }
}

namespace {

// Records handed to the writing thread at a time: enough that handing over
// costs nothing beside the writing, few enough that the thread starts soon.
constexpr std::size_t kRecordsPerBatch = 256;

// The word index's rows in key order as a table SQLite reads
// (kv_new_links: record, word, grp, field), so that one INSERT ... SELECT
// writes them all: no values bound a row at a time, and one cursor on
// Tengill from the first row to the last, where a statement of a few rows
// found its place in the table again each time.  Reports every 65 536 rows
// read to PROGRESS.
struct LinkSource {
  const std::vector<WordLink>* links = nullptr;
  std::function<void(long done)> progress;
};

struct LinkTable {
  sqlite3_vtab base;
  LinkSource* source;
};
struct LinkCursor {
  sqlite3_vtab_cursor base;
  std::size_t at;
};

int link_connect(sqlite3* db, void* aux, int, const char* const*, sqlite3_vtab** out, char**) {
  int rc = sqlite3_declare_vtab(db, "CREATE TABLE x(record INTEGER, word INTEGER, grp INTEGER, field INTEGER)");
  if (rc != SQLITE_OK) return rc;
  auto* t = static_cast<LinkTable*>(sqlite3_malloc(sizeof(LinkTable)));
  if (!t) return SQLITE_NOMEM;
  std::memset(t, 0, sizeof *t);
  t->source = static_cast<LinkSource*>(aux);
  *out = &t->base;
  return SQLITE_OK;
}
int link_disconnect(sqlite3_vtab* t) {
  sqlite3_free(t);
  return SQLITE_OK;
}
int link_best_index(sqlite3_vtab*, sqlite3_index_info* info) {
  info->estimatedCost = 1e6;
  return SQLITE_OK;
}
int link_open(sqlite3_vtab*, sqlite3_vtab_cursor** out) {
  auto* c = static_cast<LinkCursor*>(sqlite3_malloc(sizeof(LinkCursor)));
  if (!c) return SQLITE_NOMEM;
  std::memset(c, 0, sizeof *c);
  *out = &c->base;
  return SQLITE_OK;
}
int link_close(sqlite3_vtab_cursor* c) {
  sqlite3_free(c);
  return SQLITE_OK;
}
int link_filter(sqlite3_vtab_cursor* c, int, const char*, int, sqlite3_value**) {
  reinterpret_cast<LinkCursor*>(c)->at = 0;
  return SQLITE_OK;
}
const LinkSource& link_source(sqlite3_vtab_cursor* c) { return *reinterpret_cast<LinkTable*>(c->pVtab)->source; }
int link_next(sqlite3_vtab_cursor* c) {
  std::size_t at = ++reinterpret_cast<LinkCursor*>(c)->at;
  const LinkSource& s = link_source(c);
  if (at % 65536 == 0 && s.progress) {
    try {
      s.progress(long(at));
    } catch (...) {
      return SQLITE_ERROR;
    }
  }
  return SQLITE_OK;
}
int link_eof(sqlite3_vtab_cursor* c) {
  const LinkSource& s = link_source(c);
  return !s.links || reinterpret_cast<LinkCursor*>(c)->at >= s.links->size();
}
int link_column(sqlite3_vtab_cursor* c, sqlite3_context* ctx, int column) {
  const WordLink& l = (*link_source(c).links)[reinterpret_cast<LinkCursor*>(c)->at];
  sqlite3_result_int(ctx, column == 0 ? l.record : column == 1 ? l.word : column == 2 ? l.group : l.field);
  return SQLITE_OK;
}
int link_rowid(sqlite3_vtab_cursor* c, sqlite3_int64* rowid) {
  *rowid = sqlite3_int64(reinterpret_cast<LinkCursor*>(c)->at);
  return SQLITE_OK;
}

// Read only, and only by its name (no CREATE VIRTUAL TABLE: nothing of it
// is written into the catalogue).
sqlite3_module link_module() {
  sqlite3_module m{};
  m.xConnect = link_connect;
  m.xBestIndex = link_best_index;
  m.xDisconnect = link_disconnect;
  m.xOpen = link_open;
  m.xClose = link_close;
  m.xFilter = link_filter;
  m.xNext = link_next;
  m.xEof = link_eof;
  m.xColumn = link_column;
  m.xRowid = link_rowid;
  return m;
}

// A new catalogue file in DIR with its tables, its transaction begun.
SqliteConnection new_catalogue(const std::string& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  SqliteConnection db = CreateDatabase(dir + "/" + kCatalogueFile);
  RegisterKvFunctions(db.get());
  // A new file that no host reads yet (output.h): nothing to protect.
  ExecSql(db.get(), "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;");
  // The indexes are made after the last record, when the other cores have
  // little left to do: SQLite sorts each index's keys on them too.
  ExecSql(db.get(), "PRAGMA threads=" + std::to_string(MappingHelpers()) + ";");
  ExecSql(db.get(), kCatalogueTables);
  CreateHoldingsIndex(db.get());
  ExecSql(db.get(), "BEGIN");
  return db;
}

// When the record was catalogued: field 005 when it reads as a date, else
// OTHERWISE (the time the writing began).
std::string catalogued(const std::string& f005, const std::string& otherwise) {
  if (f005.size() >= 14 && f005.find_first_not_of("0123456789.") == std::string::npos)
    return f005.substr(0, 4) + "-" + f005.substr(4, 2) + "-" + f005.substr(6, 2) + " " + f005.substr(8, 2) + ":" +
           f005.substr(10, 2) + ":" + f005.substr(12, 2);
  return otherwise;
}

// The directory database FILE: collections, groups, search fields and
// which collections each group searches.
void write_directory(const std::string& file) {
  SqliteConnection d = CreateDatabase(file);
  // A new file that no host reads yet, synced when the catalogue is put in
  // place (output.h): no journal, and no waiting for the disk at each table.
  ExecSql(d.get(), "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; BEGIN");
  ExecSql(d.get(), kDirectoryTables);
  auto rows = [&](const char* sql, const std::vector<NamedNumber>& v) {
    SqliteStatement st(d.get(), sql);
    for (auto& n : v) st.bind(1, n.id).bind(2, n.name).bind(3, n.description).run();
  };
  rows("INSERT INTO databases (ID, Name, Description) VALUES (?,?,?)", collections());
  rows("INSERT INTO DBGroups (ID, Name, Description) VALUES (?,?,?)", groups());
  {
    SqliteStatement st(d.get(), "INSERT INTO QueryTypes (QueryID, QueryTypeName, GroupID) VALUES (?,?,?)");
    for (auto& g : groups())
      for (auto& f : search_fields()) st.bind(1, f.id).bind(2, f.name).bind(3, g.id).run();
  }
  {
    SqliteStatement st(d.get(), "INSERT INTO relations (dbID, GroupID) VALUES (?,?)");
    for (auto& g : groups())
      for (auto& c : collections()) {
        if (g.id == kGroupPeriodicals && c.id != 1) continue;
        st.bind(1, c.id).bind(2, g.id).run();
      }
  }
  ExecSql(d.get(), "COMMIT");
}

}  // namespace

namespace {

// After a row whose number SQLite gave (one above the highest): that it is
// the number the rows of the catalogue give it elsewhere.
void expect_number(sqlite3* db, int64_t id) {
  if (sqlite3_last_insert_rowid(db) != id) throw std::logic_error("rows not written in the order of their numbers");
}

}  // namespace

RecordRows::RecordRows(sqlite3* db, bool in_order)
    : db_(db), in_order_(in_order), now_(to_utf8(iso_text(EmptyRecord().Skráning))),
      record_(db,
              "INSERT INTO Móðurtafla (ID, Skráning, ISBN, Marktákn1, Marktákn2, Marktákn3, Marktákn4, ÖllFærslan, "
              "MarkSnið, Upprunafærsla, Röðunarsvið, Tag, Uppruni, Safndeild, UpprunaID, Einkennisstrengur) "
              "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,0,?,0,?)"),
      source_(db, "INSERT INTO Frumfærsla (ID, Stjórnnúmer, Stofnun, Færsla) VALUES (?,?,?,?)"),
      copy_(db,
            "INSERT INTO Aðfanganúmer (Aðfanganúmer, Athugasemd, Staðsetning, Móðurbendir, Tag, Lánþegabendir) "
            "VALUES (?,?,?,?,?,?)"),
      volume_(db, "INSERT INTO Árgangur (ID, MóðurID, Númer, Árgangur, Útgáfuár) VALUES (?,?,?,?,?)"),
      issue_(db, "INSERT INTO Tölublað (MóðurID, Númer, Tölublað) VALUES (?,?,?)") {
  SqliteStatement top(db, "SELECT coalesce(max(ID), 0) + 1 FROM Árgangur");
  if (top.step()) next_volume_ = int32_t(top.integer(0));
}

void RecordRows::Write(int32_t id, const ImportedRecord& r, int32_t host) {
  const CatalogueRecord& c = r.record;
  std::string when = catalogued(r.record_date, now_), m1 = to_utf8(c.Marktákn1), m2 = to_utf8(c.Marktákn2),
              m3 = to_utf8(c.Marktákn3), m4 = to_utf8(c.Marktákn4);
  if (in_order_) record_.bind_null(1);
  else record_.bind(1, id);
  record_.bind_in_place(2, when);
  if (!r.isbn.empty()) record_.bind_in_place(3, r.isbn);
  record_.bind_in_place(4, m1).bind_in_place(5, m2).bind_in_place(6, m3).bind_in_place(7, m4);
  record_.bind_in_place(8, r.whole_text).bind_in_place(9, r.marc_text).bind(10, host).bind_in_place(11, r.sort_key);
  record_.bind(12, r.kind).bind(13, r.collection).bind_in_place(14, r.identity).run();
  if (in_order_) expect_number(db_, id);

  if (in_order_) source_.bind_null(1);
  else source_.bind(1, id);
  if (!r.control_number.empty()) source_.bind_in_place(2, r.control_number);
  if (!r.agency.empty()) source_.bind_in_place(3, r.agency);
  source_.bind_blob_in_place(4, r.source).run();
  if (in_order_) expect_number(db_, id);

  for (auto& cp : r.copies)
    copy_.bind(1, cp.number).bind_in_place(2, cp.note).bind_in_place(3, cp.location).bind(4, id).bind(5, 1)
        .bind(6, cp.borrower).run();
  for (auto& v : r.volumes) {
    int32_t vid = next_volume_++;
    volume_.bind(1, vid).bind(2, id).bind(3, v.number).bind(4, v.designation).bind(5, v.year).run();
    for (auto& is : v.issues) issue_.bind(1, vid).bind(2, is.number).bind(3, is.designation).run();
  }
}

CatalogueWriter::CatalogueWriter(const std::string& dir)
    : dir_(dir), db_(new_catalogue(dir)), writeback_(db_.get()), rows_(db_.get(), true),
      word_(db_.get(), "INSERT INTO Orð (ID, Orð) VALUES (?,?)"),
      writer_(std::make_unique<BatchThread<Batch>>([this](Batch& b) { write(b); })) {}

CatalogueWriter::~CatalogueWriter() = default;

void CatalogueWriter::exec(const char* sql) { ExecSql(db_.get(), sql); }

void CatalogueWriter::write(Batch& batch) {
  for (Staged& s : batch) {
    rows_.Write(s.id, s.record, 0);
    facts_.push_back(facets::FactsFromSource(s.record.source));
    // Numbered in order from 1, as the records: SQLite gives each word
    // its number.
    for (auto& [id, word] : s.words) {
      word_.bind_null(1).bind_in_place(2, word).run();
      expect_number(db_.get(), id);
    }
  }
  // Left for the mapping threads to free (Trim); the writer frees a batch
  // itself only when a few wait, or when none maps any more.
  constexpr std::size_t kSpentKept = 4;
  Batch oldest;
  std::lock_guard<std::mutex> lock(spent_lock_);
  spent_.push_back(std::move(batch));
  if (spent_.size() > kSpentKept) {
    oldest = std::move(spent_.front());
    spent_.pop_front();
  }
}

void CatalogueWriter::Trim(ImportedRecord& r) {
  CatalogueRecord kept;
  kept.Marktákn1 = std::move(r.record.Marktákn1);
  kept.Marktákn2 = std::move(r.record.Marktákn2);
  kept.Marktákn3 = std::move(r.record.Marktákn3);
  kept.Marktákn4 = std::move(r.record.Marktákn4);
  r.record = std::move(kept);
  Batch spent;
  {
    std::unique_lock<std::mutex> lock(spent_lock_, std::try_to_lock);
    if (!lock || spent_.empty()) return;
    spent = std::move(spent_.front());
    spent_.pop_front();
  }
}

int32_t CatalogueWriter::Add(ImportedRecord&& r) {
  int32_t id = next_id_++;
  if (!r.control_number.empty()) by_control_.emplace(r.control_number, id);
  if ((r.kind == kKindComponent || r.kind == kKindArticle) && !r.host_control.empty())
    parts_.push_back({id, r.host_control});
  std::vector<int> groups = RecordGroups(r.kind);
  // Room for the whole batch at once: grown by doubling, every record
  // staged so far would be moved at each step.
  if (batch_.capacity() == 0) batch_.reserve(kRecordsPerBatch);
  Staged& staged = batch_.emplace_back(Staged{id, {}, {}});
  // The words in runs: each run's slots and texts are asked of memory
  // before any of its words is looked up.
  constexpr std::size_t kRun = 32;
  uint32_t hashes[kRun];
  for (std::size_t from = 0; from < r.words.size(); from += kRun) {
    const std::size_t n = std::min(kRun, r.words.size() - from);
    for (std::size_t i = 0; i < n; ++i) {
      hashes[i] = TextNumbers::hash_of(r.words[from + i].word);
      word_by_text_.prefetch_slot(hashes[i]);
    }
    for (std::size_t i = 0; i < n; ++i) word_by_text_.prefetch_text(hashes[i]);
    for (std::size_t i = 0; i < n; ++i) {
      const WordOccurrence& w = r.words[from + i];
      // Words are looked up as written first: folding (which makes two
      // spellings that differ only in case one word) is done once per word.
      int32_t wid = word_by_text_.find(w.word, hashes[i]);
      if (!wid) {
        int32_t next = int32_t(word_ids_.size()) + 1;
        wid = word_ids_.emplace(db::fold_utf8(w.word), next);
        if (wid == next) staged.words.emplace_back(wid, w.word);
        word_by_text_.emplace(w.word, wid);
      }
      for (int g : groups) links_.push_back(WordLink{wid, id, g, w.field});
    }
  }
  // Room for the links of every record expected, at half again the rows
  // a record has had so far: pages not written to take no memory.
  constexpr int32_t kSampled = 1024;
  if (id == kSampled && expected_ > std::size_t(kSampled))
    links_.reserve(links_.size() * expected_ / std::size_t(kSampled) * 3 / 2);
  sort_keys_ += r.sort_key;
  sort_key_ends_.push_back(sort_keys_.size());
  kinds_.push_back(int32_t(r.kind));
  for (const CopyRow& c : r.copies) {
    copy_places_ += c.location;
    copy_ends_.emplace_back(id, copy_places_.size());
  }
  // The words stay with the caller, to be freed by the thread that made
  // them: freed on the writer's thread, each would wait on that thread's
  // malloc arena.
  std::vector<WordOccurrence> words = std::move(r.words);
  staged.record = std::move(r);
  r.words = std::move(words);
  if (batch_.size() == kRecordsPerBatch) {
    writer_->Hand(std::move(batch_));
    batch_.clear();
  }
  return id;
}

int CatalogueWriter::Finish(const Progress& progress) {
  if (!batch_.empty()) writer_->Hand(std::move(batch_));
  batch_.clear();
  // The word index in key order, each row once (a word met twice in the
  // same field of a record is one row), while the last records are written.
  SortWordLinks(links_, int32_t(word_ids_.size()));
  writer_->Finish();
  // Each record's host (Upprunafærsla): the first record of the control
  // number its 773 $w names, 0 when the input has none.
  std::vector<int32_t> hosts(kinds_.size(), 0);
  for (auto& [part, control] : parts_) hosts[std::size_t(part) - 1] = by_control_.find(control);
  // The stored index and the facet data are worked out from what is held
  // here, on another thread while this one writes the word index and the
  // plain indexes: what reading those tables back would give.
  struct SearchData {
    PreparedIndex index;
    facets::FacetRows facets;
  };
  std::future<SearchData> prepared = std::async(std::launch::async, [this, &hosts] {
    SearchData out;
    std::vector<std::string_view> folds(word_ids_.size());
    word_ids_.for_each([&](std::string_view fold, int32_t id) { folds[std::size_t(id) - 1] = fold; });
    // Móðurtafla's rows as written: the record's number, its sort text, an
    // identifying string (never null) and its kind.
    out.index = PrepareSearchIndex(
        [this](::kvistur::RecordRows& rows) {
          std::size_t from = 0;
          for (std::size_t i = 0; i < kinds_.size(); ++i) {
            std::string_view key = std::string_view(sort_keys_).substr(from, sort_key_ends_[i] - from);
            from = sort_key_ends_[i];
            rows.add(Variant(int32_t(i + 1)), Variant(from_utf8(key)), false, Variant(kinds_[i]));
          }
        },
        int32_t(word_ids_.size()), links_, folds);
    // Each record with its host (as set below), then the copies in the
    // order of their rows.
    facets::FacetTable::Builder b;
    for (std::size_t i = 0; i < kinds_.size(); ++i) b.record(int32_t(i + 1), kinds_[i], hosts[i], facts_[i]);
    std::size_t from = 0;
    for (auto& [holder, end] : copy_ends_) {
      b.copy(holder, std::string_view(copy_places_).substr(from, end - from));
      from = end;
    }
    out.facets = b.rows();
    return out;
  });
  int missing = 0;
  {
    SqliteStatement host(db_.get(), "UPDATE Móðurtafla SET Upprunafærsla = ? WHERE ID = ?");
    for (auto& [part, control] : parts_) {
      const int32_t host_id = hosts[std::size_t(part) - 1];
      if (!host_id) {
        ++missing;
        continue;
      }
      host.bind(1, host_id).bind(2, part).run();
    }
    SqliteStatement stop(db_.get(), "INSERT INTO EkkiOrð (EkkiOrð) VALUES (?)");
    for (auto& w : default_stop_words()) stop.bind(1, w).run();
  }
  long total = long(links_.size());
  {
    static const sqlite3_module module = link_module();
    LinkSource source{&links_, {}};
    if (progress) source.progress = [&](long done) { progress("word index", done, total); };
    if (sqlite3_create_module_v2(db_.get(), "kv_new_links", &module, &source, nullptr) != SQLITE_OK)
      throw std::runtime_error(sqlite3_errmsg(db_.get()));
    // Dropped again however this ends: it points at SOURCE.
    struct Drop {
      sqlite3* db;
      ~Drop() { sqlite3_create_module_v2(db, "kv_new_links", nullptr, nullptr, nullptr); }
    } drop{db_.get()};
    SqliteStatement(db_.get(),
                    "INSERT INTO Tengill (FærsluID, OrðID, HópID, Orðtag) SELECT record, word, grp, field FROM kv_new_links")
        .run();
  }
  if (progress) progress("word index", total, total);
  if (progress) progress("indexes", 0, 0);
  CreateIndexes(db_.get(), [&](sqlite3* db) {
    SearchData data = prepared.get();
    std::vector<WordLink>().swap(links_);
    std::string().swap(sort_keys_);
    std::string().swap(copy_places_);
    WriteSearchIndex(db, *data.index, [&](sqlite3* d) { WriteFacetData(d, &data.facets); });
  });
  if (progress) progress("indexes", 1, 0);
  exec("COMMIT");
  write_directory(dir_ + "/" + kDirectoryFile);
  return missing;
}

}  // namespace kvistur::import
