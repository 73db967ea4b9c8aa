// The methods against catalogues that change, vanish, break or refuse
// between calls, and settings that change: every call sees the catalogue as
// it is now and fails the way its definition says, never worse.  On a
// PostgreSQL server as well: what the server refuses, a server that dies and
// comes back, changes made in place by another program, one connection for
// all the calls, a catalogue that reading never changes, and what is kept of
// it apart for each role and schema.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "common/files.h"
#include "common/record_text_builder.h"
#include "common/site.h"
#include "component/host_calls.h"
#include "import/server/server_load.h"
#include "import/store/indexes.h"
#include "platform/open_database.h"
#include "search/kept.h"
#include "settings/settings.h"
#include "settings/thread_state.h"

using namespace kvistur;
using kvistur::testing::Backend;
using kvistur::testing::file_bytes;
using kvistur::testing::log_on;
using kvistur::testing::PgServer;
using kvistur::testing::RecordTextBuilder;
using kvistur::testing::Site;

namespace {

// Records 1 (saga, sorted second, with a copy) and 2 (rit), both with TITLE.
std::string catalogue_rows(const char16_t* title) {
  RecordTextBuilder b;
  b.Titlar = {RecordTextBuilder::title(title)};
  std::string text = to_utf8(b.text());
  return "INSERT INTO Móðurtafla (ID, Skráning, ÖllFærslan, MarkSnið, Upprunafærsla, Röðunarsvið, Tag, Uppruni, Safndeild,"
         " UpprunaID, Einkennisstrengur) VALUES (1, '2020-01-01', '" + text + "', '', 0, 'b', 1, 0, 1, 0, 'k'),"
         " (2, '2020-01-01', '" + text + "', '', 0, 'a', 1, 0, 1, 0, 'k');"
         "INSERT INTO Orð VALUES (1, 'saga'), (2, 'rit'); INSERT INTO Tengill VALUES (1, 1, 1, 1), (2, 2, 1, 1);"
         "INSERT INTO Aðfanganúmer VALUES (5, '', 'Aðalsafn', 1, 1, 0);";
}

template <Backend kBackend>
class Calls : public ::testing::Test {
 protected:
  void SetUp() override {
    thread_state() = ThreadState{};
    site_.catalogue_sql(catalogue_rows(u"Fyrsta"));
    log_on(f_);
  }
  void TearDown() override { thread_state() = ThreadState{}; }
  std::string search(const char16_t* term) { return kvistur::testing::search(f_, term); }
  // The number and description of the last failure line.
  std::string last_failure() {
    auto lines = site_.log_lines();
    return lines.empty() ? "" : lines.back();
  }
  int32_t fetch(int32_t id) {
    Variant v(id), oll, mark, rodun;
    return f_.FaerslaFraID(v, oll, mark, rodun);
  }
  int32_t collections() {
    Variant key(u"enginn");
    SafeArray<int32_t> ids, collection_ids;
    SafeArray<Text> names;
    return f_.SofnMedFaerslu(key, ids, names, collection_ids);
  }
  int32_t stop_words() {
    SafeArray<Text> words;
    return f_.SaekjaEkkiOrð(words);
  }
  Site site_{kBackend};
  Faersla f_;
};
using Reliability = Calls<Backend::kFiles>;
using ServerCatalogue = Calls<Backend::kServer>;

TEST_F(Reliability, ReplacedRemovedAndDamagedCatalogues) {
  std::string before = file_bytes(site_.catalogue());
  ASSERT_EQ(search(u"saga"), "1|1 Fyrsta");
  EXPECT_EQ(file_bytes(site_.catalogue()), before) << "reading never writes";
  std::string fresh = site_.dir() + "/nytt.sqlite";
  kvistur::testing::exec_sql(fresh, kvistur::testing::kCatalogueSchema);
  kvistur::testing::exec_sql(fresh, catalogue_rows(u"Önnur"));
  std::filesystem::rename(fresh, site_.catalogue());
  EXPECT_EQ(search(u"saga"), "1|1 Önnur") << "the next call sees the new file";
  std::filesystem::remove(site_.catalogue());
  EXPECT_EQ(search(u"saga"), "-1");
  EXPECT_EQ(stop_words(), 0);
  EXPECT_EQ(last_failure(), "MeldaError: DAO.Workspace,  3024, Could not find file '" + site_.catalogue() + "'.");
  EXPECT_EQ(fetch(1), -1);
  for (std::size_t size : {std::size_t(0), std::size_t(100), std::size_t(10000)}) {
    std::ofstream(site_.catalogue(), std::ios::binary | std::ios::trunc) << std::string(size, '\x7f');
    EXPECT_EQ(search(u"saga"), "-1") << size << " bytes of garbage";
    EXPECT_EQ(stop_words(), 0);
    EXPECT_EQ(last_failure(), size ? "MeldaError: DAO.Workspace,  3343, Unrecognized database format '" + site_.catalogue() + "'."
                                   : "MeldaError: DAO.Database,  3078, The database engine cannot find the input table or query"
                                     " 'EkkiOrð'. Make sure it exists and that its name is spelled correctly.")
        << "an empty file is an empty database";
    EXPECT_EQ(fetch(1), -1);
  }
  if (geteuid() != 0) {  // unreadable
    std::filesystem::remove(site_.catalogue());
    kvistur::testing::exec_sql(site_.catalogue(), kvistur::testing::kCatalogueSchema);
    std::filesystem::permissions(site_.catalogue(), std::filesystem::perms::none);
    EXPECT_EQ(stop_words(), 0);
    EXPECT_NE(last_failure().find(",  3051, "), std::string::npos) << last_failure();
  }
  // A catalogue cut short in the middle of its pages.
  kvistur::testing::exec_sql(fresh, kvistur::testing::kCatalogueSchema);
  kvistur::testing::exec_sql(fresh, catalogue_rows(u"x") +
                                        "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 3000)"
                                        " INSERT INTO Orð SELECT x + 10, 'orð' || x FROM c;");
  std::string whole = file_bytes(fresh);
  std::ofstream(site_.catalogue(), std::ios::binary | std::ios::trunc) << whole.substr(0, whole.size() / 2);
  std::string r = search(u"saga");
  EXPECT_TRUE(r == "-1" || r == "0") << r;
}

TEST_F(Reliability, SettingsChangeBetweenCalls) {
  ASSERT_EQ(search(u"saga"), "1|1 Fyrsta");
  site_.set("Grunnur", "GrunnNafn", "annar.sqlite");
  EXPECT_EQ(search(u"saga"), "-1") << "the new file name is read at the next call";
  kvistur::testing::exec_sql(site_.dir() + "/annar.sqlite", kvistur::testing::kCatalogueSchema);
  kvistur::testing::exec_sql(site_.dir() + "/annar.sqlite", catalogue_rows(u"Þriðja"));
  EXPECT_EQ(search(u"saga"), "1|1 Þriðja");
  // Garbage lines in the settings file leave the good ones readable.
  std::ofstream(site_.settings_file(), std::ios::binary | std::ios::app) << "\n\x01\x02 garbage ==\n[\n=x\n";
  EXPECT_EQ(search(u"saga"), "1|1 Þriðja");
}

TEST_F(ServerCatalogue, WhatTheServerRefusesFailsTheMethod) {
  std::string folder = site_.folder();
  // A catalogue that is not there: a schema, a database, a server.
  site_.set("Grunnur", "GrunnNafn", "annar.sqlite");
  EXPECT_EQ(stop_words(), 0);
  EXPECT_EQ(last_failure(), "MeldaError: DAO.Workspace,  3024, Could not find file '" + folder + "\\annar.sqlite'.");
  site_.set("Grunnur", "GrunnNafn", "katalogur.sqlite");
  for (std::string elsewhere : {PgServer::get().uri("enginn"), std::string("postgresql:///kv?host=/nonexistent")}) {
    site_.set("Grunnur", "Slóð", elsewhere);
    EXPECT_EQ(stop_words(), 0);
    EXPECT_EQ(last_failure(), "MeldaError: DAO.Workspace,  3151, ODBC--connection to '" + elsewhere + "' failed.");
    log_on(f_);
    EXPECT_EQ(last_failure(), "MeldaError: DAO.DBEngine,  3151, ODBC--connection to '" + elsewhere + "' failed.");
  }
  site_.set("Grunnur", "Slóð", folder);
  // A role that may not read the records.
  site_.add_user("Gestur", "lykill");
  site_.server_sql("REVOKE SELECT ON katalogur.\"Móðurtafla\" FROM PUBLIC; GRANT SELECT ON katalogur.\"Móðurtafla\" TO \"Admin\"");
  log_on(f_, u"Gestur", u"lykill");
  EXPECT_EQ(collections(), -1);
  EXPECT_EQ(last_failure(), "MeldaError: DAO.Database,  3112, Records can't be read; no read permission on 'Móðurtafla'.");
  log_on(f_);
  EXPECT_EQ(collections(), 0);
}

TEST_F(ServerCatalogue, AServerThatDiesFailsTheCallAndTheCallAfterItComesBackWorks) {
  ASSERT_EQ(search(u"saga"), "1|1 Fyrsta");
  PgServer::get().kill();
  EXPECT_EQ(search(u"saga"), "-1");
  EXPECT_EQ(fetch(1), -1);
  PgServer::get().start();
  EXPECT_EQ(search(u"saga"), "1|1 Fyrsta");
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
  log_on(f_, u"kvadmin", u"kvadmin");
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(search(u"saga"), "1|1 Fyrsta");
    EXPECT_EQ(search(u"*a"), "1|1 Fyrsta");
    EXPECT_EQ(fetch(2), 0);
    EXPECT_EQ(stop_words(), 0);
    EXPECT_EQ(collections(), 0);
  }
  EXPECT_EQ(checksum(), before) << "no call wrote anything";
  EXPECT_EQ(site_.server_sql("SELECT count(*) FROM pg_stat_activity WHERE application_name = 'kvistur'"), "1")
      << "every call used the log-on's connection";
  // Another program adds a word to record 2, and changes a sort text: the
  // next search sees both.
  site_.server_sql("INSERT INTO katalogur.\"Tengill\" VALUES (2, 1, 1, 1)");
  EXPECT_EQ(search(u"saga"), "2|2 Fyrsta|1 Fyrsta");
  site_.server_sql("UPDATE katalogur.\"Móðurtafla\" SET \"Röðunarsvið\" = 'c' WHERE \"ID\" = 2");
  EXPECT_EQ(search(u"saga"), "2|1 Fyrsta|2 Fyrsta");
  // It renames a table, and back: a call misses it by its name, whether the
  // connection read the tables before or after; the next call finds it again.
  site_.server_sql("ALTER TABLE katalogur.\"Móðurtafla\" RENAME TO \"Gömul\"");
  for (int fresh = 0; fresh < 2; ++fresh) {
    if (fresh) log_on(f_, u"kvadmin", u"kvadmin");
    EXPECT_EQ(collections(), -1);
    EXPECT_EQ(last_failure(), "MeldaError: DAO.Database,  3078, The database engine cannot find the input table or query "
                              "'Móðurtafla'. Make sure it exists and that its name is spelled correctly.");
  }
  site_.server_sql("ALTER TABLE katalogur.\"Gömul\" RENAME TO \"Móðurtafla\"");
  EXPECT_EQ(collections(), 0);
}

