// The command line as a librarian meets it, on the sample catalogue built
// once for the suite: exit statuses and the one line that says what was
// wrong, passwords, the help and the manual page.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "platform/workgroup.h"
#include "tools/run_tool.h"

namespace {

using kvistur::testing::file_bytes;
using kvistur::testing::run_on_terminal;
using kvistur::testing::run_tool;
using kvistur::testing::TempDir;
using kvistur::testing::without_progress;

struct Case {
  std::vector<std::string> args;
  int exit_code;
  std::string says;  // in the one line on standard error
};

std::size_t count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class CommandLineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    tmp_ = std::make_unique<TempDir>();
    auto r = run_tool({"build", "--marc", std::string(KVISTUR_SOURCE_DIR) + "/data/sample/sample.xml", "--out", cat()});
    ASSERT_EQ(r.exit_code, 0) << r.err;
  }
  static void TearDownTestSuite() { tmp_.reset(); }
  void SetUp() override {
    setenv("LINDRIT_SETTINGS", settings().c_str(), 1);
    setenv("KVISTUR_LOG", (dir() + "/melding.txt").c_str(), 1);
  }

  static std::string dir() { return tmp_->path; }
  static std::string cat() { return dir() + "/cat"; }
  static std::string settings() { return cat() + "/lindrit-1.0.ini"; }

  // Each case exits as it says with its words on standard error (all of
  // it when they end a line), in one line and nothing on standard output
  // when it fails, the usage once when its command line is wrong.
  static void check(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
      auto r = run_tool(c.args);
      std::string err = without_progress(r.err), shown;
      for (const auto& a : c.args) shown += a + " ";
      EXPECT_EQ(r.exit_code, c.exit_code) << shown << "\n" << err;
      EXPECT_NE(err.find(c.says), std::string::npos) << shown << "\n" << err;
      if (c.says.back() == '\n') {
        EXPECT_EQ(err, c.says) << shown;
      }
      if (c.exit_code != 0) {
        EXPECT_EQ(count(err, "\n"), 1u) << shown << "\n" << err;
        EXPECT_EQ(r.out, "") << shown;
      }
      if (c.exit_code == 2) {
        EXPECT_EQ(count(err, "usage:"), 1u) << shown << "\n" << err;
      }
    }
  }

  static std::unique_ptr<TempDir> tmp_;
};
std::unique_ptr<TempDir> CommandLineTest::tmp_;

TEST_F(CommandLineTest, WrongResultsAndExits) {
  check({{{"print", "0", "--text"}, 1, "kvistur print: record 0 is not printed"},
         {{"parse", dir()}, 1, "kvistur parse: " + dir() + " is a folder, not a file"},
         {{"search", "saga", "--max", "0"}, 2, "--max must be a count from 1 up, or all, not 0"},
         {{"search", "saga", "--group", "99"}, 1, "kvistur search: there is no group 99 (kvistur groups lists them)"},
         {{"search", "saga", "--group", "2", "--field", "9"}, 1, "there is no search field 9 in group 2"},
         {{"generate", "--records", "10", "--out", dir() + "/g", "--marc", dir() + "/g.mrc"}, 2,
          "--out and --marc cannot be used together"},
         {{"serve", "tcp:127.0.0.1:99999"}, 2, "the port of tcp:127.0.0.1:99999 must be from 1 to 65535"},
         {{"serve", "--server-log", "/no/such/dir/s.log"}, 1,
          "cannot write the server log /no/such/dir/s.log: No such file or directory"}});
  EXPECT_FALSE(std::filesystem::exists(dir() + "/g.mrc"));

  // Output that cannot be written fails the command.
  for (const std::vector<std::string>& args : {std::vector<std::string>{"search", "saga"}, {"show", "1"},
                                               {"print", "1", "--rtf", "-"}, {"groups"}, {"host"}}) {
    auto r = run_tool(args, "{\"op\":\"new\",\"obj\":\"f\"}\n", "/tmp", "/dev/full");
    EXPECT_EQ(r.exit_code, 1) << args[0];
    EXPECT_NE(r.err.find("could not be written"), std::string::npos) << r.err;
  }

  // --help is help wherever it stands: never a file, a user or a record.
  for (const std::vector<std::string>& args : {std::vector<std::string>{"workgroup", "init", "--help"},
                                               {"workgroup", "list", "--help"}, {"show", "1", "-h"}}) {
    auto r = run_tool(args);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out.rfind("usage: kvistur " + args[0], 0), 0u) << r.out;
  }
  EXPECT_FALSE(std::filesystem::exists("--help"));

  // --max all shows every record (a list cut short: search_cli_test.cpp).
  auto all = run_tool({"search", "saga", "--max", "all"});
  EXPECT_EQ(count(all.out, "\n"), 61u);
  EXPECT_EQ(all.err, "");
}

