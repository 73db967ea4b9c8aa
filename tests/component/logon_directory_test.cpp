// Log-on, the directory queries, stop words and collections, on small
// databases made by the tests.
#include <gtest/gtest.h>

#include "common/site.h"
#include "component/faersla_state.h"
#include "component/methods.h"
#include "kvistur/faersla.h"
#include "platform/engine.h"
#include "settings/thread_state.h"

using namespace kvistur;
using kvistur::testing::Site;

namespace {

class ComponentTest : public ::testing::TestWithParam<kvistur::testing::Backend> {
 protected:
  void SetUp() override {
    thread_state() = ThreadState{};
    site_.directory_sql(
        "INSERT INTO databases VALUES (5, 'Aðalsafn', 'Bækur'), (2, 'Barnadeild', NULL), (9, 'Tímarit', 'x');"
        "INSERT INTO DBGroups VALUES (7, 'Sjö', NULL), (3, '  Þrír  ', 'Lýsing');"
        "INSERT INTO QueryTypes VALUES (2, 'Höfundur ', 3), (1, 'Allt', 3), (4, 'Titill', 7);"
        "INSERT INTO relations VALUES (5, 3), (9, 3), (2, 7);");
    site_.clear_log();
  }
  void TearDown() override { thread_state() = ThreadState{}; }
  int32_t logon(FaerslaState& st, std::u16string user = u"Admin", std::u16string pw = u"") {
    return LogOn(st, user, pw);
  }
  int32_t groups() {
    SafeArray<Text> a, b, c;
    SafeArray<int32_t> ids;
    return SaekjaHopa(a, ids, b, c);
  }
  Site site_{GetParam()};
};
KVISTUR_EVERY_BACKEND(ComponentTest);

TEST_P(ComponentTest, LogOnLinesAndWorkspaces) {
  FaerslaState st;
  EXPECT_EQ(logon(st), 0);
  ASSERT_TRUE(st.aDbID.allocated());
  EXPECT_EQ(st.aDbID.items(), (std::vector<int32_t>{0, 2, 5, 9}));
  EXPECT_EQ(st.aDbNames.items(), (std::vector<Text>{u"", u"Barnadeild", u"Aðalsafn", u"Tímarit"}));
  EXPECT_EQ(site_.log_lines(), (std::vector<std::string>{"MeldaError: LogOn: RegLesa, Debug, NoDebug,  0, True",
                                                         "MeldaError: LogOn inn, normal,  0, ",
                                                         "MeldaError: LogOn: RegLesa, Grunnur, Slóð,  0, " + site_.folder(),
                                                         "MeldaError: LogOn út, normal,  0, "}));
  // A later log-on replaces the workspace.  A workgroup's user names ignore
  // letter case; a server's roles do not.
  site_.add_user("Jón", "leyndó");
  const char16_t* name = GetParam() == kvistur::testing::Backend::kFiles ? u"jón" : u"Jón";
  logon(st, name, u"leyndó");
  EXPECT_EQ(thread_state().workspace->user_name(), name);
  // A wrong password leaves no workspace.
  thread_state() = ThreadState{};
  FaerslaState wrong;
  EXPECT_EQ(logon(wrong, u"Jón", u"rangt"), 0);
  EXPECT_FALSE(wrong.aDbID.allocated());
  auto lines = site_.log_lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_NE(lines.back().find("3029"), std::string::npos) << lines.back();
  EXPECT_EQ(groups(), -1);
  SafeArray<Text> words;
  EXPECT_EQ(SaekjaEkkiOrð(words), 0);
  EXPECT_FALSE(words.allocated());
  // With debugging off only the forced line is written.
  site_.debug(false);
  site_.clear_log();
  FaerslaState quiet;
  logon(quiet);
  EXPECT_EQ(groups(), 2);
  EXPECT_EQ(site_.log_lines(), std::vector<std::string>{"MeldaError: LogOn: RegLesa, Debug, NoDebug,  0, False"});
}

TEST_P(ComponentTest, GroupsFieldsDatabasesStopWordsAndCollections) {
  FaerslaState st;
  logon(st);
  SafeArray<Text> groups, names, descs;
  SafeArray<int32_t> ids;
  EXPECT_EQ(SaekjaHopa(groups, ids, names, descs), 2);
  EXPECT_EQ(ids.items(), (std::vector<int32_t>{0, 3, 7}));
  EXPECT_EQ(groups(1), u"Þrír");
  EXPECT_EQ(names(1), u"  Þrír  ");
  EXPECT_EQ(descs(2), u"");
  SafeArray<Text> fields;
  SafeArray<int32_t> field_ids;
  int32_t group = 3, none = 99;
  EXPECT_EQ(SaekjaSvid(group, fields, field_ids), 2);
  EXPECT_EQ(fields.items(), (std::vector<Text>{u"", u"Allt", u"Höfundur"}));
  EXPECT_EQ(field_ids.items(), (std::vector<int32_t>{0, 1, 2}));
  // A group without fields leaves the arrays exactly as they were.
  SafeArray<Text> keep(1, {u"a", u"b"});
  SafeArray<int32_t> keep_ids;
  EXPECT_EQ(SaekjaSvid(none, keep, keep_ids), 0);
  EXPECT_EQ(keep, SafeArray<Text>(1, {u"a", u"b"}));
  EXPECT_FALSE(keep_ids.allocated());
  SafeArray<int32_t> dbs;
  SafeArray<Text> dnames, ddescs;
  EXPECT_EQ(SaekjaSofn(group, dbs, dnames, ddescs), 2);
  std::vector<int32_t> got(dbs.items().begin() + 1, dbs.items().end());
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (std::vector<int32_t>{5, 9}));
  EXPECT_EQ(SaekjaSofn(none, dbs, dnames, ddescs), 0);
  // A Null name fails the method after the rows before it.
  site_.directory_sql("INSERT INTO QueryTypes VALUES (9, NULL, 3);");
  EXPECT_EQ(SaekjaSvid(group, fields, field_ids), -1);
  EXPECT_EQ(fields.ubound(), 3);
  EXPECT_EQ(fields(2), u"Höfundur");
  EXPECT_EQ(site_.log_lines().back(), "MeldaError: Kvistur,  94, Invalid use of Null");
  // Stop words and the collections that hold a record.
  SafeArray<Text> words(0, {u"x"});
  EXPECT_EQ(SaekjaEkkiOrð(words), 0);
  EXPECT_EQ(words.items(), (std::vector<Text>{u""}));  // empty table: one empty element
  site_.catalogue_sql("INSERT INTO EkkiOrð VALUES ('og'), ('í'), ('þó'), ('OG');"
                      "INSERT INTO Móðurtafla (ID, Safndeild, Einkennisstrengur) VALUES (12, 5, 'abc'), (4, 77, 'abc'),"
                      " (6, 2, 'x');");
  EXPECT_EQ(SaekjaEkkiOrð(words), 0);
  std::vector<Text> upper(words.items().begin() + 1, words.items().end());
  std::sort(upper.begin(), upper.end());
  EXPECT_EQ(upper, (std::vector<Text>{u"OG", u"Í", u"ÞÓ"})) << "in upper case";
  Variant key(u"abc");
  SafeArray<int32_t> coll_ids;
  SafeArray<Text> colls;
  EXPECT_EQ(SofnMedFaerslu(st, key, ids, colls, coll_ids), 2);
  EXPECT_EQ(ids.items(), (std::vector<int32_t>{0, 4, 12}));
  EXPECT_EQ(colls.items(), (std::vector<Text>{u"", u"", u"Aðalsafn"}));
  EXPECT_EQ(coll_ids.items(), (std::vector<int32_t>{0, 0, 5}));
  // A quote breaks the query; no rows leaves the arrays alone, even on an
  // object that never logged on.
  Variant quote(u"a'b");
  EXPECT_EQ(SofnMedFaerslu(st, quote, ids, colls, coll_ids), -1);
  FaerslaState fresh;
  Variant nothing(u"nothing");
  EXPECT_EQ(SofnMedFaerslu(fresh, nothing, ids, colls, coll_ids), 0);
  EXPECT_EQ(ids.ubound(), 2);
  EXPECT_EQ(SofnMedFaerslu(fresh, key, ids, colls, coll_ids), -1);
}

}  // namespace
