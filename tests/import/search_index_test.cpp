// The stored index against the tables: on a catalogue with repeated, null
// and empty sort texts, hits without a row, rows the result table cannot
// take, groups and fields, every search must give what the same search
// gives on a copy without the stored index: the same results, and with a
// progress form the same calls.  After another program changes the
// tables, the stored index must no longer be used.  Damaged, it must not
// change an answer, and `kvistur index --check` must find the damage.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "common/progress_form.h"
#include "common/site.h"
#include "component/faersla_state.h"
#include "component/methods.h"
#include "common/files.h"
#include "import/store/catalogue_writer.h"
#include "import/store/facet_writer.h"
#include "import/store/index_check.h"
#include "import/store/indexes.h"
#include "platform/content_stamp.h"
#include "import/store/index_delta.h"
#include "import/store/search_index.h"
#include "search/kept.h"
#include "search/search.h"
#include "search/stored_codec.h"
#include "search/word_file.h"
#include "settings/thread_state.h"
#include "platform/open_database.h"
#include "platform/sqlite_functions.h"
#include "tools/run_tool.h"
#include "settings/frame.h"
#include "settings/settings.h"

using namespace kvistur;
using kvistur::testing::exec_sql;
using kvistur::testing::run_tool;
using kvistur::testing::sql_rows;
using kvistur::testing::Site;

namespace {

// Every hit of RECORDS in Leita's order.
std::vector<int32_t> leita_order(db::Database& database, const std::vector<int32_t>& records) {
  PartlySortedHits hits = LeitaOrder(database, records);
  hits.sort_to(hits.size());
  std::vector<int32_t> out;
  for (int32_t p = 1; p <= hits.size(); ++p) out.push_back(hits.id(p));
  return out;
}

struct Outcome {
  int32_t n;
  std::string out;
  friend bool operator==(const Outcome&, const Outcome&) = default;
};

// One search through Leita, with the calls on its progress form.
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

// A row of Móðurtafla's columns below: number, sort text, Tag and identity
// string (SQL literals).
constexpr char kRecordColumns[] = "Móðurtafla (ID, Skráning, ÖllFærslan, MarkSnið, Upprunafærsla, Röðunarsvið, Tag, "
                                  "Uppruni, Safndeild, UpprunaID, Einkennisstrengur)";
std::string record_row(int id, const std::string& key, const std::string& tag, const std::string& ident) {
  return "(" + std::to_string(id) + ", '', '', '', 0, " + key + ", " + tag + ", 0, 1, 0, " + ident + ")";
}

void log_on() {
  FaerslaState st;
  Text user = u"Admin", pw = u"";
  LogOn(st, user, pw);
}

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
        rows += (rows.empty() ? "" : ",") + record_row(id, key, tag, ident);
      }
      // Word w with falling frequency; a few words in group 2 or other fields.
      for (int w = 1; w <= 12; ++w)
        if (rng() % (w * w + 1) == 0 || (w == 12 && (id == 611 || id == 633)))
          links += ",(" + std::to_string(id) + "," + std::to_string(w) + "," + std::to_string(1 + int(rng() % 5 == 0)) +
                   "," + std::to_string(1 + int(rng() % 3)) + ")";
    }
    site_.catalogue_sql(
        std::string("INSERT INTO ") + kRecordColumns + " VALUES " + rows + ";"
        "INSERT INTO Orð VALUES (1,'saga'),(2,'sagan'),(3,'sögur'),(4,'dagur'),(5,'dagar'),(6,'Þór'),(7,'þórður'),"
        "(8,'ár'),(9,'ára'),(10,'bók'),(11,'bækur'),(12,'sjaldan'),(13,'einhæft');"
        "INSERT INTO Tengill VALUES " + links.substr(1) + ", (3, 13, 1, 1), (5, 13, 1, 1), (7, 13, 1, 1);");
    log_on(false);
  }
  // The debug flag is read at LogOn.
  void log_on(bool debug) {
    site_.debug(debug);
    ::log_on();
  }
  void TearDown() override { thread_state() = ThreadState{}; }

  // Every search of the mix on the catalogue named NAME.
  std::vector<Outcome> mix(const std::string& name) {
    site_.set("Grunnur", "GrunnNafn", name);
    std::vector<Outcome> out;
    for (const char16_t* t : kTexts)
      for (auto [g, f] : kPairs)
        for (int32_t max : {0, 1, 7, 50, -1})
          for (int16_t rofi : {0, 1}) out.push_back(search(t, g, f, max, rofi));
    return out;
  }
  // What the server asks of the same catalogue: every hit of each search,
  // in Leita's order (or the error that ends it).
  std::vector<std::vector<int32_t>> server_mix(const std::string& name) {
    site_.set("Grunnur", "GrunnNafn", name);
    auto database = open_catalogue();
    SafeArray<Text> stops(0, {u""});
    std::vector<std::vector<int32_t>> out;
    for (const char16_t* t : kTexts)
      for (auto [g, f] : kPairs) {
        try {
          out.push_back(leita_order(*database, FindRecords(*database, g, f, t, stops)));
        } catch (const Error& e) {
          out.push_back({-e.number()});
        }
      }
    database->Close();
    return out;
  }
  static constexpr const char16_t* kTexts[] = {u"saga", u"SAGA dagur", u"sag*", u"*ur", u"bók þór", u"sjaldan",
                                               u"dag* ár", u"ekki", u"ár saga bók", u"einhæft", u"nýtt", u"fjöl* ár"};
  static constexpr std::pair<int32_t, int32_t> kPairs[] = {{-1, -1}, {2, -1}, {-1, 3}, {1, 2}};
  Site site_;
};

