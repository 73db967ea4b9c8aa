// The SQLite engine on real files: the count-then-walk reading, Icelandic
// case-insensitive matching, engine errors, what other connections leave,
// and the workgroup file.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/dead_writer.h"
#include "common/error_number.h"
#include "common/site.h"
#include "platform/engine.h"
#include "platform/workgroup.h"
#include "settings/settings.h"

using namespace kvistur;
using namespace kvistur::db;
using kvistur::testing::error_number;
using kvistur::testing::Site;

namespace {

// A table of rows larger than a writer's page cache: its pages reach the
// file before the commit.
constexpr char kManyRows[] =
    "CREATE TABLE Fylling (x); WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 400) "
    "INSERT INTO Fylling SELECT randomblob(1000) FROM n;";

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    site_.catalogue_sql(
        "INSERT INTO Orð VALUES (1, 'saga'), (2, 'SÖGUR'), (3, 'Saga'), (4, 'ságá'), (5, 'Þórður'), (6, '100%'),"
        " (7, '1000'), (8, NULL);"
        "INSERT INTO Tengill VALUES (10, 1, 1, 1), (11, 3, 1, 2), (12, 5, 2, 1), (10, 3, 1, 1);");
    engine_ = create_sqlite_engine();
    engine_->set_system_db(from_utf8(site_.workgroup()));
    ws_ = engine_->CreateWorkspace(u"LR", u"admin", u"");
  }
  std::unique_ptr<Database> catalogue() { return ws_->OpenDatabase(from_utf8(site_.catalogue())); }
  // The values of one column, walked the way every method walks rows.
  std::vector<Variant> column(TextView sql, TextView name) {
    auto db = catalogue();
    auto rs = db->OpenRecordset(sql);
    std::vector<Variant> out;
    if (rs->RecordCount() > 0) {
      rs->MoveLast();
      int32_t n = rs->RecordCount();
      rs->MoveFirst();
      while (!rs->eof()) {
        out.push_back(rs->field(name));
        rs->MoveNext();
      }
      EXPECT_EQ(int32_t(out.size()), n);
    }
    rs->Close();
    db->Close();
    return out;
  }
  std::vector<int32_t> ids(TextView sql) {
    std::vector<int32_t> out;
    for (auto& v : column(sql, u"ID")) out.push_back(v.to_i32());
    return out;
  }
  Site site_;
  std::shared_ptr<Engine> engine_;
  std::shared_ptr<Workspace> ws_;
};

// (= ignoring case and a leading * are seen through Leita's searches, the
// stop words taken once each through SaekjaEkkiOrð.)
TEST_F(EngineTest, TextComparisonsIgnoreCaseButNotAccents) {
  EXPECT_EQ(ids(u"SELECT O.ID FROM Orð O WHERE (((O.Orð) Like 'sög*')) ORDER BY O.ID"), (std::vector<int32_t>{2}));
  EXPECT_EQ(ids(u"SELECT O.ID FROM Orð O WHERE O.Orð Like 'þÓR*' ORDER BY O.ID"), (std::vector<int32_t>{5}));
  EXPECT_EQ(ids(u"SELECT O.ID FROM Orð O WHERE O.Orð Like 's?g?' ORDER BY O.ID"), (std::vector<int32_t>{1, 3, 4}));
  EXPECT_EQ(ids(u"SELECT O.ID FROM Orð O WHERE O.Orð Like '100%' ORDER BY O.ID"), (std::vector<int32_t>{6}));
  EXPECT_EQ(ids(u"SELECT O.ID FROM Orð O WHERE O.Orð Like '1##%' ORDER BY O.ID"), (std::vector<int32_t>{6}));
  EXPECT_EQ(ids(u"SELECT O.ID FROM Orð O WHERE O.Orð <> 'saga' ORDER BY O.ID"), (std::vector<int32_t>{2, 4, 5, 6, 7}));
}

