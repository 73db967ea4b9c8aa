// Printing end to end: FormaFyrirPrentun through the host's recording
// rich-text object, and `kvistur print` with its three outputs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "common/record_text_builder.h"
#include "common/site.h"
#include "tools/run_tool.h"

using nlohmann::json;
using kvistur::testing::file_bytes;
using kvistur::testing::host_answers;
const auto eval = kvistur::testing::host_eval;
using kvistur::testing::RecordTextBuilder;
using kvistur::testing::run_tool;
using kvistur::testing::Site;

namespace {

using kvistur::testing::kNoArray;

class PrintToolTest : public ::testing::TestWithParam<kvistur::testing::Backend> {
 protected:
  void SetUp() override {
    RecordTextBuilder book;
    book.Titlar = {RecordTextBuilder::title(u"Íslandsklukkan")};
    book.Útgáfustaður = u"Reykjavík";
    book.Útgefandi = u"Helgafell";
    book.Útgáfutími = u"1943";
    book.Marktákn1 = u"813";
    book.Efnisorð = {{u"Skáldsögur", u""}};
    RecordTextBuilder periodical;
    periodical.Titlar = {RecordTextBuilder::title(u"Skírnir")};
    periodical.Marktákn1 = u"05";
    std::string crlf = "' || char(13) || char(10) || '";
    site_.catalogue_sql(
        "INSERT INTO Móðurtafla (ID, Skráning, ÖllFærslan, MarkSnið, Upprunafærsla, Röðunarsvið, Tag, Uppruni,"
        " Safndeild, UpprunaID, Einkennisstrengur) VALUES"
        " (1, '2020-01-01', '" + kvistur::to_utf8(book.text()) + "', '1004  $aHalldór$bLaxness" + crlf +
        "', 0, 'a', 1, 0, 1, 0, 'k1'),"
        " (2, '2020-01-01', '" + kvistur::to_utf8(periodical.text()) + "', '255   $a1. árg." + crlf +
        "', 0, 'b', 100, 0, 1, 0, 'k2');");
    site_.set("Prentun", "ListaTegund", "0");
  }

