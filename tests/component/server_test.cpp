// The methods against a catalogue on a PostgreSQL server, where a server
// differs from a file: what the server refuses, a server that dies and
// comes back, changes made in place by another program, one connection
// for all the calls, and a catalogue that reading never changes.
#include <gtest/gtest.h>

#include "common/record_text_builder.h"
#include "common/site.h"
#include "kvistur/faersla.h"
#include "settings/thread_state.h"
#include "import/server/server_load.h"

using namespace kvistur;
using kvistur::testing::Backend;
using kvistur::testing::PgServer;
using kvistur::testing::RecordTextBuilder;
using kvistur::testing::Site;

namespace {

class ServerCatalogue : public ::testing::Test {
 protected:
  void SetUp() override {
    thread_state() = ThreadState{};
    RecordTextBuilder b;
    b.Titlar = {RecordTextBuilder::title(u"Fyrsta")};
    site_.catalogue_sql(
        "INSERT INTO Móðurtafla (ID, Skráning, ÖllFærslan, MarkSnið, Upprunafærsla, Röðunarsvið, Tag, Uppruni, Safndeild,"
        " UpprunaID, Einkennisstrengur) VALUES (1, '2020-01-01', '" + to_utf8(b.text()) + "', '', 0, 'b', 1, 0, 1, 0, 'k'),"
        " (2, '2020-01-01', '" + to_utf8(b.text()) + "', '', 0, 'a', 1, 0, 1, 0, 'k');"
        "INSERT INTO Orð VALUES (1, 'saga'), (2, 'rit'); INSERT INTO Tengill VALUES (1, 1, 1, 1), (2, 2, 1, 1);"
        "INSERT INTO Aðfanganúmer VALUES (5, '', 'Aðalsafn', 1, 1, 0);");
    site_.debug(true);
    logon();
  }
  void TearDown() override { thread_state() = ThreadState{}; }

  void logon(const char16_t* user = u"Admin", const char16_t* password = u"") {
    Text u = user, pw = password;
    f_.LogOn(u, pw);
  }
  std::vector<int32_t> search(const char16_t* term) {
    Variant g(int32_t(-1)), fl(int32_t(-1)), s{Text(term)};
    SafeArray<Text> svar, keys, stop(0, {u""});
    SafeArray<int32_t> ids;
    int32_t max = 10;
    int32_t n = f_.Leita(g, fl, s, svar, ids, keys, stop, max);
    if (n < 0) return {-1};
    return ids.allocated() ? ids.items() : std::vector<int32_t>{};
  }
  // The number and description of the last failure line.
  std::string last_failure() {
    auto lines = site_.log_lines();
    return lines.empty() ? "" : lines.back();
  }
  int32_t fetch(int32_t id) {
    Variant v(id), oll, mark, rodun;
    return f_.FaerslaFraID(v, oll, mark, rodun);
  }

  Site site_{Backend::kServer};
  Faersla f_;
};

TEST_F(ServerCatalogue, WhatTheServerRefusesFailsTheMethod) {
  std::string folder = site_.folder();
  SafeArray<Text> words;
  // A catalogue that is not there: a schema, a database, a server.
  site_.set("Grunnur", "GrunnNafn", "annar.sqlite");
  EXPECT_EQ(f_.SaekjaEkkiOrð(words), 0);
  EXPECT_EQ(last_failure(), "MeldaError: DAO.Workspace,  3024, Could not find file '" + folder + "\\annar.sqlite'.");
  site_.set("Grunnur", "GrunnNafn", "katalogur.sqlite");
  for (std::string elsewhere : {PgServer::get().uri("enginn"), std::string("postgresql:///kv?host=/nonexistent")}) {
    site_.set("Grunnur", "Slóð", elsewhere);
    EXPECT_EQ(f_.SaekjaEkkiOrð(words), 0);
    EXPECT_EQ(last_failure(), "MeldaError: DAO.Workspace,  3151, ODBC--connection to '" + elsewhere + "' failed.");
    logon();
    EXPECT_EQ(last_failure(), "MeldaError: DAO.DBEngine,  3151, ODBC--connection to '" + elsewhere + "' failed.");
  }
  site_.set("Grunnur", "Slóð", folder);
  // A role that may not read the records.
  site_.add_user("Gestur", "lykill");
  site_.server_sql("REVOKE SELECT ON katalogur.\"Móðurtafla\" FROM PUBLIC; GRANT SELECT ON katalogur.\"Móðurtafla\" TO \"Admin\"");
  logon(u"Gestur", u"lykill");
  Variant key(u"enginn");
  SafeArray<int32_t> ids, collection_ids;
  SafeArray<Text> collections;
  EXPECT_EQ(f_.SofnMedFaerslu(key, ids, collections, collection_ids), -1);
  EXPECT_EQ(last_failure(), "MeldaError: DAO.Database,  3112, Records can't be read; no read permission on 'Móðurtafla'.");
  logon();
  EXPECT_EQ(f_.SofnMedFaerslu(key, ids, collections, collection_ids), 0);
}

TEST_F(ServerCatalogue, AServerThatDiesFailsTheCallAndTheCallAfterItComesBackWorks) {
  ASSERT_EQ(search(u"saga"), (std::vector<int32_t>{0, 1}));
  PgServer::get().kill();
  EXPECT_EQ(search(u"saga"), std::vector<int32_t>{-1});
  EXPECT_EQ(fetch(1), -1);
  PgServer::get().start();
  EXPECT_EQ(search(u"saga"), (std::vector<int32_t>{0, 1}));
  EXPECT_EQ(fetch(1), 0);
}

TEST_F(ServerCatalogue, ChangesInPlaceAreSeenAndReadingChangesNothing) {
  // Every row of every table of both schemas, as one digest.
  auto checksum = [&] {
    return site_.server_sql(
        "SELECT md5(string_agg(md5(query_to_xml(format('SELECT * FROM %I.%I', table_schema, table_name), true, false, '')::text),"
        " '' ORDER BY table_schema, table_name)) FROM information_schema.tables WHERE table_schema IN ('katalogur', 'skra')");
  };
  std::string before = checksum();
  // As the role that owns the catalogue, which could write if a call tried.
  logon(u"kvadmin", u"kvadmin");
  SafeArray<Text> words, collections;
  SafeArray<int32_t> ids, collection_ids;
  Variant key(u"enginn");
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(search(u"saga"), (std::vector<int32_t>{0, 1}));
    EXPECT_EQ(search(u"*a"), (std::vector<int32_t>{0, 1}));
    EXPECT_EQ(fetch(2), 0);
    EXPECT_EQ(f_.SaekjaEkkiOrð(words), 0);
    EXPECT_EQ(f_.SofnMedFaerslu(key, ids, collections, collection_ids), 0);
  }
  EXPECT_EQ(checksum(), before) << "no call wrote anything";
  EXPECT_EQ(site_.server_sql("SELECT count(*) FROM pg_stat_activity WHERE application_name = 'kvistur'"), "1")
      << "every call used the log-on's connection";

