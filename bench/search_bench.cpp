// Speed of the word-index search on a catalogue of 100 000 records built
// in a temporary folder: words drawn with a Zipf-like distribution from
// about 20 000 synthetic Icelandic-looking words, word-index rows with
// groups and search fields, short whole-record texts and sort texts, and
// the two indexes that the search's queries use:
//
//   CREATE INDEX ... ON Orð(kv_fold(Orð))                       -- the word looked up
//   CREATE INDEX ... ON Tengill(OrðID, FærsluID, HópID, Orðtag) -- its records, covered
//
// and a copy of it with the stored search index (kvistur index).  Each
// benchmark runs Leita with lMaxFj 50 on one of the two and reports the
// records that hold every term ("hits"), the results returned and the
// time per search in milliseconds.  The sort texts are the records'
// titles, so equal texts are common among the first hits.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "../tests/common/record_text_builder.h"
#include "../tests/common/site.h"
#include "import/store/indexes.h"
#include "kvistur/faersla.h"
#include "platform/sqlite_functions.h"
#include "settings/thread_state.h"

namespace {

using namespace kvistur;

constexpr int kRecords = 100000;
constexpr int kWords = 20000;

// Words the queries use, placed at fixed ranks of the distribution.
struct Placed {
  int rank;
  const char* word;
};
constexpr Placed kPlaced[] = {{8, "saga"},    {15, "land"},   {40, "maður"}, {120, "sagan"},
                              {300, "sagnir"}, {900, "landnám"}, {2500, "þór"}};

std::vector<std::string> make_words(std::mt19937& rng) {
  static const char* onsets[] = {"b", "d", "f", "g", "h", "j", "k", "l", "m", "n", "p", "r", "s", "t", "v", "þ",
                                 "br", "dr", "fl", "gr", "hr", "kl", "kr", "sk", "sl", "sn", "st", "sv", "tr", "hv"};
  static const char* vowels[] = {"a", "e", "i", "o", "u", "á", "é", "í", "ó", "ú", "ý", "æ", "ö", "au", "ei", "ey"};
  static const char* codas[] = {"", "", "r", "n", "ð", "ll", "nn", "rn", "st", "g", "k", "m", "ng", "ft", "t", "s"};
  static const char* endings[] = {"", "ur", "ir", "ar", "a", "i", "um", "inn", "ið", "an"};
  std::uniform_int_distribution<int> o(0, 29), v(0, 15), c(0, 15), e(0, 9), syl(1, 3);
  std::vector<bool> placed(kWords + 1, false);
  for (const Placed& p : kPlaced) placed[std::size_t(p.rank)] = true;
  std::vector<std::string> out(kWords + 1);
  for (const Placed& p : kPlaced) out[std::size_t(p.rank)] = p.word;
  for (int r = 1; r <= kWords; ++r) {
    if (placed[std::size_t(r)]) continue;
    for (;;) {
      std::string w;
      int n = syl(rng);
      for (int i = 0; i < n; ++i) w += std::string(onsets[o(rng)]) + vowels[v(rng)] + codas[c(rng)];
      w += endings[e(rng)];
      // A made-up word must not start with a query word, or the truncated
      // queries would measure the generator.
      bool clash = w.size() < 3 || w.rfind("sag", 0) == 0 || w.rfind("land", 0) == 0 || w.rfind("þór", 0) == 0 ||
                   w.rfind("maður", 0) == 0;
      if (clash) continue;
      out[std::size_t(r)] = w;
      break;
    }
  }
  return out;
}

class Catalogue {
 public:
  Catalogue() {
    site_.set("Leit", "Fjöldi", "50");
    build();
    std::filesystem::copy_file(file_, site_.dir() + "/stored.sqlite");
    import::IndexCatalogue(site_.dir() + "/stored.sqlite");
    Text user = u"Admin", pw = u"";
    if (faersla_.LogOn(user, pw) != 0 && !thread_state().workspace) throw std::runtime_error("log-on failed");
  }
  Faersla& faersla() { return faersla_; }
  // Searches go to the catalogue with the stored index, or the one without.
  void use(bool stored) { site_.set("Grunnur", "GrunnNafn", stored ? "stored.sqlite" : "katalogur.sqlite"); }
  const std::string& file() const { return file_; }

