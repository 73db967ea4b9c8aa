// Catalogues loaded into a PostgreSQL server: a load that cannot be done
// leaves the schema that was there, and `kvistur index` gives a schema that
// another tool made what the search needs.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "common/site.h"
#include "import/store/indexes.h"
#include "import/server/server_load.h"
#include "platform/engine.h"

using namespace kvistur;
using kvistur::testing::Backend;
using kvistur::testing::exec_sql;
using kvistur::testing::PgServer;
using kvistur::testing::Site;

namespace {

TEST(ServerLoad, ALoadThatFailsLeavesTheSchemaThatWasThere) {
  Site site(Backend::kServer);
  site.catalogue_sql("INSERT INTO Orð VALUES (1, 'saga'), (2, 'rit');");
  std::string uri = PgServer::get().admin_uri(site.database()), words = "SELECT string_agg(\"Orð\", ',') FROM katalogur.\"Orð\"";
  // A staged catalogue of the same name that cannot be loaded.
  std::filesystem::create_directory(site.dir() + "/bad");
  std::string staged = site.dir() + "/bad/katalogur.sqlite";
  for (const char* bad : {"INSERT INTO Tengill VALUES ('x', 1, 1, 1);", "UPDATE Orð SET Orð = 'a' || char(0) || 'b';",
                          "INSERT INTO Árgangur (ID) VALUES ('abc');"}) {
    std::filesystem::copy_file(site.catalogue(), staged, std::filesystem::copy_options::overwrite_existing);
    exec_sql(staged, bad);
    std::string why;
    try {
      import::LoadDatabases({staged}, uri, nullptr);
    } catch (const std::exception& e) {
      why = e.what();
    }
    EXPECT_NE(why, "") << bad;
    EXPECT_EQ(site.server_sql(words), "saga,rit") << why;
  }
  // What each refusal says.
  exec_sql(site.catalogue(), "INSERT INTO Tengill VALUES (1, 1, 1, 1), ('x', 1, 1, 1);");
  try {
    import::LoadDatabases({site.catalogue()}, uri, nullptr);
    ADD_FAILURE() << "loaded text into an integer column";
  } catch (const std::exception& e) {
    EXPECT_EQ(std::string(e.what()), site.catalogue() + ": table Tengill, column FærsluID holds both text and numbers");
  }
  EXPECT_EQ(site.server_sql("SELECT count(*) FROM pg_namespace WHERE nspname LIKE '%kv_new'"), "0");
}

// Tables another tool made (no keys, no kv_ columns) and a directory
// schema: `kvistur index` makes both ready in one step, again and again,
// also where the server reads backslashes in literals as escapes.
TEST(ServerLoad, IndexMakesTheSchemasOfAnotherToolReady) {
  Site site(Backend::kServer);
  std::string uri = PgServer::get().admin_uri(site.database());
  site.server_sql("ALTER DATABASE kv SET standard_conforming_strings = off");
  struct Reset {
    Site& site;
    ~Reset() { site.server_sql("ALTER DATABASE kv RESET standard_conforming_strings"); }
  } reset{site};
  site.server_sql(
      "CREATE SCHEMA annar; CREATE TABLE annar.\"Orð\" (\"ID\" integer PRIMARY KEY, \"Orð\" varchar(50));"
      "CREATE TABLE annar.\"Tengill\" (\"FærsluID\" integer, \"OrðID\" integer, \"HópID\" integer, \"Orðtag\" integer);"
      "CREATE TABLE annar.\"Athugasemd\\1\" (texti text);"
      "INSERT INTO annar.\"Orð\" VALUES (1, 'Saga'), (2, 'SÖGUR'); INSERT INTO annar.\"Tengill\" VALUES (8, 2, 1, 1), (7, 1, 1, 1);"
      "INSERT INTO annar.\"Athugasemd\\1\" VALUES ('b'), ('a');"
      "CREATE SCHEMA skra2; CREATE TABLE skra2.databases (\"ID\" integer, \"Name\" text, \"Description\" text);"
      "INSERT INTO skra2.databases VALUES (1, 'Bækur', '')");
  for (int twice = 0; twice < 2; ++twice)
    for (const char* schema : {"annar", "skra2"}) import::IndexServerSchema(uri, schema);
  EXPECT_EQ(site.server_sql("SELECT string_agg(\"kv_fold_Orð\", ',' ORDER BY \"ID\") FROM annar.\"Orð\""), "saga,sögur");
  // Rows numbered in the order they were loaded in.
  EXPECT_EQ(site.server_sql("SELECT string_agg(\"FærsluID\" || ':' || kv_rowid, ',' ORDER BY kv_rowid) FROM annar.\"Tengill\""),
            "8:1,7:2");
  EXPECT_EQ(site.server_sql("SELECT string_agg(texti || kv_rowid, ',' ORDER BY kv_rowid) FROM annar.\"Athugasemd\\1\""), "b1,a2");
  EXPECT_EQ(site.server_sql("SELECT string_agg(indexname, ',' ORDER BY indexname) FROM pg_indexes WHERE schemaname = 'annar'"),
            "Athugasemd\\1_pkey,Orð_pkey,Tengill_pkey,kv_ord_fold,kv_tengill_ord");
  EXPECT_EQ(site.server_sql("SELECT string_agg(\"Name\" || kv_rowid, ',') FROM skra2.databases"), "Bækur1");
  EXPECT_EQ(site.server_sql("SELECT to_regclass('skra2.kv_search_meta') IS NULL AND to_regclass('skra2.kv_changes') IS NOT NULL"),
            "t");
  // Rows another program adds later are numbered after the last.
  site.server_sql("INSERT INTO annar.\"Athugasemd\\1\" VALUES ('c')");
  EXPECT_EQ(site.server_sql("SELECT kv_rowid FROM annar.\"Athugasemd\\1\" WHERE texti = 'c'"), "3");
  try {
    import::IndexServerSchema(uri, "enginn");
    ADD_FAILURE() << "indexed a schema that is not there";
  } catch (const std::exception& e) {
    EXPECT_EQ(std::string(e.what()), uri + ": there is no schema enginn");
  }

  // Counted changes: a word added is seen by the next search.
  auto engine = db::create_postgres_engine();
  engine->set_system_db(from_utf8(site.folder()) + u"\\System.mdw");
  auto ws = engine->CreateWorkspace(u"LR", u"Admin", u"");
  auto hits = [&] {
    auto db = ws->OpenDatabase(from_utf8(site.folder()) + u"\\annar.sqlite");
    auto rs = db->OpenRecordset(u"SELECT DISTINCT t0.FærsluID FROM Tengill AS t0 INNER JOIN Orð AS O0 ON t0.OrðID = O0.ID "
                                u"WHERE (((O0.Orð) Like 'S*'))");
    std::vector<int32_t> ids;
    rs->ReadSortedIntegers(u"FærsluID", ids, 0);
    return ids;
  };
  EXPECT_EQ(hits(), (std::vector<int32_t>{7, 8}));
  std::string before = site.server_sql("SELECT n FROM annar.kv_changes");
  site.server_sql("INSERT INTO annar.\"Tengill\" VALUES (9, 2, 1, 1)");
  EXPECT_NE(site.server_sql("SELECT n FROM annar.kv_changes"), before);
  EXPECT_EQ(hits(), (std::vector<int32_t>{7, 8, 9}));
}

// A writer that waits for an update's lock while the update adds tables
// (its first stored index) commits after it, and its rows stay.
TEST(ServerLoad, AnUpdateThatAddsTablesKeepsWhatOthersWroteMeanwhile) {
  Site site(Backend::kServer);
  site.catalogue_sql("INSERT INTO Orð VALUES (1, 'saga'); INSERT INTO Tengill VALUES (1, 1, 1, 1);");
  std::string uri = PgServer::get().admin_uri(site.database());
  import::ServerCatalogueUpdate update(uri, "katalogur");
  import::IndexCatalogue(update.file());
  std::thread writer([&] { site.server_sql("INSERT INTO katalogur.\"Tengill\" VALUES (2, 1, 1, 1)"); });
  for (int i = 0; i < 500 && site.server_sql("SELECT count(*) FROM pg_locks WHERE NOT granted") == "0"; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(site.server_sql("SELECT count(*) FROM pg_locks WHERE NOT granted"), "1") << "the writer waits";
  update.Commit(nullptr);
  writer.join();
  EXPECT_EQ(site.server_sql("SELECT string_agg(\"FærsluID\"::text, ',' ORDER BY \"FærsluID\") FROM katalogur.\"Tengill\""),
            "1,2");
  EXPECT_EQ(site.server_sql("SELECT count(*) FROM katalogur.kv_order"), "1");
}

}  // namespace
