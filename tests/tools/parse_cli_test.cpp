// kvistur parse and the ParseRecordText operation of kvistur host: the
// record as JSON, every member by its own name; bad texts and bad
// arguments give one line and a non-zero exit.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "common/record_text_builder.h"
#include "tools/run_tool.h"

using nlohmann::json;
using kvistur::testing::RecordTextBuilder;
using kvistur::testing::run_tool;

namespace {

std::string sample_text() {
  RecordTextBuilder b;
  b.Útgefandi = u"Mál og menning\r\n";
  b.ÚtgáfaTexti = u"2. útg.";
  b.Titlar = {{u"2.6", u"Saga", u""}};
  b.Aðfanganúmer = {{u"501", u"Gjöf", u"Aðalsafn"}};
  b.Efnisyfirlit = {{{RecordTextBuilder::title(u"Kafli")}, {}, {{u"a", u"b"}}}};
  b.RitraðNöfn = {RecordTextBuilder::name(u"Jón", u"Jónsson")};
  b.Tölumerking = u"3";
  b.OpinLokuð = u"0";
  return kvistur::to_utf8(b.text());
}

TEST(ParseCli, PrintsTheRecordAsJson) {
  auto r = run_tool({"parse"}, sample_text() + "\r\n");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  json j = json::parse(r.out);
  EXPECT_EQ(j["Útgefandi"], "Mál og menning\r\n") << "line breaks inside a value are kept";
  EXPECT_EQ(j["Útgáfa"], json({{"Texti", "2. útg."}, {"Nöfn", json::array()}}));
  EXPECT_EQ(j["Titlar"], json::parse(R"([{"s1":"Saga","s2":"","iGerð":3}])"));
  EXPECT_EQ(j["Aðfanganúmer"][0],
            json::parse(R"({"boolTagInnanMarka":0,"boolÍLáni":0,"Númer":501,"Athugasemd":"Gjöf","Staðsetning":"Aðalsafn"})"));
  EXPECT_EQ(j["Efnisyfirlit"][0]["Efnisorð"], json::parse(R"([{"s1":"a","s2":"b"}])"));
  EXPECT_EQ(j["Ritröð"]["Nöfn"][0]["p2"], "Jónsson");
  EXPECT_EQ(j["Ritröð"]["Tölumerking"], "3");
  EXPECT_EQ(j["Aukafærslur"], json({{"Nöfn", json::array()}, {"Titlar", json::array()}}));
  EXPECT_EQ(j["InnlErl"], -1);
  EXPECT_EQ(j["boolOpinLokuð"], 0);
  EXPECT_EQ(j["ID"], -1);
  EXPECT_EQ(j["Safndeild"], -1);
  ASSERT_TRUE(j["Skráning"].is_string());
  EXPECT_EQ(j["Skráning"].get<std::string>().size(), 19u);
  EXPECT_EQ(j.size(), 39u) << "every member of the record";

  std::string path = "/tmp/parse-cli-" + std::to_string(getpid()) + ".txt";
  { std::ofstream(path, std::ios::binary) << "\xEF\xBB\xBF" << sample_text(); }
  auto f = run_tool({"parse", path});
  std::remove(path.c_str());
  ASSERT_EQ(f.exit_code, 0) << f.err;
  json from_file = json::parse(f.out);
  from_file.erase("Skráning");
  j.erase("Skráning");
  EXPECT_EQ(from_file["Útgefandi"], "Mál og menning\r\n") << "a byte-order mark is not part of the text";
  EXPECT_EQ(from_file, j) << "a file reads as standard input does";

  // The same through the host's ParseRecordText; its faults as the host's errors.
  const auto parse = [](json args) { return kvistur::testing::host_eval("ParseRecordText", std::move(args)); };
  auto answers = kvistur::testing::host_answers({parse({sample_text()}), parse({"abc"}), parse(json::array())});
  ASSERT_EQ(answers.size(), 3u);
  EXPECT_EQ(answers[0]["ok"], true);
  answers[0]["result"].erase("Skráning");
  EXPECT_EQ(answers[0]["result"], j);
  EXPECT_EQ(answers[1]["ok"], false);
  EXPECT_EQ(answers[1]["error"]["number"], 5);
  EXPECT_EQ(answers[2]["ok"], false);
}

TEST(ParseCli, BadInputGivesOneLine) {
  RecordTextBuilder big;
  big.Titlar = {{u"40000", u"x", u""}};
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"", sample_text().substr(0, 20), "the record text cannot be read: Invalid procedure call or argument (error 5)"},
      {"", kvistur::to_utf8(big.text()), "the record text cannot be read: Overflow (error 6)"},
      {"/nonexistent/record.txt", "", "cannot open '/nonexistent/record.txt'"}};
  for (auto& [file, input, says] : cases) {
    auto r = run_tool(file.empty() ? std::vector<std::string>{"parse"} : std::vector<std::string>{"parse", file}, input);
    EXPECT_EQ(r.exit_code, 1) << says;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "kvistur parse: " + says + "\n");
  }
  auto empty = run_tool({"parse"}, "");
  EXPECT_EQ(empty.exit_code, 0) << "an empty text is the empty record";
  EXPECT_EQ(json::parse(empty.out)["boolHeilÓheil"], -1);
}

}  // namespace
