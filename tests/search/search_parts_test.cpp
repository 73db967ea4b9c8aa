// The search's parts on their own: the queries it logs, periodical holdings,
// the throttled progress bar, term cleaning and text splitting.
#include <gtest/gtest.h>

#include <algorithm>

#include "common/progress_form.h"
#include "common/site.h"
#include "marc/text_split.h"
#include "platform/open_database.h"
#include "search/progress.h"
#include "search/search.h"
#include "search/terms.h"
#include "search/volumes.h"
#include "settings/thread_state.h"

using namespace kvistur;
using kvistur::testing::Site;

namespace {

class SearchSite : public ::testing::Test {
 protected:
  void SetUp() override {
    thread_state() = ThreadState{};
    ThreadState& ts = thread_state();
    ts.engine = db::create_sqlite_engine();
    ts.engine->set_system_db(from_utf8(site_.workgroup()));
    ts.workspace = ts.engine->CreateWorkspace(u"LR", u"Admin", u"");
    site_.catalogue_sql(
        "INSERT INTO Móðurtafla (ID, ÖllFærslan, Röðunarsvið, Tag, Einkennisstrengur) VALUES"
        " (1, '', 'b', 1, 'e1'), (2, '', 'a', 1, 'e2'), (9, '', 'c', 100, 'e9');"
        "INSERT INTO Orð VALUES (1, 'Saga'), (2, 'þór'), (3, 'sagan');"
        "INSERT INTO Tengill VALUES (1,1,1,1), (2,1,1,1), (2,2,1,1), (1,3,1,1);"
        // Periodical 9: volume 12 (2001) whose first issue has no designation,
        // a volume with neither designation nor year, one with a year only.
        "INSERT INTO Árgangur VALUES (10, 9, 3, ' 12 ', '2001'), (11, 9, 2, NULL, ''), (12, 9, 1, '', '1999');"
        "INSERT INTO Tölublað VALUES (10, 1, ''), (10, 3, '3'), (10, 2, '2'), (11, 2, '2'), (11, 1, '1');");
  }
  void TearDown() override { thread_state() = ThreadState{}; }
  std::vector<std::string> search_log() const {
    std::vector<std::string> out;
    for (const std::string& l : site_.log_lines())
      if (l.rfind("MeldaError: Fremjaleit", 0) == 0) out.push_back(l);
    return out;
  }
  Site site_;
};

TEST_F(SearchSite, QueriesAreLoggedWhenDebuggingAndStopWordsLeftOut) {
  thread_state().bDebug = true;
  site_.clear_log();
  SafeArray<Text> svar, keys, stop(0, {Text(), Text(u"OG")});
  SafeArray<int32_t> ids;
  EXPECT_EQ(Fremjaleit(1, 1, u"SAGA og Þór", svar, ids, keys, stop, -1, 0, nullptr), 1);
  EXPECT_EQ(ids(1), 2);
  EXPECT_EQ(keys(1), u"e2");
  EXPECT_EQ(search_log(),
            (std::vector<std::string>{
                "MeldaError: Fremjaleit,  0, Fyrir OpenRecordset, SQL: SELECT DISTINCT t0.FærsluID FROM Tengill AS t0 "
                "INNER JOIN Orð AS O0 ON t0.OrðID = O0.ID WHERE (((O0.Orð) = 'SAGA')) AND t0.HópID =  1 AND "
                "t0.Orðtag =  1",
                "MeldaError: Fremjaleit,  0, Eftir MoveLast 2",
                "MeldaError: Fremjaleit,  0, Fyrir OpenRecordset, SQL: SELECT DISTINCT t0.FærsluID FROM Tengill AS t0 "
                "INNER JOIN Orð AS O0 ON t0.OrðID = O0.ID WHERE (((O0.Orð) = 'Þór')) AND t0.HópID =  1 AND "
                "t0.Orðtag =  1",
                "MeldaError: Fremjaleit,  0, Eftir MoveLast 1",
            }));
  site_.clear_log();
  EXPECT_EQ(Fremjaleit(-1, -1, u"sag*", svar, ids, keys, stop, -1, 0, nullptr), 2);
  EXPECT_EQ(ids.items(), (std::vector<int32_t>{0, 2, 1}));
  EXPECT_EQ(search_log().at(0),
            "MeldaError: Fremjaleit,  0, Fyrir OpenRecordset, SQL: SELECT DISTINCT t0.FærsluID FROM Tengill AS t0 "
            "INNER JOIN Orð AS O0 ON t0.OrðID = O0.ID WHERE (((O0.Orð) Like 'sag*'))");
  thread_state().bDebug = false;
  site_.clear_log();
  EXPECT_EQ(Fremjaleit(-1, -1, u"nothing", svar, ids, keys, stop, -1, 0, nullptr), 0);
  EXPECT_TRUE(search_log().empty());
  EXPECT_EQ(ids.ubound(), 0);
  SafeArray<Text> slot_zero(0, {Text(u"saga")});
  EXPECT_EQ(Fremjaleit(-1, -1, u"saga", svar, ids, keys, slot_zero, -1, 0, nullptr), 2) << "slot 0 is not a stop word";
  SafeArray<Text> stops(0, {Text(), Text(u"ÞÓR"), Text(u"sAGA")});
  EXPECT_THROW(Fremjaleit(-1, -1, u"þór Saga", svar, ids, keys, stops, -1, 0, nullptr), Error)
      << "nothing left to search for, with no result set open";
  EXPECT_EQ(ids.ubound(), 0);
}

TEST_F(SearchSite, PeriodicalHoldings) {
  auto db = open_catalogue();
  CatalogueRecord rec;
  rec.ID = 9;
  Text text = u"old";
  ASSERT_TRUE(BuildVolumeList(*db, rec, text));
  EXPECT_EQ(text, u"\r\n12,(2001),2,3\r\n 1,2\r\n(1999)");
  rec.ID = 1;
  ASSERT_TRUE(BuildVolumeList(*db, rec, text));
  EXPECT_EQ(text, u"") << "no volumes";
  site_.catalogue_sql("DROP TABLE Tölublað;");
  rec.ID = 9;
  text = u"kept";
  EXPECT_FALSE(BuildVolumeList(*db, rec, text));
  EXPECT_EQ(text, u"kept");
  db->Close();
}

std::vector<int> bar_moves(int32_t total, int16_t rofi = 1) {
  auto form = std::make_shared<kvistur::testing::ProgressForm>();
  Variant v{std::shared_ptr<Dispatch>(form)};
  SearchProgress p(rofi, &v);
  p.reset();
  for (int32_t j = 1; j <= total; ++j) p.row(j, total);
  EXPECT_EQ(std::count(form->calls.begin(), form->calls.end(), "Refresh"), long(form->bar().size()))
      << "one refresh per move";
  return form->bar();
}

TEST(SearchProgressBar, MovesInStepsOfAtLeastFive) {
  std::vector<int> hundred = bar_moves(100);
  ASSERT_EQ(hundred.size(), 20u);
  for (std::size_t i = 0; i < hundred.size(); ++i) EXPECT_EQ(hundred[i], int(5 * (i + 1)));
  EXPECT_EQ(bar_moves(3), (std::vector<int>{33, 67, 100}));
  // 1 of 8 is 12.5 and rounds to 12, 3 of 8 rounds to 38 (halves to even).
  EXPECT_EQ(bar_moves(8), (std::vector<int>{12, 25, 38, 50, 62, 75, 88, 100}));
  EXPECT_EQ(bar_moves(1000).size(), 20u);
  EXPECT_TRUE(bar_moves(100, 0).empty()) << "no display asked for";
  // A missing form fails at the first point that touches it.
  Variant nothing;
  SearchProgress p(1, &nothing);
  EXPECT_THROW(p.started(), Error);
  SearchProgress off(0, nullptr);
  EXPECT_NO_THROW(off.started());
  EXPECT_NO_THROW(off.finished());
}

TEST(SearchTerms, SplittingRemoveCharAndStripPunctuation) {
  EXPECT_EQ(SearchTerms(u"saga  og   dagur"), (std::vector<Text>{u"", u"saga", u"og", u"dagur"}));
  EXPECT_EQ(SearchTerms(u"   "), (std::vector<Text>{u"", u""}));
  EXPECT_EQ(SearchTerms(u"(saga). a.b.c o'neill sag* ; x"),
            (std::vector<Text>{u"", u"saga", u"abc", u"oneill", u"sag*", u"", u"x"}));
  // Letter case is ignored, accents count; the text is changed in place.
  for (auto [text, c, left] : {std::tuple<Text, Text, Text>{u"Sagas", u"s", u"aga"}, {u"Þþa", u"þ", u"a"}, {u"aáA", u"a", u"á"}}) {
    EXPECT_EQ(RemoveChar(text, c), left);
    EXPECT_EQ(text, left);
  }
  for (auto [text, left] : {std::pair<Text, Text>{u"[o'ne\"ill];(x),-*.", u"oneillx-*"}, {u".,[]();\"'", u""},
                            {u"a?b#c/d:1\t", u"a?b#c/d:1\t"}}) {
    EXPECT_EQ(StripPunctuation(text), left);
    EXPECT_EQ(text, left);
  }
}

TEST(TextSplitting, Parts) {
  auto split = [](Text text, TextView sep) {
    std::vector<Text> parts(1);
    SplitText(text, parts, sep);
    return parts;
  };
  EXPECT_EQ(split(u"", u" "), (std::vector<Text>{u"", u""}));
  EXPECT_EQ(split(u"a,b,", u","), (std::vector<Text>{u"", u"a", u"b", u""})) << "ends with the separator";
  EXPECT_EQ(split(u"a,, ,b", u","), (std::vector<Text>{u"", u"a", u"b"})) << "blank parts dropped";
  EXPECT_EQ(split(u"a--b--", u"--"), (std::vector<Text>{u"", u"a", u"b", u""}));
  EXPECT_EQ(split(u"a\tb  c", u" "), (std::vector<Text>{u"", u"a\tb", u"c"})) << "a tab is no separator";
  EXPECT_EQ(JoinLines(u"a\r\n\r\n  b  c\r\n"), u"a\\nb c\\n");
  EXPECT_EQ(JoinLines(u"a\nb"), u"a\nb");
}

}  // namespace
