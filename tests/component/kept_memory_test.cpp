// What the process keeps of catalogues between calls: within one budget
// whatever is searched, by however many threads, in however many states;
// kept apart by everything that decides an answer (the catalogue, its
// state, the role that reads it); and never changing an answer.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "common/record_text_builder.h"
#include "common/site.h"
#include "component/host_calls.h"
#include "import/marc/generate.h"
#include "import/store/indexes.h"
#include "import/server/server_load.h"
#include "kvistur/faersla.h"
#include "platform/kept_memory.h"
#include "platform/open_database.h"
#include "platform/workgroup.h"
#include "search/kept.h"
#include "settings/settings.h"
#include "settings/thread_state.h"
#include "tools/run_tool.h"

using namespace kvistur;
using kvistur::testing::Backend;
using kvistur::testing::log_on;
using kvistur::testing::search;
using kvistur::testing::PgServer;
using kvistur::testing::Site;

namespace {

// Writes to a catalogue that threads are reading, as another program
// would: waiting for their reads to end.
void write(const std::string& file, const char* sql) {
  sqlite3* db = nullptr;
  sqlite3_open(file.c_str(), &db);
  sqlite3_busy_timeout(db, 60000);
  EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

TEST(KeptMemory, StaysWithinTheBudgetWhateverIsSearchedByManyThreadsInManyStates) {
  Site site(false);
  db::workgroup_init(site.workgroup());
  import::GenerateOptions options;
  options.records = 300;
  options.vocabulary = 400;
  import::GenerateCatalogue(site.dir(), options, [](long) {});
  std::filesystem::copy_file(site.dir() + "/katalogur.sqlite", site.dir() + "/annar.sqlite");
  // Common words, truncated ones, and many distinct long words no record has.
  std::vector<Text> terms;
  for (auto& w : kvistur::testing::sql_rows(site.catalogue(), "SELECT Orð FROM Orð ORDER BY ID LIMIT 12")) {
    terms.push_back(from_utf8(w));
    terms.push_back(from_utf8(w).substr(0, 2) + u"*");
  }
  for (int i = 0; i < 240; ++i) terms.push_back(Text(1500, char16_t(u'a' + i % 26)) + from_utf8(std::to_string(i)));
  const std::vector<std::string> catalogues = {"katalogur.sqlite", "annar.sqlite"};

  // The answers when nothing at all is kept.
  site.set("Leit", "Minni", "0");
  std::map<std::pair<std::string, std::size_t>, std::string> expected;
  std::thread([&] {
    Faersla f;
    EXPECT_EQ(log_on(f), 0);
    for (const std::string& c : catalogues) {
      site.set("Grunnur", "GrunnNafn", c);
      for (std::size_t i = 0; i < terms.size(); ++i) expected[{c, i}] = search(f, terms[i]);
    }
  }).join();

  site.set("Leit", "Minni", "1");
  const std::size_t budget = std::size_t(1) << 20;
  constexpr int kThreads = 6, kSearches = 120, kStates = 12;
  std::atomic<int> mismatches{0}, over{0};
  std::atomic<std::size_t> peak{0};
  for (const std::string& c : catalogues) {
    site.set("Grunnur", "GrunnNafn", c);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        Faersla f;
        EXPECT_EQ(log_on(f), 0);
        for (int i = 0; i < kSearches; ++i) {
          std::size_t k = std::size_t(i * 37 + t * 11) % terms.size();
          if (search(f, terms[k]) != expected[{c, k}]) ++mismatches;
          std::size_t used = KeptMemory::Used();
          if (used > budget) ++over;
          for (std::size_t p = peak; used > p && !peak.compare_exchange_weak(p, used);) {
          }
        }
      });
    // Meanwhile the catalogue moves on to new states that give the same
    // answers (word links written over with themselves).
    for (int s = 0; s < kStates; ++s) {
      write(site.dir() + "/" + c, "UPDATE Tengill SET Orðtag = Orðtag WHERE FærsluID = 1");
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (auto& th : threads) th.join();
  }
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(over.load(), 0);
  EXPECT_EQ(KeptMemory::Limit(), budget);
  EXPECT_LE(KeptMemory::Used(), budget);
  EXPECT_GT(peak.load(), budget * 3 / 4) << "what fits is kept";
  site.unset("Leit", "Minni");
  thread_state() = ThreadState{};
}

// A catalogue on a server, stamped and with its stored index, read by
// roles of different rights.
class KeptOnServer : public ::testing::Test {
 protected:
  void SetUp() override {
    thread_state() = ThreadState{};
    kvistur::testing::RecordTextBuilder b;
    b.Titlar = {kvistur::testing::RecordTextBuilder::title(u"Fyrsta")};
    std::string text = to_utf8(b.text());
    std::string rows;
    for (auto [id, key] : {std::pair{1, "c"}, {2, "a"}, {3, "b"}})
      rows += std::string(rows.empty() ? "" : ",") + "(" + std::to_string(id) + ", '2020-01-01', '" + text +
              "', '', 0, '" + key + "', 1, 0, 1, 0, 'k" + std::to_string(id) + "')";
    kvistur::testing::exec_sql(site_.catalogue(),
                               "INSERT INTO Móðurtafla (ID, Skráning, ÖllFærslan, MarkSnið, Upprunafærsla, Röðunarsvið, "
                               "Tag, Uppruni, Safndeild, UpprunaID, Einkennisstrengur) VALUES " + rows + ";"
                               "INSERT INTO Orð VALUES (1, 'saga'), (2, 'rit');"
                               "INSERT INTO Tengill VALUES (1, 1, 1, 1), (2, 1, 1, 1), (3, 1, 1, 1), (3, 2, 1, 1);");
    import::IndexCatalogue(site_.catalogue());
    site_.catalogue_sql("");
    ASSERT_EQ(site_.server_sql("SELECT count(*) FROM katalogur.kv_search_meta"), "1");
  }
  void TearDown() override {
    site_.unset("Leit", "Minni");
    thread_state() = ThreadState{};
  }

