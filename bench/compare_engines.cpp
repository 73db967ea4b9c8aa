// Measures Kvistur's search against the engines a user would pick instead:
// SQLite FTS5 and Xapian, indexed with the same words, groups and search
// fields as the catalogue's word index, asked the same queries, returning
// the same record numbers in the same sort-key order and building the same
// 50 descriptions.
//
//   compare_engines --catalogue DIR [--reps N] [--queries N]
//   compare_engines --catalogue DIR --only "TERMS|TERMS..." [--reps N]
//
// DIR is a catalogue made by `kvistur generate` or `kvistur build`
// (katalogur.sqlite, skra.sqlite, System.mdw).  The FTS5 and Xapian indexes
// are built beside it on first use (DIR/fts5.sqlite, DIR/xapian/).  The
// program first checks that the three engines agree on every query (hit
// counts and the first 50 records), then runs every query N times per engine,
// interleaved, and prints per query class the median and 95th-percentile
// latency, the ratios, the peak memory and the index sizes.
#include <sqlite3.h>
#include <sys/resource.h>
#include <xapian.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "kvistur/faersla.h"
#include "platform/sqlite_functions.h"

using namespace kvistur;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kMax = 50;

[[noreturn]] void die(const std::string& what) {
  std::cerr << "compare_engines: " << what << "\n";
  std::exit(1);
}

struct Db {
  sqlite3* db = nullptr;
  explicit Db(const std::string& file, bool write = false) {
    int flags = write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
    if (sqlite3_open_v2(file.c_str(), &db, flags, nullptr) != SQLITE_OK) die("cannot open " + file);
    db::register_kv_functions(db);
  }
  ~Db() { sqlite3_close(db); }
  void exec(const std::string& sql) {
    char* msg = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &msg) != SQLITE_OK) die(std::string("sql: ") + (msg ? msg : ""));
  }
};

struct Stmt {
  sqlite3_stmt* s = nullptr;
  Stmt(sqlite3* db, const std::string& sql) {
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) die("prepare: " + sql + ": " + sqlite3_errmsg(db));
  }
  ~Stmt() { sqlite3_finalize(s); }
  bool step() { return sqlite3_step(s) == SQLITE_ROW; }
  std::string text(int i) {
    const char* t = reinterpret_cast<const char*>(sqlite3_column_text(s, i));
    return t ? t : "";
  }
  int64_t integer(int i) { return sqlite3_column_int64(s, i); }
};

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

