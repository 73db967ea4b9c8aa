// What an update costs on a catalogue made by `kvistur generate`: one
// changed record, then a day's file of 1 000 records (600 changed, 300 new,
// 100 deleted), applied in place as `kvistur update` applies them, while a
// host searches the catalogue without a pause.  Each update is timed whole
// (apply and commit) and at its commit, and says whether the stored index
// took it as a delta or was written whole; the host's searches that ran
// while an update committed are timed against the host's usual search.
//
//   build/kvistur generate --records 100000 --out /tmp/upd100k
//   build/update_bench --catalogue /tmp/upd100k [--singles 5] [--days 2]
//
// The catalogue is changed (run `kvistur generate` again for a fresh one).
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "import/generate.h"
#include "import/marc_reader.h"
#include "import/update.h"
#include "kvistur/faersla.h"

namespace {

using namespace kvistur;
using Clock = std::chrono::steady_clock;

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Records g1..gN of another seed: the same control numbers as the
// catalogue's first records, other contents.
std::vector<import::MarcRecord> other_records(long n, unsigned seed) {
  std::vector<import::MarcRecord> out;
  import::GenerateOptions o;
  o.records = n;
  o.seed = seed;
  import::GenerateRecords(o, [&](const import::MarcRecord& m) { out.push_back(m); });
  return out;
}

void set_control(import::MarcRecord& m, const std::string& number) {
  for (auto& f : m.fields)
    if (f.tag == "001") f.data = number;
}

// The first value of SQL on FILE, as text ("" when none).
std::string first_value(const std::string& file, const char* sql) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* st = nullptr;
  std::string out;
  if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW &&
      sqlite3_column_text(st, 0))
    out = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
  sqlite3_finalize(st);
  sqlite3_close(db);
  return out;
}

std::string index_state(const std::string& file) {
  std::string d = first_value(file, "SELECT delta_records FROM kv_search_meta");
  return d.empty() ? "no stored index" : d == "0" ? "index written whole" : "a delta of " + d + " records";
}

// A host searching without a pause; each search's start and end kept.
class Host {
 public:
  explicit Host(const std::string& word) : thread_([this, word] { run(word); }) {}
  ~Host() {
    stop_ = true;
    thread_.join();
  }
  struct Call {
    Clock::time_point from, to;
  };
  std::vector<Call> calls() {
    std::lock_guard<std::mutex> lock(m_);
    return calls_;
  }

 private:
  void run(const std::string& word) {
    Faersla f;
    Text user = u"Admin", password = u"";
    f.LogOn(user, password);
    while (!stop_) {
      Variant group(int32_t(-1)), field(int32_t(-1)), text(from_utf8(word));
      SafeArray<Text> svar, keys, stop(0, {u""});
      SafeArray<int32_t> ids;
      int32_t max = 10;
      Clock::time_point from = Clock::now();
      f.Leita(group, field, text, svar, ids, keys, stop, max);
      std::lock_guard<std::mutex> lock(m_);
      calls_.push_back({from, Clock::now()});
    }
  }
  std::atomic<bool> stop_{false};
  std::mutex m_;
  std::vector<Call> calls_;
  std::thread thread_;
};

struct Timing {
  double total = 0, commit = 0;
  Clock::time_point commit_from, commit_to;
};

Timing run_update(const std::string& file, const std::vector<import::MarcRecord>& records) {
  Timing t;
  Clock::time_point from = Clock::now();
  import::CatalogueUpdate u(file);
  for (const auto& r : records) {
    std::string why;
    u.Apply(r, false, why);
  }
  t.commit_from = Clock::now();
  u.Commit();
  t.commit_to = Clock::now();
  t.total = ms(t.commit_to - from);
  t.commit = ms(t.commit_to - t.commit_from);
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir;
  int singles = 5, days = 2;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--catalogue")) dir = argv[i + 1];
    else if (!std::strcmp(argv[i], "--singles")) singles = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--days")) days = std::atoi(argv[i + 1]);
  }
  if (dir.empty()) {
    std::fprintf(stderr, "usage: update_bench --catalogue DIR [--singles N] [--days N]\n");
    return 2;
  }
  const std::string file = dir + "/katalogur.sqlite", settings = dir + "/lindrit-1.0.ini";
  setenv("LINDRIT_SETTINGS", settings.c_str(), 1);
  const int64_t n = std::stoll("0" + first_value(file, "SELECT max(ID) FROM Móðurtafla"));
  if (n < 3000) {
    std::fprintf(stderr, "update_bench: the catalogue needs 3 000 records at least\n");
    return 2;
  }
  // A common word: the first of the word index (numbered as first met).
  const std::string word = first_value(file, "SELECT Orð FROM Orð WHERE ID = (SELECT min(OrðID) FROM Tengill)");
  std::printf("catalogue of %lld records, %s; the host searches for %s\n", (long long)n, index_state(file).c_str(),
              word.c_str());

  std::vector<import::MarcRecord> changed = other_records(2000, 7);
  std::vector<Timing> timings;
  std::vector<std::string> what;
  {
    Host host(word);
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the host's own first searches
    for (int i = 0; i < singles; ++i) {
      timings.push_back(run_update(file, {changed[std::size_t(i)]}));
      what.push_back("1 changed record (" + index_state(file) + ")");
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    for (int d = 0; d < days; ++d) {
      std::vector<import::MarcRecord> day;
      for (int i = 0; i < 600; ++i) day.push_back(changed[std::size_t(100 + d * 600 + i) % changed.size()]);
      for (int i = 0; i < 300; ++i) {
        import::MarcRecord m = changed[std::size_t(i)];
        set_control(m, "g" + std::to_string(n + 1 + d * 300 + i));
        day.push_back(m);
      }
      for (int i = 0; i < 100; ++i) {
        import::MarcRecord m = changed[std::size_t(i)];
        set_control(m, "g" + std::to_string(n - 1000 - d * 100 - i));
        m.leader[5] = 'd';
        day.push_back(m);
      }
      timings.push_back(run_update(file, day));
      what.push_back("1 000 records (" + index_state(file) + ")");
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::vector<Host::Call> calls = host.calls();
    std::vector<double> usual;
    for (const auto& c : calls) usual.push_back(ms(c.to - c.from));
    std::sort(usual.begin(), usual.end());
    std::printf("host: %zu searches, median %.1f ms, 99th percentile %.1f ms\n", usual.size(),
                usual.empty() ? 0.0 : usual[usual.size() / 2], usual.empty() ? 0.0 : usual[usual.size() * 99 / 100]);
    for (std::size_t i = 0; i < timings.size(); ++i) {
      const Timing& t = timings[i];
      // The searches that were running, or began, while the update
      // committed; and the first that began after it, which reads the new
      // state afresh (what it costs a host besides any wait).
      double longest = 0, first_after = 0;
      int during = 0;
      for (const auto& c : calls) {
        if (c.to >= t.commit_from && c.from <= t.commit_to) {
          ++during;
          longest = std::max(longest, ms(c.to - c.from));
        } else if (c.from > t.commit_to && first_after == 0) {
          first_after = ms(c.to - c.from);
        }
      }
      std::printf("%-48s %9.1f ms, commit %8.1f ms; %d searches met the commit, the longest %.1f ms; the first after "
                  "it %.1f ms\n",
                  what[i].c_str(), t.total, t.commit, during, longest, first_after);
    }
  }

  return 0;
}
