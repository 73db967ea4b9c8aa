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
#include <random>
#include <thread>

#include "common/marc_xml.h"
#include "common/pg_server.h"
#include "component/faersla_state.h"
#include "component/methods.h"
#include "import/store/indexes.h"
#include "settings/thread_state.h"
#include "tools/run_tool.h"

using namespace kvistur;
using kvistur::testing::run_tool;
namespace fs = std::filesystem;

namespace {

using kvistur::testing::marc_collection;
using kvistur::testing::marc_control;
using kvistur::testing::marc_field;

// A book; STATUS "c" replaces it, "d" deletes it.
std::string book(const std::string& id, const std::string& title, const std::string& copy, const std::string& status = "n") {
  return kvistur::testing::marc_record(
      status + "am", marc_control("001", id) + marc_control("003", "IS-ReLB") + marc_field("100", "10", {{'a', "Jónsson, Jón,"}}) +
                         marc_field("245", "10", {{'a', title + " /"}, {'c', "Jón Jónsson."}}) +
                         marc_field("260", "10", {{'a', "Reykjavík :"}, {'b', "Forlagið,"}, {'c', "2020."}}) +
                         (copy.empty() ? "" : marc_field("852", "10", {{'a', "1"}, {'b', "Skáldsögur"}, {'p', copy}})));
}
std::string part(const std::string& id, const std::string& title, const std::string& host) {
  return kvistur::testing::marc_record("naa", marc_control("001", id) + marc_field("245", "10", {{'a', title}}) +
                                                  marc_field("773", "10", {{'t', "Safnið"}, {'w', host}}));
}

// Everything the component reads of a catalogue, by control number rather
// than by record number: the row, the host's control number, the copies and
// the word index.
std::map<std::string, std::string> contents(const std::string& file) {
  const char* q =
      "SELECT f.Stjórnnúmer, m.ÖllFærslan || m.MarkSnið || m.Röðunarsvið || m.Tag || m.Einkennisstrengur || "
      "ifnull((SELECT h.Stjórnnúmer FROM Frumfærsla h WHERE h.ID = m.Upprunafærsla), '-') || "
      "ifnull((SELECT group_concat(a.Aðfanganúmer || a.Staðsetning || a.Lánþegabendir, ',') FROM Aðfanganúmer a "
      "WHERE a.Móðurbendir = m.ID), '') || (SELECT group_concat(w, ' ') FROM (SELECT o.Orð || t.HópID || t.Orðtag w "
      "FROM Tengill t JOIN Orð o ON o.ID = t.OrðID WHERE t.FærsluID = m.ID ORDER BY 1)) || hex(f.Færsla) "
      "FROM Frumfærsla f JOIN Móðurtafla m ON m.ID = f.ID";
  std::map<std::string, std::string> out;
  try {
    for (auto& row : kvistur::testing::sql_rows(file, q)) out[row.substr(0, row.find('|'))] = row.substr(row.find('|') + 1);
  } catch (const std::runtime_error&) {  // a catalogue that cannot be read holds nothing
  }
  return out;
}

// Runs SQL on a catalogue file as another program would, with the engine's
// functions (its indexes use them).
void another_program(const std::string& file, const std::string& sql) {
  auto db = kvistur::db::OpenSqlite(file, SQLITE_OPEN_READWRITE);
  kvistur::import::RegisterKvFunctions(db.get());
  kvistur::import::ExecSql(db.get(), sql.c_str());
}

// The folder of a test, and the files it writes there.
template <typename Base>
class InFolder : public Base {
 protected:
  std::string write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ + "/" + name) << text;
    return dir_ + "/" + name;
  }
  kvistur::testing::TempDir temp_;
  const std::string dir_ = temp_.path;
};
using UpdateTool = InFolder<::testing::Test>;

// A search as a host makes it: Leita for WORD in the titles of group 1 on
// this thread's log-on; the count, then each hit.
using Result = std::vector<std::string>;
Result search(const std::string& word) {
  Variant group(int32_t(1)), field(int32_t(2)), text(from_utf8(word));
  SafeArray<Text> svar, einkenni, stops(0, std::vector<Text>{u""});
  SafeArray<int32_t> ids;
  int32_t max = 40;
  int16_t rofi = 0;
  int32_t n = Leita(group, field, text, svar, ids, einkenni, stops, max, &rofi, nullptr);
  Result r{std::to_string(n)};
  for (int32_t i = 1; i <= n; ++i) r.push_back(std::to_string(ids(i)) + " " + to_utf8(svar(i)));
  return r;
}

bool log_on() {
  FaerslaState st;
  Text user = u"Admin", pw = u"";
  return LogOn(st, user, pw) == 0;
}

