// Result sets of one word's hits, which hold only their first places in
// order until a client asks beyond them: the places are those of every hit
// ranked at once, whatever is asked and whenever, an update between search
// and present included.  A session in this process, on a catalogue the
// command line built and updates.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <thread>

#include "server/result_sets.h"
#include "server/running_server.h"
#include "settings/thread_state.h"

using namespace kvistur;
using namespace kvistur::server;
using namespace kvistur::testing::serve;
using kvistur::testing::TempDir;

namespace {

using Kind = QueryNode::Kind;

std::string book(int n, const std::string& title) {
  return "<record><leader>00000nam a2200000 a 4500</leader><controlfield tag=\"001\">b" + std::to_string(n) +
         "</controlfield><controlfield tag=\"003\">IS-ReLB</controlfield><datafield tag=\"245\" ind1=\"1\" "
         "ind2=\"0\"><subfield code=\"a\">" + title + "</subfield></datafield></record>";
}

// Enough books that a word's first places come from the stored index.
constexpr int kBooks = int(kFirstPlacesFrom) + 500;

std::string all_books() {
  std::string books;
  for (int i = 0; i < kBooks; ++i) books += book(i, "Bók númer " + std::to_string(i));
  return books;
}

std::string marc_file(const TempDir& dir, const std::string& name, const std::string& records) {
  std::string file = dir.path + "/" + name;
  std::ofstream(file) << "<collection xmlns=\"http://www.loc.gov/MARC21/slim\">" << records << "</collection>";
  return file;
}

QueryNode term(const std::u16string& words) { return QueryNode{Kind::Term, u"", words, {}, {}}; }
QueryNode both(Kind kind, QueryNode a, QueryNode b) { return QueryNode{kind, u"", u"", {}, {std::move(a), std::move(b)}}; }
QueryNode set(const std::string& name) { return QueryNode{Kind::Set, u"", u"", name, {}}; }

class LazyResultSets : public ::testing::Test {
 protected:
  void SetUp() override {
    cat_.emplace(std::vector<std::string>{"build", "--marc", marc_file(files_, "books.xml", all_books()), "--out"});
    setenv("LINDRIT_SETTINGS", cat_->settings().c_str(), 1);
    setenv("KVISTUR_LOG", (cat_->dir + "/melding.txt").c_str(), 1);
    thread_state() = ThreadState{};
    ASSERT_TRUE(session_.LogOn("Admin", ""));
  }
  void TearDown() override { thread_state() = ThreadState{}; }

  ResultSet& search(const std::string& name, const QueryNode& query, int64_t present = 0) {
    RequestBudget budget(limits_, pool_);
    int64_t hits = 0;
    Diagnostic d = session_.Search(name, true, "Default", query, budget, hits, present);
    EXPECT_EQ(d.code, 0) << d.addinfo;
    return *session_.Find(name);
  }

