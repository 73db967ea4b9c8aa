// kvistur update end to end: a catalogue updated in place holds what a
// fresh build of the same records holds; searches running meanwhile see the
// old or the new catalogue, never a mix, and never fail; a failed or killed
// update leaves the catalogue as it was.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "component/faersla_state.h"
#include "component/methods.h"
#include "settings/thread_state.h"
#include "tools/run_tool.h"

using namespace kvistur;
using kvistur::testing::run_tool;
namespace fs = std::filesystem;

namespace {

std::string record(const std::string& status, const std::string& body) {
  return "<record><leader>00000" + status + "am a2200000 a 4500</leader>" + body + "</record>";
}
std::string collection(const std::string& records) {
  return "<collection xmlns=\"http://www.loc.gov/MARC21/slim\">" + records + "</collection>";
}
std::string field(const std::string& tag, const std::string& subfields) {
  if (tag < "010") return "<controlfield tag=\"" + tag + "\">" + subfields + "</controlfield>";
  return "<datafield tag=\"" + tag + "\" ind1=\"1\" ind2=\"0\">" + subfields + "</datafield>";
}
std::string sf(char code, const std::string& v) { return std::string("<subfield code=\"") + code + "\">" + v + "</subfield>"; }

std::string book(const std::string& id, const std::string& title, const std::string& copy, const std::string& status = "n") {
  return record(status, field("001", id) + field("003", "IS-ReLB") + field("100", sf('a', "Jónsson, Jón,")) +
                            field("245", sf('a', title + " /") + sf('c', "Jón Jónsson.")) +
                            field("260", sf('a', "Reykjavík :") + sf('b', "Forlagið,") + sf('c', "2020.")) +
                            (copy.empty() ? "" : field("852", sf('a', "1") + sf('b', "Skáldsögur") + sf('p', copy))));
}
std::string part(const std::string& id, const std::string& title, const std::string& host) {
  return "<record><leader>00000naa a2200000 a 4500</leader>" + field("001", id) + field("245", sf('a', title)) +
         field("773", sf('t', "Safnið") + sf('w', host)) + "</record>";
}

// Everything the component reads of a catalogue, by control number rather
// than by record number: the row, the host's control number, the copies and
// the word index.
std::map<std::string, std::string> contents(const std::string& file) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  const char* q =
      "SELECT f.Stjórnnúmer, m.ÖllFærslan || m.MarkSnið || m.Röðunarsvið || m.Tag || m.Einkennisstrengur || "
      "ifnull((SELECT h.Stjórnnúmer FROM Frumfærsla h WHERE h.ID = m.Upprunafærsla), '-') || "
      "ifnull((SELECT group_concat(a.Aðfanganúmer || a.Staðsetning || a.Lánþegabendir, ',') FROM Aðfanganúmer a "
      "WHERE a.Móðurbendir = m.ID), '') || (SELECT group_concat(w, ' ') FROM (SELECT o.Orð || t.HópID || t.Orðtag w "
      "FROM Tengill t JOIN Orð o ON o.ID = t.OrðID WHERE t.FærsluID = m.ID ORDER BY 1)) || hex(f.Færsla) "
      "FROM Frumfærsla f JOIN Móðurtafla m ON m.ID = f.ID";
  sqlite3_stmt* st = nullptr;
  std::map<std::string, std::string> out;
  if (sqlite3_prepare_v2(db, q, -1, &st, nullptr) == SQLITE_OK)
    while (sqlite3_step(st) == SQLITE_ROW)
      out[reinterpret_cast<const char*>(sqlite3_column_text(st, 0))] = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
  sqlite3_finalize(st);
  sqlite3_close(db);
  return out;
}

std::string bytes_of(const std::string& file) {
  std::ifstream f(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

class UpdateTool : public ::testing::Test {
 protected:
  void SetUp() override {
    char t[] = "/tmp/kvistur-update-XXXXXX";
    dir_ = mkdtemp(t);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ + "/" + name) << text;
    return dir_ + "/" + name;
  }
  std::string dir_;
};

}  // namespace

