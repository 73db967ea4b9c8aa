// kvistur build end to end: MARC records in, a catalogue out that the
// component reads back with the descriptions, holdings, subjects and
// contents a librarian expects; bad records reported and skipped.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "common/marc_xml.h"
#include "tools/run_tool.h"

using kvistur::testing::run_tool;

namespace {

using kvistur::testing::marc_control;
using kvistur::testing::marc_field;
using kvistur::testing::marc_record;

// A book with its copies, a record with no title, and a part of the book.
const std::string kInput = kvistur::testing::marc_collection(
    marc_record("nam", marc_control("001", "b1") + marc_field("020", "  ", {{'a', "978-9979-3-1234-5"}}) +
                           marc_field("090", "  ", {{'a', "Ísl"}, {'b', "Tho"}}) +
                           marc_field("100", "1 ", {{'a', "Thoroddsen, Jón,"}}) +
                           marc_field("245", "10", {{'a', "Piltur og stúlka :"}, {'b', "dálítil frásaga /"}, {'c', "Jón Thoroddsen"}}) +
                           marc_field("260", "  ", {{'a', "Reykjavík :"}, {'b', "Helgafell,"}, {'c', "1948"}}) +
                           marc_field("300", "  ", {{'a', "240 s. ;"}, {'c', "22 sm"}}) +
                           marc_field("505", "0 ", {{'a', "Fyrri hluti -- Síðari hluti"}}) +
                           marc_field("650", " 4", {{'a', "Skáldsögur"}}) + marc_field("651", " 4", {{'a', "Ísland"}, {'x', "Saga"}}) +
                           marc_field("852", "  ", {{'a', "1"}, {'b', "Skáldsögur"}, {'p', "5001"}}) +
                           marc_field("852", "  ", {{'a', "1"}, {'b', "Geymsla"}, {'p', "5002"}, {'z', "Gjöf"}, {'9', "12"}})) +
    marc_record("nam", marc_control("001", "b2") + marc_field("100", "0 ", {{'a', "Enginn Titill"}})) +
    marc_record("naa", marc_control("001", "p1") + marc_field("100", "0 ", {{'a', "Anna Jónsdóttir"}}) +
                           marc_field("245", "10", {{'a', "Formáli /"}, {'c', "Anna Jónsdóttir"}}) +
                           marc_field("773", "0 ", {{'t', "Piltur og stúlka"}, {'w', "b1"}})));

class BuildTool : public ::testing::Test {
 protected:
  void SetUp() override { std::ofstream(dir_ + "/in.xml") << kInput; }
  void TearDown() override { unsetenv("LINDRIT_SETTINGS"); }
  kvistur::testing::TempDir temp_;
  const std::string dir_ = temp_.path;
};

}  // namespace