  TempDir files_;
  std::optional<Catalogue> cat_;
  Limits limits_;
  MemoryPool pool_{int64_t(1) << 30};
  Session session_{"test", limits_};
};

TEST_F(LazyResultSets, FirstPlacesAndEveryLaterPresentAreThoseOfTheWholeRanking) {
  // OR of a word with itself is the same hits, ranked whole at the search.
  ResultSet& whole = search("whole", both(Kind::Or, term(u"bók"), term(u"bók")));
  ASSERT_FALSE(whole.first_places_only());
  ASSERT_EQ(whole.size(), kBooks);
  const std::vector<int32_t> all = whole.records(1, kBooks);

  ResultSet& first = search("first", term(u"bók"));
  ASSERT_TRUE(first.first_places_only()) << "the stored index gives the first places";
  EXPECT_EQ(first.size(), kBooks);
  EXPECT_EQ(first.records(1, 10), std::vector<int32_t>(all.begin(), all.begin() + 10));
  EXPECT_EQ(first.records(11, 20), std::vector<int32_t>(all.begin() + 10, all.begin() + 20));
  EXPECT_TRUE(first.first_places_only());
  EXPECT_EQ(first.records(15, 44), std::vector<int32_t>(all.begin() + 14, all.begin() + 44));
  EXPECT_FALSE(first.first_places_only()) << "ranked once asked beyond its first places";
  EXPECT_EQ(first.records(1, kBooks + 5), all);

  // The whole set at once; a search that asks for more records with it
  // gets that many first places.
  EXPECT_EQ(search("at-once", term(u"bók")).records(1, kBooks), all);
  ResultSet& fifty = search("fifty", term(u"bók"), 50);
  EXPECT_EQ(fifty.records(21, 50), std::vector<int32_t>(all.begin() + 20, all.begin() + 50));
  EXPECT_TRUE(fifty.first_places_only());

  // Named in later queries: every record, whatever its order.
  ResultSet& lazy = search("lazy", term(u"bók"));
  ASSERT_TRUE(lazy.first_places_only());
  EXPECT_EQ(search("and", both(Kind::And, set("lazy"), term(u"1*"))).records(1, kBooks),
            search("and-whole", both(Kind::And, set("whole"), term(u"1*"))).records(1, kBooks));
  int twos = 0;
  for (int i = 0; i < kBooks; ++i) twos += std::to_string(i)[0] == '2';
  EXPECT_EQ(search("not", both(Kind::Not, set("lazy"), term(u"2*"))).size(), kBooks - twos);
  auto numbers = [](const RecordList& l) { return std::vector<int32_t>(l.span().begin(), l.span().end()); };
  EXPECT_EQ(numbers(lazy.unordered()), numbers(whole.ascending()));
  EXPECT_TRUE(lazy.first_places_only());
}

TEST_F(LazyResultSets, AnUpdateBetweenSearchAndPresentLeavesTheSearchsOrder) {
  ResultSet& whole = search("whole", both(Kind::Or, term(u"bók"), term(u"bók")));
  const std::vector<int32_t> before = whole.records(1, kBooks);
  ResultSet& lazy = search("lazy", term(u"bók"));
  ASSERT_TRUE(lazy.first_places_only());
  // The last book of the order now sorts first, and a new one comes.
  auto r = cat_->tool({"update", "--marc",
                       marc_file(files_, "update.xml", book(99, "Bók aaa") + book(kBooks, "Bók númer 0a")), cat_->dir});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::vector<int32_t> now = search("now", term(u"bók")).records(1, kBooks + 1);
  ASSERT_EQ(now.size(), std::size_t(kBooks + 1));
  ASSERT_NE(std::vector<int32_t>(now.begin() + 1, now.end()), before) << "the update changed the order";
  // The search at the new state ranked the set of the old one by the old
  // order, and let that order go.
  EXPECT_FALSE(lazy.first_places_only());
  EXPECT_EQ(lazy.records(21, kBooks), std::vector<int32_t>(before.begin() + 20, before.end()));
  EXPECT_EQ(lazy.records(1, kBooks), before);
}

TEST(LazyResultSetsServed, FacetsAndPresentsOfAFirstPlacesSet) {
  TempDir files;
  Catalogue cat({"build", "--marc", marc_file(files, "books.xml", all_books()), "--out"});
  Server server(cat, "");
  // The first search makes the order of all records ready; the second
  // takes its first places from the stored index.
  std::string z = server.yaz_client("find bók\nfacets @attr 1=kind @attr 3=5\nfind bók\nshow 5+1\nshow 25+1\n"
                                    "find @set 2\n");
  const std::string books = std::to_string(kBooks);
  EXPECT_NE(z.find("book (" + books + ")"), std::string::npos) << z;
  EXPECT_NE(z.find("Number of hits: " + books + ", setno 3"), std::string::npos) << z;
  // The titles' numbers sort as texts.
  std::vector<std::string> numbers;
  for (int i = 0; i < kBooks; ++i) numbers.push_back(std::to_string(i));
  std::sort(numbers.begin(), numbers.end());
  EXPECT_NE(z.find("001 b" + numbers[4] + "\n"), std::string::npos) << "the 5th place: " << z;
  EXPECT_NE(z.find("001 b" + numbers[24] + "\n"), std::string::npos) << "the 25th place: " << z;
}

// The records of one answer are of the state its search saw.  Updates
// replace every record of a word, again and again, while SRU searches ask
// for all of its hits: each answer hands out as many records as it counted,
// none of them "deleted" by an update that came between the search and the
// reading of the records (read twenty at a time, each read a call of its
// own unless the answer holds one).
TEST(LazyResultSetsServed, EveryRecordOfAnAnswerIsOfTheStateItsSearchSaw) {
  constexpr int kWord = 100;
  auto round = [](int n) {
    std::string records;
    for (int i = 0; i < kWord; ++i)
      for (int r : {n - 1, n}) {
        if (r < 0) continue;
        std::string record = book(r * kWord + i, "Skipti " + std::to_string(i));
        if (r < n) record.replace(record.find("00000nam"), 8, "00000dam");
        records += record;
      }
    return records;
  };
  TempDir files;
  Catalogue cat({"build", "--marc", marc_file(files, "0.xml", round(0)), "--out"});
  Server server(cat, "");
  std::atomic<bool> done{false};
  std::atomic<int> rounds{0};
  std::thread writer([&] {
    for (int n = 1; !done; ++n) {
      auto r = cat.tool({"update", "--marc", marc_file(files, std::to_string(n) + ".xml", round(n)), cat.dir});
      EXPECT_EQ(r.exit_code, 0) << r.err;
      rounds = n;
    }
  });
  int answers = 0;
  for (; answers < 40 || rounds < 30; ++answers) {
    std::string body = server.sru("Default?version=1.2&operation=searchRetrieve&recordSchema=kvistur"
                                  "&maximumRecords=200&query=skipti");
    std::vector<int> ids = ids_in(body, "<kvistur xmlns=\"urn:x-kvistur:display\" id=\"([0-9]+)\"");
    if (ids_in(body, "numberOfRecords>([0-9]+)<") != std::vector<int>{kWord} || ids.size() != std::size_t(kWord)) {
      ADD_FAILURE() << "answer " << answers << " after " << rounds << " updates: " << ids.size() << " records of "
                    << body.substr(0, body.find("<zs:records>"));
      break;
    }
  }
  done = true;
  writer.join();
}

}  // namespace