TEST_F(StoredIndexTest, GivesWhatTheTablesGive) {
  std::filesystem::copy_file(site_.catalogue(), site_.dir() + "/plain.sqlite");
  import::IndexCatalogue(site_.catalogue());
  std::vector<Outcome> plain = mix("plain.sqlite"), indexed = mix("katalogur.sqlite");
  ASSERT_EQ(plain.size(), indexed.size());
  for (std::size_t i = 0; i < plain.size(); ++i) ASSERT_EQ(indexed[i], plain[i]) << i;
  // An index in a format this version does not know, or ordered by another
  // version of the collation, is not used: the answers come from the tables.
  const std::tuple<std::string, std::string, std::function<void(sqlite3*)>> changes[] = {
      {"format", "in a format this version does not read; searches read the tables until `kvistur index` writes it again",
       [](sqlite3* db) { import::ExecSql(db, "UPDATE kv_search_meta SET format = 99"); }},
      {"collator", "another version of the collation (1.0.0.0, now ", [](sqlite3* db) {
         stored::Summary meta = import::ReadSummary(db);
         meta.collator = "1.0.0.0";
         import::WriteSummary(db, meta);  // with the checksum of what it now says
       }}};
  for (auto& [change, why, make] : changes) {
    // A copy of its own: another file, so nothing kept of the first is used.
    const std::string name = change + ".sqlite";
    std::filesystem::copy_file(site_.catalogue(), site_.dir() + "/" + name);
    make(db::OpenSqlite(site_.dir() + "/" + name, SQLITE_OPEN_READWRITE).get());
    ::testing::internal::CaptureStderr();
    std::vector<Outcome> got = mix(name);
    EXPECT_EQ(KeptSearch::For(*open_catalogue())->stored(), nullptr) << change;
    std::string said = ::testing::internal::GetCapturedStderr();
    for (std::size_t i = 0; i < plain.size(); ++i) ASSERT_EQ(got[i], plain[i]) << change << " " << i;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_NE(said.find(why), std::string::npos) << said;
  }
  site_.set("Grunnur", "GrunnNafn", "katalogur.sqlite");
  {
    // The word file written with the index serves its words and lists.
    StoredIndex* stored = KeptSearch::For(*open_catalogue())->stored();
    ASSERT_NE(stored, nullptr);
    EXPECT_NE(stored->word_file(), nullptr);
    EXPECT_TRUE(stored->vocabulary());
  }
  // A word file of another writing beside the catalogue (the index written
  // again, and the crash came before its transaction committed) is not
  // used, and nothing is said.
  {
    const std::string words = std::filesystem::canonical(site_.catalogue()).string() + stored::kWordFileSuffix;
    std::filesystem::copy_file(words, site_.dir() + "/older-words");
    import::IndexCatalogue(site_.catalogue());
    std::filesystem::copy_file(site_.catalogue(), site_.dir() + "/another.sqlite");
    std::filesystem::copy_file(site_.dir() + "/older-words", site_.dir() + "/another.sqlite" + stored::kWordFileSuffix);
    ::testing::internal::CaptureStderr();
    std::vector<Outcome> got = mix("another.sqlite");
    StoredIndex* stored = KeptSearch::For(*open_catalogue())->stored();
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->word_file(), nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    for (std::size_t i = 0; i < plain.size(); ++i) ASSERT_EQ(got[i], plain[i]) << i;
    site_.set("Grunnur", "GrunnNafn", "katalogur.sqlite");
  }

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
    exec_sql(site_.dir() + "/plain.sqlite", sql);
    plain = mix("plain.sqlite");
    indexed = mix("katalogur.sqlite");
    for (std::size_t i = 0; i < plain.size(); ++i) ASSERT_EQ(indexed[i], plain[i]) << i;
  };
  // A word's text changed: the word file's lists still serve, its
  // vocabulary no longer does (the new text is found through Orð).
  for (const std::string& f : {site_.catalogue(), site_.dir() + "/plain.sqlite"}) {
    auto db = db::OpenSqlite(f, SQLITE_OPEN_READWRITE);
    db::register_kv_functions(db.get());  // Orð's fold index
    import::ExecSql(db.get(), "UPDATE Orð SET Orð = 'nýtt' WHERE ID = 13;");
  }
  change("");
  EXPECT_TRUE(first_state.expired());
  {
    StoredIndex* stored = KeptSearch::For(*open_catalogue())->stored();
    ASSERT_NE(stored, nullptr);
    EXPECT_NE(stored->word_file(), nullptr);
    EXPECT_FALSE(stored->vocabulary());
  }
  change("INSERT INTO Tengill VALUES (5, 1, 1, 1);");
  StoredIndex* stored = KeptSearch::For(*open_catalogue())->stored();
  ASSERT_NE(stored, nullptr);
  EXPECT_FALSE(stored->has_postings());
  change("UPDATE Móðurtafla SET Röðunarsvið = 'aaa' WHERE ID = (SELECT max(ID) FROM Móðurtafla);");
  EXPECT_EQ(KeptSearch::For(*open_catalogue())->stored(), nullptr);
}

// One page of a search's hits (LeitaPage, taken from the stored index's
// first hits or from the ranks) is that slice of every hit in Leita's
// order, with the same count, on the plain copy and on the indexed one.
// A truncated term of more words than one query of word lists reads (64):
// its lists come over several queries and give what the tables give.
TEST_F(StoredIndexTest, ATruncatedTermOfManyWords) {
  std::string words, links;
  for (int w = 0; w < 150; ++w) {
    const std::string id = std::to_string(100 + w);
    words += std::string(w ? "," : "") + "(" + id + ",'fjöl" + std::to_string(w) + "')";
    links += ",(" + std::to_string(3 + w) + "," + id + ",1,1),(" + std::to_string(400 + w) + "," + id + ",1,2)";
  }
  // Under fjö besides: a second prefix of four letters with a list of its
  // own, and words of prefixes too small for one; fjö's list is made from
  // the two lists and those words.
  for (int w = 0; w < 13; ++w) {
    const std::string id = std::to_string(300 + w);
    words += ",(" + id + ",'" + (w < 10 ? "fjör" : "fjöx") + std::to_string(w) + "')";
    links += ",(" + std::to_string(200 + 7 * w) + "," + id + ",2,1),(" + std::to_string(3 + w) + "," + id + ",1,3)";
  }
  site_.catalogue_sql("INSERT INTO Orð VALUES " + words + "; INSERT INTO Tengill VALUES " + links.substr(1) + ";");
  std::filesystem::copy_file(site_.catalogue(), site_.dir() + "/plain.sqlite");
  import::IndexCatalogue(site_.catalogue());
  // fjöl* and fjö* are read through their prefixes' lists, in any group
  // and field (a position's mask is every pair of any of its words).
  EXPECT_EQ(sql_rows(site_.catalogue(), "SELECT CAST(prefix AS TEXT) || ' ' || words FROM kv_prefixes ORDER BY 1"),
            (std::vector<std::string>{"fjö 163", "fjöl 150", "fjör 10"}));
  for (const char16_t* t : {u"fjöl*", u"fjöl* saga", u"fjö*", u"FJÖ* sögur", u"fjöl1*", u"fjör*"})
    for (auto [g, f] : {std::pair{-1, -1}, {1, 2}, {-1, 1}, {2, -1}})
      for (int32_t max : {7, 50, -1}) {
        site_.set("Grunnur", "GrunnNafn", "plain.sqlite");
        Outcome plain = search(t, g, f, max, 0);
        site_.set("Grunnur", "GrunnNafn", "katalogur.sqlite");
        EXPECT_EQ(search(t, g, f, max, 0), plain) << to_utf8(t) << " " << g << " " << f << " " << max;
        if (g < 0) {
          EXPECT_GT(plain.n, 0);
        }
      }
  // The prefix lists are read from the word file: a copy whose own
  // kv_prefix_postings is empty (read there, a damaged index, said once)
  // answers the same, saying nothing.
  {
    const std::string words = std::filesystem::canonical(site_.catalogue()).string() + stored::kWordFileSuffix;
    std::filesystem::copy_file(site_.catalogue(), site_.dir() + "/file.sqlite");
    std::filesystem::copy_file(words, site_.dir() + "/file.sqlite" + stored::kWordFileSuffix);
    exec_sql(site_.dir() + "/file.sqlite", "DELETE FROM kv_prefix_postings;");
    for (const char16_t* t : {u"fjöl*", u"fjö* sögur", u"fjöl* saga"}) {
      site_.set("Grunnur", "GrunnNafn", "plain.sqlite");
      Outcome plain = search(t, -1, -1, 50, 0);
      site_.set("Grunnur", "GrunnNafn", "file.sqlite");
      ::testing::internal::CaptureStderr();
      EXPECT_EQ(search(t, -1, -1, 50, 0), plain) << to_utf8(t);
      EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << to_utf8(t);
    }
    site_.set("Grunnur", "GrunnNafn", "katalogur.sqlite");
  }
  // A list whose rows hold together but is not the union of its words'
  // lists (one position left out) is what the check finds.
  {
    const int64_t build = std::stoll(sql_rows(site_.catalogue(), "SELECT build FROM kv_search_meta").at(0)),
                  key = stored::PrefixKey("fjöl");
    std::vector<stored::Entry> entries;
    for (const std::string& row : sql_rows(site_.catalogue(), "SELECT hex(packed) FROM kv_prefix_postings WHERE list = " +
                                                                  std::to_string(key) + " ORDER BY upto")) {
      std::string bytes;
      for (std::size_t i = 0; i < row.size(); i += 2) bytes.push_back(char(std::stoi(row.substr(i, 2), nullptr, 16)));
      stored::PackedRow r;
      r.open(bytes, ~uint64_t(0));
      for (const stored::Entry& e : r.all_entries()) entries.push_back(e);
    }
    ASSERT_GT(entries.size(), 100u);
    entries.erase(entries.begin() + 50);
    auto db = db::OpenSqlite(site_.catalogue(), SQLITE_OPEN_READWRITE);
    import::ExecSql(db.get(), "DELETE FROM kv_prefix_postings WHERE list = " + std::to_string(key));
    db::SqliteStatement insert(db.get(), "INSERT INTO kv_prefix_postings VALUES (?, ?, ?, ?)");
    for (const stored::PostingsRow& row : stored::EncodePostings(build, key, entries, true))
      insert.bind(1, key).bind(2, row.upto).bind_blob(3, row.packed).bind(4, row.checksum).run();
  }
  auto check = run_tool({"index", "--check", site_.catalogue()});
  EXPECT_EQ(check.exit_code, 1);
  EXPECT_NE(check.out.find("kv_prefix_postings: the list of key " + std::to_string(stored::PrefixKey("fjöl")) +
                           " has 299 entries, not the union of its 150 words' lists (300)"),
            std::string::npos)
      << check.out;
}

