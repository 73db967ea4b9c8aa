// kvistur web's narrowing, orders, suggestions and browsing, end to end on
// a generated catalogue of every kind of material, from a file and from
// PostgreSQL.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>

#include "common/pg_server.h"
#include "kvistur/text.h"
#include "web/address.h"
#include "server/running_server.h"

using namespace kvistur::testing;
using serve::Web;
using kvistur::web::PercentEncode;
using serve::sh;

namespace {

constexpr int kRecords = 1500;

struct Link {
  std::string facet, value, href;
  long count;
  bool chosen;  // its address takes it back
};

std::string unescaped(std::string s) {
  for (std::size_t p; (p = s.find("&amp;")) != std::string::npos;) s.replace(p, 5, "&");
  return s;
}

// The facet links of a result page, by section (found by hand: a regular
// expression over a whole page runs out of stack).
std::vector<Link> facet_links(const std::string& page) {
  std::vector<Link> out;
  const std::string open = "<section class=\"facet\" data-facet=\"";
  std::regex link("<a data-value=\"([^\"]*)\" data-count=\"([0-9]+)\" href=\"([^\"]*)\"( class=\"chosen\")?");
  for (std::size_t at = page.find(open); at != std::string::npos; at = page.find(open, at + 1)) {
    std::size_t name = at + open.size(), end = page.find("</section>", at);
    std::string facet = page.substr(name, page.find('"', name) - name), body = page.substr(at, end - at);
    for (std::sregex_iterator l(body.begin(), body.end(), link), e; l != e; ++l)
      out.push_back({facet, (*l)[1], unescaped((*l)[3]), std::stol((*l)[2]), (*l)[4].matched});
  }
  return out;
}

long hit_count(const std::string& page) {
  std::smatch m;
  return std::regex_search(page, m, std::regex("id=\"hit-count\" data-count=\"([0-9]+)\"")) ? std::stol(m[1]) : -1;
}

std::vector<std::string> all(const std::string& text, const std::string& pattern) {
  std::vector<std::string> out;
  std::regex re(pattern);
  for (std::sregex_iterator i(text.begin(), text.end(), re), e; i != e; ++i) out.push_back(unescaped((*i)[1]));
  return out;
}

// The generated catalogue and kvistur web on it, shared by the tests.
const serve::Catalogue& cat() {
  static const serve::Catalogue c({"generate", "--records", std::to_string(kRecords), "--out"});
  return c;
}
const Web& web() {
  static const Web w(cat().settings(), cat().dir);
  return w;
}

std::string page(const std::string& path) {
  auto a = web().get(path);
  EXPECT_EQ(a.status, 200) << path << "\n" << a.body << web().errors();
  return a.body;
}
nlohmann::json api(const std::string& query) { return nlohmann::json::parse(page("/api/search?" + query)); }
std::string sql(const std::string& statement) {
  return sh("sqlite3 " + cat().dir + "/katalogur.sqlite " + shell_quote(statement));
}
// A copy of the catalogue's folder in TO, its settings naming the copy.
void copy_to(const std::string& from, const std::string& to) {
  sh("cp -r " + from + "/. " + to);
  sh("sed -i 's|^Slóð=.*|Slóð=" + to + "|' " + to + "/lindrit-1.0.ini");
}
// Every hit's record number of a search, page by page.
std::vector<int> ids(const std::string& query) {
  std::vector<int> out;
  for (int p = 1;; ++p) {
    auto j = api(query + "&page=" + std::to_string(p));
    for (auto& h : j["hits"]) out.push_back(h["id"]);
    if (long(out.size()) >= j["count"].get<long>()) return out;
  }
}

}  // namespace