void build_indexes(const std::string& dir) {
  std::string cat = dir + "/katalogur.sqlite";
  std::string fts = dir + "/fts5.sqlite", xap = dir + "/xapian";
  if (fs::exists(fts) && fs::exists(xap)) return;
  fs::remove(fts);
  fs::remove_all(xap);
  std::cerr << "building the FTS5 and Xapian indexes ...\n";
  Db c(cat);
  Db f(fts, true);
  f.exec("PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;"
         "CREATE VIRTUAL TABLE fts USING fts5(t, content='', detail=none, prefix='2 3 4',"
         " tokenize=\"unicode61 remove_diacritics 0 tokenchars '0123456789'\");"
         "CREATE TABLE sortkey(id INTEGER PRIMARY KEY, k TEXT); BEGIN;");
  Xapian::WritableDatabase x(xap, Xapian::DB_CREATE_OR_OVERWRITE);
  Stmt rows(c.db,
            "SELECT t.FærsluID, O.Orð, t.HópID, t.Orðtag FROM Tengill t JOIN Orð O ON O.ID = t.OrðID ORDER BY t.FærsluID");
  Stmt keys(c.db, "SELECT Röðunarsvið FROM Móðurtafla WHERE ID = ?");
  Stmt ins(f.db, "INSERT INTO fts(rowid, t) VALUES(?, ?)");
  Stmt insk(f.db, "INSERT INTO sortkey(id, k) VALUES(?, ?)");
  int64_t current = -1;
  std::string doc_text;
  Xapian::Document doc;
  long n = 0;
  auto flush = [&] {
    if (current < 0) return;
    sqlite3_bind_int64(keys.s, 1, current);
    std::string key = keys.step() ? keys.text(0) : "";
    sqlite3_reset(keys.s);
    sqlite3_bind_int64(ins.s, 1, current);
    sqlite3_bind_text(ins.s, 2, doc_text.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(ins.s) != SQLITE_DONE) die("fts insert");
    sqlite3_reset(ins.s);
    sqlite3_bind_int64(insk.s, 1, current);
    sqlite3_bind_text(insk.s, 2, key.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_step(insk.s);
    sqlite3_reset(insk.s);
    doc.add_value(0, sort_key_ci(from_utf8(key)));
    x.replace_document(Xapian::docid(current), doc);
    doc = Xapian::Document();
    doc_text.clear();
    if (++n % 100000 == 0) std::cerr << "  " << n << " records\n";
  };
  while (rows.step()) {
    int64_t id = rows.integer(0);
    if (id != current) {
      flush();
      current = id;
    }
    std::string w = db::fold_utf8(rows.text(1));
    if (w.empty()) continue;
    for (auto& t : tokens(w, rows.integer(2), rows.integer(3))) {
      doc_text += t + " ";
      doc.add_boolean_term(t);
    }
  }
  flush();
  f.exec("COMMIT; INSERT INTO fts(fts) VALUES('optimize'); VACUUM;");
  x.commit();
}

struct Query {
  std::string cls;
  std::vector<std::string> terms;  // as typed, "saga*" for truncation
  int group = -1, field = -1;
};

struct Answer {
  long count = 0;
  std::vector<int32_t> first;
  std::vector<std::string> descriptions;
};

// The descriptions of the first records, the same way for every engine:
// fetched and described through the component's own methods.
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
  std::string s;
  for (auto& t : q.terms) s += (s.empty() ? "" : " ") + t;
  Variant group(int32_t(q.group)), field(int32_t(q.field)), str(from_utf8(s));
  SafeArray<Text> svar, einkenni, stop(0, {u""});
  SafeArray<int32_t> ids;
  int32_t k = f.Leita(group, field, str, svar, ids, einkenni, stop, max);
  Answer a;
  a.count = k;
  for (int32_t i = 1; i <= k; ++i) a.first.push_back(ids(i));
  for (int32_t i = 1; i <= k; ++i) a.descriptions.push_back(to_utf8(svar(i)));
  return a;
}

Answer run_fts(Db& fts, Faersla& f, const Query& q) {
  std::string match;
  for (auto& t : q.terms) {
    bool prefix = !t.empty() && t.back() == '*';
    std::string w = db::fold_utf8(prefix ? t.substr(0, t.size() - 1) : t);
    match += (match.empty() ? "" : " AND ") + std::string("\"") + restricted(w, q.group, q.field) + "\"" + (prefix ? "*" : "");
  }
  Stmt s(fts.db,
         "SELECT fts.rowid FROM fts JOIN sortkey k ON k.id = fts.rowid WHERE fts MATCH ? ORDER BY k.k COLLATE KV_CI");
  sqlite3_bind_text(s.s, 1, match.c_str(), -1, SQLITE_TRANSIENT);
  Answer a;
  while (s.step()) {
    if (a.count++ < kMax) a.first.push_back(int32_t(s.integer(0)));
  }
  a.descriptions = describe(f, a.first);
  return a;
}

