// kvistur web end to end over plain HTTP (curl), its pages' hooks against
// the command line's answers; the browser's side is tests/web/browser.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>

#include "web/routes.h"
#include "server/running_server.h"

using namespace kvistur::testing;
using serve::Answer;
using serve::Web;
using serve::ids_in;
using serve::sh;
using serve::uri;

namespace {

// A record whose title, note, subject and copy hold what a page must never
// write as it is.
constexpr char kHostileTitle[] = "Hættulegt <script>alert(1)</script> \"tvö\" 'eitt' & </textarea>";
constexpr char kHostileRecord[] = R"(<collection xmlns="http://www.loc.gov/MARC21/slim"><record>
<leader>00000nam a2200000 a 4500</leader>
<controlfield tag="001">hostile1</controlfield>
<datafield tag="245" ind1="0" ind2="0"><subfield code="a">Hættulegt &lt;script&gt;alert(1)&lt;/script&gt; "tvö" 'eitt' &amp; &lt;/textarea&gt;</subfield></datafield>
<datafield tag="500" ind1=" " ind2=" "><subfield code="a">Athugasemd &lt;script&gt;x&lt;/script&gt;</subfield></datafield>
<datafield tag="650" ind1=" " ind2="0"><subfield code="a">&lt;img src=x onerror=alert(1)&gt;</subfield></datafield>
<datafield tag="852" ind1=" " ind2=" "><subfield code="p">900001</subfield><subfield code="b">Hilla &lt;script&gt;"'&amp;</subfield><subfield code="z">Nóta &lt;/textarea&gt;&lt;script&gt;</subfield></datafield>
</record></collection>
)";

std::vector<int> hit_ids(const std::string& page) { return ids_in(page, "<li data-id=\"([0-9]+)\""); }

int count_of(const std::string& s, const std::string& what) {
  int n = 0;
  for (std::size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) ++n;
  return n;
}

// The sample and the hostile record in one catalogue, and kvistur web on
// it, shared by the tests.
const serve::Catalogue& cat() {
  static const serve::Catalogue c = [] {
    TempDir tmp;
    std::ofstream(tmp.path + "/hostile.xml") << kHostileRecord;
    return serve::Catalogue({"build", "--marc", serve::kSample, tmp.path + "/hostile.xml", "--out"});
  }();
  return c;
}
const Web& web() {
  static const Web w(cat().settings(), cat().dir);
  return w;
}

}  // namespace