TEST_F(ServerCatalogue, ARecordNumberBeyondEveryIntegerChangesNoResult) {
  // Enough hits for the search to weigh the order of all records by the
  // highest record number.
  site_.server_sql("INSERT INTO katalogur.\"Tengill\" SELECT n, 1, 1, 1 FROM generate_series(3, 12) n");
  std::string before = search(u"saga");
  ASSERT_EQ(before.rfind("10|", 0), 0u) << "the first ten: " << before;
  site_.server_sql("ALTER TABLE katalogur.\"Móðurtafla\" ALTER \"ID\" TYPE double precision;"
                   "INSERT INTO katalogur.\"Móðurtafla\" (\"ID\", \"Röðunarsvið\") VALUES (1e300, 'a')");
  EXPECT_EQ(search(u"saga"), before);
}

TEST_F(ServerCatalogue, ASearchThroughTheStoredIndexOfAFewRecordsFindsEachHit) {
  // A chunk of the stored order of two records: values of a few bytes, read
  // through the engine's cursor one column after another.  Ten words of
  // one prefix, whose list a truncated term reads.
  std::string words, links;
  for (int w = 0; w < 10; ++w) {
    words += std::string(w ? "," : "") + "(" + std::to_string(10 + w) + ", 'safn" + std::to_string(w) + "')";
    links += std::string(w ? "," : "") + "(" + std::to_string(1 + w % 2) + ", " + std::to_string(10 + w) + ", 1, 1)";
  }
  site_.catalogue_sql("INSERT INTO Orð VALUES " + words + "; INSERT INTO Tengill VALUES " + links + ";");
  import::IndexServerSchema(PgServer::get().admin_uri(site_.database()), "katalogur");
  ASSERT_EQ(site_.server_sql("SELECT count(*) FROM katalogur.kv_order"), "1");
  ASSERT_EQ(site_.server_sql("SELECT count(*) FROM katalogur.kv_prefixes"), "2");  // saf, safn
  EXPECT_EQ(search(u"saf*"), "2|2 Fyrsta|1 Fyrsta");
  EXPECT_EQ(search(u"Safn* saga"), "1|1 Fyrsta");
  EXPECT_EQ(search(u"saga"), "1|1 Fyrsta");
  EXPECT_EQ(search(u"rit"), "1|2 Fyrsta");
  EXPECT_EQ(search(u"*"), "2|2 Fyrsta|1 Fyrsta");
  // Words and truncated words looked up through one statement each, run
  // again with the next term.
  EXPECT_EQ(search(u"SAG*"), "1|1 Fyrsta");
  EXPECT_EQ(search(u"ri*"), "1|2 Fyrsta");
  EXPECT_EQ(search(u"saga"), "1|1 Fyrsta");
}