TEST_F(StoredIndexTest, APageOfHitsIsThatSliceOfLeitasOrder) {
  // A word whose records' sort texts all differ, whose first hits the
  // stored index gives in order.
  // Two words on every other of them, which meet on every fiftieth: their
  // lists pass each other block after block before they agree.
  std::string rows, links;
  for (int id = 1001; id <= 1400; ++id) {
    rows += (rows.empty() ? "" : ",") + record_row(id, "'k" + std::to_string(2000 - id) + "'", "1", "'e" + std::to_string(id) + "'");
    links += std::string(links.empty() ? "" : ",") + "(" + std::to_string(id) + ", 14, 1, 1)";
    if (id % 2 == 0) links += ",(" + std::to_string(id) + ", 15, 1, 1)";
    if (id % 2 == 1 || id % 50 == 0) links += ",(" + std::to_string(id) + ", 16, 1, 1)";
  }
  site_.catalogue_sql(std::string("INSERT INTO ") + kRecordColumns + " VALUES " + rows +
                      "; INSERT INTO Orð VALUES (14, 'einstakur'), (15, 'jafn'), (16, 'oddi'); INSERT INTO Tengill VALUES " +
                      links + ";");
  std::filesystem::copy_file(site_.catalogue(), site_.dir() + "/plain.sqlite");
  import::IndexCatalogue(site_.catalogue());
  SafeArray<Text> stops(0, {u""});
  std::vector<Outcome> every[2];  // every hit of Leita's, on each copy
  for (const char* name : {"plain.sqlite", "katalogur.sqlite"}) {
    site_.set("Grunnur", "GrunnNafn", name);
    for (const char16_t* text : {u"jafn oddi", u"oddi einstakur jafn", u"jafn einstakur"})
      every[name[0] == 'k'].push_back(search(text, -1, -1, 1000, 0));
    for (const char16_t* text :
         {u"einstakur", u"jafn oddi", u"oddi einstakur jafn", u"saga", u"sag*", u"*ur", u"dag* ár", u"einhæft", u"ekki"})
      for (auto [g, f] : {std::pair{-1, -1}, {2, -1}, {1, 2}}) {
        CallScope call;
        std::unique_ptr<db::Database> catalogue = open_catalogue();
        std::vector<int32_t> all;
        bool readable = true;
        try {
          all = leita_order(*catalogue, FindRecords(*catalogue, g, f, text, stops));
        } catch (const Error&) {
          readable = false;  // a hit whose row cannot be read fails both alike
        }
        for (std::size_t first : {0, 7, 20, 100, 400})
          for (std::size_t count : {1, 20}) {
            std::string where = name + std::string(" ") + to_utf8(text) + " " + std::to_string(first) + "+" + std::to_string(count);
            if (!readable) {
              if (first == 0) {
                EXPECT_THROW(LeitaPage(*catalogue, g, f, text, stops, first, count), Error) << where;
              }
              continue;
            }
            HitsPage page = LeitaPage(*catalogue, g, f, text, stops, first, count);
            EXPECT_EQ(page.count, int64_t(all.size())) << where;
            std::size_t from = std::min(first, all.size()), to = std::min(first + count, all.size());
            EXPECT_EQ(page.ids, std::vector<int32_t>(all.begin() + std::ptrdiff_t(from), all.begin() + std::ptrdiff_t(to)))
                << where;
          }
      }
  }
  EXPECT_EQ(every[1], every[0]);
}