TEST(WebTest, AnswersEveryAddressWithItsStatusAndItsSafetyHeaders) {
  std::string ids_201, letters_1000;
  for (int i = 1; i <= 201; ++i) ids_201 += "&id=" + std::to_string(i);
  for (int i = 0; i < 1000; ++i) letters_1000 += "á";
  struct Case {
    std::string path;
    int status;
  } cases[] = {
      {"/", 200}, {"/search", 200}, {"/search?q=saga", 200}, {"/search?q=saga&page=4", 200},
      {"/search?q=" + uri(letters_1000), 200}, {"/search?q=saga&group=1&field=2", 200},
      {"/api/search?q=saga", 200}, {"/record/87", 200}, {"/record/87.mrc", 200}, {"/record/87.xml", 200},
      {"/record/87.ris", 200}, {"/print?id=87", 200}, {"/opensearch.xml", 200}, {"/static/kvistur.css", 200},
      {"/?lang=en", 200},
      // Not numbers where numbers belong, a page past the last, words over the limit.
      {"/search?q=saga&page=5", 400}, {"/search?q=saga&page=0", 400}, {"/search?q=saga&page=2x", 400},
      {"/search?q=saga&group=x", 400}, {"/search?q=saga&group=99", 400}, {"/search?q=saga&field=1.5", 400},
      {"/search?q=saga&id=abc", 400}, {"/search?q=" + uri(letters_1000 + "a"), 400},
      {"/api/search?q=saga&page=9", 400}, {"/print", 400}, {"/print?id=87&format=pdf", 400},
      {"/print?id=87&type=x", 400}, {"/print?x" + ids_201, 400},
      // No such record, no such address.
      {"/record/999999", 404}, {"/record/999999.mrc", 404}, {"/record/87.pdf", 404}, {"/record/abc", 404},
      {"/record/-1", 404}, {"/static/none.css", 404}, {"/nothing", 404}, {"/record", 404},
      // Static files come only from their folder.
      {"/static/../templates/layout.mustache", 404}, {"/static/%2e%2e/templates/layout.mustache", 404},
      {"/static/%2E%2E/%2E%2E/%2E%2E/etc/passwd", 404}, {"/static/..%2f..%2fetc%2fpasswd", 404},
      {"/static//etc/passwd", 404}, {"/static/%2fetc%2fpasswd", 404},
      {"/static" + std::string(KVISTUR_SOURCE_DIR) + "/web/static/kvistur.css", 404}, {"/static/./kvistur.css", 404},
      {"/static/kvistur.css/../../templates/layout.mustache", 404}, {"/static/", 404}, {"/static", 404}};
  for (const Case& c : cases) {
    Answer a = web().get(c.path);
    EXPECT_EQ(a.status, c.status) << c.path;
    EXPECT_EQ(a.header("content-security-policy"), kvistur::web::kContentSecurityPolicy) << c.path;
    EXPECT_EQ(a.header("x-content-type-options"), "nosniff") << c.path;
    if (c.status >= 400 && c.path.rfind("/api/", 0) != 0) {
      EXPECT_EQ(count_of(a.body, "<h1>"), 1) << c.path;
      for (const std::string& never : {cat().dir, std::string("SELECT"), std::string("root:"), std::string("{{")})
        EXPECT_EQ(a.body.find(never), std::string::npos) << c.path << " " << never;
    }
  }
  Answer css = web().get("/static/kvistur.css");
  EXPECT_EQ(css.header("content-type"), "text/css; charset=utf-8");
  EXPECT_EQ(css.body, file_bytes(std::string(KVISTUR_SOURCE_DIR) + "/web/static/kvistur.css"));
  EXPECT_EQ(nlohmann::json::parse(web().get("/api/search?q=saga&page=9").body)["error"], "Síðurnar eru aðeins 4.");
  for (const char* method : {"POST", "PUT", "DELETE", "OPTIONS"}) {
    Answer a = web().get("/search?q=saga", std::string("-X ") + method + " -d x=1");
    EXPECT_EQ(a.status, 405) << method;
    EXPECT_EQ(a.header("allow"), "GET, HEAD") << method;
  }
  Answer head = web().get("/search?q=saga", "-I");
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.body, "");
  // A request line and headers beyond the connection's memory are refused
  // before they reach a page.
  EXPECT_EQ(web().get("/search?q=" + std::string(70000, 'a')).status, 414);
}

TEST(WebTest, EscapesWhatTheCatalogueAndTheAddressHold) {
  auto api = nlohmann::json::parse(web().get("/api/search?q=h%C3%A6ttulegt").body);
  ASSERT_EQ(api["count"], 1);
  EXPECT_NE(api["hits"][0]["description"].get<std::string>().find(kHostileTitle), std::string::npos);
  std::string id = std::to_string(api["hits"][0]["id"].get<int>());
  const std::string hostile_words = uri("<script>\"'&</textarea>");
  const std::string pages[] = {"/search?q=h%C3%A6ttulegt", "/record/" + id, "/print?id=" + id,
                               "/search?q=" + hostile_words, "/search?q=" + hostile_words + "&page=x",
                               "/search?q=h%C3%A6ttulegt&lang=" + hostile_words};
  for (const std::string& path : pages) {
    std::string body = web().get(path).body;
    // The page's own script tag is the only one.
    EXPECT_EQ(count_of(body, "<script"), 1) << path;
    EXPECT_EQ(body.find("</textarea>"), std::string::npos) << path;
    EXPECT_EQ(body.find("<img src=x"), std::string::npos) << path;
    EXPECT_EQ(body.find("\"tvö\""), std::string::npos) << path;
  }
  std::string record = web().get("/record/" + id).body;
  EXPECT_NE(record.find("Hættulegt &lt;script&gt;alert(1)&lt;/script&gt; &quot;tvö&quot; &apos;eitt&apos; &amp; "
                        "&lt;/textarea&gt;"),
            std::string::npos);
  EXPECT_NE(record.find("<td data-label=\"Staðsetning\">Hilla &lt;script&gt;&quot;&apos;&amp;</td>"), std::string::npos);
  EXPECT_NE(record.find("<td data-label=\"Athugasemd\">Nóta &lt;/textarea&gt;&lt;script&gt;</td>"), std::string::npos);
  EXPECT_NE(web().get("/search?q=" + hostile_words).body.find("value=\"&lt;script&gt;&quot;&apos;&amp;&lt;/textarea&gt;\""),
            std::string::npos);
}

