#include "import/catalogue_writer.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "import/indexes.h"
#include "kvistur/text.h"
#include "kvistur/variant.h"
#include "platform/sqlite_functions.h"

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

std::string SettingsText(const std::string& target) {
  return "[Grunnur]\nSlóð=" + target + "\nGrunnNafn=" + kCatalogueFile + "\nkv_local=" + kDirectoryFile +
         "\n[Debug]\nNoDebug=0\n[Leit]\nFjöldi=250\n[Prentun]\nListaTegund=3\n";
}

void WriteSettings(const std::string& folder, const std::string& target) {
  for (const char* name : {"lindrit-1.0.ini", "lindrit.ini"}) {
    std::string file = folder + "/" + name;
    std::ofstream f(file, std::ios::binary | std::ios::trunc);
    f << SettingsText(target);
    if (!f.flush()) throw std::runtime_error("cannot write " + file);
  }
}

namespace {

// Rows of the word index written by one INSERT.
constexpr int kLinksPerInsert = 64;

void step(sqlite3* db, sqlite3_stmt* st) {
  if (sqlite3_step(st) != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db));
  sqlite3_reset(st);
  sqlite3_clear_bindings(st);
}

void text(sqlite3_stmt* st, int i, const std::string& s) {
  sqlite3_bind_text(st, i, s.data(), int(s.size()), SQLITE_TRANSIENT);
}
// For values that outlive the statement's step: SQLite reads them in place.
void text_in_place(sqlite3_stmt* st, int i, const std::string& s) {
  sqlite3_bind_text(st, i, s.data(), int(s.size()), SQLITE_STATIC);
}

// When the record was catalogued: field 005 when it reads as a date, else
// OTHERWISE (the time the writing began).
std::string catalogued(const std::string& f005, const std::string& otherwise) {
  if (f005.size() >= 14 && f005.find_first_not_of("0123456789.") == std::string::npos)
    return f005.substr(0, 4) + "-" + f005.substr(4, 2) + "-" + f005.substr(6, 2) + " " + f005.substr(8, 2) + ":" +
           f005.substr(10, 2) + ":" + f005.substr(12, 2);
  return otherwise;
}

sqlite3_stmt* prepare_on(sqlite3* db, const char* sql) {
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) != SQLITE_OK) {
    sqlite3_finalize(st);
    throw std::runtime_error(sqlite3_errmsg(db));
  }
  return st;
}

}  // namespace

int32_t WordNumbers::find(std::string_view word) const {
  std::size_t h = std::hash<std::string_view>()(word);
  for (std::size_t i = home(h);; i = (i + 1) & (slots_.size() - 1)) {
    const Slot& s = slots_[i];
    if (!s.number) return 0;
    if (s.hash == h && std::string_view(text_).substr(s.at, s.length) == word) return s.number;
  }
}

void WordNumbers::add(std::string_view word, int32_t number) {
  if (2 * (used_ + 1) > slots_.size()) {  // kept at most half full
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    for (const Slot& s : old)
      if (s.number) {
        std::size_t i = home(s.hash);
        while (slots_[i].number) i = (i + 1) & (slots_.size() - 1);
        slots_[i] = s;
      }
  }
  std::size_t h = std::hash<std::string_view>()(word);
  std::size_t i = home(h);
  while (slots_[i].number) i = (i + 1) & (slots_.size() - 1);
  slots_[i] = Slot{h, uint32_t(text_.size()), uint32_t(word.size()), number};
  text_.append(word);
  ++used_;
}

RecordRows::RecordRows(sqlite3* db) : db_(db), now_(to_utf8(iso_text(EmptyRecord().Skráning))) {
  try {
    record_ = prepare_on(db,
        "INSERT INTO Móðurtafla (ID, Skráning, ISBN, Marktákn1, Marktákn2, Marktákn3, Marktákn4, ÖllFærslan, "
        "MarkSnið, Upprunafærsla, Röðunarsvið, Tag, Uppruni, Safndeild, UpprunaID, Einkennisstrengur) "
        "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,0,?,0,?)");
    source_ = prepare_on(db, "INSERT INTO Frumfærsla (ID, Stjórnnúmer, Stofnun, Færsla) VALUES (?,?,?,?)");
    copy_ = prepare_on(db,
        "INSERT INTO Aðfanganúmer (Aðfanganúmer, Athugasemd, Staðsetning, Móðurbendir, Tag, Lánþegabendir) "
        "VALUES (?,?,?,?,?,?)");
    volume_ = prepare_on(db, "INSERT INTO Árgangur (ID, MóðurID, Númer, Árgangur, Útgáfuár) VALUES (?,?,?,?,?)");
    issue_ = prepare_on(db, "INSERT INTO Tölublað (MóðurID, Númer, Tölublað) VALUES (?,?,?)");
    sqlite3_stmt* top = prepare_on(db, "SELECT coalesce(max(ID), 0) + 1 FROM Árgangur");
    if (sqlite3_step(top) == SQLITE_ROW) next_volume_ = sqlite3_column_int(top, 0);
    sqlite3_finalize(top);
  } catch (...) {
    this->~RecordRows();
    throw;
  }
}