TEST(FacetsTest, EveryValueCountsWhatNarrowingByItFinds) {
  // A place of publication every fifth record has, alone, narrowed, and
  // with two words.
  for (std::string q : {"q=reykjav%C3%ADk", "q=reykjav%C3%ADk&kind=book", "q=reykjav%C3%ADk&available=1&year=1950-"}) {
    std::string start = page("/search?" + q);
    std::vector<Link> links = facet_links(start);
    std::set<std::string> facets;
    long kinds = 0;
    for (const Link& l : links) {
      facets.insert(l.facet);
      if (l.facet == "kind") kinds += l.count;
      // A value chosen already leaves every hit, and its link takes it back.
      EXPECT_EQ(l.chosen ? hit_count(start) : hit_count(page(l.href)), l.count) << q << " " << l.facet << "=" << l.value;
      if (l.chosen) {
        EXPECT_GT(hit_count(page(l.href)), l.count) << q << " " << l.facet;
      }
    }
    EXPECT_EQ(facets, (std::set<std::string>{"available", "kind", "location", "year"})) << q;
    // Every hit has one kind: the counts are of every hit, not the page's.
    EXPECT_EQ(kinds, hit_count(start)) << q;
    EXPECT_GT(kinds, 20) << q;
  }
  auto j = api("q=reykjav%C3%ADk");
  for (const char* f : {"kind", "year", "location", "available"})
    for (auto& v : j["facets"][f])
      EXPECT_EQ(api("q=reykjav%C3%ADk&" + std::string(f) + "=" + PercentEncode(v["value"]))["count"], v["count"])
          << f << "=" << v["value"];
}

TEST(FacetsTest, FacetsCombineAndEachIsTakenBackAlone) {
  long both = hit_count(page("/search?q=reykjav%C3%ADk&kind=book&available=1"));
  long books = hit_count(page("/search?q=reykjav%C3%ADk&kind=book"));
  long free = hit_count(page("/search?q=reykjav%C3%ADk&available=1"));
  EXPECT_LT(both, books);
  EXPECT_LT(both, free);
  std::string p = page("/search?q=reykjav%C3%ADk&kind=book&available=1&lang=en");
  std::vector<std::string> back = all(p, "<a class=\"take-back\" data-facet=\"[a-z]+\" href=\"([^\"]*)\"");
  ASSERT_EQ(back.size(), 2u) << p;
  EXPECT_EQ(hit_count(page(back[0])), free) << back[0];
  EXPECT_EQ(hit_count(page(back[1])), books) << back[1];
  EXPECT_NE(back[0].find("lang=en"), std::string::npos);
  // The paging form carries the narrowing on.
  EXPECT_NE(p.find("<input type=\"hidden\" name=\"kind\" value=\"book\">"), std::string::npos);
  // Values that are not ones the page offers.
  for (const char* bad : {"kind=novel", "year=19x0", "year=2000-1990", "available=yes", "sort=random"})
    EXPECT_EQ(web().get(std::string("/search?q=saga&") + bad).status, 400) << bad;
  EXPECT_EQ(api("q=reykjav%C3%ADk&location=Nowhere")["count"], 0);
}

TEST(FacetsTest, OnTheShelfFollowsTheLoansAsTheyHappen) {
  auto before = api("q=reykjav%C3%ADk&available=1");
  int id = before["hits"][0]["id"];
  long free = before["count"];
  sql("UPDATE Aðfanganúmer SET Lánþegabendir = 7 WHERE Móðurbendir = " + std::to_string(id));
  auto lent = api("q=reykjav%C3%ADk&available=1");
  EXPECT_EQ(lent["count"], free - 1);
  EXPECT_NE(lent["hits"][0]["id"], id);
  sql("UPDATE Aðfanganúmer SET Lánþegabendir = NULL WHERE Móðurbendir = " + std::to_string(id));
  EXPECT_EQ(api("q=reykjav%C3%ADk&available=1")["count"], free);
}

// Runs CHANGE on the catalogue FILE behind its stamp's back: the trigger
// that follows it dropped and made again as it was.
void behind_the_stamp(const std::string& file, const std::string& trigger, const std::string& change) {
  std::string made = sh("sqlite3 " + file + " \"SELECT sql FROM sqlite_master WHERE name = '" + trigger + "'\"");
  sh("sqlite3 " + file + " " + shell_quote("DROP TRIGGER " + trigger + "; " + change + "; " + made + ";"));
}