// Eight host threads, each with its own log-on, searching for one word
// until stopped; every answer is kept, and a failed search counted.
class SearchingHosts {
 public:
  explicit SearchingHosts(const std::string& word) {
    for (int t = 0; t < kThreads; ++t)
      threads_.emplace_back([this, word] {
        if (!log_on()) ++failures_;
        while (searching_) {
          Result r = search(word);
          if (r[0] == "-1") ++failures_;
          {
            std::lock_guard<std::mutex> lock(mutex_);
            seen_.push_back(std::move(r));
          }
          // A host's searches come a moment apart: the command and the
          // other hosts get their share of two cores.
          std::this_thread::sleep_for(kPause);
        }
        Result last = search(word);
        std::lock_guard<std::mutex> lock(mutex_);
        last_.push_back(std::move(last));
        thread_state() = ThreadState{};
      });
  }
  ~SearchingHosts() { stop(); }
  void stop() {
    searching_ = false;
    for (auto& t : threads_)
      if (t.joinable()) t.join();
  }
  static constexpr int kThreads = 8;
  static constexpr auto kPause = std::chrono::milliseconds(10);
  // Once stopped: the answers while searching.
  const std::vector<Result>& seen() const { return seen_; }
  // Once stopped: no search failed (LOG, the log file, says why one did),
  // each answer was OLD or NEW, and each thread's answer after it was told
  // to stop is NEW.
  void expect_old_or_new(const Result& old_result, const Result& new_result, const std::string& log) const {
    EXPECT_EQ(failures_, 0) << kvistur::testing::file_bytes(log);
    for (auto& s : seen_)
      EXPECT_TRUE(s == old_result || s == new_result) << s[0] << " hits: " << (s.size() > 1 ? s[1] : "");
    for (auto& f : last_) EXPECT_EQ(f, new_result);
  }

 private:
  std::atomic<bool> searching_{true};
  std::atomic<int> failures_{0};
  std::mutex mutex_;
  std::vector<Result> seen_, last_;
  std::vector<std::thread> threads_;
};

}  // namespace

