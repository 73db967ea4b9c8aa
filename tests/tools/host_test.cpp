// kvistur host end to end: requests in, one answer line each.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "common/site.h"
#include "tools/run_tool.h"

using nlohmann::json;
using kvistur::testing::run_tool;
using kvistur::testing::Site;
using kvistur::testing::host_answers;

namespace {

const json kNoArray = {{"items", nullptr}};

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

TEST_P(HostTest, CallsLogOnAndListsGroups) {
  auto a = host_answers({{{"op", "new"}, {"obj", "f"}},
                 {{"op", "call"}, {"obj", "f"}, {"method", "LogOn"}, {"args", {"Admin", ""}}},
                 {{"op", "call"},
                  {"obj", "f"},
                  {"method", "SaekjaHopa"},
                  {"args", {kNoArray, kNoArray, kNoArray, kNoArray}},
                  {"id", 7}},
                 {{"op", "release"}, {"obj", "f"}}});
  ASSERT_EQ(a.size(), 4u);
  EXPECT_EQ(a[0], json({{"ok", true}}));
  EXPECT_EQ(a[1]["result"], 0);
  EXPECT_EQ(a[2]["id"], 7);
  EXPECT_EQ(a[2]["result"], 2);
  EXPECT_EQ(a[2]["args"][0], json({{"lbound", 0}, {"items", {"", "Bækur", "Tímarit"}}}));
  EXPECT_EQ(a[2]["args"][1], json({{"lbound", 0}, {"items", {0, 1, 2}}}));
  auto lines = site_.log_lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "MeldaError: terminate Start,  0, ");
  EXPECT_EQ(lines.back(), "MeldaError: Terminate út, normal,  0, ");
}

TEST_P(HostTest, ErrorsAndHostErrors) {
  site_.set("Leit", "Fjöldi", "1e12");
  auto a = host_answers({{{"op", "new"}, {"obj", "f"}},
                 {{"op", "call"}, {"obj", "f"}, {"method", "MaxResultCount"}, {"args", json::array()}},
                 {{"op", "call"}, {"obj", "nobody"}, {"method", "MaxResultCount"}},
                 {{"op", "call"}, {"obj", "f"}, {"method", "Fljúga"}},
                 {{"op", "call"}, {"obj", "f"}, {"method", "SaekjaSvid"}, {"args", {"x", kNoArray, kNoArray}}},
                 {{"op", "inspect"}, {"name", "w"}}},
                "this is not json\n{\"op\":\"new\",\"obj\":\"g\",\"id\":\"last\"}\n");
  ASSERT_EQ(a.size(), 8u);
  EXPECT_EQ(a[1]["ok"], false);
  EXPECT_EQ(a[1]["error"]["number"], 6);
  EXPECT_EQ(a[1]["error"]["description"], "Overflow");
  EXPECT_EQ(a[1]["args"], json::array());
  for (int i : {2, 3, 4, 5, 6}) {
    EXPECT_EQ(a[i]["ok"], false) << i;
    EXPECT_TRUE(a[i].contains("host_error")) << a[i].dump();
  }
  EXPECT_EQ(a[7], json({{"ok", true}, {"id", "last"}}));
}

TEST_P(HostTest, ProgressObjectRecordsCallsAndFailures) {
  auto a = host_answers({{{"op", "object"}, {"name", "w"}, {"kind", "progress"}, {"fail", {"prgBarLeit.Value"}}},
                 {{"op", "object"}, {"name", "p"}, {"kind", "plain"}},
                 {{"op", "inspect"}, {"name", "w"}},
                 {{"op", "object"}, {"name", "r"}, {"kind", "richtext"}},
                 {{"op", "inspect"}, {"name", "r"}},
                 {{"op", "object"}, {"name", "z"}, {"kind", "window"}}});
  ASSERT_EQ(a.size(), 6u);
  EXPECT_EQ(a[2]["object"], json({{"visible", false},
                                  {"lines", json::array()},
                                  {"listIndex", -1},
                                  {"value", 0},
                                  {"calls", json::array()}}));
  EXPECT_EQ(a[4]["object"], json({{"text", ""}, {"runs", json::array()}, {"calls", json::array()}}));
  EXPECT_TRUE(a[5].contains("host_error"));
}

TEST_P(HostTest, ThreadsHaveTheirOwnLogOn) {
  auto a = host_answers({{{"op", "new"}, {"obj", "f"}},
                 {{"op", "new"}, {"obj", "g"}, {"thread", "t2"}},
                 {{"op", "call"}, {"obj", "f"}, {"method", "LogOn"}, {"args", {"Admin", ""}}},
                 {{"op", "call"}, {"obj", "g"}, {"method", "SaekjaHopa"}, {"args", {kNoArray, kNoArray, kNoArray, kNoArray}}},
                 {{"op", "call"}, {"obj", "f"}, {"method", "SaekjaHopa"}, {"args", {kNoArray, kNoArray, kNoArray, kNoArray}}}});
  ASSERT_EQ(a.size(), 5u);
  EXPECT_EQ(a[3]["result"], -1);
  EXPECT_EQ(a[3]["args"][0], kNoArray);
  EXPECT_EQ(a[4]["result"], 2);
}

TEST_P(HostTest, VariantForms) {
  // FaerslaFraID writes its three texts back into the variant parameters;
  // a text that is not a number fails and leaves them as they were.
  auto a = host_answers({{{"op", "new"}, {"obj", "f"}},
                 {{"op", "call"}, {"obj", "f"}, {"method", "LogOn"}, {"args", {"Admin", ""}}},
                 {{"op", "call"},
                  {"obj", "f"},
                  {"method", "FaerslaFraID"},
                  {"args", {"abc", {{"variant", "Empty"}}, nullptr, {{"variant", "Integer"}, {"value", 3}}}}}});
  ASSERT_EQ(a.size(), 3u);
  EXPECT_EQ(a[2]["result"], -1);
  EXPECT_EQ(a[2]["args"], json({"abc", {{"variant", "Empty"}}, nullptr, {{"variant", "Integer"}, {"value", 3}}}));
}

TEST(ToolCommandLine, UnknownCommandAndUsage) {
  auto r = run_tool({"fljúga"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("unknown command"), std::string::npos);
  r = run_tool({"--help"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("host"), std::string::npos);
}

}  // namespace
