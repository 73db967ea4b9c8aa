// The cost of the web's facets and suggestions on a catalogue of any size
// made by `kvistur generate` (a fifth of its records published in
// Reykjavík, so "reykjavík" finds 20 000 hits at 100 000 records and
// 200 000 at 1 000 000):
//
//  - the facets' table read from what the tools stored, and worked out
//    from the tables instead (once each: what the first search of a state
//    pays);
//  - the loans read again after a loan (what the first search after every
//    loan or return pays), a loan committed by another connection before
//    each run;
//  - counting every facet over all hits of "reykjavík", and narrowing them
//    to books first;
//  - "did you mean" for words typed without accents or with a letter
//    wrong, after the index's words were read once (reported apart).
//
//   facets_bench --catalogue DIR [--reps N]
//
// Median and 95th percentile of REPS runs (default 50), in milliseconds.
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "kvistur/faersla.h"
#include "platform/open_database.h"
#include "search/facets.h"
#include "search/search.h"
#include "search/suggest.h"
#include "settings/settings.h"

using namespace kvistur;
using Clock = std::chrono::steady_clock;

namespace {

double ms_since(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

void report(const char* what, std::vector<double> v) {
  std::sort(v.begin(), v.end());
  double median = v[v.size() / 2], p95 = v[std::min(v.size() - 1, std::size_t(0.95 * double(v.size() - 1) + 0.5))];
  std::printf("%-52s %9.2f %9.2f\n", what, median, p95);
}

// Runs EACH REPS times, each in a call of its own, and reports it.
void timed(const char* what, int reps, const std::function<void(db::Database&)>& each) {
  std::vector<double> t;
  for (int i = 0; i < reps; ++i) {
    CallScope call;
    std::unique_ptr<db::Database> database = open_catalogue();
    auto t0 = Clock::now();
    each(*database);
    t.push_back(ms_since(t0));
    database->Close();
  }
  report(what, t);
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir;
  int reps = 50;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--catalogue")) dir = argv[i + 1];
    if (!std::strcmp(argv[i], "--reps")) reps = std::max(1, std::atoi(argv[i + 1]));
  }
  if (dir.empty()) {
    std::fprintf(stderr, "usage: facets_bench --catalogue DIR [--reps N]\n");
    return 2;
  }
  setenv("LINDRIT_SETTINGS", (dir + "/lindrit-1.0.ini").c_str(), 1);
  Faersla f;
  Text user = u"Admin", password = u"";
  f.LogOn(user, password);
  SafeArray<Text> stops;
  f.SaekjaEkkiOrð(stops);

  std::vector<int32_t> hits;
  {
    CallScope call;
    auto database = open_catalogue();
    hits = FindRecords(*database, -1, -1, u"reykjavík", stops);
  }
  std::printf("%zu hits of \"reykjavík\"\n%-52s %9s %9s\n", hits.size(), "", "median", "p95");

  timed("facets' table read from the stored rows (once)", 1, [](db::Database& d) {
    if (!facets::FacetTable::Open(d, d.Stamp())) std::fprintf(stderr, "no stored facets at this state\n");
  });
  timed("facets' table worked out from the tables (once)", 1,
        [](db::Database& d) { facets::FacetTable::FromTables(d); });

  std::shared_ptr<const facets::FacetTable> table;
  timed("facets' table of the state, kept", reps, [&](db::Database& d) { table = facets::FacetsFor(d); });

  // A loan by another connection before each run: the loans are read again.
  sqlite3* writer = nullptr;
  sqlite3_open((dir + "/katalogur.sqlite").c_str(), &writer);
  sqlite3_busy_timeout(writer, 10000);
  std::vector<double> after_loan;
  for (int i = 0; i < reps; ++i) {
    std::string sql = "UPDATE Aðfanganúmer SET Lánþegabendir = " + std::to_string(i % 2) +
                      " WHERE rowid = (SELECT min(rowid) FROM Aðfanganúmer)";
    sqlite3_exec(writer, sql.c_str(), nullptr, nullptr, nullptr);
    CallScope call;
    std::unique_ptr<db::Database> database = open_catalogue();
    auto t0 = Clock::now();
    facets::ShelfOf(*database, table);
    after_loan.push_back(ms_since(t0));
  }
  report("loans read again after a loan", after_loan);
  sqlite3_close(writer);

  std::shared_ptr<const facets::Shelf> shelf;
  {
    CallScope call;
    auto d = open_catalogue();
    shelf = facets::ShelfOf(*d, table);
  }
  int64_t books = 0;
  timed("every facet counted over every hit", reps,
        [&](db::Database&) { books = facets::Count(*table, *shelf, hits).kinds[facets::kBook]; });
  facets::Filter only_books;
  only_books.kind = facets::kBook;
  timed("narrowed to books, then counted", reps, [&](db::Database&) {
    facets::Count(*table, *shelf, facets::Narrow(*table, *shelf, hits, only_books));
  });
  std::printf("(%lld books among them)\n", (long long)books);

  timed("suggestions: the index's words read (once)", 1,
        [&](db::Database& d) { Suggest(d, -1, -1, u"reykjavik", stops, 0); });
  for (const char16_t* word : {u"reykjavik", u"hafnarfjordur", u"akureiri", u"selfos"}) {
    std::string what = "suggestions for \"" + to_utf8(word) + "\"";
    std::size_t n = 0;
    timed(what.c_str(), reps, [&](db::Database& d) { n = Suggest(d, -1, -1, word, stops, 0).size(); });
    if (n == 0) std::fprintf(stderr, "no suggestion for %s\n", to_utf8(word).c_str());
  }
  return 0;
}