Answer run_xapian(Xapian::Database& x, Faersla& f, const Query& q) {
  std::vector<Xapian::Query> parts;
  for (auto& t : q.terms) {
    bool prefix = !t.empty() && t.back() == '*';
    std::string w = restricted(db::fold_utf8(prefix ? t.substr(0, t.size() - 1) : t), q.group, q.field);
    parts.push_back(prefix ? Xapian::Query(Xapian::Query::OP_WILDCARD, w) : Xapian::Query(w));
  }
  Xapian::Enquire e(x);
  e.set_query(Xapian::Query(Xapian::Query::OP_AND, parts.begin(), parts.end()));
  e.set_weighting_scheme(Xapian::BoolWeight());
  e.set_sort_by_value(0, false);
  Xapian::MSet m = e.get_mset(0, kMax, x.get_doccount());
  Answer a;
  a.count = m.get_matches_estimated();
  for (auto it = m.begin(); it != m.end(); ++it) a.first.push_back(int32_t(*it));
  a.descriptions = describe(f, a.first);
  return a;
}

std::vector<Query> make_queries(const std::string& dir, std::size_t per_class) {
  Db c(dir + "/katalogur.sqlite");
  // Word frequencies in records, from the word index itself.
  Stmt s(c.db,
         "SELECT O.Orð, count(DISTINCT t.FærsluID) n, max(t.HópID), max(t.Orðtag) FROM Tengill t JOIN Orð O ON O.ID = t.OrðID "
         "GROUP BY O.ID HAVING length(O.Orð) >= 4 ORDER BY n DESC");
  struct W {
    std::string w;
    long n;
    int g, f;
  };
  std::vector<W> words;
  while (s.step()) words.push_back({s.text(0), long(s.integer(1)), int(s.integer(2)), int(s.integer(3))});
  if (words.size() < 100) die("the catalogue has too few words for a query mix");
  auto pick = [&](std::size_t from, std::size_t to, std::size_t i) -> const W& {
    to = std::min(to, words.size());
    return words[from + (i * 7919) % (to - from)];
  };
  std::size_t n = words.size();
  // The first characters of a word (not bytes: a word may hold Icelandic
  // letters), as the start of a truncated term.
  auto prefix = [](const std::string& w, std::size_t keep_less) {
    Text t = from_utf8(w);
    std::size_t k = t.size() > keep_less + 2 ? t.size() - keep_less : t.size();
    return to_utf8(TextView(t).substr(0, k)) + "*";
  };
  auto first4 = [](const std::string& w) { return to_utf8(TextView(from_utf8(w)).substr(0, 4)) + "*"; };
  std::vector<Query> qs;
  for (std::size_t i = 0; i < per_class; ++i) {
    const W& vc = pick(0, 10, i);
    const W& co = pick(10, n / 50 + 11, i);
    const W& ra = pick(n / 2, n, i);
    qs.push_back({"1 term, rare", {ra.w}});
    qs.push_back({"1 term, common", {co.w}});
    qs.push_back({"1 term, very common", {vc.w}});
    qs.push_back({"1 term, truncated", {prefix(co.w, 2)}});
    qs.push_back({"2 terms, common+rare", {co.w, ra.w}});
    qs.push_back({"2 terms, very common", {vc.w, pick(0, 10, i + 1).w}});
    qs.push_back({"2 terms, truncated", {first4(co.w), pick(10, n / 50 + 11, i + 3).w}});
    qs.push_back({"3 terms", {vc.w, co.w, pick(10, n / 50 + 11, i + 5).w}});
    qs.push_back({"1 term, group+field", {co.w}, co.g, co.f});
  }
  return qs;
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[std::min(v.size() - 1, std::size_t(p * (v.size() - 1) + 0.5))];
}

long peak_kib() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}
void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }

long long dir_size(const fs::path& p) {
  long long n = 0;
  if (fs::is_regular_file(p)) return (long long)fs::file_size(p);
  for (auto& e : fs::recursive_directory_iterator(p))
    if (e.is_regular_file()) n += (long long)e.file_size();
  return n;
}