TEST_F(UpdateTool, AnUpdatedCatalogueHoldsWhatAFreshBuildOfTheSameRecordsHolds) {
  std::string base = write("base.xml", collection(book("b1", "Fyrsta bók", "101") + book("b2", "Önnur bók", "102") +
                                                  book("h1", "Safnið", "") + part("p1", "Kafli", "h1")));
  std::string changes =
      write("changes.xml", collection(book("b1", "Fyrsta bókin endurbætt", "201", "c") + book("b2", "", "", "d") +
                                      book("n1", "Ný bók", "301") + part("p2", "Annar kafli", "h1") +
                                      book("", "Engin númer", "") + book("x9", "Hvergi", "", "d")));
  ASSERT_EQ(run_tool({"build", "--marc", base, "--out", dir_ + "/cat"}).exit_code, 0);
  auto r = run_tool({"update", "--marc", changes, dir_ + "/cat"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "added 2, replaced 1, deleted 1, skipped 2 in " + dir_ + "/cat/katalogur.sqlite\n");
  EXPECT_EQ(kvistur::testing::without_progress(r.err),
            changes + ": record 5: no control number (001) to match it by, skipped\n" + changes +
                ": record 6: record x9 to be deleted is not in the catalogue, skipped\n");

  std::string fresh = write("fresh.xml", collection(book("b1", "Fyrsta bókin endurbætt", "201", "c") + book("h1", "Safnið", "") +
                                                    part("p1", "Kafli", "h1") + book("n1", "Ný bók", "301") +
                                                    part("p2", "Annar kafli", "h1")));
  ASSERT_EQ(run_tool({"build", "--marc", fresh, "--out", dir_ + "/fresh"}).exit_code, 0);
  auto updated = contents(dir_ + "/cat/katalogur.sqlite"), built = contents(dir_ + "/fresh/katalogur.sqlite");
  EXPECT_EQ(updated.size(), 5u);
  for (auto& [control, row] : built) EXPECT_EQ(updated[control], row) << control;

  // A file with nothing to apply changes nothing.
  std::string before = bytes_of(dir_ + "/cat/katalogur.sqlite");
  r = run_tool({"update", "--marc", write("bad.xml", collection(book("x9", "Hvergi", "", "d"))), dir_ + "/cat"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(bytes_of(dir_ + "/cat/katalogur.sqlite"), before);
  EXPECT_EQ(run_tool({"update", "--marc", changes, dir_ + "/nowhere"}).exit_code, 1);
}

// Eight threads search while an update replaces every record: each search
// gives the whole old result or the whole new one, none fails, and once
// the update has committed every thread sees the new one (what the search
// kept of the old catalogue is let go).
TEST_F(UpdateTool, SearchesDuringAnUpdateSeeTheOldOrTheNewCatalogue) {
  ASSERT_EQ(run_tool({"generate", "--records", "1500", "--seed", "1", "--out", dir_}).exit_code, 0);
  ASSERT_EQ(run_tool({"generate", "--records", "1500", "--seed", "2", "--marc", dir_ + "/changes.mrc"}).exit_code, 0);
  setenv("LINDRIT_SETTINGS", (dir_ + "/lindrit-1.0.ini").c_str(), 1);
  setenv("KVISTUR_LOG", (dir_ + "/melding.txt").c_str(), 1);
  // A word many records of both states have.
  std::string word;
  {
    sqlite3* db = nullptr;
    sqlite3_open_v2((dir_ + "/katalogur.sqlite").c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT o.Orð FROM Orð o JOIN Tengill t ON t.OrðID = o.ID WHERE t.Orðtag = 2 "
                       "GROUP BY o.ID ORDER BY count(*) DESC LIMIT 1", -1, &st, nullptr);
    if (sqlite3_step(st) == SQLITE_ROW) word = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    sqlite3_finalize(st);
    sqlite3_close(db);
  }
  ASSERT_FALSE(word.empty());
  using Result = std::vector<std::string>;
  auto search = [&]() -> Result {
    Variant group(int32_t(1)), field(int32_t(2)), text(from_utf8(word));
    SafeArray<Text> svar, einkenni, stops(0, std::vector<Text>{u""});
    SafeArray<int32_t> ids;
    int32_t max = 40;
    int16_t rofi = 0;
    int32_t n = Leita(group, field, text, svar, ids, einkenni, stops, max, &rofi, nullptr);
    Result r{std::to_string(n)};
    for (int32_t i = 1; i <= n; ++i) r.push_back(std::to_string(ids(i)) + " " + to_utf8(svar(i)));
    return r;
  };
  auto log_on = [] {
    FaerslaState st;
    Text user = u"Admin", pw = u"";
    return LogOn(st, user, pw) == 0;
  };
  ASSERT_TRUE(log_on());
  Result old_result = search();
  ASSERT_GT(old_result.size(), 1u);

  std::atomic<bool> updating{true};
  std::atomic<int> during{0}, failures{0};
  std::vector<Result> seen, finals;
  std::mutex seen_mutex;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      if (!log_on()) ++failures;
      while (updating) {
        Result r = search();
        if (r[0] == "-1") ++failures;
        ++during;
        std::lock_guard<std::mutex> lock(seen_mutex);
        seen.push_back(std::move(r));
      }
      Result last = search();
      std::lock_guard<std::mutex> lock(seen_mutex);
      finals.push_back(std::move(last));
      thread_state() = ThreadState{};
    });
  auto r = run_tool({"update", "--marc", dir_ + "/changes.mrc", dir_});
  updating = false;
  for (auto& t : threads) t.join();
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out.substr(0, 40), "added 0, replaced 1500, deleted 0, skipp");
  Result new_result = search();
  EXPECT_NE(new_result, old_result);
  EXPECT_EQ(failures, 0) << bytes_of(dir_ + "/melding.txt");
  EXPECT_GT(during, 8);
  for (auto& s : seen) EXPECT_TRUE(s == old_result || s == new_result) << s[0] << " hits: " << (s.size() > 1 ? s[1] : "");
  for (auto& f : finals) EXPECT_EQ(f, new_result);
  thread_state() = ThreadState{};
  unsetenv("LINDRIT_SETTINGS");
  unsetenv("KVISTUR_LOG");
}

