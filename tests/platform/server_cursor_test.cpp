// A server's cursors read in batches: every row once and in order, across
// the batches' edges, after Again, after the call that declared them ended,
// and with many cursors let go in one call.
#include <gtest/gtest.h>

#include "common/site.h"
#include "platform/engine.h"
#include "settings/settings.h"

using namespace kvistur;
using namespace kvistur::db;
using kvistur::testing::Backend;
using kvistur::testing::Site;

namespace {

constexpr int kRows = 700;

class ServerCursorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    site_.catalogue_sql("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + std::to_string(kRows) +
                        ") INSERT INTO Orð SELECT i, 'orð' || i FROM n;");
    engine_ = create_postgres_engine();
    engine_->set_system_db(from_utf8(site_.folder()) + u"\\System.mdw");
    ws_ = engine_->CreateWorkspace(u"LR", u"Admin", u"");
  }
  std::unique_ptr<Database> open() { return ws_->OpenDatabase(from_utf8(site_.folder()) + u"\\katalogur.sqlite"); }
  // The numbers a cursor gives, up to LIMIT of them.
  static std::vector<int64_t> read(Cursor& c, std::size_t limit = std::size_t(-1)) {
    std::vector<int64_t> out;
    while (out.size() < limit && c.Next()) out.push_back(c.Integer(0));
    return out;
  }
  static std::vector<int64_t> numbers(int64_t from, int64_t to) {
    std::vector<int64_t> out;
    for (int64_t i = from; i <= to; ++i) out.push_back(i);
    return out;
  }

  Site site_{Backend::kServer};
  std::shared_ptr<Engine> engine_;
  std::shared_ptr<Workspace> ws_;
};

TEST_F(ServerCursorTest, EveryRowOnceAcrossTheBatches) {
  CallScope call;
  auto db = open();
  // The first batch, its edge, the first fetch's edge, and beyond.
  for (int n : {0, 1, 16, 17, 272, 273, kRows}) {
    auto c = db->OpenCursor(u"SELECT O.ID FROM Orð AS O WHERE O.ID <= " + from_utf8(std::to_string(n)) + u" ORDER BY O.ID DESC");
    std::vector<int64_t> want = numbers(1, n);
    std::reverse(want.begin(), want.end());
    EXPECT_EQ(read(*c), want) << n;
    EXPECT_FALSE(c->Next());
  }
  // Again, before and after the cursor on the server was declared.
  auto c = db->OpenCursor(u"SELECT O.ID FROM Orð AS O WHERE O.ID >= 1 ORDER BY O.ID");
  EXPECT_EQ(read(*c, 300), numbers(1, 300));
  c->Again({650});
  EXPECT_EQ(read(*c), numbers(650, kRows));
  c->Again({2});
  EXPECT_EQ(read(*c, 3), numbers(2, 4));
  // A minus before a number is the number's own.
  auto signed_literal = db->OpenCursor(u"SELECT O.ID FROM Orð AS O WHERE -O.ID = -3");
  signed_literal->Again({-650});
  EXPECT_EQ(read(*signed_literal), numbers(650, 650));
  // Cursors let go half read, more than a call keeps open; the call reads on.
  for (int i = 0; i < 40; ++i) EXPECT_EQ(read(*db->OpenCursor(u"SELECT O.ID FROM Orð AS O"), 20), numbers(1, 20));
  EXPECT_EQ(read(*c), numbers(5, kRows));
}

TEST_F(ServerCursorTest, ReadsOnAfterItsCallEnded) {
  std::unique_ptr<Cursor> c;
  {
    CallScope call;
    c = open()->OpenCursor(u"SELECT O.ID FROM Orð AS O");
    EXPECT_EQ(read(*c, 20), numbers(1, 20));
  }
  CallScope next;
  open();
  EXPECT_EQ(read(*c), numbers(21, kRows));
}

}  // namespace