// Updates written as a delta beside the index: after each of a random
// sequence of changes (records added, changed and removed, with texts equal
// to others', null texts, rows the result table cannot take, numbers
// without a row, new words and pairs), every search, FindRecords and
// LeitaOrder give what the tables give, and the check finds it sound.
TEST_F(StoredIndexTest, UpdatesThroughADeltaGiveWhatTheTablesGive) {
  // A prefix of twelve words on many records, read through its list while
  // the delta masks records out of it, until an update gives one more word
  // of the base its text (round 6): then word by word.
  std::string fjol;
  for (int id = 3, w = 0; id < 700; id += 3, w = (w + 1) % 12)
    fjol += ",(" + std::to_string(id) + "," + std::to_string(200 + w) + ",1," + std::to_string(1 + id % 2) + ")";
  std::string fjol_words;
  for (int w = 0; w < 12; ++w) fjol_words += std::string(w ? "," : "") + "(" + std::to_string(200 + w) + ",'fjöl" + std::to_string(w) + "')";
  site_.catalogue_sql("INSERT INTO Orð VALUES " + fjol_words + "; INSERT INTO Tengill VALUES " + fjol.substr(1) + ";");
  import::IndexCatalogue(site_.catalogue());
  ASSERT_EQ(sql_rows(site_.catalogue(), "SELECT words FROM kv_prefixes WHERE CAST(prefix AS TEXT) = 'fjöl'"),
            std::vector<std::string>{"12"});
  std::mt19937 rng(5);
  // Texts equal to the base's, between them, before and after them all, null, a number.
  const char* keys[] = {"'Saga0'", "'saga1'", "''", "'ár2'", "'b0'", "'100'", "'Þór3'", "'0'", "'Saga05'", "'b'", "NULL", "10"};
  auto links = [&](int id) {
    std::string v;
    for (int w = 1; w <= 14; ++w)
      if (rng() % (w + 1) == 0)
        v += ",(" + std::to_string(id) + "," + std::to_string(w) + "," + std::to_string(1 + int(rng() % 3 == 0)) + "," +
             std::to_string(1 + int(rng() % 9 == 0) * 8) + ")";
    return v.empty() ? "" : "INSERT INTO Tengill VALUES " + v.substr(1) + ";";
  };
  int next_id = 800, next_word = 14, deltas = 0;
  for (int round = 0; round < 10; ++round) {
    std::string sql;
    // Words new to the index, which only the delta has; in round 3 one of
    // more than 32 bits (its low bits those of ár, a word of the base).
    ++next_word;
    const int64_t nytt = round == 3 ? (int64_t(1) << 32) + 8 : next_word;
    sql += "INSERT INTO Orð VALUES (" + std::to_string(nytt) + ", 'nýtt'), (" + std::to_string(next_word + 100) +
           ", 'saga');";
    for (int n = 0; n < 12; ++n) {
      const int id = 3 + int(rng() % 700);
      const std::string key = keys[rng() % 12], tag = rng() % 9 == 0 ? "'x'" : "1";
      const std::string row = record_row(id, key, tag, rng() % 11 == 0 ? "NULL" : "'n" + std::to_string(id) + "'");
      switch (rng() % 4) {
        case 0:  // removed
          sql += "DELETE FROM Móðurtafla WHERE ID = " + std::to_string(id) + "; DELETE FROM Tengill WHERE FærsluID = " +
                 std::to_string(id) + ";";
          break;
        case 1:  // a number without a row, or its links gone while the row stays
          sql += "DELETE FROM Tengill WHERE FærsluID = " + std::to_string(id) + ";" + links(id);
          break;
        default:  // changed, keeping its number
          sql += "DELETE FROM Tengill WHERE FærsluID = " + std::to_string(id) + "; INSERT OR REPLACE INTO " + kRecordColumns +
                 " VALUES " + row + ";" + links(id);
      }
    }
    if (round == 6) sql += "UPDATE Orð SET Orð = 'fjölgun' WHERE ID = 8;";  // ár, a word of the base
    if (round == 0) {
      // A record whose text sorts just before record 3's (the first of its
      // text, and one of the three with the word einhæft), with that word;
      // and record 5, another of the three, gone.
      std::string k = sql_rows(site_.catalogue(), "SELECT Röðunarsvið FROM Móðurtafla WHERE ID = 3").at(0);
      k = k.back() > '0' ? k.substr(0, k.size() - 1) + char(k.back() - 1) + "5" : k.substr(0, k.size() - 1);
      sql += "INSERT INTO Móðurtafla (ID, Röðunarsvið, Tag, Einkennisstrengur) VALUES (799, '" + k + "', 1, 'n');"
             "INSERT INTO Tengill VALUES (799, 13, 1, 1); DELETE FROM Móðurtafla WHERE ID = 5;"
             "DELETE FROM Tengill WHERE FærsluID = 5;";
    }
    const int added = next_id++;
    sql += "INSERT INTO Móðurtafla (ID, Röðunarsvið, Tag, Einkennisstrengur) VALUES (" + std::to_string(added) + ", " +
           keys[rng() % 12] + ", 1, 'n');" + links(added) + "INSERT INTO Tengill VALUES (" + std::to_string(added) + ", " +
           std::to_string(nytt) + ", 2, 9);";
    {
      auto db = db::OpenSqlite(site_.catalogue(), SQLITE_OPEN_READWRITE);
      import::RegisterKvFunctions(db.get());
      import::ExecSql(db.get(), "BEGIN IMMEDIATE");
      import::IndexChanges changes(db.get());
      import::FacetChanges facets(db.get());
      import::ExecSql(db.get(), sql.c_str());
      import::UpdateSearchIndex(db.get(), changes);
      // The facet rows of the records touched rewritten, never the whole (the check compares them with the tables).
      EXPECT_TRUE(import::UpdateFacetData(db.get(), facets)) << round;
      import::ExecSql(db.get(), "COMMIT");
    }
    deltas += std::stoi(sql_rows(site_.catalogue(), "SELECT delta_records FROM kv_search_meta").at(0));
    // A copy of the state now (the file's log included) without the index.
    const std::string plain = site_.dir() + "/plain" + std::to_string(round) + ".sqlite";
    {
      auto db = db::OpenSqlite(site_.catalogue(), SQLITE_OPEN_READWRITE);
      import::RegisterKvFunctions(db.get());
      import::ExecSql(db.get(), ("VACUUM INTO '" + plain + "'").c_str());
    }
    exec_sql(plain, "DROP TABLE kv_search_meta");
    std::vector<Outcome> want = mix("plain" + std::to_string(round) + ".sqlite"), got = mix("katalogur.sqlite");
    for (std::size_t i = 0; i < want.size(); ++i) ASSERT_EQ(got[i], want[i]) << round << " " << i << "\n" << sql;
    EXPECT_EQ(server_mix("katalogur.sqlite"), server_mix("plain" + std::to_string(round) + ".sqlite")) << round;
    auto check = run_tool({"index", "--check", site_.catalogue()});
    EXPECT_EQ(check.exit_code, 0) << round << "\n" << check.out << check.err;
  }
  EXPECT_GT(deltas, 10) << "the changes went into a delta, not the index written whole";
  // Written whole with that word, the index has no lists, and says so.
  import::IndexCatalogue(site_.catalogue());
  EXPECT_EQ(sql_rows(site_.catalogue(), "SELECT postings FROM kv_search_meta"), std::vector<std::string>{"0"});
  EXPECT_EQ(run_tool({"index", "--check", site_.catalogue()}).exit_code, 0);
}