// What the component reads back, as `kvistur show` and `kvistur search`
// print it: the description, holdings, subjects and contents, and the
// words of the titles and names in the search index.
TEST_F(BuildTool, BuildsACatalogueTheComponentReadsBack) {
  auto r = run_tool({"build", "--marc", dir_ + "/in.xml", "--out", dir_ + "/out"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out.substr(0, 30), "read 3, written 2, skipped 1 (");
  EXPECT_EQ(kvistur::testing::without_progress(r.err), dir_ + "/in.xml: record 2: no title (245 $a), skipped\n");
  EXPECT_NE(r.err.find("\ncataloguing: 2 records in "), std::string::npos) << r.err;
  for (const char* f : {"katalogur.sqlite", "skra.sqlite", "lindrit-1.0.ini", "System.mdw"})
    EXPECT_TRUE(std::filesystem::exists(dir_ + "/out/" + f)) << f;
  EXPECT_EQ(kvistur::testing::sql_rows(dir_ + "/out/katalogur.sqlite", "SELECT Röðunarsvið FROM Móðurtafla WHERE ID = 1"),
            std::vector<std::string>{"thoroddsen, jón piltur og stúlka 1948"});

  setenv("LINDRIT_SETTINGS", (dir_ + "/out/lindrit-1.0.ini").c_str(), 1);
  const std::string book = "Thoroddsen, Jón: Piltur og stúlka : dálítil frásaga / Jón Thoroddsen. - Reykjavík : "
                           "Helgafell, 1948. - 240 s. : 22 sm [Ísl Tho]",
                    part = "2\tAnna Jónsdóttir: Formáli  Í: " + book + "\tformáli|||\n";
  EXPECT_EQ(run_tool({"show", "1"}).out, "Record 1 (kind 1)\n" + book +
                                             "\n\nHoldings (* on loan):\n   5001, Skáldsögur\n  *5002, Gjöf, Geymsla\n"
                                             "\nSubjects:\n  Skáldsögur\n  Ísland -- Saga\n"
                                             "\nContents:\n  Fyrri hluti\n  Síðari hluti\n");
  EXPECT_EQ(run_tool({"search", "stúlka", "--group", "1", "--field", "2"}).out, part + "1\t" + book + "\tISBN9789979312345\n");
  EXPECT_EQ(run_tool({"search", "Anna", "--group", "1", "--field", "1"}).out, part);
}

// A build that fails, or is killed at any moment, leaves what was in the
// folder: every file is the old one or (once the build has moved it into
// place) the new one, whole; nothing of a half-written build is left for
// long (the next build removes a killed build's staging folder).
TEST_F(BuildTool, AFailedOrKilledBuildLeavesTheCatalogueAsItWas) {
  namespace fs = std::filesystem;
  auto contents = [&](const std::string& folder = "/out") { return kvistur::testing::folder_files(dir_ + folder); };
  ASSERT_EQ(run_tool({"build", "--marc", dir_ + "/in.xml", "--out", dir_ + "/out"}).exit_code, 0);
  auto before = contents();
  std::ofstream(dir_ + "/broken.xml") << kvistur::testing::marc_collection(marc_record("nam", marc_control("001", "x")));
  auto r = run_tool({"build", "--marc", dir_ + "/broken.xml", "--out", dir_ + "/out"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(contents(), before);

  // A disk that fills while the records are written (here a limit of 1 MB on
  // a file): the build ends at once in one line, never a skipped record
  // for each write that failed.
  ASSERT_EQ(run_tool({"generate", "--records", "3000", "--marc", dir_ + "/many.mrc"}).exit_code, 0);
  r = run_tool({"build", "--marc", dir_ + "/many.mrc", "--out", dir_ + "/out"}, "", "/tmp", "", "trap '' XFSZ; ulimit -f 1024");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(kvistur::testing::without_progress(r.err), "kvistur build: disk I/O error\n");
  EXPECT_EQ(contents(), before);

  // A complete new catalogue: the generated one, read back whole.
  auto whole_new = [](const std::string& file) {
    try {
      return kvistur::testing::sql_rows(file, "SELECT count(*) FROM Móðurtafla") == std::vector<std::string>{"3000"};
    } catch (const std::runtime_error&) {
      return false;
    }
  };
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(run_tool({"generate", "--records", "3000", "--out", dir_ + "/other"}).exit_code, 0);
  auto took = std::chrono::steady_clock::now() - start;
  auto after = contents("/other");
  for (double at : {0.05, 0.3, 0.6, 0.8, 0.95}) {
    pid_t pid = fork();
    if (pid == 0) {
      execl(KVISTUR_TOOL, KVISTUR_TOOL, "generate", "--records", "3000", "--out", (dir_ + "/out").c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    std::this_thread::sleep_for(took * at);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    for (auto& [name, data] : contents()) {
      bool old_file = before.count(name) && before[name] == data;
      bool new_file = name == "katalogur.sqlite" ? whole_new(dir_ + "/out/" + name) : after.count(name) > 0;
      EXPECT_TRUE(old_file || new_file) << name << " after a kill at " << at << " of the build";
    }
  }
  ASSERT_EQ(run_tool({"build", "--marc", dir_ + "/in.xml", "--out", dir_ + "/out"}).exit_code, 0);
  for (auto& e : fs::directory_iterator(dir_ + "/out"))
    EXPECT_NE(e.path().filename().string().rfind(".kvistur-new-", 0), 0u) << "left behind: " << e.path();
}

// Records found wrong are reported in the order of the file whether their
// length or their characters are wrong, and one dropped for a bad
// character does not count as the last record of its control number: the
// article after it still has a periodical for its host.
TEST_F(BuildTool, RecordsFoundWrongAreDroppedInFileOrder) {
  auto iso = [](char level, const std::vector<std::pair<std::string, std::string>>& fields) {
    std::string dir, data;
    for (auto& [tag, body] : fields) {
      char entry[13];
      std::snprintf(entry, sizeof entry, "%3s%04zu%05zu", tag.c_str(), body.size() + 1, data.size());
      dir += entry;
      data += body + "\x1e";
    }
    dir += "\x1e";
    char leader[25];
    std::snprintf(leader, sizeof leader, "%05zuna%c a22%05zu a 4500", 24 + dir.size() + data.size() + 1, level,
                  24 + dir.size());
    return std::string(leader) + dir + data + "\x1d";
  };
  const std::string host = iso('s', {{"001", "h1"}, {"245", "10\x1f" "aT\xC3\xADmarit"}});
  const std::string bad_length = "abcdefghijklmnopqrstuvwxyz\x1d";
  const std::string bad_char = iso('m', {{"001", "h1"}, {"245", "10\x1f" "aB\x01k"}});
  std::ofstream(dir_ + "/in.mrc", std::ios::binary)
      << host + bad_char + bad_length + iso('a', {{"001", "a1"}, {"245", "10\x1f" "aGrein"}, {"773", "0 \x1fwh1"}});
  auto r = run_tool({"build", "--marc", dir_ + "/in.mrc", "--out", dir_ + "/out"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out.substr(0, 30), "read 4, written 2, skipped 2 (");
  const std::string file = dir_ + "/in.mrc: ";
  EXPECT_EQ(kvistur::testing::without_progress(r.err),
            file + "record 2 (byte " + std::to_string(host.size()) + "): bad character in field 245, skipped\n" + file +
                "record 3 (byte " + std::to_string(host.size() + bad_char.size()) + "): bad record length, skipped\n");
  EXPECT_EQ(kvistur::testing::sql_rows(dir_ + "/out/katalogur.sqlite", "SELECT Tag FROM Móðurtafla ORDER BY ID"),
            (std::vector<std::string>{"100", "200"}));
}

// A file that cannot be read to its end fails the build and the update
// alike, before anything is written: one line with the file, the line or
// byte and what was wrong, and the catalogue and its settings as they
// were.  The sample with one unescaped "&" in record 56 once built 55
// records over the 195; its ISO 2709 form cut short, 97.
TEST_F(BuildTool, AFileThatCannotBeReadToItsEndChangesNothing) {
  const std::string sample = kvistur::testing::file_bytes(std::string(KVISTUR_SOURCE_DIR) + "/data/sample/sample.xml");
  ASSERT_EQ(run_tool({"build", "--marc", dir_ + "/in.xml", "--out", dir_ + "/out"}).exit_code, 0);
  auto before = kvistur::testing::folder_files(dir_ + "/out");
  std::size_t at = 0;
  for (int k = 0; k < 56; ++k) at = sample.find("<record>", at + 1);
  at = sample.find("<subfield code=\"a\">", at) + 19;
  std::ofstream(dir_ + "/amp.xml") << sample.substr(0, at) + "Salt & pipar " + sample.substr(at);
  const std::string line = std::to_string(1 + std::count(sample.begin(), sample.begin() + long(at), '\n'));

  // The ISO 2709 form: the sample built, its source records one after another.
  std::string iso;
  for (auto& r : kvistur::testing::sql_rows(dir_ + "/out/katalogur.sqlite", "SELECT hex(Færsla) FROM Frumfærsla ORDER BY ID"))
    for (std::size_t i = 0; i < r.size(); i += 2) iso += char(std::stoi(r.substr(i, 2), nullptr, 16));
  std::size_t record = 0, start = 0, cut = iso.size() / 2, length = 0;
  for (; start + (length = std::stoul(iso.substr(start, 5))) <= cut; start += length) ++record;
  std::ofstream(dir_ + "/cut.mrc", std::ios::binary) << iso.substr(0, cut);

  const std::vector<std::pair<std::string, std::string>> cases = {
      {dir_ + "/amp.xml", ": line " + line + ": not well-formed XML ("},
      {dir_ + "/cut.mrc", ": byte " + std::to_string(start) + ": the file ends inside record " + std::to_string(record + 1) +
                               " (its leader gives " + std::to_string(length) + " bytes, " + std::to_string(cut - start) +
                               " are there)"}};
  for (auto& [file, what] : cases)
    for (const std::vector<std::string>& args : {std::vector<std::string>{"build", "--marc", file, "--out", dir_ + "/out"},
                                                 std::vector<std::string>{"update", "--marc", file, dir_ + "/out"}}) {
      auto r = run_tool(args);
      EXPECT_EQ(r.exit_code, 1) << file;
      std::string said = "kvistur " + args[0] + ": " + file + what;
      EXPECT_EQ(r.err.substr(0, said.size()), said);
      EXPECT_EQ(r.err.substr(r.err.find(';')), "; " + dir_ + "/out is left as it was\n");
      EXPECT_EQ(kvistur::testing::folder_files(dir_ + "/out"), before) << args[0] << " " << file;
    }
}

// A rebuild sets only the settings it owns (where the catalogue is) and
// keeps what the library changed: its values, sections and comments.
TEST_F(BuildTool, ARebuildKeepsTheLibrarysSettings) {
  std::filesystem::create_directory(dir_ + "/out");
  std::ofstream(dir_ + "/out/lindrit-1.0.ini") << "; Stillingar safnsins\n[Grunnur]\nSlóð=/gamalt\nkv_local=okkar.sqlite\n"
                                                   "[Z3950]\n1003=Höfundur\n[Leit]\nFjöldi=1000\n";
  ASSERT_EQ(run_tool({"build", "--marc", dir_ + "/in.xml", "--out", dir_ + "/out"}).exit_code, 0);
  EXPECT_EQ(kvistur::testing::file_bytes(dir_ + "/out/lindrit-1.0.ini"),
            "; Stillingar safnsins\n[Grunnur]\nSlóð=" + dir_ + "/out\nkv_local=skra.sqlite\nGrunnNafn=katalogur.sqlite\n"
            "[Z3950]\n1003=Höfundur\n[Leit]\nFjöldi=1000\n[Debug]\nNoDebug=0\n[Prentun]\nListaTegund=3\n");
}
