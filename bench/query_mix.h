// The query mix of the search benchmarks, worked out from a catalogue's own
// word index, and the few SQLite helpers they read it with.
//
// Nine classes of query (one rare, common or very common term, a truncated
// term, two and three terms, a term in a group and search field), PER_CLASS
// queries each, the words picked from the index by their number of
// records.  The mix is worked out once per catalogue and number of queries
// a class and kept beside the catalogue (compare-queries-N.txt), so that
// every benchmark and every process of one asks the same queries:
// bench/compare_engines.cpp and bench/web_load.cpp.
#pragma once

#include <errno.h>
#include <sqlite3.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "kvistur/text.h"
#include "platform/sqlite_functions.h"

namespace kvistur::bench {

[[noreturn]] inline void die(const std::string& what) {
  std::cerr << program_invocation_short_name << ": " << what << "\n";
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

struct Query {
  std::string cls;
  std::vector<std::string> terms;  // as typed, "saga*" for truncation
  int group = -1, field = -1;
  // The terms as one search text, a blank between two.
  std::string text() const {
    std::string s;
    for (const std::string& t : terms) s += (s.empty() ? "" : " ") + t;
    return s;
  }
};

inline std::vector<Query> work_out_queries(const std::string& dir, std::size_t per_class);

// The mix of DIR's catalogue: read from beside it, or worked out and kept
// there.
inline std::vector<Query> make_queries(const std::string& dir, std::size_t per_class) {
  std::string file = dir + "/compare-queries-" + std::to_string(per_class) + ".txt";
  std::vector<Query> qs;
  if (std::ifstream in{file}) {
    for (std::string line; std::getline(in, line);) {
      std::stringstream ss(line);
      Query q;
      std::string terms;
      std::getline(ss, q.cls, '\t');
      ss >> q.group >> q.field;
      ss.get();
      std::getline(ss, terms);
      std::stringstream ts(terms);
      for (std::string t; ts >> t;) q.terms.push_back(t);
      qs.push_back(q);
    }
    return qs;
  }
  qs = work_out_queries(dir, per_class);
  std::ofstream out(file);
  for (const Query& q : qs) {
    out << q.cls << "\t" << q.group << " " << q.field << "\t";
    for (auto& t : q.terms) out << t << " ";
    out << "\n";
  }
  return qs;
}

inline std::vector<Query> work_out_queries(const std::string& dir, std::size_t per_class) {
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

}  // namespace kvistur::bench