// A stored index whose catalogue lost a table is checked through: the
// check says what the search will not use, never stops at the missing
// table nor calls the index sound.
TEST_F(StoredIndexTest, TheCheckFindsATableMissing) {
  import::IndexCatalogue(site_.catalogue());
  const std::string not_used = ": the search does not use it until `kvistur index` writes it again\n";
  const struct {
    const char* table;
    std::string findings, closing;
  } cases[] = {
      {"kv_state",
       "kv_state: the content stamp's triggers are missing or changed" + not_used +
           "kv_search_meta: written at another state of Móðurtafla" + not_used +
           "kv_facet_meta: written at another state of Móðurtafla or Tengill: the facets are worked out from the "
           "tables until `kvistur index` writes it again\n",
       "3 findings; stored search index of 444 records, 1 rows of the order, 13 words in 13 rows\n"},
      {"kv_postings", "kv_postings: missing" + not_used, "1 findings; facet data of 444 records\n"},
      {"kv_order", "kv_order: missing" + not_used, "1 findings; facet data of 444 records\n"},
      {"kv_counts", "kv_counts: missing" + not_used, "1 findings; facet data of 444 records\n"},
  };
  for (const auto& c : cases) {
    const std::string file = site_.dir() + "/" + c.table + ".sqlite";
    std::filesystem::copy_file(site_.catalogue(), file);
    exec_sql(file, std::string("DROP TABLE ") + c.table);
    auto check = run_tool({"index", "--check", file});
    EXPECT_EQ(check.exit_code, 1) << c.table << " " << check.err;
    EXPECT_EQ(check.out, c.findings + file + ": " + c.closing) << c.table << " " << check.err;
    // An update writes the index whole again instead of failing at the
    // table (without kv_state the stamp's triggers fail every change).
    if (c.table != std::string("kv_state")) {
      auto db = db::OpenSqlite(file, SQLITE_OPEN_READWRITE);
      import::RegisterKvFunctions(db.get());
      import::ExecSql(db.get(), "BEGIN IMMEDIATE");
      import::IndexChanges changes(db.get());
      import::FacetChanges facets(db.get());
      import::ExecSql(db.get(), "DELETE FROM Tengill WHERE FærsluID = 3");
      EXPECT_TRUE(import::UpdateSearchIndex(db.get(), changes)) << c.table;
      import::UpdateFacetData(db.get(), facets);
      import::ExecSql(db.get(), "COMMIT");
      check = run_tool({"index", "--check", file});
      EXPECT_EQ(check.exit_code, 0) << c.table << " " << check.out << check.err;
    }
  }
}

// Each of the stamp's counters rises at the changes it follows and no
// others, on a catalogue whose columns another tool spelled otherwise
// (SQLite matches the names of a trigger's UPDATE OF without regard to
// case for ASCII letters only, and a server's quoted names not at all): a
// change of the sort text moves the records, one of the copies, the source
// records or what a record is part of moves the facts alone (the search's
// kept data outlives it), and a loan moves nothing.
// The stamp a connection kept between calls reads: the same token while
// nothing changes, within a call the state the call began with even when
// another writer commits meanwhile, and at the next call the new state.
TEST(ContentStamp, EachCallReadsTheStateItBeganWith) {
  thread_state() = ThreadState{};
  Site site;
  site.catalogue_sql("INSERT INTO Móðurtafla (ID, Röðunarsvið, Tag) VALUES (1, 'a', 1);"
                     "INSERT INTO Orð VALUES (1, 'saga'); INSERT INTO Tengill VALUES (1, 1, 1, 1);");
  import::IndexCatalogue(site.catalogue());
  log_on();
  auto stamp_in_call = [&](const std::string& meanwhile) {
    db::ContentStamp first, again;
    run_in_frame({u"A inn", 0, u"A út"}, [&] {
      first = open_catalogue()->Stamp();
      if (!meanwhile.empty()) site.catalogue_sql(meanwhile);
      again = open_catalogue()->Stamp();
      return 0;
    });
    EXPECT_EQ(again.token, first.token) << "one state within a call";
    return first;
  };
  const db::ContentStamp before = stamp_in_call("");
  ASSERT_FALSE(before.token.empty());
  EXPECT_EQ(stamp_in_call("").token, before.token);
  EXPECT_EQ(stamp_in_call("UPDATE Móðurtafla SET Röðunarsvið = 'b' WHERE ID = 1;").token, before.token);
  const db::ContentStamp after = stamp_in_call("");
  EXPECT_NE(after.token, before.token);
  EXPECT_EQ(after.records, before.records + 1);
  EXPECT_EQ(after.place, before.place);
  thread_state() = ThreadState{};
}

class StampCounters : public ::testing::TestWithParam<kvistur::testing::Backend> {};