// An update rewrites the facet rows of the records it changed, at the state
// it commits, and all of them when another program moved copies before it
// (the rows it would patch are of another state): the search reads them (a
// location renamed behind the stamp's back is not seen, as a rebuild from
// the tables would see it), and they give what the tables gave before the
// renaming.  A stored row damaged: the facets come from the tables, and it
// is said.
TEST(FacetsTest, AnUpdateKeepsTheStoredFacetsAtItsState) {
  TempDir dir, damaged;
  copy_to(cat().dir, dir.path);
  const std::string file = dir.path + "/katalogur.sqlite", changes = dir.path + "/changes.mrc";
  sh("sqlite3 " + file + " \"UPDATE Aðfanganúmer SET Staðsetning = 'Flutt' WHERE Móðurbendir % 5 = 0\"");
  ASSERT_EQ(run_tool({"generate", "--records", "60", "--seed", "9", "--marc", changes}).exit_code, 0);
  auto r = run_tool({"update", "--marc", changes, dir.path});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "added 0, replaced 60, deleted 0, skipped 0 in " + file + "\n");
  auto check = run_tool({"index", "--check", file});
  EXPECT_EQ(check.exit_code, 0) << check.out;
  EXPECT_NE(check.out.find("; facet data of " + std::to_string(kRecords) + " records\n"), std::string::npos) << check.out;
  copy_to(dir.path, damaged.path);
  sh("sqlite3 " + damaged.path + "/katalogur.sqlite 'UPDATE kv_facets SET checksum = checksum + 1 WHERE chunk = 1'");
  behind_the_stamp(file, "kv_facts_copies_update", "UPDATE Aðfanganúmer SET Staðsetning = 'Endurnefnt'");
  Web updated(dir.path + "/lindrit-1.0.ini", dir.path), tables(damaged.path + "/lindrit-1.0.ini", damaged.path);
  for (const char* q : {"/api/search?q=reykjav%C3%ADk", "/api/search?q=saga", "/api/search?q=saga&available=1"}) {
    std::string body = updated.get(q).body;
    EXPECT_EQ(nlohmann::json::parse(body)["facets"], nlohmann::json::parse(tables.get(q).body)["facets"]) << q;
    EXPECT_EQ(body.find("Endurnefnt"), std::string::npos) << q;
    if (nlohmann::json::parse(body)["count"].get<long>() > 0) {
      EXPECT_NE(body.find("\"Flutt\""), std::string::npos) << q;
    }
  }
  EXPECT_NE(tables.errors().find("the facet data is damaged (kv_facets chunk 1: the checksum does not match)"),
            std::string::npos)
      << tables.errors();
}