  // Another program adds a word to record 2, and changes a sort text: the
  // next search sees both.
  site_.server_sql("INSERT INTO katalogur.\"Tengill\" VALUES (2, 1, 1, 1)");
  EXPECT_EQ(search(u"saga"), (std::vector<int32_t>{0, 2, 1}));
  site_.server_sql("UPDATE katalogur.\"Móðurtafla\" SET \"Röðunarsvið\" = 'c' WHERE \"ID\" = 2");
  EXPECT_EQ(search(u"saga"), (std::vector<int32_t>{0, 1, 2}));

  // It renames a table, and back: a call misses it by its name, whether the
  // connection read the tables before or after; the next call finds it again.
  site_.server_sql("ALTER TABLE katalogur.\"Móðurtafla\" RENAME TO \"Gömul\"");
  for (int fresh = 0; fresh < 2; ++fresh) {
    if (fresh) logon(u"kvadmin", u"kvadmin");
    EXPECT_EQ(f_.SofnMedFaerslu(key, ids, collections, collection_ids), -1);
    EXPECT_EQ(last_failure(), "MeldaError: DAO.Database,  3078, The database engine cannot find the input table or query "
                              "'Móðurtafla'. Make sure it exists and that its name is spelled correctly.");
  }
  site_.server_sql("ALTER TABLE katalogur.\"Gömul\" RENAME TO \"Móðurtafla\"");
  EXPECT_EQ(f_.SofnMedFaerslu(key, ids, collections, collection_ids), 0);
}

TEST_F(ServerCatalogue, ARecordNumberBeyondEveryIntegerChangesNoResult) {
  // Enough hits for the search to weigh the order of all records by the
  // highest record number.
  site_.server_sql("INSERT INTO katalogur.\"Tengill\" SELECT n, 1, 1, 1 FROM generate_series(3, 12) n");
  std::vector<int32_t> before = search(u"saga");
  ASSERT_EQ(before.size(), 11u) << "the first ten";
  site_.server_sql("ALTER TABLE katalogur.\"Móðurtafla\" ALTER \"ID\" TYPE double precision;"
                   "INSERT INTO katalogur.\"Móðurtafla\" (\"ID\", \"Röðunarsvið\") VALUES (1e300, 'a')");
  EXPECT_EQ(search(u"saga"), before);
}

TEST_F(ServerCatalogue, ASearchThroughTheStoredIndexOfAFewRecordsFindsEachHit) {
  // A chunk of the stored order of two records: values of a few bytes, read
  // through the engine's cursor one column after another.
  import::IndexServerSchema(PgServer::get().admin_uri(site_.database()), "katalogur");
  ASSERT_EQ(site_.server_sql("SELECT count(*) FROM katalogur.kv_order"), "1");
  EXPECT_EQ(search(u"saga"), (std::vector<int32_t>{0, 1}));
  EXPECT_EQ(search(u"rit"), (std::vector<int32_t>{0, 2}));
  EXPECT_EQ(search(u"*"), (std::vector<int32_t>{0, 2, 1}));
  // Words and truncated words looked up through one statement each, run
  // again with the next term.
  EXPECT_EQ(search(u"SA*"), (std::vector<int32_t>{0, 1}));
  EXPECT_EQ(search(u"ri*"), (std::vector<int32_t>{0, 2}));
  EXPECT_EQ(search(u"saga"), (std::vector<int32_t>{0, 1}));
}

}  // namespace