TEST_P(StampCounters, EachRisesAtTheChangesItFollows) {
  Site site(GetParam());
  exec_sql(site.catalogue(),
           "ALTER TABLE Móðurtafla RENAME COLUMN Röðunarsvið TO RÖÐUNARSVIÐ;"
           "ALTER TABLE Aðfanganúmer RENAME COLUMN Staðsetning TO STAÐSETNING;"
           "CREATE TABLE Frumfærsla (ID INTEGER PRIMARY KEY, Stjórnnúmer TEXT, Stofnun TEXT, Færsla BLOB);"
           "INSERT INTO Móðurtafla (ID, RÖÐUNARSVIÐ, Tag) VALUES (1, 'a', 1), (2, 'b', 2);"
           "INSERT INTO Aðfanganúmer (Aðfanganúmer, STAÐSETNING, Móðurbendir) VALUES (1, 'Aðalsafn', 1);"
           "INSERT INTO Orð VALUES (1, 'saga'); INSERT INTO Tengill VALUES (1, 1, 1, 1), (2, 1, 1, 1);");
  import::IndexCatalogue(site.catalogue());
  std::string prefix;
  std::function<std::string(const std::string&)> sql = [&](const std::string& q) {
    auto db = db::OpenSqlite(site.catalogue(), SQLITE_OPEN_READWRITE);
    import::RegisterKvFunctions(db.get());
    EXPECT_TRUE(db::ContentStampInstalled(db.get()) && db::FactsStampInstalled(db.get()));
    import::SqliteStatement st(db.get(), q);
    return st.step() ? st.text(0) : std::string();
  };
  if (site.server()) {
    site.catalogue_sql("");  // onto the server as the backend brings it
    prefix = "SET search_path TO katalogur; ";
    sql = [&](const std::string& q) { return site.server_sql(q); };
  }
  const struct {
    const char* change;
    std::array<int, 4> rises;  // records, links, words, facts
  } cases[] = {
      {"UPDATE \"Móðurtafla\" SET \"RÖÐUNARSVIÐ\" = 'c' WHERE \"ID\" = 1", {1, 0, 0, 0}},
      {"INSERT INTO \"Aðfanganúmer\" (\"Aðfanganúmer\", \"STAÐSETNING\", \"Móðurbendir\") VALUES (2, 'Útibú', 1)",
       {0, 0, 0, 1}},
      {"UPDATE \"Aðfanganúmer\" SET \"STAÐSETNING\" = 'Geymsla' WHERE \"Aðfanganúmer\" = 2", {0, 0, 0, 1}},
      {"UPDATE \"Aðfanganúmer\" SET \"Móðurbendir\" = 2 WHERE \"Aðfanganúmer\" = 2", {0, 0, 0, 1}},
      {"UPDATE \"Aðfanganúmer\" SET \"Lánþegabendir\" = 7 WHERE \"Aðfanganúmer\" = 1", {0, 0, 0, 0}},
      {"DELETE FROM \"Aðfanganúmer\" WHERE \"Aðfanganúmer\" = 2", {0, 0, 0, 1}},
      {"INSERT INTO \"Frumfærsla\" (\"ID\", \"Færsla\") VALUES (1, 'x')", {0, 0, 0, 1}},
      {"UPDATE \"Frumfærsla\" SET \"Færsla\" = 'y'", {0, 0, 0, 1}},
      {"UPDATE \"Móðurtafla\" SET \"Upprunafærsla\" = 1 WHERE \"ID\" = 2", {0, 0, 0, 1}},
      {"UPDATE \"Móðurtafla\" SET \"ÖllFærslan\" = 'z' WHERE \"ID\" = 2", {0, 0, 0, 1}},
      {"UPDATE \"Móðurtafla\" SET \"Tag\" = 1 WHERE \"ID\" = 2", {1, 0, 0, 0}},
      {"DELETE FROM \"Tengill\" WHERE \"FærsluID\" = 2", {0, 1, 0, 0}},
  };
  auto counters = [&] {
    std::istringstream in(sql(prefix + "SELECT records || ' ' || links || ' ' || words || ' ' || facts FROM kv_state"));
    std::array<int64_t, 4> v{};
    for (int64_t& n : v) in >> n;
    return v;
  };
  for (const auto& c : cases) {
    std::array<int64_t, 4> before = counters();
    sql(prefix + c.change);
    std::array<int64_t, 4> after = counters();
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(after[i] - before[i], c.rises[i]) << c.change << " counter " << i;
  }
}

KVISTUR_EVERY_BACKEND(StampCounters);

// Damages one row of TABLE of FILE that meets WHERE: a byte of a blob or a
// bit of a number changed, or (one time in eight) the row gone.
void damage(const std::string& file, const std::string& table, const std::vector<std::string>& columns,
            const std::string& key, const std::string& where, std::mt19937& rng) {
  int64_t n = std::stoll(sql_rows(file, "SELECT count(*) FROM " + table + " WHERE " + where).at(0));
  ASSERT_GT(n, 0);
  std::string at = "(SELECT " + key + " FROM " + table + " WHERE " + where + " LIMIT 1 OFFSET " +
                   std::to_string(rng() % n) + ")";
  std::string sql;
  if (rng() % 8 == 0) {
    sql = "DELETE FROM " + table + " WHERE (" + key + ") = " + at;
  } else {
    const std::string& c = columns[rng() % columns.size()];
    // A number's bit flipped (x XOR m), or a blob's byte: every byte changed
    // at random places would do, one is enough to be seen.
    std::string bit = std::to_string(int64_t(1) << (rng() % 40)), byte = std::to_string(1 + rng() % 255);
    sql = "UPDATE OR IGNORE " + table + " SET " + c + " = CASE WHEN typeof(" + c + ") = 'integer' THEN (" + c + " | " +
          bit + ") - (" + c + " & " + bit + ") WHEN length(" + c + ") > 0 THEN kv_flip(" + c + ", " +
          std::to_string(rng()) + ", " + byte + ") ELSE " + c + " END WHERE (" + key + ") = " + at;
  }
  // kv_flip(blob, n, x): the blob with its byte n % length XORed with x.
  auto db = db::OpenSqlite(file, SQLITE_OPEN_READWRITE);
  sqlite3_create_function(
      db.get(), "kv_flip", 3, SQLITE_UTF8, nullptr,
      [](sqlite3_context* ctx, int, sqlite3_value** v) {
        std::string b(static_cast<const char*>(sqlite3_value_blob(v[0])), std::size_t(sqlite3_value_bytes(v[0])));
        std::size_t i = std::size_t(sqlite3_value_int64(v[1])) % b.size();
        b[i] = char(b[i] ^ sqlite3_value_int(v[2]));
        sqlite3_result_blob(ctx, b.data(), int(b.size()), SQLITE_TRANSIENT);
      },
      nullptr, nullptr);
  import::ExecSql(db.get(), sql);
}

}  // namespace