// Another program's plain SQL changes what the facets are made of (a copy
// added, a copy moved, a source record's kind, a record made part of
// another and then of a third): the facets show it at once, in the web
// that read them before (its kept data) and in a new one (the stored facet
// tables), as they show when worked out from the tables.  A catalogue
// stamped before the copies were followed (kv_state of the old shape, the
// stored facets of the older format) gives the same, and `kvistur index`
// brings it up to date.
TEST(FacetsTest, FollowEveryChangeAnotherProgramMakes) {
  TempDir now, old, tables;
  copy_to(cat().dir, now.path);
  copy_to(cat().dir, old.path);
  const std::string old_file = old.path + "/katalogur.sqlite";
  sh("sqlite3 " + old_file + " " + shell_quote(
      "DROP TRIGGER kv_facts_copies_insert; DROP TRIGGER kv_facts_copies_delete; DROP TRIGGER kv_facts_copies_update;"
      "DROP TRIGGER kv_facts_sources_insert; DROP TRIGGER kv_facts_sources_delete; DROP TRIGGER kv_facts_sources_update;"
      "DROP TRIGGER kv_facts_records_update; ALTER TABLE kv_state DROP COLUMN facts;"
      "ALTER TABLE kv_facet_meta DROP COLUMN built_facts; UPDATE kv_facet_meta SET format = 2;"));
  const std::string q = "/api/search?q=reykjav%C3%ADk";
  auto facets = [&](const Web& w) { return nlohmann::json::parse(w.get(q).body)["facets"]; };
  auto hit = [&](const std::string& narrowed) { return std::to_string(api("q=reykjav%C3%ADk" + narrowed)["hits"][0]["id"].get<int>()); };
  const nlohmann::json first = api("q=reykjav%C3%ADk");
  std::string h[4];
  for (int i = 0; i < 4; ++i) h[i] = std::to_string(first["hits"][i + 1]["id"].get<int>());
  std::string other_kind;
  for (auto& v : first["facets"]["kind"])
    if (v["value"] != "book") other_kind = v["value"];
  ASSERT_FALSE(other_kind.empty());
  const std::string book = hit("&kind=book"), other = hit("&kind=" + other_kind);
  const std::string changes[] = {
      "INSERT INTO Aðfanganúmer (Aðfanganúmer, Staðsetning, Móðurbendir) VALUES (900001, 'Nýtt safn', " + h[0] + ")",
      "UPDATE Aðfanganúmer SET Staðsetning = 'Flutt' WHERE Móðurbendir = " + h[1],
      "UPDATE Frumfærsla SET Færsla = (SELECT Færsla FROM Frumfærsla WHERE ID = " + other + ") WHERE ID = " + book,
      "UPDATE Móðurtafla SET Tag = 2, Upprunafærsla = " + h[1] + " WHERE ID = " + h[2],
      "UPDATE Móðurtafla SET Upprunafærsla = " + h[0] + " WHERE ID = " + h[2],
  };
  for (const std::string& dir : {now.path, old.path}) {
    Web running(dir + "/lindrit-1.0.ini", dir);
    nlohmann::json before = facets(running);
    for (const std::string& change : changes) {
      sh("sqlite3 " + dir + "/katalogur.sqlite " + shell_quote(change));
      // The same folder with no stored facets: worked out from the tables.
      sh("rm -rf " + tables.path + "/*");
      copy_to(dir, tables.path);
      sh("sqlite3 " + tables.path + "/katalogur.sqlite 'DROP TABLE kv_facet_meta'");
      Web fresh(dir + "/lindrit-1.0.ini", dir), worked_out(tables.path + "/lindrit-1.0.ini", tables.path);
      nlohmann::json expected = facets(worked_out);
      EXPECT_NE(expected, before) << dir << ": " << change;
      EXPECT_EQ(facets(running), expected) << dir << ": " << change;
      EXPECT_EQ(facets(fresh), expected) << dir << ": " << change;
      before = expected;
    }
  }
  // Brought up to date: the copies followed, the stored facets sound.
  ASSERT_EQ(run_tool({"index", old_file}).exit_code, 0);
  EXPECT_EQ(sh("sqlite3 " + old_file + " \"SELECT facts, (SELECT count(*) FROM sqlite_master WHERE name LIKE "
               "'kv_facts_%') FROM kv_state\""), "0|7\n");
  auto check = run_tool({"index", "--check", old_file});
  EXPECT_EQ(check.exit_code, 0) << check.out;
}

TEST(FacetsTest, OrdersKeepTheCatalogueOrderWithinWhatTheyPutLevel) {
  std::vector<int> catalogue = ids("q=reykjav%C3%ADk");
  auto decades = api("q=reykjav%C3%ADk")["facets"]["year"];
  // Newest first: the first page holds the latest decade's hits; oldest the earliest's.
  auto within = [&](const std::string& order, const std::string& years) {
    std::vector<int> in = ids("q=reykjav%C3%ADk&year=" + years);
    for (auto& h : api("q=reykjav%C3%ADk&sort=" + order)["hits"])
      EXPECT_NE(std::find(in.begin(), in.end(), h["id"].get<int>()), in.end()) << order << " " << h["id"];
  };
  within("newest", decades.front()["value"]);
  within("oldest", decades.back()["value"]);
  // Title first: the hits whose title holds the words, then the rest, each
  // part in the catalogue's order.
  std::string word = sql(
      "SELECT o.Orð FROM Orð o JOIN Tengill t ON t.OrðID = o.ID GROUP BY o.ID HAVING count(DISTINCT CASE WHEN "
      "t.Orðtag = 2 THEN t.FærsluID END) BETWEEN 2 AND 6 AND count(DISTINCT t.FærsluID) BETWEEN 8 AND 40 LIMIT 1");
  ASSERT_FALSE(word.empty());
  word.pop_back();
  std::string words = PercentEncode(word);
  std::vector<int> every = ids("q=" + words), titled = ids("q=" + words + "&field=2"), first = ids("q=" + words + "&sort=title");
  ASSERT_LT(titled.size(), every.size()) << word;
  std::vector<int> expected;
  for (int id : every)
    if (std::find(titled.begin(), titled.end(), id) != titled.end()) expected.push_back(id);
  for (int id : every)
    if (std::find(titled.begin(), titled.end(), id) == titled.end()) expected.push_back(id);
  EXPECT_EQ(first, expected) << word;
  EXPECT_NE(page("/search?q=" + words + "&sort=title").find("data-order=\"title\" href=\"/search?q=" + words +
                                                            "&amp;sort=title\" aria-current=\"true\">"),
            std::string::npos);
  EXPECT_EQ(catalogue, ids("q=reykjav%C3%ADk&sort=catalogue"));
}

