// `kvistur search` end to end on a small catalogue, and the search's eval
// operations through `kvistur host`.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

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

class SearchCliTest : public ::testing::TestWithParam<kvistur::testing::Backend> {
 protected:
  void SetUp() override {
    // Words: saga in 1, 2, 3 (3 in group 2 only), þór in 2 and 3, og in 1.
    auto rec = [](int id, const char16_t* title, const char* sort) {
      RecordTextBuilder b;
      b.Titlar = {RecordTextBuilder::title(title)};
      return "(" + std::to_string(id) + ", '2020-01-01', '" + kvistur::to_utf8(b.text()) + "', '', 0, '" + sort +
             "', 1, 0, 1, 0, 'k" + std::to_string(id) + "')";
    };
    site_.catalogue_sql(
        "INSERT INTO Móðurtafla (ID, Skráning, ÖllFærslan, MarkSnið, Upprunafærsla, Röðunarsvið, Tag, Uppruni,"
        " Safndeild, UpprunaID, Einkennisstrengur) VALUES " +
        rec(1, u"Eitt", "c") + "," + rec(2, u"Tvö", "a") + "," + rec(3, u"Þrjú", "b") + ";" +
        "INSERT INTO Orð VALUES (1, 'saga'), (2, 'þór'), (3, 'og');"
        "INSERT INTO Tengill VALUES (1,1,1,1), (2,1,1,2), (3,1,2,1), (2,2,1,1), (3,2,2,1), (1,3,1,1);"
        "INSERT INTO EkkiOrð VALUES ('og');");
  }

  static std::vector<std::string> lines(const std::string& out) {
    std::vector<std::string> v;
    std::istringstream ss(out);
    for (std::string l; std::getline(ss, l);) v.push_back(l);
    return v;
  }

  Site site_{GetParam()};
};
KVISTUR_EVERY_BACKEND(SearchCliTest);