  Site site_{GetParam()};
};
KVISTUR_EVERY_BACKEND(PrintToolTest);

// FormaFyrirPrentun through the host: into the recording rich-text
// control (ListaTegund 0), and as lines of text (3).
TEST_P(PrintToolTest, HostGetsTheLayout) {
  const json login[] = {{{"op", "new"}, {"obj", "f"}}, kvistur::testing::host_call("f", "LogOn", {"Admin", ""})};
  auto print = [](json to, json ids) {
    return kvistur::testing::host_call("f", "FormaFyrirPrentun", {to, ids, kNoArray, kNoArray, kNoArray, kNoArray});
  };
  auto a = host_answers({{{"op", "object"}, {"name", "r"}, {"kind", "richtext"}}, login[0], login[1],
                         print({{"object", "r"}}, {{"lbound", 0}, {"items", {0, 1, 99, 2}}}), {{"op", "inspect"}, {"name", "r"}}});
  ASSERT_EQ(a.size(), 5u);
  EXPECT_EQ(a[3]["result"], 3) << a[3].dump();
  EXPECT_EQ(a[3]["args"][2], json({{"lbound", 0}, {"items", {0, 2, -1, 2}}}));
  EXPECT_EQ(a[3]["args"][3], json({{"lbound", 0}, {"items", {"", "813", "", "05"}}}));
  EXPECT_EQ(a[3]["args"][4], json({{"lbound", 0}, {"items", {"", "", "", ""}}}));
  const json& state = a[4]["object"];
  EXPECT_EQ(state["text"],
            "\r\n\r\n813\tHalldór Laxness: Íslandsklukkan. - Reykjavík : Helgafell, 1943\r\n\r\n\r\n\r\n"
            "05\tSkírnir. - 1. árg. [tímarit]");
  json runs = state["runs"];
  ASSERT_EQ(runs.size(), 5u);
  EXPECT_EQ(runs[1], json({{"text", "Íslandsklukkan"}, {"underline", true}}));
  EXPECT_EQ(runs[3], json({{"text", "Skírnir"}, {"underline", true}}));

  // As text, with the subject line.
  site_.set("Prentun", "ListaTegund", "3");
  a = host_answers({login[0], login[1], print(1, {{"lbound", 0}, {"items", {0, 1}}})});
  ASSERT_EQ(a.size(), 3u);
  EXPECT_EQ(a[2]["result"], 1);
  EXPECT_EQ(a[2]["args"][2], json({{"lbound", 0}, {"items", {0, 2, 4}}}));
  EXPECT_EQ(a[2]["args"][4], json({{"lbound", 0},
                                   {"items", {"", "Halldór Laxness: <U>Íslandsklukkan</U>. - Reykjavík : Helgafell, 1943  [813]",
                                              "Efnisorð: Skáldsögur"}}}));
}

// `kvistur print` to the terminal, as text, and into an RTF file; what
// failed, in one line.
TEST_P(PrintToolTest, PrintCommandOutputs) {
  auto r = run_tool({"print", "1", "2"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out,
            "813\tHalldór Laxness: <U>Íslandsklukkan</U>. - Reykjavík : Helgafell, 1943\n\n"
            "05\t<U>Skírnir</U>. - 1. árg. [tímarit]\n");

  r = run_tool({"print", "1", "99", "2", "--text", "--type", "3"});
  EXPECT_EQ(r.exit_code, 1) << "a record not printed fails the command; the others are printed";
  EXPECT_EQ(r.out,
            "813\tHalldór Laxness: <U>Íslandsklukkan</U>. - Reykjavík : Helgafell, 1943  [813]\n"
            "\tEfnisorð: Skáldsögur\n"
            "05\t<U>Skírnir</U>. - 1. árg. [tímarit]\n");
  EXPECT_EQ(r.err, "kvistur print: record 99 is not printed (no such record, or of a kind that is not printed)\n");

  std::string file = site_.dir() + "/listi.rtf";
  r = run_tool({"print", "1", "2", "--rtf", file});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  std::string rtf = file_bytes(file);
  EXPECT_EQ(rtf.rfind("{\\rtf1\\ansi", 0), 0u);
  EXPECT_NE(rtf.find("813\\tab Halld\\u243?r Laxness: {\\ul \\u205?slandsklukkan}. - Reykjav\\u237?k"),
            std::string::npos)
      << rtf;
  EXPECT_NE(rtf.find("05\\tab {\\ul Sk\\u237?rnir}. - 1. \\u225?rg. [t\\u237?marit]\\par"), std::string::npos) << rtf;
  EXPECT_EQ(rtf.back(), '\n');
  EXPECT_EQ(rtf[rtf.size() - 2], '}');

  r = run_tool({"print", "1", "--rtf", "/nonexistent-folder/x.rtf"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("cannot write /nonexistent-folder/x.rtf"), std::string::npos) << r.err;
}

// The RTF opens in a word processor: converted to PDF it holds the text.
// Compiled in only where CMake found libreoffice and pdftotext.
#ifdef KVISTUR_RTF_TO_PDF
TEST_P(PrintToolTest, RtfConvertsToPdf) {
  std::string file = site_.dir() + "/listi.rtf";
  ASSERT_EQ(run_tool({"print", "1", "2", "--rtf", file}).exit_code, 0);
  std::string cmd = "cd " + site_.dir() + " && HOME=" + site_.dir() +
                    " libreoffice --headless --convert-to pdf listi.rtf >/dev/null 2>&1 && pdftotext listi.pdf listi.txt";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  std::string text = file_bytes(site_.dir() + "/listi.txt");
  EXPECT_NE(text.find("Íslandsklukkan"), std::string::npos) << text;
  EXPECT_NE(text.find("Skírnir"), std::string::npos) << text;
}
#endif

// The print operations through the host: a call number into a mode that is
// neither text nor a control is a type mismatch, never "Villa".
TEST(PrintEval, RichTextOperationsThroughTheHost) {
  Site site;
  auto a = host_answers({
      {{"op", "object"}, {"name", "r"}, {"kind", "richtext"}, {"fail", {"SelUnderline"}}},
      eval("PrintText", {1, "abc"}),
      eval("PrintUnderlineOn", {"abc"}),
      eval("PrintUnderlineOn", {{{"object", "r"}}}),
      eval("PrintCallNumber", {{{"object", "r"}}, {{"Marktákn1", " 629.1 "}}}),
      eval("PrintCallNumber", {"abc", {{"Marktákn1", "1"}}}),
      {{"op", "inspect"}, {"name", "r"}}});
  ASSERT_EQ(a.size(), 7u);
  EXPECT_EQ(a[1]["result"], "abc");
  EXPECT_EQ(a[2]["result"], "Villa");
  EXPECT_EQ(a[3]["result"], "Villa");
  EXPECT_EQ(a[4]["result"], "629.1");
  EXPECT_EQ(a[5]["ok"], false);
  EXPECT_EQ(a[5]["error"]["number"], 13);
  EXPECT_EQ(a[6]["object"]["text"], "629.1");
}

}  // namespace
