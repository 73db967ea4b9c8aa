// `kvistur search` end to end on a small catalogue, and the search's eval
// operations through `kvistur host`.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <set>

#include "common/record_text_builder.h"
#include "common/site.h"
#include "tools/run_tool.h"

using nlohmann::json;
using kvistur::testing::RecordTextBuilder;
using kvistur::testing::host_answers;
using kvistur::testing::run_on_terminal;
using kvistur::testing::run_tool;
using kvistur::testing::Site;

namespace {

// A Móðurtafla row's values: record ID titled TITLE, sorted by SORT.
std::string record_values(int id, const std::u16string& title, const std::string& sort) {
  RecordTextBuilder b;
  b.Titlar = {RecordTextBuilder::title(title)};
  return "(" + std::to_string(id) + ", '2020-01-01', '" + kvistur::to_utf8(b.text()) + "', '', 0, '" + sort +
         "', 1, 0, 1, 0, 'k" + std::to_string(id) + "')";
}
const std::string kInsertRecords =
    "INSERT INTO Móðurtafla (ID, Skráning, ÖllFærslan, MarkSnið, Upprunafærsla, Röðunarsvið, Tag, Uppruni,"
    " Safndeild, UpprunaID, Einkennisstrengur) VALUES ";

class SearchCliTest : public ::testing::TestWithParam<kvistur::testing::Backend> {
 protected:
  void SetUp() override {
    // Words: saga in 1, 2, 3 (3 in group 2 only), þór in 2 and 3, og in 1.
    auto rec = record_values;
    site_.catalogue_sql(
        kInsertRecords + rec(1, u"Eitt", "c") + "," + rec(2, u"Tvö", "a") + "," + rec(3, u"Þrjú", "b") + ";" +
        "INSERT INTO Orð VALUES (1, 'saga'), (2, 'þór'), (3, 'og');"
        "INSERT INTO Tengill VALUES (1,1,1,1), (2,1,1,2), (3,1,2,1), (2,2,1,1), (3,2,2,1), (1,3,1,1);"
        "INSERT INTO EkkiOrð VALUES ('og');");
  }