TEST_F(CommandLineTest, MessagesSayWhatIsWrong) {
  const std::string bad = dir() + "/bad.ini";
  for (auto& [bytes, says] : std::vector<std::pair<std::string, std::string>>{
           {"", "is empty"},
           {"[Grunnur]\nSl\xF3\xF0=" + cat() + "\nGrunnNafn=katalogur.sqlite\nkv_local=skra.sqlite\n",
            "is not UTF-8 (line 2); save it as UTF-8"},
           {"[Grunnur]\nSlóð=/" + std::string(1024, 'a') + "\nGrunnNafn=k\nkv_local=s\n",
            "has a Slóð in [Grunnur] longer than 1023 characters"},
           {"[Grunnur]\nSlóð=" + cat() + "\nkv_local=skra.sqlite\n", "has no GrunnNafn in [Grunnur]"},
           {"[Leit]\nFjöldi=5\n", "has no section [Grunnur] (with Slóð, GrunnNafn and kv_local)"}}) {
    std::ofstream(bad, std::ios::binary | std::ios::trunc) << bytes;
    setenv("LINDRIT_SETTINGS", bad.c_str(), 1);
    // print --type reads a copy of the settings: the file named is still the library's.
    for (const std::vector<std::string>& args : {std::vector<std::string>{"search", "saga"}, {"print", "1", "--type", "3"}}) {
      auto r = run_tool(args);
      EXPECT_EQ(r.exit_code, 1);
      EXPECT_EQ(r.err, "kvistur " + args[0] + ": the settings file " + bad + " " + says + "\n");
    }
  }
  setenv("LINDRIT_SETTINGS", dir().c_str(), 1);
  check({{{"show", "1"}, 1, "the settings file " + dir() + " is a folder, not a file"}});
  std::ofstream(bad, std::ios::trunc) << "[Grunnur]\nSlóð=postgresql:///kv?host=/nonexistent\nGrunnNafn=k\nkv_local=s\n";
  setenv("LINDRIT_SETTINGS", bad.c_str(), 1);
  check({{{"search", "saga"}, 1,
          "log-on failed: cannot connect to postgresql:///kv?host=/nonexistent: connection to server on socket "
          "\"/nonexistent/.s.PGSQL.5432\" failed: No such file or directory"}});
  setenv("LINDRIT_SETTINGS", settings().c_str(), 1);

  std::ofstream(dir() + "/empty.xml") << "<collection/>";
  check({{{"build", "--marc", dir(), "--out", dir() + "/x"}, 1, dir() + " is a folder, not a file of records"},
         {{"update", "--marc", dir(), cat()}, 1, dir() + " is a folder, not a file of records; " + cat()},
         {{"build", "--jet", dir(), "--out", dir() + "/x"}, 1, dir() + ": a folder, not a Jet database file"},
         {{"show", "1", "--jsn"}, 2, "kvistur show: unknown option --jsn"},
         {{"workgroup", "add-user", cat() + "/System.mdw", "Bob", "--pasword", "x"}, 2, "unknown option --pasword"},
         {{"generate", "--recs", "10"}, 2, "kvistur generate: unknown option --recs"},
         {{"index", "--chek"}, 2, "kvistur index: unknown option --chek"},
         {{"groups", "extra"}, 2, "unexpected argument extra"},
         {{"search"}, 2, "kvistur search: no search text given"},
         {{"search", "a", "b"}, 2, "kvistur search: one search text expected"},
         {{"search", "saga", "--max", "x"}, 2, "kvistur search: the value of --max must be a whole number, not 'x'"},
         {{"search", "saga", "--max", "-1"}, 2, "kvistur search: --max must be a count from 1 up, or all, not -1"},
         {{"search", "saga", "--bogus"}, 2, "kvistur search: unknown option --bogus"},
         {{"search", "saga", "--group"}, 2, "kvistur search: --group needs a value"},
         {{"search", "saga", "--group", "99999999999"}, 2, "kvistur search: --group must fit in 32 bits, not 99999999999"},
         {{"search", "saga", "--text"}, 2, "kvistur search: --rtf, --text and --type need --print"},
         {{"search", "þór", "--print", "--json"}, 2, "kvistur search: --json and --print cannot be used together"},
         {{"show"}, 2, "kvistur show: no record number given"},
         {{"show", "tólf"}, 2, "kvistur show: the record number must be a whole number, not 'tólf'"},
         {{"show", "99999999999"}, 2, "kvistur show: the record number must fit in 32 bits, not 99999999999"},
         {{"print"}, 2, "kvistur print: print needs at least one record number"},
         {{"print", "abc"}, 2, "kvistur print: a record number must be a whole number, not 'abc'"},
         {{"print", "1", "--text", "--rtf", "x.rtf"}, 2, "kvistur print: --text and --rtf cannot be used together"},
         {{"print", "1", "--type", "x"}, 2, "kvistur print: --type must be a whole number, not 'x'"},
         {{"print", "1", "--type", "40000"}, 2, "kvistur print: --type must be between -32768 and 32767"},
         {{"print", "1", "--frob"}, 2, "kvistur print: unknown option --frob"},
         {{"print", "99999999999"}, 2, "kvistur print: record number out of range: 99999999999"},
         {{"parse", "a", "b"}, 2, "kvistur parse: expected at most one file, got 2"},
         {{"build", "--out", dir() + "/x"}, 2, "kvistur build: --marc or --jet needs at least one file"},
         {{"build", "--marc", dir() + "/missing.xml", "--out", dir() + "/x"}, 1,
          "kvistur build: cannot open " + dir() + "/missing.xml\n"},
         {{"build", "--marc", dir() + "/empty.xml", "--out", dir() + "/y"}, 1,
          "kvistur build: no record could be written; " + dir() + "/y is left as it was\n"},
         {{"index", dir() + "/missing.sqlite"}, 1, "kvistur index: no such file: " + dir() + "/missing.sqlite\n"}});
  // A build that writes nothing leaves no folder behind where there was none.
  EXPECT_FALSE(std::filesystem::exists(dir() + "/x"));
  EXPECT_FALSE(std::filesystem::exists(dir() + "/y"));
}

