// Measures Kvistur's search against the engines a user would pick instead,
// each in the configuration its documentation recommends for this work:
// SQLite FTS5 and Xapian, indexed with the same words, groups and search
// fields as the catalogue's word index, with the documents numbered in the
// order of the sort text (so both hand back hits already in order and stop
// after the first 50), asked the same queries and building the same 50
// descriptions.
//
//   compare_engines --catalogue DIR [--reps N] [--queries N] [--cold] [--engines FTS5,Xapian]
//   compare_engines --catalogue DIR --only "TERMS|TERMS..." [--reps N] [--engine NAME] [--evict MB]
//   compare_engines --catalogue DIR --mix [--queries N]
//
// DIR is a catalogue made by `kvistur generate` or `kvistur build`
// (katalogur.sqlite, skra.sqlite, System.mdw).  The FTS5 and Xapian indexes
// are built beside it on first use (DIR/fts5-ordered.sqlite,
// DIR/xapian-ordered/).  Every file of the three is read once before
// anything is timed, so that all start from the page cache.  Each query
// runs first on every engine, timed
// ("first run"); the engines' answers are then compared (hit counts,
// counted apart from the timed runs, and the first 50 records with their
// descriptions); then every query runs N more times per engine,
// interleaved ("repeated").  With --cold each query also runs alone in a
// new process per engine ("cold process": the engine opened, the query
// run once), and each engine runs the whole mix alone in a process of its
// own, whose peak memory is its figure.  Prints medians and 95th
// percentiles, ratios, peak memory and index sizes.  --engines names the
// engines Kvistur is compared with (both by default), for a catalogue
// whose indexes would not all fit on the disk.  --mix prints the query mix,
// one query a line (class, group, field and terms, tab-separated), and
// builds nothing: other benchmarks (bench/zebra) ask the same queries.
// --only runs the queries given (terms separated by blanks, queries by
// "|") on one engine (Kvistur by default; FTS5 and Xapian need the indexes
// a full run built), each REPS times in turn, and prints each query's
// first and median time and the median and 90th percentile of the first
// runs.  --evict MB writes to MB of memory of its own before every timed
// run, so that the run finds the processor's caches as other work leaves
// them (in the full run, the other engines' runs and counts come between
// one engine's queries).  The settings the component reads are written to
// a folder of their own under the temporary folder, removed at the end.
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xapian.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "kvistur/faersla.h"
#include "platform/sqlite_functions.h"
#include "search/word_file.h"
#include "query_mix.h"

using namespace kvistur;
using namespace kvistur::bench;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kMax = 50;
const char* const kEngines[] = {"Kvistur", "FTS5", "Xapian"};
// The engines compared (--engines): a catalogue too big for a disk may be
// compared with one of the others only.
bool g_use[3] = {true, true, true};