  Site site_{Backend::kServer};
};

TEST_F(KeptOnServer, EachRoleGetsItsOwnAnswers) {
  // Gestur may not read the word links; Hulda does not see record 1.
  site_.add_user("Gestur", "lykill");
  site_.add_user("Hulda", "lykill");
  site_.server_sql(
      "REVOKE SELECT ON katalogur.\"Tengill\" FROM PUBLIC; GRANT SELECT ON katalogur.\"Tengill\" TO \"Hulda\";"
      "ALTER TABLE katalogur.\"Móðurtafla\" ENABLE ROW LEVEL SECURITY;"
      "CREATE POLICY ekki_fyrsta ON katalogur.\"Móðurtafla\" USING (current_user <> 'Hulda' OR \"ID\" <> 1)");
  const std::vector<std::pair<const char16_t*, const char16_t*>> roles = {
      {u"kvadmin", u"kvadmin"}, {u"Gestur", u"lykill"}, {u"Hulda", u"lykill"}};
  const std::vector<Text> terms = {u"saga", u"rit saga", u"sag*"};
  auto answers = [&](const std::pair<const char16_t*, const char16_t*>& role) {
    Faersla f;
    EXPECT_EQ(log_on(f, role.first, role.second), 0);
    std::string out;
    for (const Text& t : terms) out += search(f, t) + "\n";
    return out;
  };
  site_.set("Leit", "Minni", "0");
  std::vector<std::string> own;
  for (auto& role : roles) own.push_back(answers(role));
  EXPECT_EQ(own[0], "3|2 Fyrsta|3 Fyrsta|1 Fyrsta\n1|3 Fyrsta\n3|2 Fyrsta|3 Fyrsta|1 Fyrsta\n");
  EXPECT_EQ(own[1], "-1\n-1\n-1\n");
  EXPECT_NE(own[2], own[0]);
  // Kept, the roles one after another, each twice.
  site_.unset("Leit", "Minni");
  for (int round = 0; round < 2; ++round)
    for (std::size_t r = 0; r < roles.size(); ++r) EXPECT_EQ(answers(roles[r]), own[r]) << to_utf8(roles[r].first);
}

TEST_F(KeptOnServer, ANewStateOfOneSchemaLeavesWhatIsKeptOfAnother) {
  std::filesystem::copy_file(site_.catalogue(), site_.dir() + "/annar.sqlite");
  import::LoadDatabases({site_.dir() + "/annar.sqlite"}, PgServer::get().admin_uri(site_.database()), nullptr);
  Faersla f;
  ASSERT_EQ(log_on(f), 0);
  auto kept = [&](const std::string& schema) {
    site_.set("Grunnur", "GrunnNafn", schema + ".sqlite");
    search(f, u"saga");
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