TEST(WebTest, ResultPagesHoldTheHitsOfKvisturSearchInItsOrder) {
  std::vector<int> all = cat().search("saga");
  ASSERT_EQ(all.size(), 61u);
  std::string first = web().get("/search?q=saga").body;
  EXPECT_EQ(count_of(first, "<h1>"), 1);
  EXPECT_NE(first.find("id=\"hit-count\" data-count=\"61\""), std::string::npos);
  EXPECT_EQ(hit_ids(first), std::vector<int>(all.begin(), all.begin() + 20));
  EXPECT_EQ(hit_ids(web().get("/search?q=saga&page=2").body), std::vector<int>(all.begin() + 20, all.begin() + 40));
  EXPECT_EQ(hit_ids(web().get("/search?q=saga&page=4").body), std::vector<int>(all.begin() + 60, all.end()));
  for (int id : hit_ids(first)) EXPECT_NE(first.find("href=\"/record/" + std::to_string(id) + "\""), std::string::npos);
  auto api = nlohmann::json::parse(web().get("/api/search?q=saga&page=2").body);
  EXPECT_EQ(api["count"], 61);
  EXPECT_EQ(api["page"], 2);
  ASSERT_EQ(api["hits"].size(), 20u);
  EXPECT_EQ(api["hits"][0]["id"], all[20]);
  EXPECT_EQ(api["hits"][0]["url"], "/record/" + std::to_string(all[20]));
  EXPECT_TRUE(api["facets"].is_object() && api["suggestions"].is_array());
  // Chosen records travel in the address: ticked on this page, hidden on others.
  std::string chosen = web().get("/search?q=saga&page=2&id=" + std::to_string(all[0]) + "&id=" + std::to_string(all[21])).body;
  EXPECT_NE(chosen.find("<input type=\"hidden\" name=\"id\" value=\"" + std::to_string(all[0]) + "\">"), std::string::npos);
  EXPECT_NE(chosen.find("value=\"" + std::to_string(all[21]) + "\" checked>"), std::string::npos);
  // No hits: said, with the words kept in the box.
  std::string none = web().get("/search?q=zzzyyy").body;
  EXPECT_NE(none.find("data-count=\"0\""), std::string::npos);
  EXPECT_NE(none.find("value=\"zzzyyy\""), std::string::npos);
  EXPECT_NE(none.find("Engin færsla fannst"), std::string::npos);
}

TEST(WebTest, RecordPageShowsTheCopiesAndHandsTheRecordOut) {
  auto shown = nlohmann::json::parse(cat().tool({"show", "87", "--json"}).out);
  std::string page = web().get("/record/87").body;
  std::vector<int> copies;
  for (auto& h : shown["holdings"]) copies.push_back(h["number"]);
  ASSERT_FALSE(copies.empty());
  EXPECT_EQ(ids_in(page, "<tr data-copy=\"([0-9]+)\""), copies);
  EXPECT_EQ(count_of(page, "on-loan\">Í láni<"), std::count_if(shown["holdings"].begin(), shown["holdings"].end(),
                                                              [](const nlohmann::json& h) { return h["onLoan"].get<bool>(); }));
  // Each form as an alternate of the page and a link that downloads it.
  for (auto [form, type] : {std::pair{"mrc", "marc"}, {"xml", "marcxml+xml"}, {"ris", "x-research-info-systems"}}) {
    std::string href = std::string("/record/87.") + form, mime = std::string("application/") + type;
    EXPECT_NE(page.find("<link rel=\"alternate\" type=\"" + mime + "\" href=\"" + href + "\""), std::string::npos) << form;
    EXPECT_NE(page.find("<a href=\"" + href + "\" type=\"" + mime + "\" download>"), std::string::npos) << form;
    EXPECT_EQ(web().get(href).header("content-disposition"), "attachment; filename=\"87." + std::string(form) + "\"");
  }
  std::string marc = cat().dir + "/87.mrc", xml = cat().dir + "/87.xml";
  std::ofstream(marc, std::ios::binary) << web().get("/record/87.mrc").body;
  std::ofstream(xml, std::ios::binary) << web().get("/record/87.xml").body;
  std::string dumped = sh("yaz-marcdump " + shell_quote(marc) + " 2>&1");
  EXPECT_NE(dumped.find("001 kv00087"), std::string::npos) << dumped;
  EXPECT_NE(dumped.find("$a Eyjan í fjörunni :"), std::string::npos) << dumped;
  EXPECT_NE(dumped.find("\n852    $a 2 $b Skáldsögur $p 100921\n"), std::string::npos) << "the copies as holdings";
  EXPECT_EQ(sh("xmllint --noout " + shell_quote(xml) + " 2>&1"), "");
  // The same record in both (the leader's lengths are the writer's own).
  std::string from_xml = sh("yaz-marcdump -i marcxml " + shell_quote(xml));
  EXPECT_EQ(from_xml.substr(from_xml.find('\n')), dumped.substr(dumped.find('\n')));
  Answer ris = web().get("/record/87.ris");
  EXPECT_EQ(ris.body.substr(0, 12), "TY  - BOOK\r\n");
  EXPECT_NE(ris.body.find("TI  - Eyjan í fjörunni : sönn saga\r\n"), std::string::npos);
}