double ms_since(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

// The tokens one word occurrence gives, so that a term restricted to a group,
// a search field or both is one token: w, g1qw, f2qw, g1f2qw.
std::vector<std::string> tokens(const std::string& folded, int64_t group, int64_t field) {
  std::string g = "g" + std::to_string(group), f = "f" + std::to_string(field);
  return {folded, g + "q" + folded, f + "q" + folded, g + f + "q" + folded};
}

std::string restricted(const std::string& folded, int group, int field) {
  std::string p;
  if (group >= 0) p += "g" + std::to_string(group);
  if (field >= 0) p += "f" + std::to_string(field);
  return p.empty() ? folded : p + "q" + folded;
}

std::string fts_file(const std::string& dir) { return dir + "/fts5-ordered.sqlite"; }
std::string xapian_dir(const std::string& dir) { return dir + "/xapian-ordered"; }

// Both indexes number the records in the order of their sort texts (the
// collation key of the text, then the record number): document 1 is the
// first record in that order.  FTS5: contentless, detail=none, no column
// sizes, prefix indexes 2-4, merged into one segment; the record numbers in
// a table by document number.  Xapian: boolean terms, the record number as
// the document's data, the database compacted.
void build_indexes(const std::string& dir) {
  std::string fts = fts_file(dir), xap = xapian_dir(dir);
  const bool want_fts = g_use[1] && !fs::exists(fts), want_xap = g_use[2] && !fs::exists(xap);
  if (!want_fts && !want_xap) return;
  if (want_fts) fs::remove(fts);
  if (want_xap) fs::remove_all(xap);
  fs::remove_all(xap + ".tmp");
  auto t0 = Clock::now();
  std::cerr << "building the FTS5 and Xapian indexes ...\n";
  Db c(dir + "/katalogur.sqlite");

  // The order, and every record's word occurrences.
  struct Doc {
    std::string key;
    int64_t id;
  };
  std::vector<Doc> docs;
  {
    Stmt s(c.db, "SELECT ID, Röðunarsvið FROM Móðurtafla");
    while (s.step()) docs.push_back({sort_key_ci(from_utf8(s.text(1))), s.integer(0)});
  }
  std::unordered_map<int64_t, std::size_t> known;
  for (std::size_t i = 0; i < docs.size(); ++i) known[docs[i].id] = i;
  std::vector<std::string> words;
  std::unordered_map<int64_t, uint32_t> word_index;
  {
    Stmt s(c.db, "SELECT ID, Orð FROM Orð");
    while (s.step()) {
      word_index[s.integer(0)] = uint32_t(words.size());
      words.push_back(db::fold_utf8(s.text(1)));
    }
  }
  struct Occ {
    uint32_t doc, word;
    int32_t group, field;
  };
  std::vector<Occ> occ;
  {
    Stmt s(c.db, "SELECT FærsluID, OrðID, HópID, Orðtag FROM Tengill");
    while (s.step()) {
      auto w = word_index.find(s.integer(1));
      if (w == word_index.end()) continue;
      auto d = known.find(s.integer(0));
      if (d == known.end()) {  // a record number without a row sorts as the empty text
        d = known.emplace(s.integer(0), docs.size()).first;
        docs.push_back({"", s.integer(0)});
      }
      occ.push_back({uint32_t(d->second), w->second, int32_t(s.integer(2)), int32_t(s.integer(3))});
    }
  }
  std::vector<uint32_t> order(docs.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = uint32_t(i);
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    return docs[a].key != docs[b].key ? docs[a].key < docs[b].key : docs[a].id < docs[b].id;
  });
  std::vector<uint32_t> position(docs.size());
  for (std::size_t p = 0; p < order.size(); ++p) position[order[p]] = uint32_t(p + 1);
  std::sort(occ.begin(), occ.end(), [&](const Occ& a, const Occ& b) { return position[a.doc] < position[b.doc]; });
  std::cerr << "  read and ordered in " << int(ms_since(t0) / 1000) << " s\n";

  // The engine not wanted writes into a throw-away file.
  std::string fts_out = want_fts ? fts : fts + ".unused", xap_out = want_xap ? xap + ".tmp" : xap + ".unused";
  Db f(want_fts ? fts_out : ":memory:", true);
  // FTS5 flushes its pending terms to a new segment at every megabyte by
  // default, and merges those segments again and again as they pile up; at
  // ten million records that is most of the build.  A larger buffer and
  // cache make fewer, larger segments; 'optimize' below merges them into one
  // all the same, so the index searched is the same.
  f.exec("PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; PRAGMA cache_size=-524288;"
         "CREATE VIRTUAL TABLE fts USING fts5(t, content='', detail=none, columnsize=0, prefix='2 3 4',"
         " tokenize=\"unicode61 remove_diacritics 0 tokenchars '0123456789'\");"
         "INSERT INTO fts(fts, rank) VALUES('hashsize', 268435456);"
         "CREATE TABLE docs(pos INTEGER PRIMARY KEY, id INTEGER); BEGIN;");
  std::unique_ptr<Xapian::WritableDatabase> xp;
  if (want_xap) xp = std::make_unique<Xapian::WritableDatabase>(xap_out, Xapian::DB_CREATE_OR_OVERWRITE);
  Stmt ins(f.db, "INSERT INTO fts(rowid, t) VALUES(?, ?)");
  Stmt insd(f.db, "INSERT INTO docs(pos, id) VALUES(?, ?)");
  std::size_t i = 0;
  long n = 0;
  while (i < occ.size()) {
    uint32_t d = occ[i].doc;
    std::string text;
    Xapian::Document doc;
    for (; i < occ.size() && occ[i].doc == d; ++i) {
      const std::string& w = words[occ[i].word];
      if (w.empty()) continue;
      for (auto& t : tokens(w, occ[i].group, occ[i].field)) {
        text += t + " ";
        doc.add_boolean_term(t);
      }
    }
    if (want_fts) {
      sqlite3_bind_int64(ins.s, 1, position[d]);
      sqlite3_bind_text(ins.s, 2, text.c_str(), -1, SQLITE_TRANSIENT);
      if (sqlite3_step(ins.s) != SQLITE_DONE) die("fts insert");
      sqlite3_reset(ins.s);
      sqlite3_bind_int64(insd.s, 1, position[d]);
      sqlite3_bind_int64(insd.s, 2, docs[d].id);
      sqlite3_step(insd.s);
      sqlite3_reset(insd.s);
    }
    if (want_xap) {
      doc.set_data(std::to_string(docs[d].id));
      xp->replace_document(Xapian::docid(position[d]), doc);
    }
    if (++n % 100000 == 0) std::cerr << "  " << n << " records (" << int(ms_since(t0) / 1000) << " s)\n";
  }
  f.exec(want_fts ? "COMMIT; INSERT INTO fts(fts) VALUES('optimize'); VACUUM;" : "COMMIT;");
  if (want_xap) {
    xp->commit();
    xp->compact(xap);
    xp->close();
    fs::remove_all(xap + ".tmp");
  }
  std::cerr << "  built in " << int(ms_since(t0) / 1000) << " s\n";
}

