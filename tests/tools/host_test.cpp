// kvistur host end to end: requests in, one answer line each.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "common/site.h"
#include "tools/run_tool.h"

using nlohmann::json;
using kvistur::testing::Site;
using kvistur::testing::host_answers;

namespace {

using kvistur::testing::kNoArray;
const json kGroups = {kNoArray, kNoArray, kNoArray, kNoArray};
const auto call = kvistur::testing::host_call;

class HostTest : public ::testing::TestWithParam<kvistur::testing::Backend> {
 protected:
  void SetUp() override {
    site_.directory_sql(
        "INSERT INTO databases VALUES (1, 'Aðalsafn', NULL);"
        "INSERT INTO DBGroups VALUES (1, 'Bækur', 'Allar bækur'), (2, 'Tímarit', NULL);");
  }
  Site site_{GetParam()};
};
KVISTUR_EVERY_BACKEND(HostTest);

// One host run: each thread has its own log-on, and LogOn answers 0
// whether or not it worked (docs/host-protocol.md): the next call that
// needs it tells, and a failed log-on (a user no backend knows) leaves an
// earlier one in force.
// Then the errors a method and the host give, and the recording objects.
TEST_P(HostTest, CallsErrorsAndObjects) {
  site_.set("Leit", "Fjöldi", "1e12");
  const json variants = {"abc", {{"variant", "Empty"}}, nullptr, {{"variant", "Integer"}, {"value", 3}}};
  json listed = call("f", "SaekjaHopa", kGroups);
  listed["id"] = 7;
  auto a = host_answers(
      {{{"op", "new"}, {"obj", "f"}}, {{"op", "new"}, {"obj", "g"}, {"thread", "t2"}}, call("f", "LogOn", {"Admin", ""}),
       call("g", "SaekjaHopa", kGroups), listed,
       // FaerslaFraID writes its three texts back into the variant
       // parameters; a text that is not a number fails and leaves them.
       call("f", "FaerslaFraID", variants), call("g", "LogOn", {"Nemo", "rangt"}), call("g", "SaekjaHopa", kGroups),
       call("g", "LogOn", {"Admin", ""}), call("g", "SaekjaHopa", kGroups), call("g", "LogOn", {"Nemo", "rangt"}),
       call("g", "SaekjaHopa", kGroups),
       call("f", "MaxResultCount", json::array()), {{"op", "call"}, {"obj", "nobody"}, {"method", "MaxResultCount"}},
       {{"op", "call"}, {"obj", "f"}, {"method", "Fljúga"}}, call("f", "SaekjaSvid", {"x", kNoArray, kNoArray}),
       {{"op", "inspect"}, {"name", "w"}},
       {{"op", "object"}, {"name", "w"}, {"kind", "progress"}, {"fail", {"prgBarLeit.Value"}}},
       {{"op", "object"}, {"name", "p"}, {"kind", "plain"}}, {{"op", "inspect"}, {"name", "w"}},
       {{"op", "object"}, {"name", "r"}, {"kind", "richtext"}}, {{"op", "inspect"}, {"name", "r"}},
       {{"op", "object"}, {"name", "z"}, {"kind", "window"}}, {{"op", "release"}, {"obj", "f"}},
       {{"op", "release"}, {"obj", "g"}}},
      "this is not json\n{\"op\":\"new\",\"obj\":\"h\",\"id\":\"last\"}\n");
  ASSERT_EQ(a.size(), 27u);
  EXPECT_EQ(a[0], json({{"ok", true}}));
  EXPECT_EQ(a[2]["result"], 0);
  EXPECT_EQ(a[3]["result"], -1);
  EXPECT_EQ(a[3]["args"][0], kNoArray);
  EXPECT_EQ(a[4]["id"], 7);
  EXPECT_EQ(a[4]["result"], 2);
  EXPECT_EQ(a[4]["args"][0], json({{"lbound", 0}, {"items", {"", "Bækur", "Tímarit"}}}));
  EXPECT_EQ(a[4]["args"][1], json({{"lbound", 0}, {"items", {0, 1, 2}}}));
  EXPECT_EQ(a[5]["result"], -1);
  EXPECT_EQ(a[5]["args"], variants);
  std::vector<int> results;
  for (std::size_t i = 6; i <= 11; ++i) results.push_back(a[i]["result"].get<int>());
  EXPECT_EQ(results, (std::vector<int>{0, -1, 0, 2, 0, 2}));
  EXPECT_EQ(a[12]["ok"], false);
  EXPECT_EQ(a[12]["error"]["number"], 6);
  EXPECT_EQ(a[12]["error"]["description"], "Overflow");
  EXPECT_EQ(a[12]["args"], json::array());
  for (int i : {13, 14, 15, 16, 22, 25}) {
    EXPECT_EQ(a[i]["ok"], false) << i;
    EXPECT_TRUE(a[i].contains("host_error")) << a[i].dump();
  }
  EXPECT_EQ(a[19]["object"],
            json({{"visible", false}, {"lines", json::array()}, {"listIndex", -1}, {"value", 0}, {"calls", json::array()}}));
  EXPECT_EQ(a[21]["object"], json({{"text", ""}, {"runs", json::array()}, {"calls", json::array()}}));
  EXPECT_EQ(a[26], json({{"ok", true}, {"id", "last"}}));
  auto lines = site_.log_lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "MeldaError: terminate Start,  0, ");
  EXPECT_EQ(lines.back(), "MeldaError: Terminate út, normal,  0, ");
}

}  // namespace