TEST(DamagedStoredIndex, AnswersStayRightAndTheCheckFindsIt) {
  thread_state() = ThreadState{};
  Site site(false);
  const std::string dir = site.dir() + "/gen";
  ASSERT_EQ(run_tool({"generate", "--records", "3000", "--seed", "4", "--out", dir}).exit_code, 0);
  site.set("Grunnur", "Slóð", dir);
  const std::string catalogue = dir + "/katalogur.sqlite";
  // Words common, less common and rare, a pair, truncations, and a group
  // and a field of the catalogue's own.
  std::vector<std::string> words = sql_rows(
      catalogue, "SELECT o.Orð FROM Orð o JOIN (SELECT OrðID, count(*) n FROM Tengill GROUP BY OrðID) t ON t.OrðID = o.ID "
                 "ORDER BY t.n DESC, o.ID");
  ASSERT_GT(words.size(), 3000u);
  std::vector<Text> texts;
  for (std::size_t i : {0, 1, 40, 400, 2500}) texts.push_back(from_utf8(words[i]));
  texts.push_back(from_utf8(words[0] + " " + words[40]));
  texts.push_back(from_utf8(words[0].substr(0, 2) + "*"));
  texts.push_back(from_utf8("*" + words[3].substr(words[3].size() - 2)));
  // The prefixes of four and three letters of most words, read through their lists.
  const std::string prefix = sql_rows(catalogue, "SELECT CAST(prefix AS TEXT) FROM kv_prefixes WHERE length(CAST(prefix "
                                                 "AS TEXT)) = 4 ORDER BY words DESC, key LIMIT 1").at(0);
  texts.push_back(from_utf8(prefix + "*"));
  texts.push_back(from_utf8(prefix + "* " + words[0]));
  texts.push_back(from_utf8(std::string(stored::CodePointPrefix(prefix, 3)) + "* " + words[1]));
  auto pair = sql_rows(catalogue, "SELECT HópID || ' ' || Orðtag FROM Tengill LIMIT 1").at(0);
  const int32_t group = std::stoi(pair), field = std::stoi(pair.substr(pair.find(' ') + 1));
  auto answers = [&](const std::string& name) {
    site.set("Grunnur", "GrunnNafn", name);
    log_on();
    std::vector<Outcome> out;
    for (const Text& t : texts)
      for (auto [g, f] : {std::pair{-1, -1}, {group, -1}, {-1, field}})
        for (int32_t max : {1, 300})
          for (int16_t rofi : {0, 1}) out.push_back(search(t, g, f, max, rofi));
    return out;
  };
  const std::vector<Outcome> sound = answers("katalogur.sqlite");

  // The rows the searches read: of the words searched for.
  std::string searched = "key >> 32 IN (SELECT ID FROM Orð WHERE Orð IN (";
  for (std::size_t i : {0, 1, 40, 400, 2500}) searched += (i ? ", '" : "'") + words[i] + "'";
  searched += ") OR Orð LIKE '" + words[0].substr(0, 2) + "%')";
  struct Table {
    std::string name;
    std::vector<std::string> columns;
    std::string key, where;
  };
  // Mostly the bytes of the lists and the order, which the search decodes.
  const Table tables[] = {{"kv_postings", {"key", "packed", "packed", "packed", "checksum"}, "key", searched},
                          {"kv_order", {"chunk", "ids", "ids", "starts", "starts", "checksum"}, "chunk", "1"},
                          {"kv_prefix_postings", {"list", "upto", "packed", "packed", "checksum"}, "list, upto",
                           "list IN (SELECT key FROM kv_prefixes WHERE CAST(prefix AS TEXT) IN ('" + prefix + "', '" +
                               std::string(stored::CodePointPrefix(prefix, 3)) + "'))"},
                          {"kv_prefixes", {"key", "prefix", "words", "hash", "checksum"}, "key", "1"},
                          {"kv_search_meta", {"format", "build", "collator", "positions", "ordered", "records",
                                              "absent_rank", "specials", "combos", "postings", "built_records",
                                              "built_links", "checksum"}, "rowid", "1"},
                          // The facet data: the searches do not read it, the check finds it.
                          {"kv_facets", {"data", "data", "checksum"}, "chunk", "1"},
                          {"kv_facet_copies", {"data", "checksum"}, "chunk", "1"}};
  std::mt19937 rng(11);
  std::string file;
  for (int round = 0; round < 14; ++round) {
    const Table& t = tables[round % std::size(tables)];
    const std::string name = "damaged" + std::to_string(round) + ".sqlite";
    file = dir + "/" + name;
    std::filesystem::copy_file(catalogue, file);
    for (int flips = 1 + int(rng() % 3); flips > 0; --flips) damage(file, t.name, t.columns, t.key, t.where, rng);
    ::testing::internal::CaptureStderr();
    std::vector<Outcome> got = answers(name);
    std::string said = ::testing::internal::GetCapturedStderr();
    for (std::size_t i = 0; i < sound.size(); ++i) ASSERT_EQ(got[i], sound[i]) << t.name << " " << round << " " << i;
    EXPECT_LE(std::count(said.begin(), said.end(), '\n'), 1) << said;  // said once, if at all
    auto check = run_tool({"index", "--check", file});
    EXPECT_EQ(check.exit_code, 1) << t.name << " " << round << "\n" << check.out << check.err;
    EXPECT_NE(check.out.find(": " + std::to_string(std::count(check.out.begin(), check.out.end(), '\n') - 1) + " findings; "),
              std::string::npos)
        << check.out;
  }
  // The word file beside the catalogue: bytes of its lists and of its
  // vocabulary changed, or the file cut short.  Searches go on giving the
  // right answers, saying so at most once.
  const std::string words_file = std::filesystem::canonical(catalogue).string() + stored::kWordFileSuffix;
  ASSERT_TRUE(std::filesystem::exists(words_file));
  const auto words_size = std::filesystem::file_size(words_file);
  // Rounds 8 to 10 change a byte of what the searches read: the most
  // common word's list, a prefix's list, the first chunk of the order.
  const int64_t build = std::stoll(sql_rows(catalogue, "SELECT build FROM kv_search_meta").at(0));
  for (int round = 0; round < 11; ++round) {
    const std::string name = "damaged_words" + std::to_string(round) + ".sqlite";
    std::filesystem::copy_file(catalogue, dir + "/" + name);
    const std::string copy = dir + "/" + name + stored::kWordFileSuffix;
    std::filesystem::copy_file(words_file, copy);
    if (round == 7) {
      std::filesystem::resize_file(copy, words_size - 1);
    } else if (round >= 8) {
      std::streamoff at = 0;
      {
        auto file = stored::WordFile::Open(dir + "/" + name, build);
        ASSERT_NE(file, nullptr);
        stored::WordFile::List list;
        if (round == 8) {
          file->Walk([&](std::string_view fold, int64_t, const stored::WordFile::List& l) {
            if (fold == db::fold_utf8(words[0])) list = l;
          });
        } else if (round == 9) {
          list = file->prefix(prefix).value().list;
        }
        ASSERT_TRUE(list.rows > 0 || round == 10) << round;
        ASSERT_EQ(file->order_positions(), 3000u);
        // In the first row's bytes, or in the second record of the order.
        at = std::streamoff(round == 10 ? file->order_offset() + 4 : list.offset + list.rows * 16 + 2);
      }
      std::fstream f(copy, std::ios::in | std::ios::out | std::ios::binary);
      f.seekg(at);
      char c = 0;
      f.get(c);
      f.seekp(at);
      f.put(char(c ^ 1));
    } else {
      std::fstream f(copy, std::ios::in | std::ios::out | std::ios::binary);
      for (int flips = 1 + int(rng() % 3); flips > 0; --flips) {
        // The first half holds the lists, the last part the vocabulary.
        const auto at = round % 2 ? words_size - 1 - rng() % (words_size / 8) : 64 + rng() % (words_size / 2);
        f.seekg(std::streamoff(at));
        char c = 0;
        f.get(c);
        f.seekp(std::streamoff(at));
        f.put(char(c ^ char(1 << rng() % 8)));
      }
    }
    ::testing::internal::CaptureStderr();
    std::vector<Outcome> got = answers(name);
    std::string said = ::testing::internal::GetCapturedStderr();
    for (std::size_t i = 0; i < sound.size(); ++i) ASSERT_EQ(got[i], sound[i]) << "word file " << round << " " << i;
    EXPECT_LE(std::count(said.begin(), said.end(), '\n'), 1) << said;
    // Only the file is left aside: the stored index serves on.
    StoredIndex* stored = KeptSearch::For(*open_catalogue())->stored();
    ASSERT_NE(stored, nullptr) << round;
    EXPECT_FALSE(stored->damaged()) << round << ": " << said;
    if (!said.empty() || round >= 8) {
      EXPECT_NE(said.find("the word file is damaged"), std::string::npos) << said;
    }
    auto check = run_tool({"index", "--check", dir + "/" + name});
    EXPECT_EQ(check.exit_code, 1) << round << "\n" << check.out << check.err;
    EXPECT_NE(check.out.find(stored::kWordFileSuffix + std::string(": ")), std::string::npos) << check.out;
  }

  ASSERT_EQ(run_tool({"index", file}).exit_code, 0);
  auto check = run_tool({"index", "--check", file});
  EXPECT_EQ(check.exit_code, 0) << check.out;
  const std::string lists = sql_rows(file, "SELECT count(DISTINCT key >> 32) FROM kv_postings").at(0);
  EXPECT_TRUE(std::regex_match(
      check.out, std::regex(file + ": sound; stored search index of 3000 records, 7 rows of the order, " + lists + " words in " +
                            sql_rows(file, "SELECT count(*) FROM kv_postings").at(0) +
                            " rows; a word file of [0-9]+ folds, " + lists + " lists and " +
                            sql_rows(file, "SELECT count(*) FROM kv_prefixes").at(0) +
                            " prefix lists; facet data of 3000 records\n")))
      << check.out;
  thread_state() = ThreadState{};
}

