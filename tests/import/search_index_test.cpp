// The stored index against the tables: on a catalogue with repeated, null
// and empty sort texts, hits without a row, rows the result table cannot
// take, groups and fields, every search must give what the same search
// gives on a copy without the stored index: the same results, and with a
// progress form the same calls.  After another program changes the
// tables, the stored index must no longer be used.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <regex>
#include <thread>

#include "common/progress_form.h"
#include "common/site.h"
#include "component/faersla_state.h"
#include "component/methods.h"
#include "import/indexes.h"
#include "import/server_load.h"
#include "platform/content_stamp.h"
#include "search/kept.h"
#include "settings/thread_state.h"
#include "platform/open_database.h"

using namespace kvistur;
using kvistur::testing::Site;

namespace {

struct Outcome {
  int32_t n;
  std::string out;
  friend bool operator==(const Outcome&, const Outcome&) = default;
};

class StoredIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    thread_state() = ThreadState{};
    std::mt19937 rng(7);
    const char* keys[] = {"Saga", "saga", "", "Ár", "ár", "b", "10", "9", "Þór", "öl", "c", "d"};
    std::string rows, links;
    for (int id = 3; id < 700; id += 1 + int(rng() % 2)) {
      bool row = id % 37 != 0;  // a hit without a row: the empty text, which no row has
      if (row) {
        std::string key = id % 41 == 0 ? "NULL" : "'" + std::string(keys[rng() % 12]) + std::to_string(rng() % 4) + "'";
        std::string ident = id == 611 ? "NULL" : "'e" + std::to_string(id) + "'";
        std::string tag = id == 633 ? "'x'" : id % 97 == 0 ? "100" : "1";
        rows += std::string(rows.empty() ? "" : ",") + "(" + std::to_string(id) + ", '', '', '', 0, " + key + ", " + tag +
                ", 0, 1, 0, " + ident + ")";
      }
      // Word w with falling frequency; a few words in group 2 or other fields.
      for (int w = 1; w <= 12; ++w)
        if (rng() % (w * w + 1) == 0 || (w == 12 && (id == 611 || id == 633)))
          links += ",(" + std::to_string(id) + "," + std::to_string(w) + "," + std::to_string(1 + int(rng() % 5 == 0)) +
                   "," + std::to_string(1 + int(rng() % 3)) + ")";
    }
    site_.catalogue_sql(
        "INSERT INTO Móðurtafla (ID, Skráning, ÖllFærslan, MarkSnið, Upprunafærsla, Röðunarsvið, Tag, Uppruni, Safndeild,"
        " UpprunaID, Einkennisstrengur) VALUES " + rows + ";"
        "INSERT INTO Orð VALUES (1,'saga'),(2,'sagan'),(3,'sögur'),(4,'dagur'),(5,'dagar'),(6,'Þór'),(7,'þórður'),"
        "(8,'ár'),(9,'ára'),(10,'bók'),(11,'bækur'),(12,'sjaldan'),(13,'einhæft');"
        "INSERT INTO Tengill VALUES " + links.substr(1) + ", (3, 13, 1, 1), (5, 13, 1, 1), (7, 13, 1, 1);");
    log_on(false);
  }
  // The debug flag is read at LogOn.
  void log_on(bool debug) {
    site_.debug(debug);
    FaerslaState st;
    Text user = u"Admin", pw = u"";
    LogOn(st, user, pw);
  }
  void TearDown() override { thread_state() = ThreadState{}; }

  Outcome search(const Text& text, int32_t group, int32_t field, int32_t max, int16_t rofi) {
    Variant g(group), f(field), s(text);
    SafeArray<Text> svar, einkenni, stops(0, {u""});
    SafeArray<int32_t> ids;
    auto recorder = std::make_shared<kvistur::testing::ProgressForm>();
    Variant form{std::shared_ptr<Dispatch>(recorder)};
    Outcome r{Leita(g, f, s, svar, ids, einkenni, stops, max, &rofi, rofi ? &form : nullptr), ""};
    for (int32_t i = 1; i <= r.n; ++i) r.out += std::to_string(ids(i)) + " " + to_utf8(einkenni(i)) + "|";
    for (auto& c : recorder->calls) r.out += c + "\n";
    return r;
  }
  // Every search of the mix on the catalogue named NAME.
  std::vector<Outcome> mix(const std::string& name) {
    site_.set("Grunnur", "GrunnNafn", name);
    std::vector<Outcome> out;
    const char16_t* texts[] = {u"saga", u"SAGA dagur", u"sag*", u"*ur", u"bók þór", u"sjaldan", u"dag* ár", u"ekki", u"ár saga bók", u"einhæft"};
    for (const char16_t* t : texts)
      for (auto [g, f] : {std::pair{-1, -1}, {2, -1}, {-1, 3}, {1, 2}})
        for (int32_t max : {0, 1, 7, 50, -1})
          for (int16_t rofi : {0, 1}) out.push_back(search(t, g, f, max, rofi));
    return out;
  }
  Site site_;
};