TEST_F(EngineTest, JoinsDistinctTheWalkAndErrors) {
  auto hits = column(u"SELECT DISTINCT t0.FærsluID FROM Tengill AS t0 INNER JOIN Orð AS O0 ON t0.OrðID = O0.ID "
                     u"WHERE (((O0.Orð) = 'saga')) AND t0.HópID =  1 ORDER BY t0.FærsluID",
                     u"færsluid");
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0], Variant(int32_t(10)));
  EXPECT_EQ(hits[1], Variant(int32_t(11)));
  auto db = catalogue();
  auto rs = db->OpenRecordset(u"SELECT * FROM Orð WHERE ID = 8");
  EXPECT_EQ(rs->RecordCount(), 1);
  EXPECT_TRUE(rs->field(u"Orð").is_null());
  EXPECT_TRUE(rs->field(u"oRÐ").is_null());  // a name of other case, not ASCII
  EXPECT_EQ(error_number([&] { rs->field(u"Ekki"); }), kItemNotFound);
  rs->MoveNext();
  EXPECT_TRUE(rs->eof());
  EXPECT_EQ(error_number([&] { rs->field(u"Orð"); }), kNoCurrentRecord);
  EXPECT_EQ(error_number([&] { rs->MoveNext(); }), kNoCurrentRecord);
  auto none = db->OpenRecordset(u"SELECT * FROM Orð WHERE ID = 99");
  EXPECT_EQ(none->RecordCount(), 0);
  EXPECT_TRUE(none->eof());
  EXPECT_EQ(error_number([&] { none->MoveLast(); }), kNoCurrentRecord);
  EXPECT_EQ(error_number([&] { db->OpenRecordset(u"SELECT * FROM Ekkitafla"); }), kTableNotFound);
  EXPECT_EQ(error_number([&] { db->OpenRecordset(u"SELECT x.Ekki FROM Orð x"); }), kTooFewParameters);
  EXPECT_EQ(error_number([&] { db->OpenRecordset(u"SELECT FROM WHERE"); }), kSyntaxInExpression);
  EXPECT_EQ(error_number([&] { ws_->OpenDatabase(from_utf8(site_.dir() + "/engin.sqlite")); }), kFileNotFound);
  try {
    ws_->OpenDatabase(u"/nowhere\\x.mdb");
  } catch (const Error& e) {
    EXPECT_EQ(e.source(), u"DAO.Workspace");
    EXPECT_EQ(e.description(), u"Could not find file '/nowhere/x.mdb'.");
  }
}