TEST(WebTest, PrintListIsTheLayoutOfKvisturPrint) {
  for (const char* type : {"", "1"}) {
    std::vector<std::string> args = {"print", "87", "6", "--rtf", "-"};
    std::string address = "/print?id=87&id=6&format=rtf";
    if (*type) {
      args.insert(args.end(), {"--type", type});
      address += std::string("&type=") + type;
    }
    Answer rtf = web().get(address);
    EXPECT_EQ(rtf.header("content-type"), "application/rtf");
    EXPECT_EQ(rtf.header("content-disposition"), "attachment; filename=\"kvistur-print.rtf\"");
    EXPECT_EQ(rtf.body, cat().tool(args).out) << type;
  }
  std::string page = web().get("/print?id=87&id=6&id=999999").body;
  EXPECT_NE(page.find("<u>Eyjan í fjörunni : sönn saga</u>"), std::string::npos);
  EXPECT_NE(page.find("<a class=\"button\" href=\"/print?id=87&amp;id=6&amp;id=999999&amp;format=rtf\" download>"),
            std::string::npos);
  EXPECT_NE(page.find("Efnisorð: Íslenskar bókmenntir ; Skáldsögur"), std::string::npos) << "the settings' list type 3";
  EXPECT_NE(page.find("<a href=\"/record/999999\">999999</a>"), std::string::npos) << "told it is not printed";
  EXPECT_EQ(web().get("/print?id=87&id=6&type=1").body.find("Efnisorð:"), std::string::npos);
}

TEST(WebTest, LanguageComesFromTheAddressOrTheBrowserAndEveryRequestIsLogged) {
  struct Case {
    std::string path, options, lang;
  } cases[] = {{"/", "", "is"},
               {"/?lang=en", "", "en"},
               {"/", "-H 'Accept-Language: en-GB,en;q=0.9'", "en"},
               {"/", "-H 'Accept-Language: de, is;q=0.5, en;q=0.4'", "is"},
               {"/?lang=xx", "-H 'Accept-Language: en'", "en"},
               {"/?lang=is", "-H 'Accept-Language: en'", "is"}};
  for (const Case& c : cases) {
    Answer a = web().get(c.path, c.options);
    EXPECT_NE(a.body.find("<html lang=\"" + c.lang + "\">"), std::string::npos) << c.path << " " << c.options;
    EXPECT_NE(a.body.find(c.lang == "en" ? "Search the catalogue" : "Leit í safnkostinum"), std::string::npos);
  }
  // Asked in the address, the language stays in every link of the page.
  std::string en = web().get("/search?q=saga&lang=en").body;
  EXPECT_NE(en.find("61 records found"), std::string::npos);
  EXPECT_NE(en.find("href=\"/record/" + std::to_string(hit_ids(en)[0]) + "?lang=en\""), std::string::npos);
  EXPECT_NE(en.find("<input type=\"hidden\" name=\"lang\" value=\"en\">"), std::string::npos);
  EXPECT_NE(web().get("/record/87?lang=en").body.find("<h2 id=\"holdings-heading\">Copies</h2>"), std::string::npos);
  // The switch keeps the page.
  EXPECT_NE(web().get("/search?q=saga").body.find("<a class=\"language\" href=\"/search?q=saga&amp;lang=en\""),
            std::string::npos);
  // The access log has a line for every request.
  web().get("/record/999999");
  std::string log = web().access_log_with("\"GET /record/999999\" 404 0 ");
  EXPECT_TRUE(std::regex_search(log, std::regex("127\\.0\\.0\\.1 Admin \\[[^\\]]+\\] \"GET /search\\?q=saga&lang=en\" 200 61 [0-9.]+\n")))
      << log;
  EXPECT_NE(log.find("\"GET /record/999999\" 404 0 "), std::string::npos) << log;
}