struct Answer {
  long count = -1;  // -1: not counted
  std::vector<int32_t> first;
  std::vector<std::string> descriptions;
};

// The descriptions of the first records, the same way for both other
// engines: fetched and described through the component's own methods.
std::vector<std::string> describe(Faersla& f, const std::vector<int32_t>& ids) {
  std::vector<std::string> out;
  for (int32_t id : ids) {
    Variant vid(id), oll, mark, rodun;
    f.FaerslaFraID(vid, oll, mark, rodun);
    try {
      out.push_back(to_utf8(f.SkilaRSv(oll, mark)));
    } catch (const Error&) {
      out.push_back("");
    }
  }
  return out;
}

Answer run_kvistur(Faersla& f, const Query& q, int32_t max) {
  Variant group(int32_t(q.group)), field(int32_t(q.field)), str(from_utf8(q.text()));
  SafeArray<Text> svar, einkenni, stop(0, {u""});
  SafeArray<int32_t> ids;
  int32_t k = f.Leita(group, field, str, svar, ids, einkenni, stop, max);
  Answer a;
  if (k < max) a.count = k;
  for (int32_t i = 1; i <= k; ++i) a.first.push_back(ids(i));
  for (int32_t i = 1; i <= k; ++i) a.descriptions.push_back(to_utf8(svar(i)));
  return a;
}

std::string fts_match(const Query& q) {
  std::string match;
  for (auto& t : q.terms) {
    bool prefix = !t.empty() && t.back() == '*';
    std::string w = db::fold_utf8(prefix ? t.substr(0, t.size() - 1) : t);
    match += (match.empty() ? "" : " AND ") + std::string("\"") + restricted(w, q.group, q.field) + "\"" + (prefix ? "*" : "");
  }
  return match;
}

Answer run_fts(sqlite3* fts, Faersla& f, const Query& q) {
  Stmt s(fts,
         "SELECT d.id FROM (SELECT rowid AS pos FROM fts WHERE fts MATCH ? ORDER BY rowid LIMIT 50) h "
         "JOIN docs d ON d.pos = h.pos ORDER BY h.pos");
  std::string match = fts_match(q);
  sqlite3_bind_text(s.s, 1, match.c_str(), -1, SQLITE_TRANSIENT);
  Answer a;
  while (s.step()) a.first.push_back(int32_t(s.integer(0)));
  a.descriptions = describe(f, a.first);
  return a;
}

long count_fts(sqlite3* fts, const Query& q) {
  Stmt s(fts, "SELECT count(*) FROM fts WHERE fts MATCH ?");
  std::string match = fts_match(q);
  sqlite3_bind_text(s.s, 1, match.c_str(), -1, SQLITE_TRANSIENT);
  return s.step() ? long(s.integer(0)) : -1;
}