TEST_F(UpdateTool, AnUpdatedCatalogueHoldsWhatAFreshBuildOfTheSameRecordsHolds) {
  std::string base = write("base.xml", marc_collection(book("b1", "Fyrsta bók", "101") + book("b2", "Önnur bók", "102") +
                                                  book("h1", "Safnið", "") + part("p1", "Kafli", "h1")));
  std::string changes =
      write("changes.xml", marc_collection(book("b1", "Fyrsta bókin endurbætt", "201", "c") + book("b2", "", "", "d") +
                                      book("n1", "Ný bók", "301") + part("p2", "Annar kafli", "h1") +
                                      book("", "Engin númer", "") + book("x9", "Hvergi", "", "d")));
  ASSERT_EQ(run_tool({"build", "--marc", base, "--out", dir_ + "/cat"}).exit_code, 0);
  auto r = run_tool({"update", "--marc", changes, dir_ + "/cat"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "added 2, replaced 1, deleted 1, skipped 2 in " + dir_ + "/cat/katalogur.sqlite\n");
  EXPECT_EQ(kvistur::testing::without_progress(r.err),
            changes + ": record 5: no control number (001) to match it by, skipped\n" + changes +
                ": record 6: record x9 to be deleted is not in the catalogue, skipped\n");

  std::string fresh = write("fresh.xml", marc_collection(book("b1", "Fyrsta bókin endurbætt", "201", "c") + book("h1", "Safnið", "") +
                                                    part("p1", "Kafli", "h1") + book("n1", "Ný bók", "301") +
                                                    part("p2", "Annar kafli", "h1")));
  ASSERT_EQ(run_tool({"build", "--marc", fresh, "--out", dir_ + "/fresh"}).exit_code, 0);
  auto updated = contents(dir_ + "/cat/katalogur.sqlite"), built = contents(dir_ + "/fresh/katalogur.sqlite");
  EXPECT_EQ(updated.size(), 5u);
  for (auto& [control, row] : built) EXPECT_EQ(updated[control], row) << control;

  // A file with nothing to apply changes nothing.
  std::string before = kvistur::testing::file_bytes(dir_ + "/cat/katalogur.sqlite");
  r = run_tool({"update", "--marc", write("bad.xml", marc_collection(book("x9", "Hvergi", "", "d"))), dir_ + "/cat"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(kvistur::testing::file_bytes(dir_ + "/cat/katalogur.sqlite"), before);
  EXPECT_EQ(run_tool({"update", "--marc", changes, dir_ + "/nowhere"}).exit_code, 1);
}

// kvistur update and kvistur index killed (SIGKILL) at random moments while
// eight host threads search, then an update that ends: no search fails,
// each answer is the old state's or the new one's (once the update has
// committed every thread sees the new one: what the search kept of the old
// catalogue is let go), and right after each kill a new host process
// searches without anyone's help and finds the catalogue before or after.
TEST_F(UpdateTool, KilledWritersNeverStopTheHostsSearching) {
  constexpr int kKillsPerCommand = 4;
  const std::string records = "300";
  std::string cat = dir_ + "/cat", file = cat + "/katalogur.sqlite";
  for (const std::string& folder : {cat, dir_ + "/probe"})
    ASSERT_EQ(run_tool({"generate", "--records", records, "--seed", "1", "--out", folder}).exit_code, 0);
  ASSERT_EQ(run_tool({"generate", "--records", records, "--seed", "2", "--marc", dir_ + "/changes.mrc"}).exit_code, 0);
  setenv("LINDRIT_SETTINGS", (cat + "/lindrit-1.0.ini").c_str(), 1);
  setenv("KVISTUR_LOG", (dir_ + "/melding.txt").c_str(), 1);
  std::string word = kvistur::testing::top_title_word(cat);
  ASSERT_TRUE(log_on());
  Result old_result = search(word);
  // What a new host process prints for the catalogue the settings name.
  auto host_search = [&] { return kvistur::testing::search_output(word); };
  std::string old_host = host_search();
  std::vector<std::string> after_kills;

  SearchingHosts hosts(word);
  // The state after, and how long each command runs while the hosts
  // search, on a copy.
  std::map<std::string, std::chrono::steady_clock::duration> took;
  for (const char* command : {"update", "index"}) {
    auto start = std::chrono::steady_clock::now();
    auto r = std::string(command) == "update" ? run_tool({"update", "--marc", dir_ + "/changes.mrc", dir_ + "/probe"})
                                              : run_tool({"index", dir_ + "/probe"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    took[command] = std::chrono::steady_clock::now() - start;
  }
  std::mt19937 random(22);
  std::map<std::string, int> killed{{"update", 0}, {"index", 0}};
  for (int run = 0; run < 8 * kKillsPerCommand && (killed["update"] + killed["index"] < 2 * kKillsPerCommand); ++run) {
    std::string command = killed["update"] <= killed["index"] ? "update" : "index";
    pid_t pid = fork();
    if (pid == 0) {
      if (command == "update")
        execl(KVISTUR_TOOL, KVISTUR_TOOL, "update", "--marc", (dir_ + "/changes.mrc").c_str(), cat.c_str(),
              static_cast<char*>(nullptr));
      else
        execl(KVISTUR_TOOL, KVISTUR_TOOL, "index", cat.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    std::this_thread::sleep_for(took[command] * std::uniform_real_distribution<double>(0.05, 1.0)(random));
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    // A run that ended first is killed sooner the next time.
    if (WIFSIGNALED(status)) ++killed[command];
    else took[command] /= 2;
    after_kills.push_back(host_search());
  }
  auto r = run_tool({"update", "--marc", dir_ + "/changes.mrc", cat});
  hosts.stop();
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out.rfind("added 0, replaced " + records + ", deleted 0, ", 0), 0u) << r.out;
  EXPECT_GT(hosts.seen().size(), std::size_t(SearchingHosts::kThreads));
  EXPECT_EQ(contents(file), contents(dir_ + "/probe/katalogur.sqlite"));
  std::string new_host = host_search();
  EXPECT_NE(new_host, old_host);
  for (auto& now : after_kills) EXPECT_TRUE(now == old_host || now == new_host) << now;
  EXPECT_EQ(killed["update"], kKillsPerCommand);
  EXPECT_EQ(killed["index"], kKillsPerCommand);
  Result new_result = search(word);
  hosts.expect_old_or_new(old_result, new_result, dir_ + "/melding.txt");
  thread_state() = ThreadState{};
  unsetenv("LINDRIT_SETTINGS");
  unsetenv("KVISTUR_LOG");
}

// A catalogue the update cannot write a record into is one line saying
// why, and the file as it was (a missing column once freed memory twice
// and aborted the update).
TEST_F(UpdateTool, ACatalogueItCannotWriteIntoIsOneLineAndLeftAsItWas) {
  std::string base = write("base.xml", marc_collection(book("b1", "Fyrsta bók", "101")));
  std::string changes = write("changes.xml", marc_collection(book("n1", "Ný bók", "301")));
  ASSERT_EQ(run_tool({"build", "--marc", base, "--out", dir_ + "/cat"}).exit_code, 0);
  const std::pair<const char*, const char*> damage[] = {
      {"ALTER TABLE Árgangur DROP COLUMN Útgáfuár", "table Árgangur has no column named Útgáfuár"},
      {"DROP TABLE Tölublað", "no such table: Tölublað"}};
  for (auto& [sql, why] : damage) {
    fs::remove_all(dir_ + "/bad");
    fs::copy(dir_ + "/cat", dir_ + "/bad");
    std::string file = dir_ + "/bad/katalogur.sqlite";
    another_program(file, sql);
    std::string before = kvistur::testing::file_bytes(file);
    auto r = run_tool({"update", "--marc", changes, dir_ + "/bad"});
    EXPECT_EQ(r.exit_code, 1) << sql;
    EXPECT_EQ(kvistur::testing::without_progress(r.err), "kvistur update: " + file + ": " + why + "\n");
    EXPECT_EQ(kvistur::testing::file_bytes(file), before) << sql;
  }
}

// A number once given to a record is never given to another (a client of
// the server fetches by the numbers of a result set it made earlier): not
// after the update deletes the last record, nor after another program
// deletes one, on a folder and on a server alike.
using RecordNumbers = InFolder<::testing::TestWithParam<bool>>;

TEST_P(RecordNumbers, ANumberOnceGivenIsNeverGivenAgain) {
  const bool server = GetParam();
  auto& pg = kvistur::testing::PgServer::get();
  std::string database = server ? pg.empty_database() : "", target = server ? pg.uri(database) : dir_ + "/cat";
  setenv("PGUSER", "kvadmin", 1);
  setenv("PGPASSWORD", "kvadmin", 1);
  auto number_of = [&](const std::string& control) {
    std::string q = "SELECT ID FROM Frumfærsla WHERE Stjórnnúmer = '" + control + "'";
    if (server) return pg.sql(database, "SELECT \"ID\" FROM katalogur.\"Frumfærsla\" WHERE \"Stjórnnúmer\" = '" + control + "'");
    auto rows = kvistur::testing::sql_rows(dir_ + "/cat/katalogur.sqlite", q);
    return rows.empty() ? std::string() : rows[0];
  };
  auto update = [&](const std::string& name, const std::string& records) {
    auto r = run_tool({"update", "--marc", write(name, marc_collection(records)), target});
    EXPECT_EQ(r.exit_code, 0) << r.err;
  };
  std::string base = write("base.xml", marc_collection(book("b1", "Fyrsta", "") + book("b2", "Önnur", "")));
  ASSERT_EQ(run_tool({"build", "--marc", base, "--out", target}).exit_code, 0);
  update("one.xml", book("b2", "", "", "d") + book("n1", "Ný", ""));
  EXPECT_EQ(number_of("n1"), "3");
  auto another = [&](const std::string& on_file, const std::string& on_server) {
    if (server) pg.sql(database, on_server);
    else another_program(dir_ + "/cat/katalogur.sqlite", on_file);
  };
  another("DELETE FROM Móðurtafla WHERE ID = 3", "DELETE FROM katalogur.\"Móðurtafla\" WHERE \"ID\" = 3");
  update("two.xml", book("n2", "Önnur ný", ""));
  EXPECT_EQ(number_of("n2"), "4");

  // A catalogue from before the mark numbers on from its highest number in
  // use, by a record or a source record left behind (deletions before the
  // mark are not known), and has the mark from the first time a tool
  // writes it on.
  another("DROP TABLE kv_record_mark; DROP TRIGGER kv_record_mark_delete; DROP TRIGGER kv_record_mark_renumber;"
          "DELETE FROM Móðurtafla WHERE ID = 4; DELETE FROM Frumfærsla WHERE ID = 4",
          "DROP TABLE katalogur.kv_record_mark; DROP TRIGGER kv_record_mark ON katalogur.\"Móðurtafla\";"
          "DROP TRIGGER kv_record_mark_truncate ON katalogur.\"Móðurtafla\";"
          "DELETE FROM katalogur.\"Móðurtafla\" WHERE \"ID\" = 4; DELETE FROM katalogur.\"Frumfærsla\" WHERE \"ID\" = 4");
  if (server) {
    ASSERT_EQ(run_tool({"index", target}).exit_code, 0);
  }
  update("three.xml", book("n3", "Þriðja", ""));
  EXPECT_EQ(number_of("n3"), "4");
  another("DELETE FROM Móðurtafla WHERE ID = 4", "DELETE FROM katalogur.\"Móðurtafla\" WHERE \"ID\" = 4");
  update("four.xml", book("n4", "Fjórða", ""));
  EXPECT_EQ(number_of("n4"), "5");
  unsetenv("PGUSER");
  unsetenv("PGPASSWORD");
}

INSTANTIATE_TEST_SUITE_P(Target, RecordNumbers, ::testing::Values(false, true),
                         [](const auto& i) { return i.param ? "Server" : "Folder"; });
