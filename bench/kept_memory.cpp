// The memory a process keeps between searches, and its resident size, under
// a flood: 8 threads each search 400 times for the most common word and
// four of 12 800 distinct 1 500-character words, on a generated catalogue
// of 20 000 records with its stored index, while another program moves the
// catalogue to a new state twice.  Reported: the bytes kept
// (KeptMemory::Used) at their peak and after the flood, the budget, and the
// process's resident size before the flood, at its peak and after it, in
// MiB.  With the default budget and with 8 MiB (setting Leit/Minni), each
// with the stored index answering and with every hit sorted (the debug log
// on).  The resident sizes are the first run's of a process: run each
// alone (--benchmark_filter=Flood/budget:8/sorted:1).
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "../tests/common/site.h"
#include "import/marc/generate.h"
#include "kvistur/faersla.h"
#include "platform/kept_memory.h"
#include "platform/workgroup.h"

namespace {

using namespace kvistur;

constexpr int kThreads = 8, kSearches = 400, kStates = 2, kLongWords = 4;
constexpr long kRecords = 20000;

// A line of /proc/self/status in MiB: VmRSS the resident size now, VmHWM
// its peak since the peak was last cleared.
double status_mib(const std::string& name) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(name + ":", 0) == 0) return std::stod(line.substr(name.size() + 1)) / 1024;
  return 0;
}

void search(Faersla& f, const Text& text) {
  Variant g(int32_t(-1)), fl(int32_t(-1)), s{text};
  SafeArray<Text> svar, keys, stop(0, {u""});
  SafeArray<int32_t> ids;
  int32_t max = 10;
  f.Leita(g, fl, s, svar, ids, keys, stop, max);
}

// The catalogue's most common word.
Text common_word(const std::string& catalogue) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(catalogue.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, "SELECT o.Orð FROM Orð o JOIN Tengill t ON t.OrðID = o.ID GROUP BY o.ID ORDER BY count(*) DESC LIMIT 1",
                     -1, &st, nullptr);
  std::string word = sqlite3_step(st) == SQLITE_ROW ? reinterpret_cast<const char*>(sqlite3_column_text(st, 0)) : "";
  sqlite3_finalize(st);
  sqlite3_close(db);
  return from_utf8(word);
}

void Flood(benchmark::State& state) {
  static testing::Site* site = [] {
    auto* s = new testing::Site(false);
    db::workgroup_init(s->workgroup());
    import::GenerateOptions options;
    options.records = kRecords;
    import::GenerateCatalogue(s->dir(), options, [](long) {});
    // Logged on once before: the threads' log-ons do not pay for the
    // password's hash again, which would be most of the peak.
    Faersla f;
    Text user = u"Admin", pw = u"";
    f.LogOn(user, pw);
    return s;
  }();
  static const Text common = common_word(site->catalogue());
  if (state.range(0) > 0) site->set("Leit", "Minni", std::to_string(state.range(0)));
  else site->unset("Leit", "Minni");
  // With the debug log on every hit is sorted the long way, through the
  // term lists; off, the stored index answers (its words of terms kept).
  site->debug(state.range(1) != 0);
  for (auto _ : state) {
    const double before = status_mib("VmRSS");
    std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts from here
    std::atomic<std::size_t> peak{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        Faersla f;
        Text user = u"Admin", pw = u"";
        f.LogOn(user, pw);
        for (int i = 0; i < kSearches; ++i) {
          // Thread 0 also plays the other program that moves the catalogue on.
          if (t == 0 && i % (kSearches / kStates) == kSearches / kStates / 2) {
            sqlite3* db = nullptr;
            sqlite3_open(site->catalogue().c_str(), &db);
            sqlite3_busy_timeout(db, 60000);
            sqlite3_exec(db, "UPDATE Tengill SET Orðtag = Orðtag WHERE FærsluID = 1", nullptr, nullptr, nullptr);
            sqlite3_close(db);
          }
          Text text = common;
          for (int w = 0; w < kLongWords; ++w)
            text += u" " + Text(1500, char16_t(u'a' + (t + i + w) % 26)) +
                    from_utf8(std::to_string((t * kSearches + i) * kLongWords + w));
          search(f, text);
          std::size_t used = KeptMemory::Used();
          for (std::size_t p = peak; used > p && !peak.compare_exchange_weak(p, used);) {
          }
        }
      });
    for (auto& th : threads) th.join();
    state.counters["budget_MiB"] = double(KeptMemory::Limit()) / (1 << 20);
    state.counters["kept_peak_MiB"] = double(peak.load()) / (1 << 20);
    state.counters["kept_after_MiB"] = double(KeptMemory::Used()) / (1 << 20);
    state.counters["rss_before_MiB"] = before;
    state.counters["rss_peak_MiB"] = status_mib("VmHWM");
    state.counters["rss_after_MiB"] = status_mib("VmRSS");
  }
}
BENCHMARK(Flood)->ArgNames({"budget", "sorted"})->Args({0, 0})->Args({0, 1})->Args({8, 0})->Args({8, 1})->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