namespace {

// The rows of the stored index and the facet data but for what each
// writing draws anew: their build numbers and the checksums worked out
// from them (the check reads those).
std::vector<std::string> stored_rows(const std::string& file) {
  std::vector<std::string> out = sql_rows(file, "SELECT name FROM sqlite_master WHERE name LIKE 'kv\\_%' ESCAPE '\\' "
                                                "AND type = 'table' ORDER BY name");
  const std::pair<const char*, const char*> tables[] = {
      {"kv_search_meta", "SELECT format, collator, positions, ordered, records, absent_rank, hex(specials), hex(combos), "
                         "postings, built_records, built_links, delta_records, delta_words FROM kv_search_meta"},
      {"kv_order", "SELECT chunk, hex(ids), hex(starts) FROM kv_order ORDER BY chunk"},
      {"kv_counts", "SELECT chunk, hex(counts) FROM kv_counts ORDER BY chunk"},
      {"kv_postings", "SELECT key, hex(packed) FROM kv_postings ORDER BY key"},
      {"kv_prefixes", "SELECT key, hex(prefix), words, hash FROM kv_prefixes ORDER BY key"},
      {"kv_prefix_postings", "SELECT list, upto, hex(packed) FROM kv_prefix_postings ORDER BY list, upto"},
      {"kv_facet_meta", "SELECT format, records, holders, places, built_records, built_links, built_facts "
                        "FROM kv_facet_meta"},
      {"kv_facet_places", "SELECT id, name FROM kv_facet_places ORDER BY id"},
      {"kv_facets", "SELECT chunk, hex(data) FROM kv_facets ORDER BY chunk"},
      {"kv_facet_copies", "SELECT chunk, hex(data) FROM kv_facet_copies ORDER BY chunk"}};
  for (auto [table, sql] : tables)
    if (std::find(out.begin(), out.end(), table) != out.end())
      for (std::string& row : sql_rows(file, sql)) out.push_back(std::string(table) + ": " + row);
  return out;
}

}  // namespace

// A build works the stored index and the facet data out from what its
// writer holds; `kvistur index` and `update` read them from the tables.
// Both must write the same rows: on records that share sort texts or have
// the empty one, a row the result table cannot take, component parts with
// and without their host, records without words, periodicals and articles
// (two groups), a word twice in one field, copies in places met in any
// order (padded, blank, none), and, in the second round, more pairs of
// group and field than a mask can hold (the order alone).
TEST(StoredIndexOfABuild, IsTheOneReadFromTheTables) {
  for (bool many_pairs : {false, true}) {
    kvistur::testing::TempDir dir;
    std::mt19937 rng(5);
    {
      import::CatalogueWriter writer(dir.path);
      const char* keys[] = {"Saga", "saga", "", "Ár", "ár", "b", "10", "9", "Þór", "öl"};
      const char* common[] = {"saga", "sagan", "ár", "bók", "þór", "b"};
      for (int i = 0; i < 1500; ++i) {
        import::ImportedRecord r;
        r.sort_key = std::string(keys[rng() % 10]) + (rng() % 2 ? std::to_string(rng() % 3) : "");
        r.identity = "e" + std::to_string(i);
        r.control_number = "c" + std::to_string(i);
        r.kind = i % 7 == 0 ? import::kKindPeriodical : i % 11 == 0 ? import::kKindArticle : import::kKindItem;
        if (i % 13 == 0) r.kind = import::kKindComponent;
        if (i == 600) r.kind = 40000;  // a Tag the result table cannot take
        if (r.kind == import::kKindComponent || r.kind == import::kKindArticle)
          r.host_control = i % 3 ? "c" + std::to_string(i / 2) : "nowhere";
        if (i % 17 != 0)
          for (int n = int(rng() % 6); n >= 0; --n) {
            int field = many_pairs ? 1 + i % 70 : 1 + int(rng() % 4);
            std::string word = rng() % 3 ? common[rng() % 6] : "w" + std::to_string(rng() % 400);
            r.words.push_back({word, field});
            if (n == 2) r.words.push_back({word, field});
          }
        const char* places[] = {"Aðalsafn", " Geymsla ", "", "Útibú", "aðalsafn"};
        for (int c = int(rng() % 4) - 1; c > 0; --c) r.copies.push_back({i * 10 + c, "", places[rng() % 5], 0, 1});
        writer.Add(std::move(r));
      }
      writer.Finish();
    }
    const std::string file = dir.path + "/katalogur.sqlite";
    const std::vector<std::string> built = stored_rows(file);
    if (!many_pairs) {
      EXPECT_GT(std::stoi(sql_rows(file, "SELECT count(*) FROM kv_prefixes").at(0)), 0);
    }
    EXPECT_EQ(sql_rows(file, "SELECT postings, records FROM kv_search_meta"),
              std::vector<std::string>{many_pairs ? "0|1500" : "1|1500"});
    std::ostringstream said;
    EXPECT_EQ(import::CheckCatalogueFile(file, "built", true, said), 0) << said.str();
    {
      db::SqliteConnection db = db::OpenSqlite(file, SQLITE_OPEN_READWRITE);
      import::RegisterKvFunctions(db.get());
      import::ExecSql(db.get(), "BEGIN");
      import::WriteSearchIndex(db.get());
      import::WriteFacetData(db.get());
      import::ExecSql(db.get(), "COMMIT");
    }
    EXPECT_EQ(stored_rows(file), built) << many_pairs;
    EXPECT_EQ(import::CheckCatalogueFile(file, "from the tables", true, said), 0) << said.str();
  }
}