TEST_F(EngineTest, BulkReadsGiveWhatTheWalkGives) {
  auto db = catalogue();
  // From the first row, and from the middle (rows already buffered).
  for (int skip : {0, 2}) {
    auto rs = db->OpenRecordset(u"SELECT O.ID FROM Orð O ORDER BY O.ID");
    for (int i = 0; i < skip; ++i) rs->MoveNext();
    std::vector<int32_t> got{99};
    rs->ReadIntegers(u"id", got);
    std::vector<int32_t> want{99};
    for (int32_t i = 1 + skip; i <= 8; ++i) want.push_back(i);
    EXPECT_EQ(got, want);
    EXPECT_TRUE(rs->eof());
    rs->Close();
  }
  // Texts convert as field().to_i32() converts them; Null fails the same way.
  std::vector<int32_t> got;
  auto rs = db->OpenRecordset(u"SELECT O.Orð FROM Orð O WHERE O.ID = 7");
  rs->ReadIntegers(u"Orð", got);
  EXPECT_EQ(got, (std::vector<int32_t>{1000}));
  rs = db->OpenRecordset(u"SELECT O.Orð FROM Orð O WHERE O.ID = 8");
  EXPECT_EQ(error_number([&] { rs->ReadIntegers(u"Orð", got); }), err::kInvalidNull);
  rs = db->OpenRecordset(u"SELECT O.ID FROM Orð O");
  EXPECT_EQ(error_number([&] { rs->ReadIntegers(u"nothing", got); }), kItemNotFound);
  // Sorted, each number once for a DISTINCT query, repeats kept otherwise,
  // and the numbers already in OUT before FROM left alone.
  for (const char16_t* q : {u"SELECT DISTINCT t.FærsluID FROM Tengill t INNER JOIN Orð O ON t.OrðID = O.ID WHERE O.Orð = 'saga'",
                            u"SELECT t.FærsluID FROM Tengill t ORDER BY t.FærsluID DESC"}) {
    std::vector<int32_t> set{7};
    rs = db->OpenRecordset(q);
    rs->ReadSortedIntegers(u"FærsluID", set, 1);
    EXPECT_TRUE(rs->eof());
    EXPECT_EQ(set, std::u16string_view(q).find(u"DISTINCT") != std::u16string_view::npos
                       ? (std::vector<int32_t>{7, 10, 11})
                       : (std::vector<int32_t>{7, 10, 10, 11, 12}));
  }
  std::vector<int32_t> set;
  rs = db->OpenRecordset(u"SELECT DISTINCT O.Orð FROM Orð O WHERE O.ID = 7 OR O.ID = 7");
  rs->ReadSortedIntegers(u"Orð", set, 0);
  EXPECT_EQ(set, (std::vector<int32_t>{1000})) << "texts are converted as field() converts them";
  rs = db->OpenRecordset(u"SELECT DISTINCT O.Orð FROM Orð O WHERE O.ID >= 7");
  EXPECT_EQ(error_number([&] { rs->ReadSortedIntegers(u"Orð", set, 0); }), err::kInvalidNull);
  std::vector<std::string> rows;
  rs = db->OpenRecordset(u"SELECT O.ID, O.Orð FROM Orð O WHERE O.ID >= 6 ORDER BY O.ID");
  rs->ForEachRow([&](std::vector<Variant>& row) {
    rows.push_back(to_utf8(row[0].to_text()) + "=" + (row[1].is_null() ? "null" : to_utf8(row[1].to_text())));
  });
  EXPECT_EQ(rows, (std::vector<std::string>{"6=100%", "7=1000", "8=null"}));
  EXPECT_TRUE(rs->eof());
}

// Again takes each literal with its sign: a minus before a number is the
// number's own, one after an operand subtracts.
TEST_F(EngineTest, AgainTakesTheLiteralsSigned) {
  auto db = catalogue();
  auto c = db->OpenCursor(u"SELECT O.ID FROM Orð AS O WHERE -O.ID = -3 OR O.ID = 9 - 1 OR O.ID IN (-2) ORDER BY O.ID");
  struct Case {
    std::vector<Literal> literals;
    std::vector<int64_t> want;
  };
  for (const Case& k : {Case{{}, {3, 8}}, Case{{-5, 9, 3, 1}, {1, 5, 6}}, Case{{-4, 9, 1, -7}, {4, 8}}}) {
    if (!k.literals.empty()) c->Again(k.literals);
    std::vector<int64_t> got;
    while (c->Next()) got.push_back(c->Integer(0));
    EXPECT_EQ(got, k.want);
  }
}

TEST_F(EngineTest, DerivedDataLastsUntilTheFileChanges) {
  auto db = catalogue();
  db->Derived("a") = std::make_shared<int>(1);
  EXPECT_EQ(db->Derived("b"), nullptr);
  // The same file opened again on this thread keeps it.
  EXPECT_NE(catalogue()->Derived("a"), nullptr);
  // Another connection commits: the same object keeps its look (one per
  // method call), the next call's object finds the slot emptied.
  db->Close();
  site_.catalogue_sql("INSERT INTO Orð VALUES (9, 'nýtt');");
  db = catalogue();
  EXPECT_EQ(db->Derived("a"), nullptr);
  // Kept again, then the file replaced by another: the new file starts empty.
  db->Derived("a") = std::make_shared<int>(2);
  std::string fresh = site_.dir() + "/nytt.sqlite";
  kvistur::testing::exec_sql(fresh, kvistur::testing::kCatalogueSchema);
  std::filesystem::rename(fresh, site_.catalogue());
  EXPECT_EQ(catalogue()->Derived("a"), nullptr);
}

