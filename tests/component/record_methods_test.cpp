// The three record methods on a small catalogue: a record's texts, its
// holdings as display lines with loan marks, its subject headings; and what
// each gives back after a fault.  And the record fetch beneath them.
#include <gtest/gtest.h>

#include <algorithm>

#include "common/error_number.h"
#include "common/record_text_builder.h"
#include "common/site.h"
#include "component/faersla_state.h"
#include "component/methods.h"
#include "platform/open_database.h"
#include "record/record_fetch.h"
#include "settings/thread_state.h"

using namespace kvistur;
using kvistur::testing::error_number;
using kvistur::testing::RecordTextBuilder;
using kvistur::testing::Site;

namespace {

class RecordMethodsTest : public ::testing::TestWithParam<kvistur::testing::Backend> {
 protected:
  void SetUp() override {
    thread_state() = ThreadState{};
    thread_state().notifier = [this](TextView m, TextView) { messages_.push_back(to_utf8(m)); };
    RecordTextBuilder b;
    b.Titlar = {RecordTextBuilder::title(u"Brennu-Njáls saga")};
    b.Efnisorð = {{u"Íslendingasögur", u""}, {u" Saga", u"Ísland "}};
    b.Aðfanganúmer = {{u"999", u"", u""}};
    text_ = to_utf8(b.text());
    RecordTextBuilder plain;
    plain_ = to_utf8(plain.text());
    site_.catalogue_sql(
        "INSERT INTO Móðurtafla (ID, Skráning, ÖllFærslan, MarkSnið, Upprunafærsla, Röðunarsvið, Tag, Uppruni,"
        " Safndeild, UpprunaID) VALUES"
        " (7, '2020-05-04 10:11:12', '" + text_ + "', '245 10 $aBrennu', 0, 'brennu', 1, 3, 2, 4),"
        " (8, '2021-01-01', '" + plain_ + "', NULL, 7, 'hluti', 2, 0, 1, 0),"
        " (9, '2021-01-01', '" + plain_ + "', NULL, 0, 'tímarit', 100, 0, 1, 0),"
        " (10, NULL, '" + plain_ + "', '', 0, 'x', 1, 0, 1, 0), (12, '2021-01-01', 'broken', '', 0, 'x', 1, 0, 1, 0),"
        " (11, '2021-01-01', NULL, NULL, 0, 'tómt', 1, 0, 1, 0);"
        "INSERT INTO Aðfanganúmer VALUES (501, ' Gjöf ', 'Aðalsafn', 7, 1, 0), (502, NULL, NULL, 7, 1024, 7),"
        " (503, '', 'Útibú', 7, NULL, NULL), (900, 'annað', '', -1, 1, 0);"
        "INSERT INTO ValdarFærslur VALUES (7);");
    FaerslaState st;
    Text user = u"Admin", pw = u"";
    ASSERT_EQ(LogOn(st, user, pw), 0);
    site_.clear_log();
  }
  void TearDown() override { thread_state() = ThreadState{}; }
  // The lines METHOD gives for record ID, which must return EXPECTED.
  static std::vector<Text> lines(int32_t (*method)(int32_t&, SafeArray<Text>&), int32_t id, int32_t expected) {
    SafeArray<Text> a;
    EXPECT_EQ(method(id, a), expected) << "record " << id;
    return a.allocated() ? a.items() : std::vector<Text>{};
  }
  std::vector<Text> holdings(int32_t id, int32_t expected) { return lines(AdfanganumerAFaerslu, id, expected); }
  std::vector<Text> subjects(int32_t id, int32_t expected) { return lines(EfnisordAFaerslu, id, expected); }
  bool logged(const std::string& line) {
    auto lines = site_.log_lines();
    bool found = std::find(lines.begin(), lines.end(), line) != lines.end();
    site_.clear_log();
    return found;
  }
  Site site_{GetParam()};
  std::string text_, plain_;
  std::vector<std::string> messages_;
};
KVISTUR_EVERY_BACKEND(RecordMethodsTest);

TEST_P(RecordMethodsTest, FaerslaFraIDGivesTheThreeTextsOrLeavesThem) {
  Variant id(Text(u" 7")), oll, mark, rodun;
  EXPECT_EQ(FaerslaFraID(id, oll, mark, rodun), 0);
  EXPECT_EQ(oll.as_string(), from_utf8(text_));
  EXPECT_EQ(mark.as_string(), u"245 10 $aBrennu");
  EXPECT_EQ(rodun.as_string(), u"brennu");
  EXPECT_TRUE(logged("MeldaError: FærslaFráID, lFærsluID: ,  7, "));
  Variant part(int32_t(8));
  EXPECT_EQ(FaerslaFraID(part, oll, mark, rodun), 0);
  EXPECT_EQ(mark.as_string(), u"") << "a Null MARC text is empty";
  EXPECT_EQ(mark.type(), VarType::String);
  Variant none(int32_t(99));
  EXPECT_EQ(FaerslaFraID(none, oll, mark, rodun), 0) << "a missing row is no failure";
  EXPECT_EQ(oll.as_string(), u"");
  EXPECT_EQ(mark.as_string(), u"");
  EXPECT_EQ(rodun.as_string(), u"");
  EXPECT_TRUE(logged("MeldaError: FærslaFráID, lFærsluID: , -1, "));
  // Failures leave the texts alone.
  oll = Text(u"o"), mark = Text(u"m"), rodun = Text(u"r");
  Variant bad(Text(u"sjö"));
  EXPECT_EQ(FaerslaFraID(bad, oll, mark, rodun), -1);
  EXPECT_EQ(oll.as_string(), u"o");
  EXPECT_EQ(mark.as_string(), u"m");
  EXPECT_EQ(rodun.as_string(), u"r");
  thread_state().workspace.reset();
  site_.clear_log();
  id = int32_t(7);
  EXPECT_EQ(FaerslaFraID(id, oll, mark, rodun), -1);
  EXPECT_EQ(oll.as_string(), u"o");
  for (const std::string& line : site_.log_lines())
    EXPECT_EQ(line.find("FærslaFráID, lFærsluID"), std::string::npos) << line;
}

TEST_P(RecordMethodsTest, HoldingsWithLoanMarks) {
  EXPECT_EQ(holdings(7, 3), (std::vector<Text>{u"", u" 501, Gjöf, Aðalsafn", u"*502", u" 503, Útibú"}));
  EXPECT_EQ(holdings(8, 3).size(), 4u) << "a component part lists its host's copies";
  // Records of other kinds ask for the copies of record -1, which no real
  // record has; the row made here with that key shows the query's key.
  EXPECT_EQ(holdings(9, 1), (std::vector<Text>{u"", u" 900, annað"}));
  EXPECT_EQ(holdings(99, 1).size(), 2u) << "a number without a row reads as a record of kind 0";
  site_.catalogue_sql("DELETE FROM Aðfanganúmer WHERE Móðurbendir = -1;");
  EXPECT_EQ(holdings(9, 0), (std::vector<Text>{u""}));
  EXPECT_TRUE(messages_.empty());
  site_.catalogue_sql("DROP TABLE Aðfanganúmer;");
  EXPECT_EQ(holdings(7, 0), (std::vector<Text>{u""})) << "the fault is shown, the method goes on";
  EXPECT_EQ(messages_.size(), 2u) << "once for the fetch, once for the second reading";
  thread_state().workspace.reset();
  SafeArray<Text> kept(0, {u"", u"x"});
  int32_t lID = 7;
  EXPECT_EQ(AdfanganumerAFaerslu(lID, kept), -1);
  EXPECT_EQ(kept(1), u"x");
}

// The fetch: a record with its table's holdings and selected flag, the
// holdings a record made by hand reads, and the record as it stood when a
// fault came.  (The holdings each kind reads are shown above.)
TEST_P(RecordMethodsTest, FetchGivesTheRecordAsItStoodAtAFault) {
  CatalogueRecord r = FærslaFráID(7);
  EXPECT_EQ(std::tie(r.ID, r.Tag, r.Uppruni, r.Safndeild, r.UpprunaID, r.boolValin), std::make_tuple(7, 1, 3, 2, 4, kTrue));
  EXPECT_EQ(r.Skráning, (DateTime{2020, 5, 4, 10, 11, 12}));
  EXPECT_EQ(r.Titlar[0].s1, u"Brennu-Njáls saga");
  EXPECT_EQ(r.MarkSnið, u"245 10 $aBrennu");
  EXPECT_EQ(r.Röðunarsvið, u"brennu");
  // (Which copies are on loan: the holdings lines above.)
  ASSERT_EQ(r.Aðfanganúmer.count(), 3) << "the text's holdings are replaced by the table's";
  EXPECT_EQ(r.Aðfanganúmer[0].Athugasemd, u" Gjöf ");
  EXPECT_EQ(r.Aðfanganúmer[1].boolTagInnanMarka, kFalse);
  EXPECT_EQ(r.Aðfanganúmer[2].boolTagInnanMarka, kTrue);
  EXPECT_EQ(FærslaFráID(8).boolValin, kFalse);
  // LoadHoldings on a record made by hand: its kind and numbers choose.
  CatalogueRecord part = EmptyRecord();
  part.Tag = 2;
  part.Upprunafærsla = 7;
  part.Aðfanganúmer.append(HoldingItem{});
  LoadHoldings(part, *open_catalogue());
  EXPECT_EQ(part.Aðfanganúmer.count(), 3) << "the list is replaced, not added to";
  EXPECT_EQ(part.Aðfanganúmer[0].Númer, 501);
  EXPECT_TRUE(messages_.empty());
  CatalogueRecord null_date = FærslaFráID(10);
  EXPECT_EQ(null_date.ID, 10);
  EXPECT_EQ(null_date.Tag, 1);
  EXPECT_EQ(null_date.Röðunarsvið, u"") << "members after the fault stay empty";
  site_.clear_log();
  EXPECT_EQ(FærslaFráID(12).ID, -1) << "a text that does not parse gives the empty record";
  EXPECT_TRUE(logged("MeldaError: FærslaFráID, lFærsluID: , -1, "));
  site_.catalogue_sql("DROP TABLE ValdarFærslur;");
  EXPECT_EQ(FærslaFráID(7).boolValin, kFalse);
  EXPECT_TRUE(messages_.empty()) << "a missing selection table is not reported";
  site_.catalogue_sql("DROP TABLE Aðfanganúmer;");
  r = FærslaFráID(7);
  EXPECT_EQ(r.ID, 7);
  EXPECT_EQ(r.Aðfanganúmer.count(), 0);
  EXPECT_EQ(messages_.size(), 1u) << "a lasting fault is shown once";
  thread_state().workspace.reset();
  site_.clear_log();
  EXPECT_EQ(error_number([] { FærslaFráID(7); }), 91) << "no log-on";
  EXPECT_EQ(site_.log_lines().size(), 0u);
}

TEST_P(RecordMethodsTest, SubjectHeadingsFromTheText) {
  EXPECT_EQ(subjects(7, 2), (std::vector<Text>{u"", u"Íslendingasögur", u"Saga Ísland"}));
  EXPECT_EQ(subjects(8, 0), (std::vector<Text>{u""}));
  EXPECT_EQ(subjects(99, -1), (std::vector<Text>{})) << "no row is a fault";
  EXPECT_EQ(subjects(11, -1), (std::vector<Text>{})) << "a Null text is a fault";
  site_.catalogue_sql("UPDATE Móðurtafla SET ÖllFærslan = 'broken' WHERE ID = 8;");
  EXPECT_EQ(subjects(8, -1), (std::vector<Text>{}));
}

}  // namespace