// The catalogue stamped and with its stored index, on the server.
void index(const Site& site) {
  import::IndexCatalogue(site.catalogue());
  site.catalogue_sql("");
  ASSERT_EQ(site.server_sql("SELECT count(*) FROM katalogur.kv_search_meta"), "1");
}

// What is kept of it, where record 2 has saga as well: each role's answers
// its own.
TEST_F(ServerCatalogue, EachRoleGetsItsOwnKeptAnswers) {
  site_.catalogue_sql("INSERT INTO Tengill VALUES (2, 1, 1, 1);");
  index(site_);
  // Gestur may not read the word links; Hulda does not see record 1.
  site_.add_user("Gestur", "lykill");
  site_.add_user("Hulda", "lykill");
  site_.server_sql(
      "REVOKE SELECT ON katalogur.\"Tengill\" FROM PUBLIC; GRANT SELECT ON katalogur.\"Tengill\" TO \"Hulda\";"
      "ALTER TABLE katalogur.\"Móðurtafla\" ENABLE ROW LEVEL SECURITY;"
      "CREATE POLICY ekki_fyrsta ON katalogur.\"Móðurtafla\" USING (current_user <> 'Hulda' OR \"ID\" <> 1)");
  const std::vector<std::pair<const char16_t*, const char16_t*>> roles = {
      {u"kvadmin", u"kvadmin"}, {u"Gestur", u"lykill"}, {u"Hulda", u"lykill"}};
  auto answers = [&](const std::pair<const char16_t*, const char16_t*>& role) {
    EXPECT_EQ(log_on(f_, role.first, role.second), 0);
    return search(u"saga") + "\n" + search(u"rit saga") + "\n" + search(u"sag*");
  };
  site_.set("Leit", "Minni", "0");
  std::vector<std::string> own;
  for (auto& role : roles) own.push_back(answers(role));
  EXPECT_EQ(own[0], "2|2 Fyrsta|1 Fyrsta\n1|2 Fyrsta\n2|2 Fyrsta|1 Fyrsta");
  EXPECT_EQ(own[1], "-1\n-1\n-1");
  EXPECT_NE(own[2], own[0]);
  // Kept, the roles one after another, each twice.
  site_.unset("Leit", "Minni");
  for (int round = 0; round < 2; ++round)
    for (std::size_t r = 0; r < roles.size(); ++r) EXPECT_EQ(answers(roles[r]), own[r]) << to_utf8(roles[r].first);
}

TEST_F(ServerCatalogue, ANewStateOfOneSchemaLeavesWhatIsKeptOfAnother) {
  index(site_);
  std::filesystem::copy_file(site_.catalogue(), site_.dir() + "/annar.sqlite");
  import::LoadDatabases({site_.dir() + "/annar.sqlite"}, PgServer::get().admin_uri(site_.database()), nullptr);
  auto kept = [&](const std::string& schema) {
    site_.set("Grunnur", "GrunnNafn", schema + ".sqlite");
    search(u"saga");
    CallScope call;
    return KeptSearch::For(*open_catalogue());
  };
  std::weak_ptr<KeptSearch> first = kept("katalogur");
  ASSERT_TRUE(first.lock()->shared());
  std::weak_ptr<KeptSearch> other = kept("annar");
  site_.server_sql("INSERT INTO annar.\"Tengill\" VALUES (1, 1, 1, 1)");
  std::shared_ptr<KeptSearch> newer = kept("annar");
  EXPECT_TRUE(other.expired()) << "the older state of the schema that changed goes";
  EXPECT_FALSE(first.expired()) << "the other schema's state stays";
  EXPECT_EQ(kept("katalogur"), first.lock());
}

}  // namespace
