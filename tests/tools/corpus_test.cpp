// The corpus of realistic records (tests/import/corpus): a catalogue built
// from it shows, for every record, exactly the description, holdings,
// subjects and contents of expected.txt, and nothing it shows has a doubled
// mark, a doubled "+", a nested bracket or a stray stop after a forename.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>

#include "component/faersla_state.h"
#include "component/methods.h"
#include "marc/description.h"
#include "marc/lists.h"
#include "marc/subfields.h"
#include "record/record_fetch.h"
#include "settings/thread_state.h"
#include "tools/run_tool.h"

using namespace kvistur;

namespace {

const std::string kCorpus = std::string(KVISTUR_SOURCE_DIR) + "/tests/import/corpus/";

// What a record shows, one line per item, in the form of expected.txt.
using Shown = std::vector<std::string>;

std::map<std::string, Shown> expected_lines() {
  std::map<std::string, Shown> out;
  std::ifstream in(kCorpus + "expected.txt");
  std::string line, key;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') key = line.substr(1, line.size() - 2);
    else out[key].push_back(line);
  }
  return out;
}

Shown shown(const CatalogueRecord& r) {
  Shown s{"description: " + to_utf8(BuildDescription(r, 0))};
  for (auto& h : r.Aðfanganúmer) s.push_back("holding: " + std::string(h.boolÍLáni ? "*" : " ") + to_utf8(FormatHolding(h)));
  if (!r.Efnisorð.empty()) s.push_back("subjects: " + to_utf8(SubjectsText(r)));
  for (auto& c : r.Efnisyfirlit) s.push_back("contents: " + to_utf8(ContentsLine(c)));
  return s;
}

// A mark the display adds set beside one the record kept.
const std::regex kDoubled(R"((^|[^.])\.\.($|[^.])|[,:;] ?[.,:;/=+]|\+ +\+|\[[^\]]*\[|\]\])");

// A name part that ends in a stop must end in an initial ("N.") or "Jr."/"Sr.".
bool stray_stop(const Text& part) {
  std::string p = to_utf8(part);
  if (p.empty() || p.back() != '.') return false;
  std::string word = p.substr(0, p.size() - 1);
  word = word.substr(word.find_last_of(" .-") == std::string::npos ? 0 : word.find_last_of(" .-") + 1);
  return from_utf8(word).size() > 1 && word != "Jr" && word != "Sr";
}

}  // namespace

TEST(Corpus, EveryRecordShowsExactlyWhatACataloguerExpects) {
  char t[] = "/tmp/kvistur-corpus-XXXXXX";
  std::string dir = mkdtemp(t);
  auto r = kvistur::testing::run_tool({"build", "--marc", kCorpus + "aacr2.mrc", kCorpus + "rda.xml", kCorpus + "koha.mrc",
                                       kCorpus + "serials.xml", "--out", dir});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(kvistur::testing::without_progress(r.err), "");
  setenv("LINDRIT_SETTINGS", (dir + "/lindrit-1.0.ini").c_str(), 1);
  setenv("KVISTUR_LOG", (dir + "/melding.txt").c_str(), 1);
  FaerslaState st;
  Text user = u"Admin", pw = u"";
  ASSERT_EQ(LogOn(st, user, pw), 0);

  sqlite3* db = nullptr;
  sqlite3_open_v2((dir + "/katalogur.sqlite").c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* q = nullptr;
  sqlite3_prepare_v2(db, "SELECT ID, Stjórnnúmer FROM Frumfærsla ORDER BY ID", -1, &q, nullptr);
  std::map<std::string, Shown> expected = expected_lines(), seen;
  while (sqlite3_step(q) == SQLITE_ROW) {
    std::string key = reinterpret_cast<const char*>(sqlite3_column_text(q, 1));
    CatalogueRecord rec = FærslaFráID(sqlite3_column_int(q, 0));
    seen[key] = shown(rec);
    EXPECT_EQ(seen[key], expected[key]) << key;
    for (auto& line : seen[key]) EXPECT_FALSE(std::regex_search(line, kDoubled)) << key << ": " << line;
    std::vector<NameEntry> names(rec.Ábyrgðaraðildir.begin(), rec.Ábyrgðaraðildir.end());
    names.push_back(BuildMainEntry(rec.MarkSnið).name);
    for (auto& n : names)
      for (const Text* p : {&n.p1, &n.p2, &n.p3, &n.p4, &n.p5}) EXPECT_FALSE(stray_stop(*p)) << key << ": " << to_utf8(*p);
  }
  sqlite3_finalize(q);
  sqlite3_close(db);
  EXPECT_GE(seen.size(), 60u);
  EXPECT_EQ(seen.size(), expected.size());

  thread_state() = ThreadState{};
  unsetenv("LINDRIT_SETTINGS");
  unsetenv("KVISTUR_LOG");
  std::filesystem::remove_all(dir);
}