// Two things a read-only reader meets that the file itself does not show:
// a writer that died in its commit (a hot rollback journal), which the
// reader has rolled back and reads the file as it was; and another
// connection's commit in WAL mode, which leaves the file as it was until a
// checkpoint, and whose new table the next call sees.
TEST_F(EngineTest, WhatOtherConnectionsLeaveIsSeenAtTheNextCall) {
  const std::string file = site_.catalogue();
  kvistur::testing::kill_writer_midway(file, "", kManyRows);
  ASSERT_TRUE(std::filesystem::exists(file + "-journal"));
  {
    CallScope call;
    EXPECT_EQ(ids(u"SELECT O.ID FROM Orð O WHERE O.ID = 1"), (std::vector<int32_t>{1}));
  }
  EXPECT_FALSE(std::filesystem::exists(file + "-journal"));
  kvistur::testing::exec_sql(file, "PRAGMA journal_mode=WAL");
  sqlite3* writer = nullptr;
  sqlite3_open(file.c_str(), &writer);  // open till the end: nothing is checkpointed
  auto before = std::filesystem::last_write_time(file);
  {
    CallScope call;
    EXPECT_EQ(error_number([&] { catalogue()->OpenRecordset(u"SELECT * FROM Nýtt"); }), kTableNotFound);
  }
  ASSERT_EQ(sqlite3_exec(writer, "CREATE TABLE Nýtt (ID INTEGER); INSERT INTO Nýtt VALUES (7);", nullptr, nullptr, nullptr),
            SQLITE_OK);
  ASSERT_EQ(std::filesystem::last_write_time(file), before);
  {
    CallScope call;
    EXPECT_EQ(ids(u"SELECT N.ID FROM Nýtt N"), (std::vector<int32_t>{7}));
  }
  sqlite3_close(writer);
}

TEST(Workgroup, UsersPasswordsAndDamagedFiles) {
  Site site(false);
  std::string wg = site.workgroup();
  workgroup_init(wg);
  EXPECT_THROW(workgroup_init(wg), Error);
  workgroup_check(wg, u"ADMIN", u"");
  workgroup_set_user(wg, u"Þóra", u"lykill");
  workgroup_check(wg, u"þóra", u"lykill");
  auto code = [&](TextView user, TextView pw, const std::string& file = "") {
    return error_number([&] { workgroup_check(file.empty() ? wg : file, user, pw); });
  };
  EXPECT_EQ(code(u"þóra", u"Lykill"), kBadAccount);
  EXPECT_EQ(code(u"enginn", u""), kBadAccount);
  workgroup_set_user(wg, u"ÞÓRA", u"nýtt");
  EXPECT_EQ(workgroup_users(wg), (std::vector<Text>{u"Admin", u"ÞÓRA"}));
  EXPECT_EQ(code(u"þóra", u"lykill"), kBadAccount);
  workgroup_remove_user(wg, u"þóra");
  EXPECT_EQ(code(u"Þóra", u"nýtt"), kBadAccount);
  EXPECT_THROW(workgroup_remove_user(wg, u"þóra"), Error);
  // The hashes are not the passwords.
  std::string bytes = kvistur::testing::file_bytes(wg);
  EXPECT_EQ(bytes.find("nýtt"), std::string::npos);
  EXPECT_NE(bytes.find("$argon2id$"), std::string::npos);
  EXPECT_EQ(code(u"Admin", u"", site.dir() + "/none.mdw"), kFileNotFound);
  std::string other = site.dir() + "/other.sqlite";
  kvistur::testing::exec_sql(other, "CREATE TABLE t(x);");
  EXPECT_EQ(code(u"Admin", u"", other), kNotDatabase);
  // A writer that died in its commit: the next log-on rolls it back.
  kvistur::testing::kill_writer_midway(wg, "", kManyRows);
  ASSERT_TRUE(std::filesystem::exists(wg + "-journal"));
  EXPECT_EQ(code(u"Admin", u""), 0);
  auto engine = create_sqlite_engine();
  engine->set_system_db(from_utf8(wg));
  EXPECT_THROW(engine->CreateWorkspace(u"LR", u"Admin", u"rangt"), Error);
  EXPECT_EQ(engine->CreateWorkspace(u"LR", u"admin", u"")->user_name(), u"admin");
}

}  // namespace