// An update killed at any moment leaves the catalogue it found (or, killed
// after its commit, the updated one), readable by hosts.
TEST_F(UpdateTool, AKilledUpdateLeavesTheCatalogueAsItWas) {
  ASSERT_EQ(run_tool({"generate", "--records", "1000", "--seed", "1", "--out", dir_ + "/cat"}).exit_code, 0);
  ASSERT_EQ(run_tool({"generate", "--records", "1000", "--seed", "2", "--marc", dir_ + "/changes.mrc"}).exit_code, 0);
  std::string file = dir_ + "/cat/katalogur.sqlite";
  std::string before = bytes_of(file);
  auto old_contents = contents(file);
  fs::copy(dir_ + "/cat", dir_ + "/done");
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(run_tool({"update", "--marc", dir_ + "/changes.mrc", dir_ + "/done"}).exit_code, 0);
  auto took = std::chrono::steady_clock::now() - start;
  auto new_contents = contents(dir_ + "/done/katalogur.sqlite");
  ASSERT_NE(new_contents, old_contents);
  for (double at : {0.1, 0.4, 0.7, 0.9, 0.97}) {
    pid_t pid = fork();
    if (pid == 0) {
      execl(KVISTUR_TOOL, KVISTUR_TOOL, "update", "--marc", (dir_ + "/changes.mrc").c_str(), (dir_ + "/cat").c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    std::this_thread::sleep_for(took * at);
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    bool finished = WIFEXITED(status);
    auto now = contents(file);
    if (!finished && now.empty()) {
      // Killed inside the commit: the next writer rolls the journal back.
      sqlite3* db = nullptr;
      sqlite3_open(file.c_str(), &db);
      sqlite3_exec(db, "SELECT count(*) FROM Móðurtafla", nullptr, nullptr, nullptr);
      sqlite3_close(db);
      now = contents(file);
    }
    if (now == new_contents) break;  // the update had committed
    EXPECT_EQ(now, old_contents) << "killed at " << at;
    EXPECT_EQ(bytes_of(file), before) << "killed at " << at;
  }
}