Xapian::Query xapian_query(const Query& q) {
  std::vector<Xapian::Query> parts;
  for (auto& t : q.terms) {
    bool prefix = !t.empty() && t.back() == '*';
    std::string w = restricted(db::fold_utf8(prefix ? t.substr(0, t.size() - 1) : t), q.group, q.field);
    parts.push_back(prefix ? Xapian::Query(Xapian::Query::OP_WILDCARD, w) : Xapian::Query(w));
  }
  return Xapian::Query(Xapian::Query::OP_AND, parts.begin(), parts.end());
}

Answer run_xapian(Xapian::Database& x, Faersla& f, const Query& q) {
  Xapian::Enquire e(x);
  e.set_query(xapian_query(q));
  e.set_weighting_scheme(Xapian::BoolWeight());
  e.set_docid_order(Xapian::Enquire::ASCENDING);
  Xapian::MSet m = e.get_mset(0, kMax);
  Answer a;
  for (auto it = m.begin(); it != m.end(); ++it) a.first.push_back(int32_t(std::stol(it.get_document().get_data())));
  a.descriptions = describe(f, a.first);
  return a;
}

long count_xapian(Xapian::Database& x, const Query& q) {
  Xapian::Enquire e(x);
  e.set_query(xapian_query(q));
  e.set_weighting_scheme(Xapian::BoolWeight());
  Xapian::MSet m = e.get_mset(0, 0, x.get_doccount());
  return long(m.get_matches_estimated());
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[std::min(v.size() - 1, std::size_t(p * (v.size() - 1) + 0.5))];
}

long long dir_size(const fs::path& p) {
  long long n = 0;
  if (fs::is_regular_file(p)) return (long long)fs::file_size(p);
  for (auto& e : fs::recursive_directory_iterator(p))
    if (e.is_regular_file()) n += (long long)e.file_size();
  return n;
}

long long table_bytes(const std::string& cat, const std::string& where) {
  Db c(cat);
  Stmt s(c.db, "SELECT sum(pgsize) FROM dbstat WHERE " + where);
  return s.step() ? s.integer(0) : 0;
}

