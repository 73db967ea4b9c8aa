// The methods against files that change, vanish or break between calls, and
// settings that change: every call sees the files as they are now and fails
// the way its definition says, never worse.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "common/files.h"
#include "common/record_text_builder.h"
#include "common/site.h"
#include "kvistur/faersla.h"
#include "settings/thread_state.h"

using namespace kvistur;
using kvistur::testing::file_bytes;
using kvistur::testing::RecordTextBuilder;
using kvistur::testing::Site;

namespace {

std::string catalogue_rows(const char16_t* title) {
  RecordTextBuilder b;
  b.Titlar = {RecordTextBuilder::title(title)};
  return "INSERT INTO Móðurtafla (ID, Skráning, ÖllFærslan, MarkSnið, Upprunafærsla, Röðunarsvið, Tag, Uppruni, Safndeild,"
         " UpprunaID, Einkennisstrengur) VALUES (1, '2020-01-01', '" + to_utf8(b.text()) + "', '', 0, 'a', 1, 0, 1, 0, 'k');"
         "INSERT INTO Orð VALUES (1, 'saga'); INSERT INTO Tengill VALUES (1, 1, 1, 1);";
}

class Reliability : public ::testing::Test {
 protected:
  void SetUp() override {
    thread_state() = ThreadState{};
    site_.catalogue_sql(catalogue_rows(u"Fyrsta"));
    Text user = u"Admin", pw = u"";
    f_.LogOn(user, pw);
  }
  void TearDown() override { thread_state() = ThreadState{}; }
  int32_t search(SafeArray<Text>& svar) {
    Variant g(int32_t(-1)), fl(int32_t(-1)), s(Text(u"saga"));
    SafeArray<Text> keys, stop(0, {u""});
    SafeArray<int32_t> ids;
    int32_t max = 10;
    return f_.Leita(g, fl, s, svar, ids, keys, stop, max);
  }
  Site site_;
  Faersla f_;
};

TEST_F(Reliability, ReplacedRemovedAndDamagedCatalogues) {
  SafeArray<Text> svar;
  std::string before = file_bytes(site_.catalogue());
  ASSERT_EQ(search(svar), 1);
  EXPECT_EQ(svar(1), u"Fyrsta");
  EXPECT_EQ(file_bytes(site_.catalogue()), before) << "reading never writes";

  std::string fresh = site_.dir() + "/nytt.sqlite";
  kvistur::testing::exec_sql(fresh, kvistur::testing::kCatalogueSchema);
  kvistur::testing::exec_sql(fresh, catalogue_rows(u"Önnur"));
  std::filesystem::rename(fresh, site_.catalogue());
  ASSERT_EQ(search(svar), 1);
  EXPECT_EQ(svar(1), u"Önnur") << "the next call sees the new file";

  std::filesystem::remove(site_.catalogue());
  EXPECT_EQ(search(svar), -1);
  SafeArray<Text> words;
  EXPECT_EQ(f_.SaekjaEkkiOrð(words), 0);
  Variant id(int32_t(1)), oll, mark, rodun;
  EXPECT_EQ(f_.FaerslaFraID(id, oll, mark, rodun), -1);

  for (std::size_t size : {std::size_t(0), std::size_t(100), std::size_t(10000)}) {
    std::ofstream(site_.catalogue(), std::ios::binary | std::ios::trunc) << std::string(size, '\x7f');
    EXPECT_EQ(search(svar), -1) << size << " bytes of garbage";
    EXPECT_EQ(f_.FaerslaFraID(id, oll, mark, rodun), -1);
  }
  // A catalogue cut short in the middle of its pages.
  kvistur::testing::exec_sql(fresh, kvistur::testing::kCatalogueSchema);
  kvistur::testing::exec_sql(fresh, catalogue_rows(u"x") +
                                        "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 3000)"
                                        " INSERT INTO Orð SELECT x + 10, 'orð' || x FROM c;");
  std::string whole = file_bytes(fresh);
  std::ofstream(site_.catalogue(), std::ios::binary | std::ios::trunc) << whole.substr(0, whole.size() / 2);
  int32_t r = search(svar);
  EXPECT_TRUE(r == -1 || r == 0) << r;
}

TEST_F(Reliability, SettingsChangeBetweenCalls) {
  SafeArray<Text> svar;
  ASSERT_EQ(search(svar), 1);
  site_.set("Grunnur", "GrunnNafn", "annar.sqlite");
  EXPECT_EQ(search(svar), -1) << "the new file name is read at the next call";
  kvistur::testing::exec_sql(site_.dir() + "/annar.sqlite", kvistur::testing::kCatalogueSchema);
  kvistur::testing::exec_sql(site_.dir() + "/annar.sqlite", catalogue_rows(u"Þriðja"));
  ASSERT_EQ(search(svar), 1);
  EXPECT_EQ(svar(1), u"Þriðja");
  // Garbage lines in the settings file leave the good ones readable.
  std::ofstream(site_.settings_file(), std::ios::binary | std::ios::app) << "\n\x01\x02 garbage ==\n[\n=x\n";
  EXPECT_EQ(search(svar), 1);
  // A log folder that does not exist: lines are lost, calls still work.
  setenv("KVISTUR_LOG", (site_.dir() + "/no/such/folder/melding.txt").c_str(), 1);
  site_.debug(true);
  EXPECT_EQ(search(svar), 1);
  setenv("KVISTUR_LOG", site_.log_file().c_str(), 1);
}

}  // namespace
