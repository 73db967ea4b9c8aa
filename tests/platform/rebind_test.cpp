// A query opened with its literals given apart and run again with others
// (Database::OpenCursorWith, Cursor::Again) gives the rows its text with
// those literals would give, on every backend: texts compared as written
// texts are, Like patterns of the same form, and the refusals.
#include <gtest/gtest.h>

#include "common/site.h"
#include "platform/engine.h"
#include "settings/settings.h"

using namespace kvistur;
using namespace kvistur::db;
using kvistur::testing::Site;

namespace {

class RebindTest : public ::testing::TestWithParam<kvistur::testing::Backend> {
 protected:
  void SetUp() override {
    site_.catalogue_sql(
        "INSERT INTO Orð VALUES (1, 'saga'), (2, 'SÖGUR'), (3, 'Saga'), (4, 'ságá'), (5, 'Þórður'), (6, 'sagnfræði'),"
        " (7, 'dagur');");
    engine_ = create_engine();
    engine_->set_system_db(from_utf8(site_.folder()) + u"\\System.mdw");
    ws_ = engine_->CreateWorkspace(u"LR", u"Admin", u"");
    db_ = ws_->OpenDatabase(from_utf8(site_.folder()) + u"\\katalogur.sqlite");
  }
  static std::vector<int64_t> ids(Cursor& c) {
    std::vector<int64_t> out;
    while (c.Next()) out.push_back(c.Integer(0));
    return out;
  }
  static int refusal(const std::function<void()>& f) {
    try {
      f();
    } catch (const Error& e) {
      return e.number();
    }
    return 0;
  }

