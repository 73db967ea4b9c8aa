// Catalogues loaded into a PostgreSQL server: a load that cannot be done
// leaves the schema that was there, and `kvistur index` gives a schema that
// another tool made what the search needs.
#include <gtest/gtest.h>

#include "common/site.h"
#include "import/server_load.h"
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

TEST(ServerLoad, IndexGivesASchemaOfAnotherToolWhatTheSearchNeeds) {
  Site site(Backend::kServer);
  site.server_sql(
      "CREATE SCHEMA annar; CREATE TABLE annar.\"Orð\" (\"ID\" integer PRIMARY KEY, \"Orð\" varchar(50));"
      "CREATE TABLE annar.\"Tengill\" (\"FærsluID\" integer, \"OrðID\" integer, \"HópID\" integer, \"Orðtag\" integer);"
      "INSERT INTO annar.\"Orð\" VALUES (1, 'Saga'), (2, 'SÖGUR'); INSERT INTO annar.\"Tengill\" VALUES (7, 1, 1, 1), (8, 2, 1, 1)");
  for (int twice = 0; twice < 2; ++twice) import::IndexServerSchema(PgServer::get().admin_uri(site.database()), "annar");
  EXPECT_EQ(site.server_sql("SELECT string_agg(\"kv_fold_Orð\", ',' ORDER BY \"ID\") FROM annar.\"Orð\""), "saga,sögur");
  EXPECT_EQ(site.server_sql("SELECT string_agg(indexname, ',' ORDER BY indexname) FROM pg_indexes WHERE schemaname = 'annar'"),
            "Orð_pkey,kv_ord_fold,kv_tengill_ord");
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

}  // namespace