// The bytes of the word index proper: Orð, Tengill and their indexes.
long long kvistur_index_size(const std::string& cat) {
  Db c(cat);
  sqlite3_stmt* s = nullptr;
  long long n = 0;
  const char* sql =
      "SELECT sum(pgsize) FROM dbstat WHERE name IN ('Orð','Tengill') OR name IN "
      "(SELECT name FROM sqlite_master WHERE type='index' AND tbl_name IN ('Orð','Tengill'))";
  if (sqlite3_prepare_v2(c.db, sql, -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW) n = sqlite3_column_int64(s, 0);
  sqlite3_finalize(s);
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir;
  int reps = 5;
  std::size_t per_class = 5;
  std::string only;  // one query through Kvistur alone, for a profiler
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--catalogue" && i + 1 < argc) dir = argv[++i];
    else if (a == "--only" && i + 1 < argc) only = argv[++i];
    else if (a == "--reps" && i + 1 < argc) reps = std::atoi(argv[++i]);
    else if (a == "--queries" && i + 1 < argc) per_class = std::size_t(std::atoi(argv[++i]));
    else die("usage: compare_engines --catalogue DIR [--reps N] [--queries N | --only TERMS]");
  }
  if (dir.empty() || !fs::exists(dir + "/katalogur.sqlite")) die("--catalogue DIR must hold katalogur.sqlite");
  dir = fs::absolute(dir).string();
  std::string ini = dir + "/compare.ini";
  std::ofstream(ini) << "[Grunnur]\nSlóð=" << dir << "\nGrunnNafn=katalogur.sqlite\nkv_local=skra.sqlite\n[Debug]\nNoDebug=0\n[Leit]\nFjöldi=50\n";
  setenv("LINDRIT_SETTINGS", ini.c_str(), 1);
  if (!getenv("KVISTUR_LOG")) setenv("KVISTUR_LOG", "/dev/null", 1);

  if (!only.empty()) {
    // Queries separated by "|", each run REPS times in turn.
    Faersla f;
    Text user = u"Admin", pw = u"";
    f.LogOn(user, pw);
    std::vector<Query> qs;
    std::stringstream list(only);
    for (std::string terms; std::getline(list, terms, '|');) qs.push_back(Query{"only", {terms}});
    std::vector<std::vector<double>> t(qs.size());
    std::vector<long> shown(qs.size());
    for (int r = 0; r < reps; ++r)
      for (std::size_t i = 0; i < qs.size(); ++i) {
        auto t0 = Clock::now();
        shown[i] = run_kvistur(f, qs[i], kMax).count;
        t[i].push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
      }
    for (std::size_t i = 0; i < qs.size(); ++i)
      std::printf("%s: %ld shown, first %.2f ms, median %.2f ms over %d runs\n", qs[i].terms[0].c_str(), shown[i],
                  t[i].front(), percentile(t[i], 0.5), reps);
    return 0;
  }

  build_indexes(dir);
  std::vector<Query> queries = make_queries(dir, per_class);
  if (getenv("COMPARE_LIST")) {
    // The query mix, for running one of them alone with --only.
    for (const Query& q : queries) {
      std::string t;
      for (auto& w : q.terms) t += (t.empty() ? "" : " ") + w;
      std::printf("%s: %s (group %d, field %d)\n", q.cls.c_str(), t.c_str(), q.group, q.field);
    }
    return 0;
  }
  Faersla f;
  Text user = u"Admin", pw = u"";
  f.LogOn(user, pw);
  Db fts(dir + "/fts5.sqlite");
  Xapian::Database x(dir + "/xapian");

  // Agreement first: counts (from FTS5 and Xapian; Kvistur when it has no
  // more hits than the limit) and the first 50 records with their descriptions.
  // The pass is also each query's first run on each engine: timed on its
  // own, since what an engine keeps from one query to the next (Kvistur's
  // kept term lists and record order, the page caches) is not there yet.
  int disagreements = 0;
  std::map<std::string, std::vector<double>> first[3];
  // Which engine goes first changes: a class's n-th query starts with
  // engine n mod 3, and each repeated run moves on by one.
  std::vector<std::size_t> turn(queries.size());
  std::map<std::string, std::size_t> seen;
  for (std::size_t qi = 0; qi < queries.size(); ++qi) turn[qi] = seen[queries[qi].cls]++;
  for (std::size_t qi = 0; qi < queries.size(); ++qi) {
    const Query& q = queries[qi];
    Answer k, a, b;
    for (int step = 0; step < 3; ++step) {
      int e = int((std::size_t(step) + turn[qi]) % 3);
      auto t0 = Clock::now();
      if (e == 0) k = run_kvistur(f, q, kMax);
      else if (e == 1) a = run_fts(fts, f, q);
      else b = run_xapian(x, f, q);
      first[e][q.cls].push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    bool ok = a.count == b.count && k.descriptions == a.descriptions && a.descriptions == b.descriptions &&
              (a.count > kMax || k.count == a.count);
    if (!ok) {
      ++disagreements;
      std::string t;
      for (auto& w : q.terms) t += w + " ";
      std::cerr << "disagree: " << q.cls << ": " << t << "kvistur " << k.count << " fts5 " << a.count << " xapian " << b.count
                << "\n";
    }
  }
  std::cout << "agreement: " << queries.size() - std::size_t(disagreements) << " of " << queries.size() << " queries\n";

  std::map<std::string, std::vector<double>> times[3];
  long peak[3] = {0, 0, 0};
  // The first engine to fetch a query's records finds them outside the
  // caches and the next ones inside, so the turns go round.
  for (int r = 0; r < reps; ++r)
    for (std::size_t qi = 0; qi < queries.size(); ++qi)
      for (int step = 0; step < 3; ++step) {
        const Query& q = queries[qi];
        int e = int((std::size_t(step) + std::size_t(r) + turn[qi]) % 3);
        reset_peak();
        auto t0 = Clock::now();
        if (e == 0) run_kvistur(f, q, kMax);
        else if (e == 1) run_fts(fts, f, q);
        else run_xapian(x, f, q);
        times[e][q.cls].push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        peak[e] = std::max(peak[e], peak_kib());
      }

  Db c(dir + "/katalogur.sqlite");
  Stmt count(c.db, "SELECT count(*) FROM Móðurtafla");
  count.step();
  std::printf("records: %lld\n", (long long)count.integer(0));
  auto table = [](const char* title, std::map<std::string, std::vector<double>>* t) {
    std::printf("\n%s\n\n", title);
    std::printf("| query class | Kvistur median | p95 | FTS5 median | p95 | Xapian median | p95 | Kvistur/FTS5 | Kvistur/Xapian |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    for (auto& [cls, kt] : t[0]) {
      double km = percentile(kt, 0.5), fm = percentile(t[1][cls], 0.5), xm = percentile(t[2][cls], 0.5);
      std::printf("| %s | %.2f ms | %.2f | %.2f ms | %.2f | %.2f ms | %.2f | %.2f | %.2f |\n", cls.c_str(), km,
                  percentile(kt, 0.95), fm, percentile(t[1][cls], 0.95), xm, percentile(t[2][cls], 0.95),
                  fm > 0 ? km / fm : 0, xm > 0 ? km / xm : 0);
    }
  };
  table("Repeated queries (every run after the first):", times);
  table("First run of each query:", first);
  std::printf("\npeak memory during queries (VmHWM): Kvistur %ld KiB, FTS5 %ld KiB, Xapian %ld KiB\n", peak[0], peak[1], peak[2]);
  std::printf("index size: Kvistur word index %lld bytes, FTS5 %lld bytes, Xapian %lld bytes\n",
              kvistur_index_size(dir + "/katalogur.sqlite"), dir_size(dir + "/fts5.sqlite"), dir_size(dir + "/xapian"));
  return disagreements == 0 ? 0 : 3;
}
