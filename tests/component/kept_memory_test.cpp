// What the process keeps of catalogues between calls: within one budget
// whatever is searched, by however many threads, in however many states,
// and never changing an answer.  (Kept apart for each role and schema on a
// server: the reliability tests.)
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "common/site.h"
#include "component/host_calls.h"
#include "import/marc/generate.h"
#include "kvistur/faersla.h"
#include "platform/kept_memory.h"
#include "platform/workgroup.h"
#include "settings/thread_state.h"
#include "tools/run_tool.h"

using namespace kvistur;
using kvistur::testing::log_on;
using kvistur::testing::search;
using kvistur::testing::Site;

namespace {

// Writes to a catalogue that threads are reading, as another program
// would: waiting for their reads to end.
void write(const std::string& file, const char* sql) {
  sqlite3* db = nullptr;
  sqlite3_open(file.c_str(), &db);
  sqlite3_busy_timeout(db, 60000);
  EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

TEST(KeptMemory, StaysWithinTheBudgetWhateverIsSearchedByManyThreadsInManyStates) {
  Site site(false);
  db::workgroup_init(site.workgroup());
  import::GenerateOptions options;
  options.records = 300;
  options.vocabulary = 400;
  import::GenerateCatalogue(site.dir(), options, [](long) {});
  std::filesystem::copy_file(site.dir() + "/katalogur.sqlite", site.dir() + "/annar.sqlite");
  // Common words, truncated ones, and many distinct long words no record has.
  std::vector<Text> terms;
  for (auto& w : kvistur::testing::sql_rows(site.catalogue(), "SELECT Orð FROM Orð ORDER BY ID LIMIT 12")) {
    terms.push_back(from_utf8(w));
    terms.push_back(from_utf8(w).substr(0, 2) + u"*");
  }
  for (int i = 0; i < 240; ++i) terms.push_back(Text(1500, char16_t(u'a' + i % 26)) + from_utf8(std::to_string(i)));
  const std::vector<std::string> catalogues = {"katalogur.sqlite", "annar.sqlite"};

  // The answers when nothing at all is kept.
  site.set("Leit", "Minni", "0");
  std::map<std::pair<std::string, std::size_t>, std::string> expected;
  std::thread([&] {
    Faersla f;
    EXPECT_EQ(log_on(f), 0);
    for (const std::string& c : catalogues) {
      site.set("Grunnur", "GrunnNafn", c);
      for (std::size_t i = 0; i < terms.size(); ++i) expected[{c, i}] = search(f, terms[i]);
    }
  }).join();

  site.set("Leit", "Minni", "1");
  const std::size_t budget = std::size_t(1) << 20;
  constexpr int kThreads = 6, kSearches = 120, kStates = 12;
  std::atomic<int> mismatches{0}, over{0};
  std::atomic<std::size_t> peak{0};
  for (const std::string& c : catalogues) {
    site.set("Grunnur", "GrunnNafn", c);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        Faersla f;
        EXPECT_EQ(log_on(f), 0);
        for (int i = 0; i < kSearches; ++i) {
          std::size_t k = std::size_t(i * 37 + t * 11) % terms.size();
          if (search(f, terms[k]) != expected[{c, k}]) ++mismatches;
          std::size_t used = KeptMemory::Used();
          if (used > budget) ++over;
          for (std::size_t p = peak; used > p && !peak.compare_exchange_weak(p, used);) {
          }
        }
      });
    // Meanwhile the catalogue moves on to new states that give the same
    // answers (word links written over with themselves).
    for (int s = 0; s < kStates; ++s) {
      write(site.dir() + "/" + c, "UPDATE Tengill SET Orðtag = Orðtag WHERE FærsluID = 1");
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (auto& th : threads) th.join();
  }
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(over.load(), 0);
  EXPECT_EQ(KeptMemory::Limit(), budget);
  EXPECT_LE(KeptMemory::Used(), budget);
  EXPECT_GT(peak.load(), budget * 3 / 4) << "what fits is kept";
  site.unset("Leit", "Minni");
  thread_state() = ThreadState{};
}

}  // namespace
