// The query-dialect translator: the component's own queries, the text
// comparisons that must ignore case, what it refuses, what a cached
// translation takes from the query, and each backend's SQL.
#include <gtest/gtest.h>

#include "common/error_number.h"
#include "platform/jet_query.h"
#include "platform/jet_sql.h"
#include "platform/sqlite_functions.h"

using namespace kvistur;
using namespace kvistur::db;

namespace {

Schema catalogue_schema() {
  Schema s;
  s.add_table({"Móðurtafla", {{"ID", false}, {"ÖllFærslan", true}, {"Einkennisstrengur", true}, {"Safndeild", false}}});
  s.add_table({"Orð", {{"ID", false}, {"Orð", true}}});
  s.add_table({"Tengill", {{"FærsluID", false}, {"OrðID", false}, {"HópID", false}, {"Orðtag", false}}});
  s.add_table({"EkkiOrð", {{"EkkiOrð", true}}});
  s.add_table({"Árgangur", {{"ID", false}, {"MóðurID", false}, {"Númer", false}}});
  return s;
}

SqlValue text(std::string s) { return SqlValue{SqlValue::kText, 0, 0, std::move(s)}; }
SqlValue integer(int64_t i) { return SqlValue{SqlValue::kInteger, i, 0, ""}; }

int error_number(TextView q) { return kvistur::testing::error_number([&] { translate_jet(q, catalogue_schema()); }); }

TEST(JetSql, WordQueryBecomesFoldedComparisonsWithBoundValues) {
  Schema s = catalogue_schema();
  Translation eq = translate_jet(
      u"SELECT DISTINCT t0.FærsluID FROM Tengill AS t0 INNER JOIN Orð AS O0 ON t0.OrðID = O0.ID "
      u"WHERE (((O0.Orð) = 'SAGA')) AND t0.HópID =  3",
      s);
  EXPECT_EQ(eq.sql,
            "SELECT DISTINCT \"t0\".\"FærsluID\" FROM \"Tengill\" AS \"t0\" INNER JOIN \"Orð\" AS \"O0\" ON "
            "\"t0\".\"OrðID\" = \"O0\".\"ID\" WHERE ( ( kv_fold( ( \"O0\".\"Orð\" ) ) = ? ) ) AND \"t0\".\"HópID\" = ?");
  EXPECT_EQ(eq.values, (std::vector<SqlValue>{text("saga"), integer(3)}));
  Translation prefix = translate_jet(u"SELECT t0.FærsluID FROM Tengill AS t0 INNER JOIN Orð AS O0 ON t0.OrðID = O0.ID "
                                     u"WHERE (((O0.Orð) Like 'Þór*'))",
                                     s);
  EXPECT_NE(prefix.sql.find("kv_fold( ( \"O0\".\"Orð\" ) ) >= ? AND kv_fold( ( \"O0\".\"Orð\" ) ) < ?"), std::string::npos)
      << prefix.sql;
  EXPECT_EQ(prefix.sql.find("kv_like"), std::string::npos) << "a plain prefix needs no pattern match";
  EXPECT_EQ(prefix.values, (std::vector<SqlValue>{text("þór"), text(prefix_upper_bound("þór"))}));
  Translation leading = translate_jet(u"SELECT O.ID FROM Orð O WHERE O.Orð Like '*saga'", s);
  EXPECT_EQ(leading.sql, "SELECT \"O\".\"ID\" FROM \"Orð\" \"O\" WHERE kv_like( ? , \"O\".\"Orð\" )");
  Translation inner = translate_jet(u"SELECT O.ID FROM Orð O WHERE O.Orð Not Like 'sa?a*'", s);
  EXPECT_NE(inner.sql.find("NOT ( ( kv_fold( \"O\".\"Orð\" ) >= ?"), std::string::npos) << inner.sql;
  EXPECT_NE(inner.sql.find("AND kv_like( ? , \"O\".\"Orð\" )"), std::string::npos) << inner.sql;
}

TEST(JetSql, NamesFollowTheFileAndTextColumnsCollateWithoutCase) {
  Schema s = catalogue_schema();
  Translation t = translate_jet(u"SELECT DISTINCT E.ekkiorð FROM ekkiORÐ E;", s);
  EXPECT_EQ(t.sql, "SELECT DISTINCT \"E\".\"EkkiOrð\" COLLATE \"KV_CI\" AS \"EkkiOrð\" FROM \"EkkiOrð\" \"E\"");
  Translation o = translate_jet(u"SELECT * FROM Árgangur WHERE Árgangur.MóðurID =  7 ORDER BY Númer DESC", s);
  EXPECT_EQ(o.sql, "SELECT * FROM \"Árgangur\" WHERE \"Árgangur\".\"MóðurID\" = ? ORDER BY \"Númer\" DESC");
  Translation m = translate_jet(u"Select m.ID, m.Safndeild FROM Móðurtafla m WHERE m.Einkennisstrengur = 'A''b'ORDER BY m.ÖllFærslan", s);
  EXPECT_EQ(m.values, (std::vector<SqlValue>{text("a'b")}));
  EXPECT_NE(m.sql.find("ORDER BY \"m\".\"ÖllFærslan\" COLLATE \"KV_CI\""), std::string::npos) << m.sql;
  Translation neg = translate_jet(u"select m.id FROM Móðurtafla m where m.id = -4", s);
  EXPECT_EQ(neg.sql, "SELECT \"m\".\"ID\" FROM \"Móðurtafla\" \"m\" WHERE \"m\".\"ID\" = - ?");
}

TEST(JetSql, RefusesAnythingButOneQuery) {
  EXPECT_EQ(error_number(u"DELETE FROM Orð"), 3129);
  EXPECT_EQ(error_number(u"SELECT * FROM Orð; DROP TABLE Orð"), 3142);
  EXPECT_EQ(error_number(u"SELECT * FROM Orð INTO x"), 3129);
  EXPECT_EQ(error_number(u"SELECT load_extension('x') FROM Orð"), 3085);
  EXPECT_EQ(error_number(u"SELECT * FROM Orð WHERE Orð = 'open"), 3075);
  EXPECT_EQ(error_number(u"SELECT * FROM [Orð WHERE 1"), 3075);
  EXPECT_EQ(error_number(u"SELECT * FROM Orð WHERE ID = 1 % 2"), 3075);
  EXPECT_EQ(error_number(u"SELECT * FROM Orð WHERE Orð Like '[a'"), 93);
  EXPECT_EQ(error_number(Text(kMaxQueryLength + 1, u'x')), 3360);
  // What would be a comment or a second statement in SQLite stays inside the
  // bound value.
  Translation t = translate_jet(u"SELECT * FROM Orð WHERE Orð = 'x''; --'", catalogue_schema());
  EXPECT_EQ(t.sql, "SELECT * FROM \"Orð\" WHERE kv_fold( \"Orð\" ) = ?");
  EXPECT_EQ(t.values, (std::vector<SqlValue>{text("x'; --")}));
}

TEST(LikeMatch, WildcardsClassesAndLiterals) {
  EXPECT_TRUE(like_match("[a-c]x", "bx"));
  EXPECT_FALSE(like_match("[!a-c]x", "bx"));
  EXPECT_TRUE(like_match("100%", "100%"));
  EXPECT_FALSE(like_match("100%", "1000"));
  EXPECT_FALSE(like_match("a_b", "axb"));
  EXPECT_TRUE(like_match("*[*]*", "a*b"));
  EXPECT_TRUE(like_match("*a*a*a*a*a*b", std::string(200, 'a') + "b"));
  EXPECT_FALSE(like_match("*a*a*a*a*a*b", std::string(2000, 'a')));
  EXPECT_EQ(fold_text(u"ÞÓRÐUR Ævi"), fold_text(u"þórður ævi"));
  EXPECT_NE(fold_text(u"a"), fold_text(u"á"));
}

// kv_fold on UTF-8 folds text of the characters before U+0300 by a table,
// others through ICU: both give what ICU gives for the whole text.
TEST(Fold, Utf8TextFoldsAsIcuFoldsItWhole) {
  Text all;
  for (char16_t c = 1; c < 0x300; ++c) all += c;
  EXPECT_EQ(fold_utf8(to_utf8(all)), fold_text(all));
  for (const char* s : {"STRASSE Straße İstanbul ǰ ŉ µ Ǆ", "Áb\xCC\x81" "c", "a\xCC\x81 Á", "ÞÓR\xE2\x80\x94ÐUR",
                        "x\xC3", "\xC3x", "\xC0\x80Á", "\xFFÁ", ""})
    EXPECT_EQ(fold_utf8(s), fold_text(from_utf8(s))) << s;
  EXPECT_EQ(fold_utf8("ÞÓRÐUR Straße"), "þórður strasse");
}

TEST(JetSql, CachedTranslationsTakeEachQuerysOwnValues) {
  Schema s = catalogue_schema();
  TranslationCache cache;
  Translation a = cache.translate(u"select m.ID FROM Móðurtafla m where m.Einkennisstrengur = 'ÁB' AND m.ID =  5", s);
  Translation b = cache.translate(u"select m.ID FROM Móðurtafla m where m.Einkennisstrengur = 'cd' AND m.ID =  77", s);
  EXPECT_EQ(a.sql, b.sql);
  EXPECT_EQ(b.values, (std::vector<SqlValue>{text("cd"), integer(77)}));
  EXPECT_EQ(a.values, (std::vector<SqlValue>{text("áb"), integer(5)}));
  // Asked again in the same words, or in words of the same length that
  // differ only at the end: each its own values.
  Translation a2 = cache.translate(u"select m.ID FROM Móðurtafla m where m.Einkennisstrengur = 'ÁB' AND m.ID =  5", s);
  Translation a3 = cache.translate(u"select m.ID FROM Móðurtafla m where m.Einkennisstrengur = 'ÁB' AND m.ID =  6", s);
  EXPECT_EQ(a2.values, a.values);
  EXPECT_EQ(a3.values, (std::vector<SqlValue>{text("áb"), integer(6)}));
  // A pattern decides the translation, so it is part of the shape.
  Translation p = cache.translate(u"SELECT O.ID FROM Orð O WHERE O.Orð Like 'sa*'", s);
  Translation q = cache.translate(u"SELECT O.ID FROM Orð O WHERE O.Orð Like '*sa'", s);
  EXPECT_NE(p.sql, q.sql);
  EXPECT_EQ(q.sql, translate_jet(u"SELECT O.ID FROM Orð O WHERE O.Orð Like '*sa'", s).sql);
  Translation r = cache.translate(u"SELECT O.ID FROM Orð O WHERE O.ID = 2.5", s);
  Translation n = cache.translate(u"SELECT O.ID FROM Orð O WHERE O.ID = 2", s);
  EXPECT_EQ(r.values[0].kind, SqlValue::kReal);
  EXPECT_EQ(n.values, (std::vector<SqlValue>{integer(2)}));
}

// The words table alone, in a file or in the server's schema.
Schema schema(bool server) {
  Schema s;
  if (server) s.set_server_schema("katalogur");
  TableInfo words("Orð", {{"ID", false}, {"Orð", true}});
  words.order = {"ID"};
  s.add_table(words);
  return s;
}

// An operand written again at each level of a chain of operators (a Like
// of a Like, a comparison of a comparison): the SQL grows with the query,
// and where a backend's form must repeat the operand, a query whose SQL
// would pass the bound is refused as one too long is.
TEST(JetQuery, ChainsOfOperatorsStayInBounds) {
  std::u16string chain = u"SELECT O.ID FROM Orð O WHERE O.Orð", ordered = chain;
  for (int i = 0; i < 24; ++i) {
    chain += u" Like 'ab*'";
    ordered += u" < 'ab'";
  }
  for (bool server : {false, true}) EXPECT_LT(translate_jet(chain, schema(server)).sql.size(), 3000u) << server;
  EXPECT_EQ(kvistur::testing::error_number([&] { translate_jet(ordered, schema(true)); }), 3360);
}

TEST(JetQuery, EachBackendWritesItsOwnSql) {
  // TOP n is a value like any other: a query of the same shape with another
  // n takes its own, in the file's SQL and the server's.
  for (bool server : {false, true}) {
    Schema s = schema(server);
    TranslationCache cache;
    cache.translate(u"SELECT TOP 2 O.ID FROM Orð O ORDER BY O.Orð", s);
    Translation t = cache.translate(u"SELECT TOP 7 O.ID FROM Orð O ORDER BY O.Orð", s);
    ASSERT_EQ(t.values.size(), 1u) << t.sql;
    EXPECT_EQ(t.values[0].integer, 7) << t.sql;
  }
  const char16_t* q = u"SELECT TOP 3 O.ID FROM Orð O WHERE O.ID IN (SELECT TOP 1 P.ID FROM Orð P) ORDER BY O.Orð DESC";
  EXPECT_EQ(translate_jet(q, schema(false)).sql,
            "SELECT \"O\".\"ID\" FROM \"Orð\" \"O\" WHERE \"O\".\"ID\" IN ( SELECT \"P\".\"ID\" FROM \"Orð\" \"P\" LIMIT ? ) "
            "ORDER BY \"O\".\"Orð\" COLLATE \"KV_CI\" DESC LIMIT ?");
  // The server's DISTINCT carries the row order in a column of its own, kept
  // from the fields.  (What the server's SQL gives: the server-dialect tests.)
  EXPECT_EQ(translate_jet(u"SELECT DISTINCT O.Orð, O.ID FROM Orð O", schema(true)).hidden, 1);
}

}  // namespace
