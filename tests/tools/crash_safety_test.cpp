// Writers that meet what others left or do: a build never pairs a new
// catalogue with an old file's journal, and `kvistur index` keeps to its
// turn in the folder and waits for readers instead of failing.  (A killed
// update or index: update_tool_test.cpp.)
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "common/dead_writer.h"
#include "common/site.h"
#include "import/store/output.h"
#include "tools/run_tool.h"

using kvistur::testing::exec_sql;
using kvistur::testing::kill_writer_midway;
using kvistur::testing::run_tool;
namespace fs = std::filesystem;

namespace {

// Writes that reach the file (or its WAL) before their commit.
constexpr char kManyWrites[] = "DELETE FROM Tengill; UPDATE Móðurtafla SET Röðunarsvið = 'x' || ID;";

class CrashSafety : public ::testing::Test {
 protected:
  void SetUp() override { setenv("KVISTUR_LOG", (dir_ + "/melding.txt").c_str(), 1); }
  void TearDown() override {
    unsetenv("LINDRIT_SETTINGS");
    unsetenv("KVISTUR_LOG");
  }
  void generate(const std::string& folder, int seed) {
    auto r = run_tool({"generate", "--records", "300", "--seed", std::to_string(seed), "--out", folder});
    ASSERT_EQ(r.exit_code, 0) << r.err;
  }
  // What `kvistur search` prints for WORD on the catalogue in FOLDER.
  static std::string search(const std::string& folder, const std::string& word) {
    setenv("LINDRIT_SETTINGS", (folder + "/lindrit-1.0.ini").c_str(), 1);
    return kvistur::testing::search_output(word);
  }

  kvistur::testing::TempDir temp_;
  const std::string dir_ = temp_.path;
};

}  // namespace

// A build into a folder whose catalogue is a plain file (an older build's,
// or another program's) with a hot journal or a WAL of committed frames
// beside it: the new catalogue is never paired with them.
TEST_F(CrashSafety, ABuildIsNeverPairedWithTheOldFilesJournal) {
  generate(dir_ + "/old", 1);
  generate(dir_ + "/fresh", 2);
  std::string word = kvistur::testing::top_title_word(dir_ + "/fresh"), expected = search(dir_ + "/fresh", word);
  ASSERT_NE(expected, search(dir_ + "/old", word));
  struct Case {
    const char* name;
    const char* setup;
    bool commit;
    const char* left;
  };
  for (const Case& c : {Case{"hot journal", "PRAGMA journal_mode=DELETE", false, "-journal"},
                        Case{"committed WAL", "PRAGMA journal_mode=WAL", true, "-wal"}}) {
    std::string cat = dir_ + "/" + c.name, file = cat + "/katalogur.sqlite";
    fs::create_directories(cat);
    fs::copy_file(dir_ + "/old/katalogur.sqlite", file);
    kill_writer_midway(file, c.setup, kManyWrites, c.commit);
    ASSERT_TRUE(fs::exists(file + c.left) && fs::file_size(file + c.left) > 0) << c.name;
    generate(cat, 2);
    EXPECT_EQ(search(cat, word), expected) << c.name;
    auto r = run_tool({"index", cat});
    EXPECT_EQ(r.exit_code, 0) << c.name << ": " << r.err;
    EXPECT_EQ(search(cat, word), expected) << c.name;
    EXPECT_FALSE(fs::exists(file + c.left)) << c.name << ": the old file's journal is left beside the new one";
  }
}

// `kvistur index` refuses, in one line, while another command writes into
// the folder (a build holds its lock), and waits for a host's read
// transaction instead of failing at once.
TEST_F(CrashSafety, IndexTakesItsTurnAndWaitsForReaders) {
  std::string cat = dir_ + "/cat", file = cat + "/katalogur.sqlite";
  generate(cat, 1);
  std::string word = kvistur::testing::top_title_word(cat), before = search(cat, word);
  {
    kvistur::import::FolderLock building(cat);
    auto r = run_tool({"index", cat});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "kvistur index: another command is writing a catalogue into " + cat + "\n");
  }
  for (std::string journal : {"wal", "delete"}) {
    exec_sql(file, "PRAGMA journal_mode=" + journal);
    sqlite3* host = nullptr;
    sqlite3_open_v2(file.c_str(), &host, SQLITE_OPEN_READONLY, nullptr);
    ASSERT_EQ(sqlite3_exec(host, "BEGIN; SELECT count(*) FROM Tengill;", nullptr, nullptr, nullptr), SQLITE_OK);
    std::thread call_ends([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      sqlite3_exec(host, "COMMIT", nullptr, nullptr, nullptr);
    });
    auto r = run_tool({"index", cat});
    call_ends.join();
    sqlite3_close(host);
    EXPECT_EQ(r.exit_code, 0) << journal << ": " << r.err;
    EXPECT_EQ(search(cat, word), before) << journal;
  }
}