TEST_F(StoredIndexTest, GivesWhatTheTablesGive) {
  std::filesystem::copy_file(site_.catalogue(), site_.dir() + "/plain.sqlite");
  import::IndexCatalogue(site_.catalogue());
  std::vector<Outcome> plain = mix("plain.sqlite"), indexed = mix("katalogur.sqlite");
  ASSERT_EQ(plain.size(), indexed.size());
  for (std::size_t i = 0; i < plain.size(); ++i) ASSERT_EQ(indexed[i], plain[i]) << i;
  // What is kept of this state is one for every thread, and let go once a
  // newer state of the file is in use.
  std::weak_ptr<KeptSearch> first_state;
  {
    auto kept = KeptSearch::For(*open_catalogue());
    ASSERT_TRUE(kept->shared());
    ASSERT_NE(kept->stored(), nullptr);
    EXPECT_TRUE(kept->stored()->has_postings());
    std::shared_ptr<KeptSearch> other;
    std::thread([&] {
      log_on(false);
      other = KeptSearch::For(*open_catalogue());
      thread_state() = ThreadState{};
    }).join();
    EXPECT_EQ(other, kept);
    first_state = kept;
  }
  log_on(true);  // counts logged: every hit is read, and the log is the same
  site_.clear_log();
  Outcome a = search(u"saga", -1, -1, 5, 0);
  std::string log_indexed = site_.read_log();
  site_.set("Grunnur", "GrunnNafn", "plain.sqlite");
  site_.clear_log();
  EXPECT_EQ(search(u"saga", -1, -1, 5, 0), a);
  // The lines without their dates, which differ when a second passes between the two.
  auto strip = [](const std::string& s) { return std::regex_replace(s, std::regex("[^\n]*MeldaError"), "MeldaError"); };
  EXPECT_EQ(strip(site_.read_log()), strip(log_indexed));
  log_on(false);

  // Another program adds a word link: the stored lists are left aside (the
  // stored order still serves); then it changes a sort text: the stored
  // index is left aside until it is written again.
  auto change = [&](const std::string& sql) {
    site_.catalogue_sql(sql);
    kvistur::testing::exec_sql(site_.dir() + "/plain.sqlite", sql);
    plain = mix("plain.sqlite");
    indexed = mix("katalogur.sqlite");
    for (std::size_t i = 0; i < plain.size(); ++i) ASSERT_EQ(indexed[i], plain[i]) << i;
  };
  change("INSERT INTO Tengill VALUES (5, 1, 1, 1);");
  EXPECT_TRUE(first_state.expired());
  StoredIndex* stored = KeptSearch::For(*open_catalogue())->stored();
  ASSERT_NE(stored, nullptr);
  EXPECT_FALSE(stored->has_postings());
  change("UPDATE Móðurtafla SET Röðunarsvið = 'aaa' WHERE ID = (SELECT max(ID) FROM Móðurtafla);");
  EXPECT_EQ(KeptSearch::For(*open_catalogue())->stored(), nullptr);
}

// A catalogue whose columns another tool spelled otherwise: the stamp
// still rises at every change of the sort text, so that no thread keeps a
// stale order (SQLite matches the names of a trigger's UPDATE OF without
// regard to case for ASCII letters only, and a server's quoted names not
// at all).
class StampSpelling : public ::testing::TestWithParam<kvistur::testing::Backend> {};

TEST_P(StampSpelling, RisesAtAChangeOfAColumnSpelledInCapitals) {
  Site site(GetParam());
  kvistur::testing::exec_sql(site.catalogue(),
                             "ALTER TABLE Móðurtafla RENAME COLUMN Röðunarsvið TO RÖÐUNARSVIÐ;"
                             "INSERT INTO Móðurtafla (ID, RÖÐUNARSVIÐ) VALUES (1, 'a'), (2, 'b');"
                             "INSERT INTO Orð VALUES (1, 'saga'); INSERT INTO Tengill VALUES (1, 1, 1, 1), (2, 1, 1, 1);");
  import::IndexCatalogue(site.catalogue());
  std::string records = "SELECT records FROM kv_state", change = "UPDATE Móðurtafla SET RÖÐUNARSVIÐ = 'c' WHERE ID = 1";
  std::function<std::string(const std::string&)> sql = [&](const std::string& q) {
    auto db = db::OpenSqlite(site.catalogue(), SQLITE_OPEN_READWRITE);
    import::RegisterKvFunctions(db.get());
    EXPECT_TRUE(db::ContentStampInstalled(db.get()));
    import::SqliteStatement st(db.get(), q);
    return st.step() ? st.text(0) : std::string();
  };
  if (site.server()) {
    site.catalogue_sql("");  // onto the server as the backend brings it
    records = "SELECT records FROM katalogur.kv_state";
    change = "UPDATE katalogur.\"Móðurtafla\" SET \"RÖÐUNARSVIÐ\" = 'c' WHERE \"ID\" = 1";
    sql = [&](const std::string& q) { return site.server_sql(q); };
  }
  std::string before = sql(records);
  sql(change);
  EXPECT_EQ(std::stoi(sql(records)), std::stoi(before) + 1);
}

KVISTUR_EVERY_BACKEND(StampSpelling);

}  // namespace