TEST(FacetsTest, SuggestsTheNearestWordsTheCatalogueHolds) {
  std::string p = page("/search?q=reykjavik");
  std::vector<std::string> links = all(p, "<a class=\"suggestion\" href=\"([^\"]*)\">");
  ASSERT_FALSE(links.empty()) << p;
  EXPECT_EQ(links[0], "/search?q=reykjav%C3%ADk");
  EXPECT_NE(p.find(std::to_string(hit_count(page(links[0]))) + " færslur)"), std::string::npos);
  EXPECT_EQ(api("q=hafnarfjordur")["suggestions"], nlohmann::json::array({"hafnarfjörður"}));
  EXPECT_EQ(api("q=Hafnarfjrður")["suggestions"][0], "hafnarfjörður");
  // Never a stop word ("og" is one step from "ogx"), nor a word that is not near.
  for (const char* q : {"ogx", "qqqqqqqqq", "reykjav*"})
    for (auto& s : api(std::string("q=") + q)["suggestions"]) EXPECT_NE(s, "og") << q;
  EXPECT_EQ(api("q=qqqqqqqqq")["suggestions"], nlohmann::json::array());
  EXPECT_EQ(api("q=reykjav*")["suggestions"], nlohmann::json::array());
}

TEST(FacetsTest, BrowsingGoesForwardAndBackInIcelandicOrder) {
  std::string first = page("/browse?index=subject&from=b");
  std::vector<std::string> words = all(first, "<li data-heading=\"([^\"]*)\"");
  ASSERT_EQ(words.size(), 20u) << first;
  EXPECT_GE(words[0], std::string("b"));
  for (std::size_t i = 1; i < words.size(); ++i)
    EXPECT_LT(kvistur::compare_ci(kvistur::from_utf8(words[i - 1]), kvistur::from_utf8(words[i])), 0) << words[i];
  std::vector<std::string> next = all(first, "<a class=\"next\" rel=\"next\" href=\"([^\"]*)\"");
  ASSERT_EQ(next.size(), 1u);
  std::string second = page(next[0]);
  std::vector<std::string> later = all(second, "<li data-heading=\"([^\"]*)\"");
  ASSERT_FALSE(later.empty());
  EXPECT_EQ(later, all(page("/browse?index=subject&from=b&page=2"), "<li data-heading=\"([^\"]*)\""));
  std::vector<std::string> back = all(second, "<a class=\"previous\" rel=\"prev\" href=\"([^\"]*)\"");
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(all(page(back[0]), "<li data-heading=\"([^\"]*)\""), words);
  // Each heading's count is what following it finds.
  std::vector<std::string> counts = all(first, "<li data-heading=\"[^\"]*\" data-count=\"([0-9]+)\"");
  std::vector<std::string> hrefs = all(first, "<li data-heading=\"[^\"]*\" data-count=\"[0-9]+\"><a href=\"([^\"]*)\"");
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(std::to_string(hit_count(page(hrefs[i]))), counts[i]) << hrefs[i];
  EXPECT_EQ(web().get("/browse?index=isbn").status, 400);
  EXPECT_EQ(web().get("/browse?index=title&page=51").status, 400);
}