TEST_F(CommandLineTest, Passwords) {
  const std::string wg = dir() + "/S.mdw";
  std::filesystem::remove(wg);
  ASSERT_EQ(run_tool({"workgroup", "init", wg}).exit_code, 0);
  // At a terminal: asked twice, never shown.
  std::string t = run_on_terminal({"workgroup", "add-user", wg, "Gudrun"},
                                  {{"Password for Gudrun: ", "leyndó\n"}, {"The same again: ", "leyndó\n"}});
  EXPECT_EQ(t.find("leyndó"), std::string::npos) << t;
  EXPECT_NE(t.find("added Gudrun to " + wg), std::string::npos) << t;
  EXPECT_NO_THROW(kvistur::db::workgroup_check(wg, u"gudrun", u"leyndó"));
  t = run_on_terminal({"workgroup", "set-password", wg, "gudrun"},
                      {{"Password for gudrun: ", "a\n"}, {"The same again: ", "b\n"}});
  EXPECT_NE(t.find("the two passwords differ; nothing was changed"), std::string::npos) << t;
  EXPECT_NE(t.find("[exit 1]"), std::string::npos) << t;
  EXPECT_NO_THROW(kvistur::db::workgroup_check(wg, u"Gudrun", u"leyndó"));

  // From a pipe: the first line.  A name keeps its spelling, and one that
  // is there is refused before a password is asked for.
  auto r = run_tool({"workgroup", "set-password", wg, "GUDRUN"}, "nýtt\n");
  EXPECT_EQ(r.out, "changed the password of Gudrun in " + wg + "\n") << r.err;
  EXPECT_NO_THROW(kvistur::db::workgroup_check(wg, u"gudrun", u"nýtt"));
  check({{{"workgroup", "add-user", wg, "gudrun"}, 1, "there is a user Gudrun in " + wg + " already"},
         {{"workgroup", "set-password", wg, "Nemo", "--password", "x"}, 1, "there is no user Nemo in " + wg},
         {{"workgroup", "list", wg, "--password", "x"}, 2, "--password is for add-user and set-password"}});
  EXPECT_EQ(run_tool({"workgroup", "list", wg}).out, "Admin\nGudrun\n");

  // A URI never carries a password, and it is never printed.
  for (const std::string uri : {"postgresql://ritari:leyndo@db/lindrit", "postgresql:///lindrit?password=leyndo"}) {
    auto b = run_tool({"build", "--marc", cat() + "/none.mrc", "--out", uri});
    EXPECT_EQ(b.exit_code, 1);
    EXPECT_NE(b.err.find("may not carry a user or a password"), std::string::npos) << b.err;
    EXPECT_EQ(b.err.find("leyndo"), std::string::npos) << b.err;
  }
}

