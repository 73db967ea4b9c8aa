// The query dialect read once and written by each backend: what a cached
// translation takes from the query, and the server's sorting.
#include <gtest/gtest.h>

#include "platform/jet_query.h"

using namespace kvistur;
using namespace kvistur::db;

namespace {

Schema schema(bool server) {
  Schema s;
  if (server) s.set_server_schema("katalogur");
  TableInfo words("Orð", {{"ID", false}, {"Orð", true}});
  words.order = {"ID"};
  s.add_table(words);
  return s;
}

// TOP n is a value like any other: a query of the same shape with another
// n takes its own, in the file's SQL and the server's.
TEST(JetQuery, CachedTopTakesItsOwnNumber) {
  for (bool server : {false, true}) {
    Schema s = schema(server);
    TranslationCache cache;
    cache.translate(u"SELECT TOP 2 O.ID FROM Orð O ORDER BY O.Orð", s);
    Translation t = cache.translate(u"SELECT TOP 7 O.ID FROM Orð O ORDER BY O.Orð", s);
    ASSERT_EQ(t.values.size(), 1u) << t.sql;
    EXPECT_EQ(t.values[0].integer, 7) << t.sql;
  }
}

TEST(JetQuery, EachBackendWritesItsOwnSql) {
  const char16_t* q = u"SELECT TOP 3 O.ID FROM Orð O WHERE O.ID IN (SELECT TOP 1 P.ID FROM Orð P) ORDER BY O.Orð DESC";
  EXPECT_EQ(translate_jet(q, schema(false)).sql,
            "SELECT \"O\".\"ID\" FROM \"Orð\" \"O\" WHERE \"O\".\"ID\" IN ( SELECT \"P\".\"ID\" FROM \"Orð\" \"P\" LIMIT ? ) "
            "ORDER BY \"O\".\"Orð\" COLLATE \"KV_CI\" DESC LIMIT ?");
  // The server sorts: by the fold in the Icelandic order, then its bytes,
  // then the rows' own order.
  EXPECT_EQ(translate_jet(q, schema(true)).sql,
            "SELECT \"O\".\"ID\" FROM \"katalogur\".\"Orð\" \"O\" WHERE \"O\".\"ID\" IN ( SELECT \"P\".\"ID\" FROM "
            "\"katalogur\".\"Orð\" \"P\" LIMIT $1 ) ORDER BY (\"katalogur\".kv_fold( \"O\".\"Orð\" ) COLLATE \"C\") "
            "COLLATE \"katalogur\".\"kv_ci\" DESC NULLS LAST , (\"katalogur\".kv_fold( \"O\".\"Orð\" ) COLLATE \"C\") "
            "COLLATE \"C\" DESC NULLS LAST , \"O\".\"ID\" LIMIT $2");
  Translation d = translate_jet(u"SELECT DISTINCT O.Orð, O.ID FROM Orð O", schema(true));
  EXPECT_EQ(d.sql,
            "SELECT * FROM ( SELECT DISTINCT ON ( (\"katalogur\".kv_fold( \"O\".\"Orð\" ) COLLATE \"C\") , 2 ) "
            "\"O\".\"Orð\" , \"O\".\"ID\" , \"O\".\"ID\" AS \"kv_row_1\" FROM \"katalogur\".\"Orð\" \"O\" ORDER BY "
            "(\"katalogur\".kv_fold( \"O\".\"Orð\" ) COLLATE \"C\") , 2 , \"O\".\"ID\" ) AS \"kv_distinct\" ORDER BY "
            "\"kv_row_1\"");
  EXPECT_EQ(d.hidden, 1);
}

}  // namespace