  Site site_{GetParam()};
};
KVISTUR_EVERY_BACKEND(SearchCliTest);

// Every form of the list on one catalogue, then the catalogue's faults.
TEST_P(SearchCliTest, ListsInEveryFormAndSaysWhatFailed) {
  struct Case {
    std::vector<std::string> args;
    std::string out, err;
  };
  const std::string all = "2\tTvö\tk2\n3\tÞrjú\tk3\n1\tEitt\tk1\n";
  const std::vector<Case> cases = {
      // In sort order, and no progress when standard error is not a terminal.
      {{"saga"}, all, ""},
      {{"SAGA Þór"}, "2\tTvö\tk2\n3\tÞrjú\tk3\n", ""},
      {{"saga og"}, all, ""},  // the stop word is left out
      {{"sag*", "--group", "2"}, "3\tÞrjú\tk3\n", ""},
      {{"saga", "--group", "1", "--field", "2"}, "2\tTvö\tk2\n", ""},
      {{"ekkertþessu"}, "", "kvistur search: nothing found for 'ekkertþessu'\n"},
      {{"saga", "--json", "--max", "2"},
       "{\"results\":[{\"description\":\"Tvö\",\"id\":2,\"key\":\"k2\"},{\"description\":\"Þrjú\",\"id\":3,\"key\":\"k3\"}]}\n",
       "kvistur search: showing 2 of 3 records (--max all shows every one)\n"},
      {{"x", "--json"}, "{\"results\":[]}\n", "kvistur search: nothing found for 'x'\n"},
      // A printed list, in the order of the search.
      {{"þór", "--print"}, "\t<U>Tvö</U>\n\n\t<U>Þrjú</U>\n", ""},
      {{"þór", "--print", "--text", "--type", "3"}, "\t<U>Tvö</U>\n\t<U>Þrjú</U>\n", ""},
      {{"ekkert", "--print"}, "", "kvistur search: nothing found for 'ekkert'\n"}};
  for (const Case& c : cases) {
    std::vector<std::string> args{"search"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto r = run_tool(args);
    EXPECT_EQ(r.exit_code, 0) << c.args[0] << ": " << r.err;
    EXPECT_EQ(r.out, c.out) << c.args[0];
    EXPECT_EQ(r.err, c.err) << c.args[0];
  }
  site_.set("Leit", "Fjöldi", "1");
  EXPECT_EQ(run_tool({"search", "saga"}).out, "2\tTvö\tk2\n");
  site_.set("Leit", "Fjöldi", "0");
  EXPECT_EQ(run_tool({"search", "saga"}).out, all) << "0 in the settings means the default of 50";

  std::string t = run_on_terminal({"search", "saga þór"});
  for (const char* line : {"Leita að færslum með saga\r\n", "Fann 3 færslur með saga\r\n",
                           "Fann 2 færslur með þór\r\n", "Sæki niðurstöður\r\n", "Raða niðurstöðum\r\n"})
    EXPECT_NE(t.find(line), std::string::npos) << line << " in:\n" << t;
  EXPECT_NE(t.find("] 100%"), std::string::npos) << t;
  EXPECT_NE(t.find("2\tTvö\tk2\r\n3\tÞrjú\tk3\r\n"), std::string::npos) << t;
  EXPECT_EQ(t.find("[exit"), std::string::npos) << t;

  site_.add_user("Jón", "leyndó");
  auto failed = run_tool({"search", "saga", "--user", "Jón", "--password", "nope"});
  EXPECT_EQ(failed.exit_code, 1);
  EXPECT_NE(failed.err.find("log-on failed: Not a valid account name or password."), std::string::npos) << failed.err;
  site_.catalogue_sql("DROP TABLE Tengill;");
  failed = run_tool({"search", "saga"});
  EXPECT_EQ(failed.exit_code, 1);
  EXPECT_EQ(failed.err.rfind("kvistur search: the search failed: see the log ", 0), 0u) << failed.err;
  EXPECT_EQ(failed.out, "");
  // What is missing is named, with the path as it is opened.
  site_.set("Grunnur", "GrunnNafn", "ekki-til.sqlite");
  failed = run_tool({"search", "saga"});
  std::string opened = site_.server() ? site_.folder() + "\\ekki-til.sqlite" : site_.dir() + "/ekki-til.sqlite";
  EXPECT_EQ(failed.err, "kvistur search: the search failed: the catalogue " + opened +
                            " does not exist (Grunnur/Slóð and GrunnNafn in " + site_.settings_file() + ")\n");
  setenv("LINDRIT_SETTINGS", "/nonexistent/lindrit.ini", 1);
  failed = run_tool({"search", "saga"});
  EXPECT_EQ(failed.err, "kvistur search: the settings file /nonexistent/lindrit.ini does not exist; "
                        "make a catalogue with 'kvistur build --marc FILE... --out DIR' and point LINDRIT_SETTINGS "
                        "at DIR/lindrit-1.0.ini\n");
}

// "showing N of M" counts the state the N hits are of: a change that
// commits while the list is being written out (here, while no one reads
// it: the tool waits on a full pipe) is not counted.
TEST_P(SearchCliTest, ACutListIsCountedInTheStateOfItsHits) {
  // 1 500 records more of saga, with titles long enough that their lines
  // fill a pipe twice over.
  auto add_saga_records = [&](int from, int n) {
    std::string records, links;
    for (int id = from; id < from + n; ++id) {
      records += (id == from ? "" : ",") + record_values(id, u"Saga " + std::u16string(120, u'x'), "d");
      links += (id == from ? "(" : ",(") + std::to_string(id) + ",1,1,1)";
    }
    site_.catalogue_sql(kInsertRecords + records + "; INSERT INTO Tengill VALUES " + links + ";");
  };
  add_saga_records(10, 1500);

  const std::string err_file = site_.dir() + "/search.err";
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    int err = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(err, 2);
    const char* argv[] = {KVISTUR_TOOL, "search", "saga", "--max", "1000", nullptr};
    execv(KVISTUR_TOOL, const_cast<char**>(argv));
    _exit(127);
  }
  close(out[1]);
  // Until the pipe is full: the tool has searched and waits to write.
  const int capacity = fcntl(out[0], F_GETPIPE_SZ);
  int waiting = 0, status = 0;
  for (int tries = 0; tries < 3000 && waiting < capacity && waitpid(pid, &status, WNOHANG) == 0; ++tries) {
    usleep(10000);
    ioctl(out[0], FIONREAD, &waiting);
  }
  EXPECT_EQ(waiting, capacity) << "the tool did not fill the pipe";
  add_saga_records(2000, 5);
  std::string got;
  char buf[65536];
  for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;) got.append(buf, std::size_t(n));
  close(out[0]);
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(std::count(got.begin(), got.end(), '\n'), 1000);
  EXPECT_EQ(kvistur::testing::file_bytes(err_file),
            "kvistur search: showing 1000 of 1503 records (--max all shows every one)\n");
}

const auto eval = kvistur::testing::host_eval;

// The search's eval operations: their arguments and answers in the host's
// forms, and the order of texts and numbers that SortHits gives.
TEST(SearchEval, SortSplitJoinStrip) {
  auto a = host_answers({eval("SortHits", {{"b", "Á", "a", "", "ö", "A"}}), eval("SortHits", {{3, 1, 2.5, 1}}),
                         eval("SortHits", {json::array()}),
                         eval("SplitText", {"  a ;  b  c ;; d ", ";"}), eval("JoinLines", {" eitt  \r\n tvö \r\n"}),
                         eval("StripPunctuation", {"(saga). [þór]; \"x\" 'y',"}), eval("SortHits", {"nokey"}),
                         eval("SplitText", {"a"})});
  ASSERT_EQ(a.size(), 8u);
  // The empty text first; a and A equal ignoring case, Á after them, ö last.
  auto order = a[0]["result"].get<std::vector<int>>();
  ASSERT_EQ(order.size(), 6u);
  EXPECT_EQ(order[0], 4);
  EXPECT_EQ(std::set<int>(order.begin() + 1, order.begin() + 3), (std::set<int>{3, 6}));
  EXPECT_EQ((std::vector<int>(order.begin() + 3, order.end())), (std::vector<int>{2, 1, 5}));
  EXPECT_EQ(a[1]["result"], json::parse("[2,4,3,1]"));
  EXPECT_EQ(a[2]["result"], json::array());
  EXPECT_EQ(a[3]["result"], json::parse(R"({"text":"a ; b c ;; d","parts":["a","b c","d"]})"));
  EXPECT_EQ(a[4]["result"], "eitt\\ntvö\\n");
  EXPECT_EQ(a[5]["result"], "saga þór x y");
  EXPECT_EQ(a[6]["result"], json::parse("[1]")) << "keys given directly as the arguments";
  EXPECT_EQ(a[7]["ok"], false);
  EXPECT_TRUE(a[7].contains("host_error")) << a[7].dump();
}

}  // namespace