TEST_F(CommandLineTest, HelpAndTheManualPage) {
  auto help = run_tool({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  const std::string& overview = help.out;
  for (const char* name : {"search", "groups", "show", "print", "parse", "build", "update", "index", "generate",
                           "workgroup", "serve", "web", "host"}) {
    EXPECT_NE(overview.find(std::string("\n  ") + name + " "), std::string::npos) << name;
    auto r = run_tool({"help", name});
    EXPECT_EQ(r.exit_code, 0) << name;
    for (const std::string& part : {"usage: kvistur " + std::string(name), std::string("\nExample:\n  "), std::string("More: man kvistur")})
      EXPECT_NE(r.out.find(part), std::string::npos) << part << " in:\n" << r.out;
  }
  std::string search = run_tool({"help", "search"}).out;
  for (const char* part : {"--group N", "--field N", "Leit/Fjöldi", "--type N", "0 to 4"})
    EXPECT_NE(search.find(part), std::string::npos) << part;
  EXPECT_EQ(run_tool({"help", "nothing"}).err, "kvistur help: unknown command 'nothing' (kvistur --help lists them)\n");
  auto unknown = run_tool({"fljúga"});
  EXPECT_EQ(unknown.exit_code, 2);
  EXPECT_EQ(unknown.err, "kvistur: unknown command 'fljúga' (kvistur --help lists them)\n");
  EXPECT_EQ(run_tool({"groups"}).out.rfind("group 1: Allur safnkostur - Bækur, tímarit og greinar\n  field 1: Höfundur\n", 0),
            0u);

  std::string page = dir() + "/page.txt";
  std::string cmd = "'" + std::string(KVISTUR_TOOL) + "' help --man | MANWIDTH=100 man -l - >'" + page + "' 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << file_bytes(page);
  std::string text = file_bytes(page);
  for (const char* part : {"kvistur search TEXT", "--max N", "EXIT STATUS", "LINDRIT_SETTINGS"})
    EXPECT_NE(text.find(part), std::string::npos) << part << " in:\n" << text;
}

// A hyphenated word or an ISBN as printed finds nothing in the word index:
// the command says what would find it, and at a terminal searches for it.
TEST_F(CommandLineTest, HyphensAndIsbnsGetTheIndexsSpelling) {
  check({{{"search", "Brennu-Njáls"}, 0, "nothing found for 'Brennu-Njáls'; try 'brennu njáls' (the word index"},
         {{"search", "978-9970-01-026-4"}, 0, "try '9789970010264'"},
         {{"search", "ekkertslíkt"}, 0, "kvistur search: nothing found for 'ekkertslíkt'\n"}});
  std::string t = run_on_terminal({"search", "Brennu-Njáls saga"}, {{"instead? [Y/n] ", "\n"}});
  EXPECT_NE(t.find("Brennu-Njáls saga. - 2. útgáfa."), std::string::npos) << t;
  EXPECT_EQ(t.find("[exit"), std::string::npos) << t;
}

}  // namespace