// A catalogue in a schema, built and updated as a file is: the web serves
// the pages and facets it serves from the file.  The schema's stored facet
// rows are those read (a location renamed behind the stamp's back is not
// seen) until another program moves copies, and they are sound against its
// tables.
TEST(WebOnPostgreSQL, ServesWhatItServesFromTheFile) {
  PgServer& pg = PgServer::get();
  pg.empty_database();
  TempDir dir;
  const std::string changes = dir.path + "/changes.mrc", file = dir.path + "/file";
  ASSERT_EQ(run_tool({"generate", "--records", "30", "--seed", "5", "--marc", changes}).exit_code, 0);
  // The same records into a schema (as the role that loads catalogues) and a file, and the same update.
  for (const char* name : {"PGUSER", "PGPASSWORD"}) setenv(name, "kvadmin", 1);
  ToolResult built = run_tool({"generate", "--records", "400", "--out", pg.uri("kv")});
  for (const ToolResult& r : {built, run_tool({"generate", "--records", "400", "--out", file}),
                              run_tool({"update", "--marc", changes, pg.uri("kv")}),
                              run_tool({"update", "--marc", changes, file})})
    EXPECT_EQ(r.exit_code, 0) << r.err;
  auto check = run_tool({"index", "--check", pg.uri("kv")});
  for (const char* name : {"PGUSER", "PGPASSWORD"}) unsetenv(name);
  EXPECT_EQ(check.exit_code, 0) << check.out << check.err;
  EXPECT_NE(check.out.find("; facet data of 400 records\n"), std::string::npos) << check.out;
  std::string settings = dir.path + "/lindrit.ini";
  std::ofstream(settings) << built.out.substr(built.out.find("[Grunnur]"));
  Web server(settings, dir.path), files(file + "/lindrit-1.0.ini", dir.path);
  const char* queries[] = {"/api/search?q=reykjav%C3%ADk", "/api/search?q=reykjav%C3%ADk&kind=book&available=1",
                           "/api/search?q=reykjavik"};
  for (const char* q : queries) server.get(q), files.get(q);
  // Behind the stamp's back (no trigger fires) the stored facets are read
  // on; moved as another program moves copies, the facets follow, in the
  // webs that read them before and in new ones.
  pg.sql("kv", "SET session_replication_role = replica; UPDATE katalogur.\"Aðfanganúmer\" SET \"Staðsetning\" = "
               "'Endurnefnt'");
  behind_the_stamp(file + "/katalogur.sqlite", "kv_facts_copies_update",
                   "UPDATE Aðfanganúmer SET Staðsetning = 'Endurnefnt'");
  for (bool followed : {false, true}) {
    if (followed) {
      pg.sql("kv", "UPDATE katalogur.\"Aðfanganúmer\" SET \"Staðsetning\" = 'Flutt' WHERE \"Móðurbendir\" % 3 = 0");
      sh("sqlite3 " + file + "/katalogur.sqlite \"UPDATE Aðfanganúmer SET Staðsetning = 'Flutt' WHERE Móðurbendir % 3 = 0\"");
    }
    Web new_server(settings, dir.path), new_files(file + "/lindrit-1.0.ini", dir.path);
    for (auto [w, f] : {std::pair{&server, &files}, {&new_server, &new_files}})
      for (const char* q : queries) {
        std::string body = w->get(q).body;
        auto a = nlohmann::json::parse(body), b = nlohmann::json::parse(f->get(q).body);
        EXPECT_EQ(a["facets"], b["facets"]) << q << w->errors();
        EXPECT_FALSE(a["facets"].empty() && a["suggestions"].empty()) << q;
        EXPECT_EQ(a["suggestions"], b["suggestions"]) << q;
        EXPECT_EQ(a["count"], b["count"]) << q;
        // Followed, the facets are worked out from the tables as they are now.
        if (a["count"].get<long>() > 0) {
          EXPECT_EQ(body.find("\"Flutt\"") != std::string::npos, followed) << q;
          EXPECT_EQ(body.find("Endurnefnt") != std::string::npos, followed) << q;
        }
      }
  }
  for (const char* path : {"/search?q=reykjav%C3%ADk", "/record/7", "/record/7.mrc", "/print?id=7&id=8"}) {
    serve::Answer a = server.get(path, "-H 'Host: kvistur'");  // the same address in both
    EXPECT_EQ(a.status, 200) << path << server.errors();
    EXPECT_EQ(a.body, files.get(path, "-H 'Host: kvistur'").body) << path;
  }
}