 private:
  void exec(sqlite3* db, const char* sql) {
    char* msg = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &msg) != SQLITE_OK) {
      std::string m = msg ? msg : "";
      sqlite3_free(msg);
      throw std::runtime_error("sql: " + m);
    }
  }

  void build() {
    file_ = site_.catalogue();
    sqlite3* db = nullptr;
    if (sqlite3_open(file_.c_str(), &db) != SQLITE_OK) throw std::runtime_error("cannot open " + file_);
    db::register_kv_functions(db);
    exec(db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; BEGIN;");

    std::mt19937 rng(20261206);
    std::vector<std::string> words = make_words(rng);
    sqlite3_stmt* w = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO Orð (ID, Orð) VALUES (?, ?)", -1, &w, nullptr);
    for (int r = 1; r <= kWords; ++r) {
      sqlite3_bind_int(w, 1, r);
      sqlite3_bind_text(w, 2, words[std::size_t(r)].c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_step(w);
      sqlite3_reset(w);
    }
    sqlite3_finalize(w);

    // Zipf-like ranks: the cumulative weights of 1/r^0.9.
    std::vector<double> cumulative(kWords + 1, 0.0);
    for (int r = 1; r <= kWords; ++r) cumulative[std::size_t(r)] = cumulative[std::size_t(r - 1)] + 1.0 / std::pow(r, 0.9);
    std::uniform_real_distribution<double> u(0.0, cumulative.back());
    auto draw = [&] {
      auto it = std::upper_bound(cumulative.begin() + 1, cumulative.end(), u(rng));
      return int(it - cumulative.begin());
    };
    std::uniform_int_distribution<int> count(4, 12), group(1, 3), field(1, 5);

    sqlite3_stmt* t = nullptr;
    sqlite3_stmt* m = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO Tengill (FærsluID, OrðID, HópID, Orðtag) VALUES (?, ?, ?, ?)", -1, &t, nullptr);
    sqlite3_prepare_v2(db,
                       "INSERT INTO Móðurtafla (ID, Skráning, ÖllFærslan, MarkSnið, Upprunafærsla, Röðunarsvið, Tag,"
                       " Uppruni, Safndeild, UpprunaID, Einkennisstrengur) VALUES (?, '2020-01-01', ?, '', 0, ?, 1,"
                       " 0, 1, 0, ?)",
                       -1, &m, nullptr);
    for (int id = 1; id <= kRecords; ++id) {
      int n = count(rng);
      std::vector<int> ranks;
      for (int i = 0; i < n; ++i) ranks.push_back(draw());
      int g = group(rng);
      std::string title;
      for (int i = 0; i < n; ++i) {
        sqlite3_bind_int(t, 1, id);
        sqlite3_bind_int(t, 2, ranks[std::size_t(i)]);
        sqlite3_bind_int(t, 3, g);
        sqlite3_bind_int(t, 4, i < 3 ? 1 : field(rng));
        sqlite3_step(t);
        sqlite3_reset(t);
        if (i < 3) title += (i ? " " : "") + words[std::size_t(ranks[std::size_t(i)])];
      }
      testing::RecordTextBuilder b;
      b.Titlar = {testing::RecordTextBuilder::title(from_utf8(title))};
      b.Útgáfustaður = u"Reykjavík";
      b.Útgáfutími = from_utf8(std::to_string(1900 + id % 120));
      b.Marktákn1 = from_utf8(std::to_string(id % 1000));
      std::string text = to_utf8(b.text());
      std::string key = "E" + std::to_string(id);
      sqlite3_bind_int(m, 1, id);
      sqlite3_bind_text(m, 2, text.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(m, 3, title.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(m, 4, key.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_step(m);
      sqlite3_reset(m);
    }
    sqlite3_finalize(t);
    sqlite3_finalize(m);
    exec(db,
         "CREATE INDEX OrðFold ON Orð(kv_fold(Orð));"
         "CREATE INDEX TengillOrð ON Tengill(OrðID, FærsluID, HópID, Orðtag);"
         "COMMIT; ANALYZE;");
    sqlite3_close(db);
  }

  testing::Site site_;
  std::string file_;
  Faersla faersla_;
};

Catalogue& catalogue() {
  static Catalogue c;
  return c;
}

// The records holding every term (a term with "*" matches the words that
// start with what comes before it), counted directly.
long long hits(const std::vector<std::string>& terms) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(catalogue().file().c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  db::register_kv_functions(db);
  std::string sql = "SELECT COUNT(*) FROM (";
  for (std::size_t i = 0; i < terms.size(); ++i) {
    std::string t = terms[i];
    bool star = !t.empty() && t.back() == '*';
    if (star) t.pop_back();
    if (i) sql += " INTERSECT ";
    sql += "SELECT t.FærsluID FROM Tengill t JOIN Orð o ON o.ID = t.OrðID WHERE kv_fold(o.Orð) " +
           std::string(star ? "GLOB '" + t + "*'" : "= '" + t + "'");
  }
  sql += ")";
  sqlite3_stmt* s = nullptr;
  long long n = -1;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
    n = sqlite3_column_int64(s, 0);
  sqlite3_finalize(s);
  sqlite3_close(db);
  return n;
}

void run(benchmark::State& state, const std::vector<std::string>& terms, bool stored) {
  catalogue().use(stored);
  Faersla& f = catalogue().faersla();
  std::string text;
  for (const std::string& t : terms) text += (text.empty() ? "" : " ") + t;
  SafeArray<Text> stop(0, {Text()});
  int32_t results = 0;
  auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    Variant g(int32_t(-1)), fld(int32_t(-1)), s(from_utf8(text));
    SafeArray<Text> svar, keys;
    SafeArray<int32_t> ids;
    int32_t max = 50;
    results = f.Leita(g, fld, s, svar, ids, keys, stop, max);
    if (results < 0) {
      state.SkipWithError("the search failed (see the log)");
      return;
    }
    benchmark::DoNotOptimize(ids);
  }
  state.counters["hits"] = double(hits(terms));
  state.counters["results"] = results;
  std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
  state.counters["ms"] = elapsed.count() / double(state.iterations());
}

const std::vector<std::pair<const char*, std::vector<std::string>>> kSearches = {
    {"OneTerm", {"saga"}},
    {"OneTermRare", {"þór"}},
    {"TwoTerms", {"saga", "land"}},
    {"ThreeTerms", {"saga", "land", "maður"}},
    {"OneTermTruncated", {"saga*"}},
    {"TwoTermsTruncated", {"sag*", "land*"}},
    {"ThreeTermsTruncated", {"saga*", "land*", "maður"}},
};

[[maybe_unused]] const bool registered = [] {
  for (bool stored : {false, true})
    for (const auto& [name, terms] : kSearches)
      benchmark::RegisterBenchmark((std::string(name) + (stored ? "/stored" : "/tables")).c_str(),
                                   [terms = terms, stored](benchmark::State& s) { run(s, terms, stored); })
          ->Unit(benchmark::kMillisecond);
  return true;
}();

}  // namespace

BENCHMARK_MAIN();