TEST_P(SearchCliTest, PrintsOneLinePerResultInSortOrder) {
  auto r = run_tool({"search", "saga"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "2\tTvö\tk2\n3\tÞrjú\tk3\n1\tEitt\tk1\n");
  EXPECT_EQ(r.err, "") << "no progress when standard error is not a terminal";

  EXPECT_EQ(lines(run_tool({"search", "SAGA Þór"}).out), (std::vector<std::string>{"2\tTvö\tk2", "3\tÞrjú\tk3"}));
  EXPECT_EQ(lines(run_tool({"search", "saga og"}).out).size(), 3u) << "the stop word is left out";
  EXPECT_EQ(lines(run_tool({"search", "sag*", "--group", "2"}).out), (std::vector<std::string>{"3\tÞrjú\tk3"}));
  EXPECT_EQ(lines(run_tool({"search", "saga", "--group", "1", "--field", "2"}).out),
            (std::vector<std::string>{"2\tTvö\tk2"}));
  auto none = run_tool({"search", "ekkert"});
  EXPECT_EQ(none.exit_code, 0);
  EXPECT_EQ(none.out, "");
}

TEST_P(SearchCliTest, JsonAndTheLimit) {
  auto r = run_tool({"search", "saga", "--json", "--max", "2"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "one line";
  EXPECT_EQ(json::parse(r.out), json::parse(R"({"results":[{"id":2,"description":"Tvö","key":"k2"},)"
                                            R"({"id":3,"description":"Þrjú","key":"k3"}]})"));
  EXPECT_EQ(json::parse(run_tool({"search", "x", "--json"}).out), json::parse(R"({"results":[]})"));

  site_.set("Leit", "Fjöldi", "1");
  EXPECT_EQ(lines(run_tool({"search", "saga"}).out), (std::vector<std::string>{"2\tTvö\tk2"}));
  site_.set("Leit", "Fjöldi", "0");
  EXPECT_EQ(lines(run_tool({"search", "saga"}).out).size(), 3u) << "0 in the settings means the default of 50";
  EXPECT_EQ(run_tool({"search", "saga", "--max", "0"}).exit_code, 2) << "0 is no count of records to show";
}

TEST_P(SearchCliTest, PrintsTheResultsAsAList) {
  auto r = run_tool({"search", "þór", "--print"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "\t<U>Tvö</U>\n\n\t<U>Þrjú</U>\n") << "in the order of the search";
  r = run_tool({"search", "þór", "--print", "--text", "--type", "3"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "\t<U>Tvö</U>\n\t<U>Þrjú</U>\n");
  r = run_tool({"search", "ekkert", "--print"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(run_tool({"search", "þór", "--print", "--json"}).exit_code, 2);
}

TEST_P(SearchCliTest, BadInputIsOneLineAndNonZero) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"search"}, {"search", "a", "b"}, {"search", "saga", "--max", "x"},
        {"search", "saga", "--max", "-1"}, {"search", "saga", "--bogus"}, {"search", "saga", "--group"},
        {"search", "saga", "--group", "99999999999"}, {"search", "saga", "--text"}}) {
    auto r = run_tool(args);
    EXPECT_EQ(r.exit_code, 2) << args.back();
    EXPECT_EQ(r.out, "") << args.back();
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.rfind("kvistur search: ", 0), 0u) << r.err;
  }
  site_.add_user("Jón", "leyndó");
  auto wrong = run_tool({"search", "saga", "--user", "Jón", "--password", "nope"});
  EXPECT_EQ(wrong.exit_code, 1);
  EXPECT_NE(wrong.err.find("log-on failed"), std::string::npos) << wrong.err;

  // Nothing found: said on standard error, an empty list in JSON, exit 0.
  auto none = run_tool({"search", "ekkertþessu", "--json"});
  EXPECT_EQ(none.exit_code, 0);
  EXPECT_EQ(none.out, "{\"results\":[]}\n");
  EXPECT_EQ(none.err, "kvistur search: nothing found for 'ekkertþessu'\n");

  site_.catalogue_sql("DROP TABLE Tengill;");
  auto failed = run_tool({"search", "saga"});
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

TEST_P(SearchCliTest, TerminalShowsStatusLinesAndABar) {
  std::string t = run_on_terminal({"search", "saga þór"});
  for (const char* line : {"Leita að færslum með saga\r\n", "Fann 3 færslur með saga\r\n",
                           "Fann 2 færslur með þór\r\n", "Sæki niðurstöður\r\n", "Raða niðurstöðum\r\n"})
    EXPECT_NE(t.find(line), std::string::npos) << line << " in:\n" << t;
  EXPECT_NE(t.find("] 100%"), std::string::npos) << t;
  EXPECT_NE(t.find("2\tTvö\tk2\r\n3\tÞrjú\tk3\r\n"), std::string::npos) << t;
  EXPECT_EQ(t.find("[exit"), std::string::npos) << t;
}

json eval(const char* fn, json args) { return {{"op", "eval"}, {"fn", fn}, {"args", std::move(args)}}; }

TEST(SearchEval, SortSplitJoinStrip) {
  auto a = host_answers({eval("SortHits", {{"b", "Á", "a", "", "ö", "A"}}),
                 eval("SortHits", {{3, 1, 2.5, 1}}),
                 eval("SortHits", {json::array()}),
                 eval("SplitText", {"  a ;  b  c ;; d ", ";"}),
                 eval("JoinLines", {" eitt  \r\n tvö \r\n"}),
                 eval("StripPunctuation", {"(saga). [þór]; \"x\" 'y',"}),
                 eval("SortHits", {"nokey"}),
                 eval("SplitText", {"a"})});
  ASSERT_EQ(a.size(), 8u);
  for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(a[i]["ok"], true) << a[i].dump();
  // a and A are equal ignoring case; Á comes after them and ö last.
  auto order = a[0]["result"].get<std::vector<int>>();
  ASSERT_EQ(order.size(), 6u);
  EXPECT_EQ(order[0], 4) << "the empty text first";
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