  Site site_{GetParam()};
  CallScope call_;
  std::shared_ptr<Engine> engine_;
  std::shared_ptr<Workspace> ws_;
  std::unique_ptr<Database> db_;
};
KVISTUR_EVERY_BACKEND(RebindTest);

TEST_P(RebindTest, EachSetOfLiteralsGivesItsOwnRows) {
  struct Case {
    const char16_t* shape;
    std::vector<std::vector<Literal>> runs;  // the first opens the cursor, the rest run it again
    std::vector<std::vector<int64_t>> want;
  };
  const Case cases[] = {
      // A word looked up, then others: letter case aside, accents kept.
      {u"SELECT O.ID FROM Orð AS O WHERE (((O.Orð) = '')) ORDER BY O.ID",
       {{Text(u"SAGA")}, {Text(u"þórður")}, {Text(u"ságá")}, {Text(u"nokkuð")}},
       {{1, 3}, {5}, {4}, {}}},
      // A text followed by one `*`: the range of another prefix.
      {u"SELECT O.ID FROM Orð AS O WHERE (((O.Orð) Like 'x*')) ORDER BY O.ID",
       {{Text(u"sag*")}, {Text(u"SÖG*")}, {Text(u"dag*")}},
       {{1, 3, 6}, {2}, {7}}},
      // Patterns without wildcards, numbers and texts together.
      {u"SELECT O.ID FROM Orð AS O WHERE O.ID > 0 AND O.Orð Like 'x' ORDER BY O.ID",
       {{int64_t(0), Text(u"saga")}, {int64_t(1), Text(u"Saga")}, {int64_t(0), Text(u"dagur")}},
       {{1, 3}, {3}, {7}}},
      // Any other form: only its own pattern.
      {u"SELECT O.ID FROM Orð AS O WHERE O.Orð Like '*ga' ORDER BY O.ID", {{Text(u"*GA")}, {Text(u"*ga")}}, {{1, 3}, {1, 3}}},
  };
  for (const Case& k : cases) {
    auto c = db_->OpenCursorWith(k.shape, k.runs[0]);
    for (std::size_t r = 0; r < k.runs.size(); ++r) {
      if (r > 0) c->Again(k.runs[r]);
      EXPECT_EQ(ids(*c), k.want[r]) << to_utf8(k.shape) << " run " << r;
    }
  }
  // The same text with its literals written in it, after the shape was
  // read with others.
  auto written = db_->OpenCursor(u"SELECT O.ID FROM Orð AS O WHERE O.ID > 2 AND O.Orð Like 'sag*' ORDER BY O.ID");
  EXPECT_EQ(ids(*written), (std::vector<int64_t>{3, 6}));
}

TEST_P(RebindTest, ALiteralThatDoesNotFitIsRefused) {
  auto word = db_->OpenCursorWith(u"SELECT O.ID FROM Orð AS O WHERE O.ID > 0 AND (((O.Orð) Like 'x*'))",
                                  {int64_t(0), Text(u"sag*")});
  const std::vector<std::vector<Literal>> refused = {
      {int64_t(0), int64_t(5)},     // a number for a text
      {Text(u"0"), Text(u"sag*")},  // a text for a number
      {int64_t(0)},                 // one missing
      {int64_t(0), Text(u"saga")},  // a pattern of another form
      {int64_t(0), Text(u"*ga")},
      {int64_t(0), Text(u"s?g*")},
  };
  for (const auto& literals : refused) {
    EXPECT_EQ(refusal([&] { word->Again(literals); }), 3251);
    EXPECT_EQ(refusal([&] { db_->OpenCursorWith(u"SELECT O.ID FROM Orð AS O WHERE O.ID > 0 AND O.Orð Like 'x*'", literals); }),
              3251);
  }
  auto match = db_->OpenCursorWith(u"SELECT O.ID FROM Orð AS O WHERE O.Orð Like '*ga'", {Text(u"*ga")});
  EXPECT_EQ(refusal([&] { match->Again({Text(u"*ur")}); }), 3251);
}

// A list's place takes a list of any length in one query text, beside
// other literals, and only a list.
TEST_P(RebindTest, AListsPlaceTakesAnyList) {
  using List = std::vector<int64_t>;
  auto c = db_->OpenCursorWith(u"SELECT O.ID FROM Orð AS O WHERE O.ID IN (?) ORDER BY O.ID", {List{7, 1, 99, 3, 1}});
  EXPECT_EQ(ids(*c), (List{1, 3, 7}));
  c->Again({List{}});
  EXPECT_EQ(ids(*c), List{});
  c->Again({List{5}});
  EXPECT_EQ(ids(*c), List{5});
  auto with_pattern = db_->OpenCursorWith(u"SELECT O.ID FROM Orð AS O WHERE O.Orð Like 'x*' AND O.ID IN (?) ORDER BY O.ID",
                                          {Text(u"sag*"), List{1, 2, 3, 4, 5, 6, 7}});
  EXPECT_EQ(ids(*with_pattern), (List{1, 3, 6}));
  EXPECT_EQ(refusal([&] { with_pattern->Again({Text(u"sag*"), int64_t(1)}); }), 3251);
  EXPECT_EQ(refusal([&] { with_pattern->Again({List{1}, List{1}}); }), 3251);
  EXPECT_EQ(refusal([&] { db_->OpenCursorWith(u"SELECT O.ID FROM Orð AS O WHERE O.ID = 0", {List{1}}); }), 3251);
  // Only a list given apart takes the place; `?` anywhere else does not read.
  EXPECT_EQ(refusal([&] { db_->OpenCursor(u"SELECT O.ID FROM Orð AS O WHERE O.ID IN (?)"); }), 3075);
  EXPECT_EQ(refusal([&] { db_->OpenRecordset(u"SELECT O.ID FROM Orð AS O WHERE O.ID IN (?)"); }), 3075);
  for (const char16_t* bad : {u"SELECT O.ID FROM Orð AS O WHERE O.ID = ?", u"SELECT O.ID FROM Orð AS O WHERE O.ID IN (?, 1)",
                              u"SELECT O.ID FROM Orð AS O WHERE O.ID NOT IN (?)"})
    EXPECT_EQ(refusal([&] { db_->OpenCursorWith(bad, {List{1}}); }), 3075) << to_utf8(bad);
}

}  // namespace
