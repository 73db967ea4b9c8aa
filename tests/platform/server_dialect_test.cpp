// The query dialect on a PostgreSQL server against SQLite on the same rows:
// texts that fold, sort and match in tricky ways, NULLs, ties, DISTINCT,
// and the server's kv_fold against the engine's fold for every character;
// and the server's cursors, which read in batches.
#include <gtest/gtest.h>

#include "common/site.h"
#include "platform/engine.h"
#include "platform/sqlite_functions.h"
#include "settings/settings.h"

using namespace kvistur;
using namespace kvistur::db;
using kvistur::testing::Backend;
using kvistur::testing::PgServer;
using kvistur::testing::Site;

namespace {

// The site's catalogue through the server's engine.
std::unique_ptr<Database> on_server(const Site& site) {
  auto engine = create_postgres_engine();
  engine->set_system_db(from_utf8(site.folder()) + u"\\System.mdw");
  return engine->CreateWorkspace(u"LR", u"Admin", u"")->OpenDatabase(from_utf8(site.folder()) + u"\\katalogur.sqlite");
}

// Every row of a query, each value with its type, walked by MoveNext.
std::vector<std::string> rows(Database& db, const std::string& sql) {
  std::vector<std::string> out;
  try {
    auto rs = db.OpenRecordset(from_utf8(sql));
    while (!rs->eof()) {
      std::string row;
      for (const char16_t* c : {u"ID", u"Orð", u"m"}) {
        try {
          Variant v = rs->field(c);
          row += std::string(type_name(v.type())) + ":" + (v.is_null() ? "" : to_utf8(v.to_text())) + " ";
        } catch (const Error& e) {
          if (e.number() != kItemNotFound) throw;
        }
      }
      out.push_back(row);
      rs->MoveNext();
    }
  } catch (const Error& e) {
    out.push_back("error " + std::to_string(e.number()));
  }
  return out;
}

TEST(ServerDialect, SameRowsAsSqlite) {
  Site site(Backend::kServer);
  // Case pairs, accents, Icelandic letters, expansions (ß, ﬁ), final sigma,
  // an ignorable soft hyphen, a full-width letter, the Kelvin sign, NULLs,
  // the empty text, digits, wildcard characters, ties.
  site.catalogue_sql(
      "INSERT INTO Orð VALUES (1,'Saga'),(2,'saga'),(3,'SAGA'),(4,'Sága'),(5,'þór'),(6,'ÞÓR'),(7,'Straße'),"
      "(8,'STRASSE'),(9,'ﬁsk'),(10,'fisk'),(11,'ΟΔΟΣ'),(12,'οδος'),(13,'a\u00ADb'),(14,'ab'),(15,NULL),(16,''),"
      "(17,'10'),(18,'9'),(19,'Ægir'),(20,'ærið'),(21,'Öl'),(22,'zeta'),(23,'Ａ'),(24,'a'),(25,'_%'),"
      "(26,'a*b'),(27,'K'),(28,'k'),(29,NULL),(30,'Ð'),(31,'d'),(32,'e\nf'),(33,'ǅ'),(34,'ǆ');"
      "INSERT INTO EkkiOrð VALUES ('og'),('Í'),('OG'),(NULL),('í'),('ss'),('ß'),(NULL);");
  auto files = create_sqlite_engine();
  files->set_system_db(from_utf8(site.workgroup()));
  auto sqlite = files->CreateWorkspace(u"LR", u"Admin", u"")->OpenDatabase(from_utf8(site.catalogue()));
  auto server = on_server(site);

  std::vector<std::string> queries = {
      "SELECT O.ID, O.Orð FROM Orð O ORDER BY O.Orð",
      "SELECT O.ID, O.Orð FROM Orð O ORDER BY O.Orð DESC",
      "SELECT * FROM Orð",
      "SELECT DISTINCT O.Orð FROM Orð O",
      "SELECT DISTINCT E.EkkiOrð AS m FROM EkkiOrð E",
      "SELECT DISTINCT E.EkkiOrð FROM EkkiOrð E ORDER BY E.EkkiOrð DESC",
      "SELECT Max(O.Orð) AS m FROM Orð O",
      "SELECT Count(*) AS m FROM Orð O WHERE O.Orð > 'm'",
      "SELECT O.ID FROM Orð O WHERE O.Orð <= 'SAGA' ORDER BY O.ID DESC",
      "SELECT TOP 3 O.ID FROM Orð O ORDER BY O.Orð",
      "SELECT TOP 3 O.ID FROM Orð O WHERE O.ID IN (SELECT TOP 20 P.ID FROM Orð P) ORDER BY O.Orð DESC",
      "SELECT DISTINCT O.Orð, O.ID FROM Orð O",
  };
  for (const char* term : {"saga", "SAGA", "ss", "strasse", "fisk", "οδοσ", "ab", "", "k", "ð", "ǆ", "Ａ", "x'y"})
    queries.push_back(std::string("SELECT O.ID FROM Orð O WHERE O.Orð = '") + (std::string(term) == "x'y" ? "x''y" : term) +
                      "'");
  for (const char* pattern : {"sag*", "*A", "s?ga", "[a-c]*", "[!a-s]*", "#*", "*", "þ*", "ÞÓ*", "*ß*", "st*e",
                              "a[*]b", "_%", "e?f", "*[!a-z]*", "?"})
    queries.push_back(std::string("SELECT O.ID FROM Orð O WHERE O.Orð Like '") + pattern + "' ORDER BY O.ID");
  for (const std::string& q : queries) EXPECT_EQ(rows(*server, q), rows(*sqlite, q)) << q;
}

// kv_fold on the server folds every character of the first two planes (all
// that have a case) as the engine does, in context as well.
TEST(ServerDialect, FoldOfEveryCharacter) {
  Site site(Backend::kServer);
  PGconn* c = PQconnectdb(PgServer::get().admin_uri(site.database()).c_str());
  ASSERT_EQ(PQstatus(c), CONNECTION_OK) << PQerrorMessage(c);
  PGresult* r = PQexec(c,
                       "SELECT cp, katalogur.kv_fold(chr(cp)) FROM generate_series(1, 131071) cp "
                       "WHERE cp NOT BETWEEN 55296 AND 57343 ORDER BY cp");
  ASSERT_EQ(PQresultStatus(r), PGRES_TUPLES_OK) << PQresultErrorMessage(r);
  int wrong = 0;
  for (int i = 0; i < PQntuples(r); ++i) {
    char32_t cp = char32_t(std::atol(PQgetvalue(r, i, 0)));
    Text t;
    if (cp >= 0x10000) t = {char16_t(0xD800 + ((cp - 0x10000) >> 10)), char16_t(0xDC00 + ((cp - 0x10000) & 0x3FF))};
    else t = {char16_t(cp)};
    if (fold_text(t) != PQgetvalue(r, i, 1) && ++wrong <= 5) ADD_FAILURE() << "U+" << std::hex << unsigned(cp);
  }
  EXPECT_EQ(wrong, 0);
  PQclear(r);
  for (const char* s : {"ΟΔΟΣ ΟΔΟΣ", "Ärger Straße", "ǅemal", "A\u030A", "ﬃ ᾈ"}) {
    const char* values[] = {s};
    r = PQexecParams(c, "SELECT katalogur.kv_fold($1)", 1, nullptr, values, nullptr, nullptr, 0);
    EXPECT_EQ(std::string(PQgetvalue(r, 0, 0)), fold_utf8(s)) << s;
    PQclear(r);
  }
  PQfinish(c);
}

// A server's cursors read in batches: every row once and in order, across
// the batches' edges, after Again, after the call that declared them ended,
// and with many cursors let go in one call.
TEST(ServerCursor, EveryRowOnceAcrossTheBatches) {
  constexpr int kRows = 700;
  Site site(Backend::kServer);
  site.catalogue_sql("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + std::to_string(kRows) +
                     ") INSERT INTO Orð SELECT i, 'orð' || i FROM n;");
  // The numbers a cursor gives, up to LIMIT of them.
  auto read = [](Cursor& c, std::size_t limit = std::size_t(-1)) {
    std::vector<int64_t> out;
    while (out.size() < limit && c.Next()) out.push_back(c.Integer(0));
    return out;
  };
  auto numbers = [](int64_t from, int64_t to) {
    std::vector<int64_t> out;
    for (int64_t i = from; i <= to; ++i) out.push_back(i);
    return out;
  };
  std::unique_ptr<Cursor> earlier;
  {
    CallScope call;
    earlier = on_server(site)->OpenCursor(u"SELECT O.ID FROM Orð AS O");
    EXPECT_EQ(read(*earlier, 20), numbers(1, 20));
  }
  CallScope call;
  auto db = on_server(site);
  EXPECT_EQ(read(*earlier), numbers(21, kRows)) << "read on after its call ended";
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

// A statement that fails in a call (here on the server, a division by zero)
// leaves the call reading the state it began in: a change committed
// meanwhile is not seen by the call's later statements, and a cursor read
// on after the failure goes on in that state, not half in the new one.
TEST(ServerCall, AFailedStatementKeepsTheCallsState) {
  Site site(Backend::kServer);
  site.catalogue_sql("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 300) "
                     "INSERT INTO Orð SELECT i, 'orð' || i FROM n;");
  CallScope call;
  auto db = on_server(site);
  auto count = [&] {
    auto c = db->OpenCursor(u"SELECT Count(*) AS m FROM Orð AS O");
    return c->Next() ? c->Integer(0) : -1;
  };
  EXPECT_EQ(count(), 300);
  auto c = db->OpenCursor(u"SELECT O.ID FROM Orð AS O ORDER BY O.ID");
  std::vector<int64_t> got;
  while (got.size() < 100 && c->Next()) got.push_back(c->Integer(0));
  site.server_sql("DELETE FROM katalogur.\"Orð\" WHERE \"ID\" = 200; INSERT INTO katalogur.\"Orð\" VALUES (301, 'ný'), (302, 'nýtt')");
  EXPECT_THROW(db->OpenCursor(u"SELECT O.ID FROM Orð AS O WHERE O.ID / 0 = 1")->Next(), Error);
  EXPECT_EQ(count(), 300);
  while (c->Next()) got.push_back(c->Integer(0));
  std::vector<int64_t> want;
  for (int64_t i = 1; i <= 300; ++i) want.push_back(i);
  EXPECT_EQ(got, want);
}

}  // namespace