RecordRows::~RecordRows() {
  for (sqlite3_stmt* st : {record_, source_, copy_, volume_, issue_}) sqlite3_finalize(st);
  record_ = source_ = copy_ = volume_ = issue_ = nullptr;
}

void RecordRows::Write(int32_t id, const ImportedRecord& r, int32_t host) {
  const CatalogueRecord& c = r.record;
  std::string when = catalogued(r.record_date, now_), m1 = to_utf8(c.Marktákn1), m2 = to_utf8(c.Marktákn2),
              m3 = to_utf8(c.Marktákn3), m4 = to_utf8(c.Marktákn4);
  sqlite3_bind_int(record_, 1, id);
  text_in_place(record_, 2, when);
  if (!r.isbn.empty()) text_in_place(record_, 3, r.isbn);
  text_in_place(record_, 4, m1);
  text_in_place(record_, 5, m2);
  text_in_place(record_, 6, m3);
  text_in_place(record_, 7, m4);
  text_in_place(record_, 8, r.whole_text);
  text_in_place(record_, 9, r.marc_text);
  sqlite3_bind_int(record_, 10, host);
  text_in_place(record_, 11, r.sort_key);
  sqlite3_bind_int(record_, 12, r.kind);
  sqlite3_bind_int(record_, 13, r.collection);
  text_in_place(record_, 14, r.identity);
  step(db_, record_);

  sqlite3_bind_int(source_, 1, id);
  if (!r.control_number.empty()) text_in_place(source_, 2, r.control_number);
  if (!r.agency.empty()) text_in_place(source_, 3, r.agency);
  sqlite3_bind_blob(source_, 4, r.source.data(), int(r.source.size()), SQLITE_STATIC);
  step(db_, source_);

  for (auto& cp : r.copies) {
    sqlite3_bind_int(copy_, 1, cp.number);
    text_in_place(copy_, 2, cp.note);
    text_in_place(copy_, 3, cp.location);
    sqlite3_bind_int(copy_, 4, id);
    sqlite3_bind_int(copy_, 5, 1);
    sqlite3_bind_int(copy_, 6, cp.borrower);
    step(db_, copy_);
  }
  for (auto& v : r.volumes) {
    int32_t vid = next_volume_++;
    sqlite3_bind_int(volume_, 1, vid);
    sqlite3_bind_int(volume_, 2, id);
    sqlite3_bind_int(volume_, 3, v.number);
    text(volume_, 4, v.designation);
    text(volume_, 5, v.year);
    step(db_, volume_);
    for (auto& is : v.issues) {
      sqlite3_bind_int(issue_, 1, vid);
      sqlite3_bind_int(issue_, 2, is.number);
      text(issue_, 3, is.designation);
      step(db_, issue_);
    }
  }
}

CatalogueWriter::CatalogueWriter(const std::string& dir) : dir_(dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  db_ = CreateDatabase(dir + "/" + kCatalogueFile);
  try {
    db::register_kv_functions(db_);
    // A new file that no host reads yet (output.h): nothing to protect.
    exec("PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;");
    exec(kCatalogueTables);
    exec("BEGIN");
    rows_ = std::make_unique<RecordRows>(db_);
    word_ = prepare("INSERT INTO Orð (ID, Orð) VALUES (?,?)");
    std::string links = "INSERT INTO Tengill (FærsluID, OrðID, HópID, Orðtag) VALUES (?,?,?,?)";
    for (int i = 1; i < kLinksPerInsert; ++i) links += ",(?,?,?,?)";
    link_ = prepare(links.c_str());
  } catch (...) {
    this->~CatalogueWriter();
    db_ = nullptr;
    throw;
  }
}

CatalogueWriter::~CatalogueWriter() {
  rows_.reset();
  for (sqlite3_stmt* st : {word_, link_}) sqlite3_finalize(st);
  word_ = link_ = nullptr;
  if (db_) sqlite3_close(db_);
  db_ = nullptr;
}

void CatalogueWriter::exec(const char* sql) { ExecSql(db_, sql); }

sqlite3_stmt* CatalogueWriter::prepare(const char* sql) { return prepare_on(db_, sql); }