TEST(WebTest, OpenSearchDescribesTheSearchPage) {
  Answer a = web().get("/opensearch.xml", "-H 'Host: evil\"<host>'");
  EXPECT_EQ(a.header("content-type"), "application/opensearchdescription+xml; charset=utf-8");
  std::string file = cat().dir + "/opensearch.xml";
  std::ofstream(file) << a.body;
  EXPECT_EQ(sh("xmllint --noout " + shell_quote(file) + " 2>&1"), "");
  // A Host that is no host name is not believed: the listener is used.
  EXPECT_NE(a.body.find("template=\"" + web().url("/search?q={searchTerms}") + "\""), std::string::npos) << a.body;
  EXPECT_NE(web().get("/opensearch.xml", "-H 'Host: leit.example.is'").body.find("http://leit.example.is/search?q="),
            std::string::npos);
  EXPECT_NE(web().get("/").body.find("<link rel=\"search\" type=\"application/opensearchdescription+xml\" href=\"/opensearch.xml\""),
            std::string::npos);
}

// A library's own settings and copy of the templates, with a word of its
// own; its catalogue cannot be read at first.
TEST(WebTest, ALibrarysOwnSettingsAndTemplatesAndACatalogueThatCannotBeReadYet) {
  std::string own = cat().dir + "/own";
  std::filesystem::copy(std::string(KVISTUR_SOURCE_DIR) + "/web", own, std::filesystem::copy_options::recursive);
  std::string texts = file_bytes(own + "/texts/is.json");
  texts.replace(texts.find("Niðurstöður leitar"), std::string("Niðurstöður leitar").size(), "Það sem fannst");
  std::ofstream(own + "/texts/is.json") << texts;
  const std::string settings = cat().dir + "/vefur.ini",
                    web_part = "[Vefur]\nSíðustærð=5\nNafn=Bókasafn <Kvists>\nSniðmát=/not/there\n";
  std::ofstream(settings) << "[Grunnur]\nSlóð=" << cat().dir << "/not-there\nGrunnNafn=katalogur.sqlite\n"
                          << "kv_local=skra.sqlite\n" << web_part;
  Web web(settings, cat().dir, {"--templates", own});
  for (const char* path : {"/", "/search?q=saga", "/record/87"}) {
    Answer a = web.get(path);
    EXPECT_EQ(a.status, 503) << path;
    EXPECT_EQ(a.header("retry-after"), "30");
    EXPECT_NE(a.body.find("Ekki næst í safnskrána"), std::string::npos);
    EXPECT_EQ(a.body.find("not-there"), std::string::npos) << "no path of the server";
  }
  EXPECT_EQ(web.get("/static/kvistur.css").status, 200);
  // The settings put right: the next request finds the catalogue.
  std::ofstream(settings) << file_bytes(cat().settings()) << web_part;
  std::string page = web.get("/search?q=saga").body;
  EXPECT_NE(page.find("data-count=\"61\""), std::string::npos);
  EXPECT_EQ(hit_ids(page).size(), 5u);
  EXPECT_NE(page.find("<h1>Það sem fannst</h1>"), std::string::npos);
  EXPECT_NE(page.find("<span>Bókasafn &lt;Kvists&gt;</span>"), std::string::npos);
  EXPECT_EQ(web.get("/search?q=saga&page=13").status, 200);
  EXPECT_EQ(web.get("/search?q=saga&page=14").status, 400);
  int status = web.stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  // A template that does not parse is named, and nothing is served.
  std::ofstream(own + "/templates/record.mustache") << "{{#open}} never closed";
  auto r = run_tool({"web", "127.0.0.1:" + std::to_string(serve::free_port()), "--templates", own});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("record.mustache"), std::string::npos) << r.err;
}