// One engine in this process: opened on first use, so that a first query
// pays for opening it, as a new process would.
class Engines {
 public:
  explicit Engines(std::string dir) : dir_(std::move(dir)) {
    Text user = u"Admin", pw = u"";
    f_.LogOn(user, pw);
  }
  ~Engines() { sqlite3_close(fts_); }
  Answer run(int e, const Query& q) {
    if (e == 0) return run_kvistur(f_, q, kMax);
    if (e == 1) {
      if (!fts_ && sqlite3_open_v2(fts_file(dir_).c_str(), &fts_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
        die("cannot open the FTS5 index");
      return run_fts(fts_, f_, q);
    }
    if (!x_) x_ = std::make_unique<Xapian::Database>(xapian_dir(dir_));
    return run_xapian(*x_, f_, q);
  }
  long count(int e, const Query& q) { return e == 1 ? count_fts(fts_, q) : count_xapian(*x_, q); }

 private:
  std::string dir_;
  Faersla f_;
  sqlite3* fts_ = nullptr;
  std::unique_ptr<Xapian::Database> x_;
};

int engine_number(const std::string& name) {
  for (int e = 0; e < 3; ++e)
    if (name == kEngines[e]) return e;
  die("no engine " + name);
}

long resident_kib() {
  std::ifstream f("/proc/self/status");
  for (std::string line; std::getline(f, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

// A child process: ENGINE alone on the queries given, REPS runs each after
// the first; prints "first I MS", "again I MS" lines, "peak KiB" (the
// process's peak, which logging on's password hashing sets) and "used KiB"
// (the most the process held after any query, less what it held once
// logged on).
int child(const std::string& dir, int e, const std::vector<Query>& qs, const std::vector<std::size_t>& which, int reps) {
  Engines engines(dir);
  long base = resident_kib(), most = base;
  for (std::size_t i : which) {
    auto t0 = Clock::now();
    engines.run(e, qs[i]);
    std::printf("first %zu %.3f\n", i, ms_since(t0));
    most = std::max(most, resident_kib());
  }
  for (int r = 0; r < reps; ++r)
    for (std::size_t i : which) {
      auto t0 = Clock::now();
      engines.run(e, qs[i]);
      std::printf("again %zu %.3f\n", i, ms_since(t0));
      most = std::max(most, resident_kib());
    }
  struct rusage ru {};
  getrusage(RUSAGE_SELF, &ru);
  std::printf("peak %ld\nused %ld\n", ru.ru_maxrss, most - base);
  return 0;
}

// Runs this program as a child and reads its lines.
std::vector<std::string> run_child(const std::string& self, const std::string& args) {
  std::string cmd = "'" + self + "' " + args;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) die("cannot run " + cmd);
  std::vector<std::string> lines;
  char buf[512];
  while (std::fgets(buf, sizeof buf, p)) lines.emplace_back(buf);
  if (pclose(p) != 0) die("the child failed: " + cmd);
  return lines;
}

using Times = std::map<std::string, std::vector<double>>;

void table(const char* title, Times* t) {
  std::printf("\n%s\n\n", title);
  std::printf("| query class | Kvistur median (p95) | FTS5 median (p95) | Xapian median (p95) | Kvistur/FTS5 | Kvistur/Xapian |\n");
  std::printf("|---|---|---|---|---|---|\n");
  for (auto& [cls, kt] : t[0]) {
    double km = percentile(kt, 0.5), fm = percentile(t[1][cls], 0.5), xm = percentile(t[2][cls], 0.5);  // 0 when not run
    std::printf("| %s | %.2f (%.2f) | %.2f (%.2f) | %.2f (%.2f) | %.2f | %.2f |\n", cls.c_str(), km, percentile(kt, 0.95), fm,
                percentile(t[1][cls], 0.95), xm, percentile(t[2][cls], 0.95), fm > 0 ? km / fm : 0, xm > 0 ? km / xm : 0);
  }
}

// Writes to MB of memory, a cache line at a time, so that what ran before
// is no longer in the processor's caches.
void evict(std::size_t mb) {
  static std::vector<char> junk;
  static char v = 0;
  junk.resize(mb << 20);
  for (std::size_t i = 0; i < junk.size(); i += 64) junk[i] = ++v;
}

// Reads every file of the catalogue and of the rivals' indexes once, so
// that each engine's first runs find its files in the operating system's
// page cache, as a server's files are once it has run a while: the
// machines these runs are made on let cached pages go after a few minutes,
// and a first run that went to the disk for some engines and not others
// measured the disk.  Prints the megabytes read.
void read_into_page_cache(const std::string& dir) {
  std::vector<fs::path> files;
  for (const char* name : {"katalogur.sqlite", "skra.sqlite"}) {
    files.push_back(fs::canonical(fs::path(dir) / name));
    // The search's word file beside the database, when there is one.
    fs::path words = files.back().string() + kvistur::stored::kWordFileSuffix;
    if (fs::exists(words)) files.push_back(words);
  }
  if (fs::exists(fts_file(dir))) files.push_back(fts_file(dir));
  if (fs::exists(xapian_dir(dir)))
    for (auto& e : fs::directory_iterator(xapian_dir(dir)))
      if (e.is_regular_file()) files.push_back(e.path());
  std::vector<char> buf(std::size_t(1) << 20);
  long long bytes = 0;
  for (const fs::path& f : files) {
    std::ifstream in(f, std::ios::binary);
    while (in.read(buf.data(), std::streamsize(buf.size())) || in.gcount() > 0) bytes += in.gcount();
  }
  std::fprintf(stderr, "read into the page cache: %lld MB\n", bytes >> 20);
}

// When write_settings wrote the settings file.
Clock::time_point settings_written;

// The component's settings, in a folder of their own (never the catalogue's),
// removed when the program ends.
std::string write_settings(const std::string& dir) {
  static std::string folder;
  char tmpl[] = "/tmp/compare-engines-XXXXXX";
  if (!mkdtemp(tmpl)) die("cannot make a folder for the settings");
  folder = tmpl;
  std::atexit([] { fs::remove_all(folder); });
  std::string ini = folder + "/compare.ini";
  std::ofstream(ini) << "[Grunnur]\nSlóð=" << dir << "\nGrunnNafn=katalogur.sqlite\nkv_local=skra.sqlite\n[Debug]\nNoDebug=0\n[Leit]\nFjöldi=50\n";
  settings_written = Clock::now();
  return ini;
}

// A host's settings file was written long before its calls, and a call
// only looks at the status of a file that has not changed for a couple of
// seconds (it reads a newer one whole): timed runs wait until the file
// written above is that old, so that they time what a host's calls do.
void let_settings_settle() {
  std::this_thread::sleep_until(settings_written + std::chrono::milliseconds(2100));
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir, only, child_engine, child_queries, only_engine = "Kvistur";
  std::size_t evict_mb = 0;
  int reps = 5;
  std::size_t per_class = 5;
  bool cold = false, mix = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--catalogue" && i + 1 < argc) dir = argv[++i];
    else if (a == "--only" && i + 1 < argc) only = argv[++i];
    else if (a == "--engine" && i + 1 < argc) only_engine = argv[++i];
    else if (a == "--evict" && i + 1 < argc) evict_mb = std::size_t(std::atol(argv[++i]));
    else if (a == "--reps" && i + 1 < argc) reps = std::atoi(argv[++i]);
    else if (a == "--queries" && i + 1 < argc) per_class = std::size_t(std::atoi(argv[++i]));
    else if (a == "--cold") cold = true;
    else if (a == "--mix") mix = true;
    else if (a == "--engines" && i + 1 < argc) {
      std::string list = argv[++i];
      for (int e = 0; e < 3; ++e) g_use[e] = e == 0 || list.find(kEngines[e]) != std::string::npos;
    }
    else if (a == "--child" && i + 2 < argc) child_engine = argv[++i], child_queries = argv[++i];
    else die("usage: compare_engines --catalogue DIR [--reps N] [--queries N] [--cold] [--engines FTS5,Xapian] | --only TERMS [--engine NAME] [--evict MB] | --mix");
  }
  if (dir.empty() || !fs::exists(dir + "/katalogur.sqlite")) die("--catalogue DIR must hold katalogur.sqlite");
  dir = fs::absolute(dir).string();
  setenv("LINDRIT_SETTINGS", write_settings(dir).c_str(), 1);
  if (!getenv("KVISTUR_LOG")) setenv("KVISTUR_LOG", "/dev/null", 1);

  if (!only.empty()) {
    // Queries separated by "|", each run REPS times in turn, on one engine.
    int e = engine_number(only_engine);
    if (e == 1 && !fs::exists(fts_file(dir))) die("no FTS5 index in " + dir + ": run compare_engines on it once first");
    if (e == 2 && !fs::exists(xapian_dir(dir))) die("no Xapian index in " + dir + ": run compare_engines on it once first");
    read_into_page_cache(dir);
    let_settings_settle();
    Engines engines(dir);
    std::vector<Query> qs;
    std::stringstream list(only);
    for (std::string terms; std::getline(list, terms, '|');) {
      Query q{"only", {}};
      std::stringstream words(terms);
      for (std::string w; words >> w;) q.terms.push_back(w);
      if (!q.terms.empty()) qs.push_back(q);
    }
    std::vector<std::vector<double>> t(qs.size());
    std::vector<std::size_t> shown(qs.size());
    for (int r = 0; r < reps; ++r)
      for (std::size_t i = 0; i < qs.size(); ++i) {
        if (evict_mb) evict(evict_mb);
        auto t0 = Clock::now();
        shown[i] = engines.run(e, qs[i]).first.size();
        t[i].push_back(ms_since(t0));
      }
    std::vector<double> firsts;
    for (std::size_t i = 0; i < qs.size(); ++i) {
      std::printf("%s: %zu shown, first %.3f ms, median %.3f ms over %d runs\n", qs[i].text().c_str(), shown[i], t[i].front(),
                  percentile(t[i], 0.5), reps);
      firsts.push_back(t[i].front());
    }
    std::printf("%s, %zu queries: first runs median %.3f ms, 90th percentile %.3f ms\n", kEngines[e], qs.size(),
                percentile(firsts, 0.5), percentile(firsts, 0.9));
    return 0;
  }

  if (mix) {
    for (const Query& q : make_queries(dir, per_class)) {
      std::printf("%s\t%d\t%d\t%s\n", q.cls.c_str(), q.group, q.field, q.text().c_str());
    }
    return 0;
  }
  build_indexes(dir);
  std::vector<Query> queries = make_queries(dir, per_class);
  if (!child_engine.empty()) {
    std::vector<std::size_t> which;
    if (child_queries == "all") {
      for (std::size_t i = 0; i < queries.size(); ++i) which.push_back(i);
    } else {
      which.push_back(std::size_t(std::atol(child_queries.c_str())));
    }
    return child(dir, engine_number(child_engine), queries, which, reps);
  }

  read_into_page_cache(dir);
  let_settings_settle();
  Engines engines(dir);
  // Which engine goes first changes: a class's n-th query starts with
  // engine n mod 3, and each repeated run moves on by one (the first to
  // fetch a query's records finds them outside the caches).
  std::vector<std::size_t> turn(queries.size());
  std::map<std::string, std::size_t> seen;
  for (std::size_t qi = 0; qi < queries.size(); ++qi) turn[qi] = seen[queries[qi].cls]++;

  // First runs, then agreement: the first 50 records and their
  // descriptions, and the hit counts (counted apart, since the timed runs
  // stop after 50; Kvistur's is known when it has fewer).  The counts run
  // in a pass of their own after every first run: a rival's count of one
  // query, run between the first runs of that query and the next, would
  // bring the rival's code and data back into the processor's caches just
  // before its next first run, and Kvistur's never.  So each engine's
  // first run follows the other engines' first runs and nothing else.
  Times first[3], times[3];
  std::vector<std::array<Answer, 3>> answers(queries.size());
  for (std::size_t qi = 0; qi < queries.size(); ++qi) {
    const Query& q = queries[qi];
    for (int step = 0; step < 3; ++step) {
      int e = int((std::size_t(step) + turn[qi]) % 3);
      if (!g_use[e]) continue;
      auto t0 = Clock::now();
      answers[qi][std::size_t(e)] = engines.run(e, q);
      first[e][q.cls].push_back(ms_since(t0));
    }
  }
  int disagreements = 0;
  for (std::size_t qi = 0; qi < queries.size(); ++qi) {
    const Query& q = queries[qi];
    const std::array<Answer, 3>& a = answers[qi];
    // Each engine in use agrees with Kvistur; the counts with each other.
    long nf = g_use[1] ? engines.count(1, q) : -1, nx = g_use[2] ? engines.count(2, q) : -1;
    long n = g_use[1] ? nf : nx;
    // With no rival in use there is nothing to agree with.
    bool ok = (!g_use[1] && !g_use[2]) || ((!g_use[1] || !g_use[2] || nf == nx) && (n >= kMax || a[0].count == n));
    for (std::size_t e = 1; e < 3; ++e)
      ok = ok && (!g_use[e] || (a[0].first == a[e].first && a[0].descriptions == a[e].descriptions));
    if (!ok) {
      ++disagreements;
      std::string t;
      for (auto& w : q.terms) t += w + " ";
      std::cerr << "disagree: " << q.cls << ": " << t << "kvistur " << a[0].count << " fts5 " << nf << " xapian " << nx << "\n";
    }
  }
  if (g_use[1] || g_use[2])
    std::cout << "agreement: " << queries.size() - std::size_t(disagreements) << " of " << queries.size() << " queries\n";
  else
    std::cout << "agreement: not checked (Kvistur alone)\n";

  for (int r = 0; r < reps; ++r)
    for (std::size_t qi = 0; qi < queries.size(); ++qi)
      for (int step = 0; step < 3; ++step) {
        const Query& q = queries[qi];
        int e = int((std::size_t(step) + std::size_t(r) + turn[qi]) % 3);
        if (!g_use[e]) continue;
        auto t0 = Clock::now();
        engines.run(e, q);
        times[e][q.cls].push_back(ms_since(t0));
      }

  if (getenv("COMPARE_VERBOSE")) {
    // Each query's first run and repeated median, by engine.
    std::map<std::size_t, std::vector<double>> by_query[3];
    std::map<std::string, std::size_t> at;
    for (int r = 0; r < reps; ++r)
      for (std::size_t qi = 0; qi < queries.size(); ++qi)
        for (int e = 0; e < 3; ++e)
          if (g_use[e]) by_query[e][qi].push_back(times[e][queries[qi].cls][at[queries[qi].cls + kEngines[e]]++]);
    for (std::size_t qi = 0; qi < queries.size(); ++qi) {
      std::string t;
      for (auto& w : queries[qi].terms) t += w + " ";
      std::printf("%-22s %-45s", queries[qi].cls.c_str(), t.c_str());
      for (int e = 0; e < 3; ++e)
        if (g_use[e])
          std::printf(" %s %.2f/%.2f", kEngines[e], first[e][queries[qi].cls][turn[qi]], percentile(by_query[e][qi], 0.5));
      std::printf("\n");
    }
  }

  Db c(dir + "/katalogur.sqlite");
  Stmt count(c.db, "SELECT count(*) FROM Móðurtafla");
  count.step();
  std::printf("records: %lld\n", (long long)count.integer(0));
  table("Repeated queries (every run after the first, one process):", times);
  table("First run of each query (one process, the engines opened by the first query):", first);

  if (cold) {
    // Each query alone in a new process per engine, turns as above; then
    // each engine alone on the whole mix, for its peak memory.
    std::string self = fs::canonical("/proc/self/exe").string();
    std::string rivals = std::string(g_use[1] ? "FTS5," : "") + (g_use[2] ? "Xapian" : "");
    std::string base = "--catalogue '" + dir + "' --queries " + std::to_string(per_class) + " --engines " +
                       (rivals.empty() ? "none" : rivals);
    Times cold_times[3];
    for (std::size_t qi = 0; qi < queries.size(); ++qi)
      for (int step = 0; step < 3; ++step) {
        int e = int((std::size_t(step) + turn[qi]) % 3);
        if (!g_use[e]) continue;
        for (const std::string& line :
             run_child(self, base + " --reps 0 --child " + kEngines[e] + " " + std::to_string(qi)))
          if (line.rfind("first ", 0) == 0) cold_times[e][queries[qi].cls].push_back(std::atof(line.c_str() + line.find(' ', 6)));
      }
    table("Cold process (each query the first of a new process):", cold_times);
    std::printf("\nmemory of a process running the whole mix alone (%d runs a query):\n\n", reps + 1);
    std::printf("| engine | peak of the process (MiB) | most held after a query, above the process logged on (MiB) |\n"
                "|---|---|---|\n");
    for (int e = 0; e < 3; ++e) {
      if (!g_use[e]) continue;
      long peak = 0, used = 0;
      for (const std::string& line : run_child(self, base + " --reps " + std::to_string(reps) + " --child " + kEngines[e] + " all")) {
        if (line.rfind("peak ", 0) == 0) peak = std::atol(line.c_str() + 5);
        if (line.rfind("used ", 0) == 0) used = std::atol(line.c_str() + 5);
      }
      std::printf("| %s | %.1f | %.1f |\n", kEngines[e], peak / 1024.0, used / 1024.0);
    }
  }

  std::string cat = dir + "/katalogur.sqlite";
  long long words = table_bytes(cat,
                                "name IN ('Orð','Tengill') OR name IN (SELECT name FROM sqlite_master WHERE type='index' "
                                "AND tbl_name IN ('Orð','Tengill'))");
  long long stored =
      table_bytes(cat, "name IN ('kv_postings','kv_order','kv_search_meta','kv_prefixes','kv_prefix_postings')");
  long long added = table_bytes(cat, "name IN ('kv_ord_fold','kv_tengill_ord')");
  const fs::path word_file = fs::canonical(cat).string() + kvistur::stored::kWordFileSuffix;
  const long long word_file_bytes = fs::exists(word_file) ? (long long)fs::file_size(word_file) : 0;
  std::printf("\nindex size (bytes): Kvistur %lld (the word index %lld, of which its own indexes %lld, the stored "
              "index %lld and the word file beside it %lld), FTS5 %lld, Xapian %lld\n",
              words + stored + word_file_bytes, words, added, stored, word_file_bytes,
              g_use[1] ? dir_size(fts_file(dir)) : 0, g_use[2] ? dir_size(xapian_dir(dir)) : 0);
  return disagreements == 0 ? 0 : 3;
}