int32_t CatalogueWriter::Add(const ImportedRecord& r) {
  int32_t id = next_id_++;
  rows_->Write(id, r, 0);
  if (!r.control_number.empty()) by_control_.emplace(r.control_number, id);
  if ((r.kind == kKindComponent || r.kind == kKindArticle) && !r.host_control.empty())
    parts_.push_back({id, r.host_control});
  std::vector<int> groups = RecordGroups(r.kind);
  for (auto& w : r.words) {
    // Words are looked up as written first: folding (which makes two
    // spellings that differ only in case one word) is done once per word.
    int32_t wid = word_by_text_.find(w.word);
    if (!wid) {
      std::string key = db::fold_utf8(w.word);
      auto it = word_ids_.find(key);
      if (it == word_ids_.end()) {
        wid = int32_t(word_ids_.size()) + 1;
        word_ids_.emplace(key, wid);
        sqlite3_bind_int(word_, 1, wid);
        text(word_, 2, w.word);
        step(db_, word_);
      } else {
        wid = it->second;
      }
      word_by_text_.add(w.word, wid);
    }
    for (int g : groups) links_.push_back(Link{wid, id, g, w.field});
  }
  return id;
}

int CatalogueWriter::Finish(const Progress& progress) {
  int missing = 0;
  sqlite3_stmt* host = prepare("UPDATE Móðurtafla SET Upprunafærsla = ? WHERE ID = ?");
  for (auto& [part, control] : parts_) {
    auto it = by_control_.find(control);
    if (it == by_control_.end()) {
      ++missing;
      continue;
    }
    sqlite3_bind_int(host, 1, it->second);
    sqlite3_bind_int(host, 2, part);
    step(db_, host);
  }
  sqlite3_finalize(host);
  sqlite3_stmt* stop = prepare("INSERT INTO EkkiOrð (EkkiOrð) VALUES (?)");
  for (auto& w : default_stop_words()) {
    text(stop, 1, w);
    step(db_, stop);
  }
  sqlite3_finalize(stop);
  // The word index in key order, each row once (a word met twice in the
  // same field of a record is one row).
  std::sort(links_.begin(), links_.end());
  links_.erase(std::unique(links_.begin(), links_.end()), links_.end());
  long total = long(links_.size()), done = 0;
  sqlite3_stmt* one = prepare("INSERT INTO Tengill (FærsluID, OrðID, HópID, Orðtag) VALUES (?,?,?,?)");
  for (std::size_t at = 0; at < links_.size();) {
    // Many rows to a statement: SQLite's work per statement is then spent
    // once for them all.
    bool whole = links_.size() - at >= std::size_t(kLinksPerInsert);
    sqlite3_stmt* st = whole ? link_ : one;
    int rows = whole ? kLinksPerInsert : 1;
    for (int k = 0; k < rows; ++k, ++at) {
      const Link& l = links_[at];
      sqlite3_bind_int(st, 4 * k + 1, l.record);
      sqlite3_bind_int(st, 4 * k + 2, l.word);
      sqlite3_bind_int(st, 4 * k + 3, l.group);
      sqlite3_bind_int(st, 4 * k + 4, l.field);
    }
    step(db_, st);
    done += rows;
    if (progress && done % 65536 < rows) progress("word index", done, total);
  }
  sqlite3_finalize(one);
  if (progress) progress("word index", total, total);
  std::vector<Link>().swap(links_);
  if (progress) progress("indexes", 0, 0);
  CreateIndexes(db_);
  if (progress) progress("indexes", 1, 0);
  exec("COMMIT");

  sqlite3* d = CreateDatabase(dir_ + "/" + kDirectoryFile);
  try {
    ExecSql(d, kDirectoryTables);
    ExecSql(d, "BEGIN");
    sqlite3_stmt* st = nullptr;
    auto rows = [&](const char* sql, const std::vector<NamedNumber>& v) {
      sqlite3_prepare_v2(d, sql, -1, &st, nullptr);
      for (auto& n : v) {
        sqlite3_bind_int(st, 1, n.id);
        text(st, 2, n.name);
        text(st, 3, n.description);
        step(d, st);
      }
      sqlite3_finalize(st);
    };
    rows("INSERT INTO databases (ID, Name, Description) VALUES (?,?,?)", collections());
    rows("INSERT INTO DBGroups (ID, Name, Description) VALUES (?,?,?)", groups());
    sqlite3_prepare_v2(d, "INSERT INTO QueryTypes (QueryID, QueryTypeName, GroupID) VALUES (?,?,?)", -1, &st, nullptr);
    for (auto& g : groups())
      for (auto& f : search_fields()) {
        sqlite3_bind_int(st, 1, f.id);
        text(st, 2, f.name);
        sqlite3_bind_int(st, 3, g.id);
        step(d, st);
      }
    sqlite3_finalize(st);
    sqlite3_prepare_v2(d, "INSERT INTO relations (dbID, GroupID) VALUES (?,?)", -1, &st, nullptr);
    for (auto& g : groups())
      for (auto& c : collections()) {
        if (g.id == kGroupPeriodicals && c.id != 1) continue;
        sqlite3_bind_int(st, 1, c.id);
        sqlite3_bind_int(st, 2, g.id);
        step(d, st);
      }
    sqlite3_finalize(st);
    ExecSql(d, "COMMIT");
  } catch (...) {
    sqlite3_close(d);
    throw;
  }
  sqlite3_close(d);
  return missing;
}

}  // namespace kvistur::import
