// kvistur serve end to end on the sample catalogue, with the field's own
// clients: yaz-client, zoomsh and YAZ's client library, curl and xmllint.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <tuple>

#include "marc21/marc_writer.h"
#include "server/load_client.h"
#include "server/records.h"
#include "server/running_server.h"

using namespace kvistur;
using namespace kvistur::testing::serve;
using kvistur::testing::Client;
using kvistur::testing::shell_quote;

namespace {

// The sample catalogue and kvistur serve on it, shared by the tests.
Catalogue& cat() {
  static Catalogue c;
  return c;
}
Server& serving() {
  static Server s(cat(), "[Þjónn]\nLotur=40\nNiðurstöður=3\n[Z3950]\n1=Höfundur\nbib.note=Athugasemdir\n");
  return s;
}

// The (term, count) pairs of FACET in an SRU answer, in order.
std::vector<std::pair<std::string, int>> facet_terms(std::string body, const std::string& facet) {
  std::vector<std::pair<std::string, int>> out;
  for (std::size_t p; (p = body.find("fr:")) != std::string::npos;) body.erase(p, 3);
  std::size_t at = body.find("<index>" + facet + "</index>");
  if (at == std::string::npos) return out;
  std::string part = body.substr(at, body.find("</terms>", at) - at);
  std::regex term("<actualTerm>([^<]*)</actualTerm><count>([0-9]+)</count>");
  for (std::sregex_iterator i(part.begin(), part.end(), term), e; i != e; ++i)
    out.emplace_back((*i)[1], std::stoi((*i)[2]));
  return out;
}

}  // namespace

TEST(Serve, HitsAndTheirOrderAreThoseOfKvisturSearch) {
  struct Case {
    std::string cql, text;
    int field, group;
    std::string database;
  } cases[] = {
      {"saga", "saga", -1, -1, "Default"},
      {"dc.title=saga", "saga", 2, -1, "Default"},
      {"dc.title=sag*", "sag*", 2, -1, "Default"},
      {"dc.creator=\"Árni Einarsson\"", "árni einarsson", 1, -1, "Default"},
      {"dc.subject=skáldsögur and dc.subject=íslenskar", "skáldsögur íslenskar", 3, -1, "Default"},
      {"dc.title all \"saga íslands\"", "saga íslands", 2, -1, "Default"},
      {"cql.anywhere=hrafnaþing", "hrafnaþing", -1, 2, "Tímarit og greinar"},
      {"bib.note=dönsku", "dönsku", 6, -1, "Default"},  // a row of [Z3950]
  };
  for (auto& c : cases) {
    std::vector<int> expected = cat().search(c.text, c.field, c.group);
    EXPECT_FALSE(expected.empty()) << c.cql;
    EXPECT_EQ(serving().found(c.cql, c.database), expected) << c.cql;
  }
  // Z39.50 gives the same, through zoomsh; right truncation is Leita's `*`.
  for (auto [pqf, text, field] : {std::tuple{"@attr 1=4 saga", "saga", 2}, {"@attr 1=4 @attr 5=1 sag", "sag*", 2},
                                    {"@attr 1=1 einarsson", "einarsson", 1}}) {
    std::string z = sh("timeout 60 zoomsh 'connect " + serving().target() +
                       "' 'set preferredRecordSyntax xml' 'set elementSetName kvistur' 'search " + pqf +
                       "' 'show 0 1000' quit");
    EXPECT_EQ(ids_in(z, "id=\"([0-9]+)\""), cat().search(text, field)) << pqf;
  }
}

TEST(Serve, OrAndNotAreAnsweredInTheOrderOfAllRecords) {
  // Records of equal sort texts may stand in either order; their sort texts
  // may not.
  std::map<int, std::string> key;
  for (const std::string& row : kvistur::testing::sql_rows(cat().dir + "/katalogur.sqlite", "SELECT ID, Röðunarsvið FROM Móðurtafla"))
    key[std::stoi(row)] = row.substr(row.find('|') + 1);
  auto keys = [&](const std::vector<int>& ids, const std::vector<int>& only) {
    std::vector<std::string> k;
    for (int id : ids)
      if (std::find(only.begin(), only.end(), id) != only.end()) k.push_back(key[id]);
    return k;
  };
  std::vector<int> saga = cat().search("saga", 2), poems = cat().search("ljóð", -1),
                   novels = cat().search("skáldsögur", 3);
  // OR: every record of either, each operand's records in their order.
  std::vector<int> either = serving().found("dc.title=saga or ljóð");
  std::set<int> all(saga.begin(), saga.end());
  all.insert(poems.begin(), poems.end());
  EXPECT_EQ(std::set<int>(either.begin(), either.end()), all);
  EXPECT_EQ(keys(either, saga), keys(saga, saga));
  EXPECT_EQ(keys(either, poems), keys(poems, poems));
  // NOT: the left operand's records in its order, less the right's.
  std::vector<int> left;
  for (int id : saga)
    if (std::find(novels.begin(), novels.end(), id) == novels.end()) left.push_back(id);
  std::vector<int> but = serving().found("dc.title=saga not dc.subject=skáldsögur");
  EXPECT_EQ(std::set<int>(but.begin(), but.end()), std::set<int>(left.begin(), left.end()));
  EXPECT_EQ(keys(but, left), keys(left, left));
}

TEST(Serve, RecordsComeInEverySyntaxAndMarcRoundTrips) {
  std::string out = serving().yaz_client(
      "find @attr 1=4 brennu\nset_marcdump out.mrc\nshow 1\n"
      "set_marcdump\nformat xml\nelements dc\nshow 1\nelements kvistur\nshow 1\nelements marcxml\nshow 1\n");
  EXPECT_NE(out.find("<dc:title>Brennu-Njáls saga</dc:title>"), std::string::npos) << out;
  EXPECT_NE(out.find("<description>"), std::string::npos);
  EXPECT_NE(out.find("<record xmlns=\"http://www.loc.gov/MARC21/slim\">"), std::string::npos);
  // The MARC record as it went in: every field and subfield, the holdings
  // made from the copies (never the borrower).
  std::string served = sh("yaz-marcdump " + shell_quote(cat().dir + "/out.mrc"));
  std::string control = served.substr(served.find("001 ") + 4, 7);
  std::string source = sh("yaz-marcdump -i marcxml " + shell_quote(kSample) + " | awk -v RS= '/001 " + control +
                          "/' | sed 's/ \\$9 [0-9]*//'");
  // The lengths in the leader are the record's own.
  auto same = [](const std::string& s) {
    std::string t = std::regex_replace(s, std::regex("^.{5}(.{7}).{5}"), "#####$1#####",
                                       std::regex_constants::format_first_only);
    return t.substr(0, t.find_last_not_of('\n') + 1);
  };
  EXPECT_EQ(same(served), same(source));
  EXPECT_EQ(served.at(9), 'a') << "leader/09: UTF-8";

  for (const char* schema : {"marcxml", "dc", "kvistur", "info:srw/schema/1/dc-v1.1"}) {
    std::string body = serving().sru(std::string("Default?version=1.2&operation=searchRetrieve&query=brennu&") +
                                    "maximumRecords=2&recordSchema=" + schema);
    EXPECT_EQ(sh("printf %s " + shell_quote(body) +
                 " | xmllint --xpath 'count(//*[local-name()=\"recordData\"]/*)' -"),
              "2\n")
        << schema << body;
  }
}

TEST(Serve, WhatCannotBeAnsweredGetsItsDiagnostic) {
  struct Case {
    std::string request;
    int code;
  } sru[] = {
      {"Nope?version=1.2&operation=searchRetrieve&query=saga", 235},
      {"Default?version=1.2&operation=searchRetrieve&query=(saga", 10},
      {"Default?version=1.2&operation=searchRetrieve&query=dc.date=1999", 16},
      {"Default?version=1.2&operation=searchRetrieve&query=dc.title%3Csaga", 19},
      {"Default?version=1.2&operation=searchRetrieve&query=saga%20prox%20njála", 39},
      {"Default?version=1.2&operation=searchRetrieve&query=s*ga", 28},
      {"Default?version=1.2&operation=searchRetrieve&query=saga%20sortBy%20dc.title", 80},
      {"Default?version=1.2&operation=searchRetrieve&query=og", 35},
      {"Default?version=1.2&operation=searchRetrieve&query=saga&maximumRecords=1&recordSchema=mods", 66},
      {"Default?version=1.2&operation=scan&scanClause=dc.foo=a", 16},
      {"Default?version=1.2&operation=searchRetrieve&query=saga&x-username=nobody&x-password=x", 3},
  };
  for (auto& c : sru)
    EXPECT_NE(serving().sru(c.request).find("info:srw/diagnostic/1/" + std::to_string(c.code) + "<"), std::string::npos)
        << c.request;
  std::string z = serving().yaz_client(
      "find @attr 2=5 @attr 1=4 saga\nfind @attr 1=9999 saga\nfind @attr 7=1 saga\nfind @attr 5=104 saga\n"
      "find @attrset gils @attr 1=4 saga\nsort 1 title\nformat sutrs\nfind saga\nshow 1\nformat usmarc\nshow 1000\n");
  for (const char* d : {"[117] ", "[114] ", "[113] ", "[120] ", "[121] ", "[207] ", "[239] ", "[13] "})
    EXPECT_NE(z.find(d), std::string::npos) << d << z;
}

TEST(Serve, ScanListsTheWordIndexInOrderWithLeitasCounts) {
  std::string out = serving().yaz_client("scan @attr 1=4 saga\n");
  std::vector<std::pair<std::string, int>> terms;
  std::regex re("\\n[* ] (\\S+) \\(([0-9]+)\\)");
  for (std::sregex_iterator i(out.begin(), out.end(), re), e; i != e; ++i) terms.emplace_back((*i)[1], std::stoi((*i)[2]));
  ASSERT_EQ(terms.size(), 20u) << out;
  EXPECT_EQ(terms[0].first, "saga");
  for (auto& [word, count] : {terms[0], terms[1], terms[19]})
    EXPECT_EQ(count, int(cat().search(word, 2).size())) << word;
  std::string body = serving().sru("Default?version=1.2&operation=scan&scanClause=dc.title%3Dsaga&maximumTerms=3");
  EXPECT_NE(body.find("<zs:value>" + terms[2].first + "</zs:value>"), std::string::npos) << body;
  // A position before the first counts as the first.
  out = serving().yaz_client("scanpos -2147483648\nscan @attr 1=4 saga\n");
  EXPECT_NE(out.find("\n* saga ("), std::string::npos) << out;
}

TEST(Serve, SruAndZ3950ClientsGetTheFacetsOfEveryHit) {
  using Terms = std::vector<std::pair<std::string, int>>;
  std::string body = serving().sru(
      "Default?version=2.0&operation=searchRetrieve&query=saga&maximumRecords=1&facetLimit=5:kind,2:location,"
      "3:year,1:available,4:isbn");
  EXPECT_EQ(facet_terms(body, "kind"), (Terms{{"book", 61}})) << body;
  EXPECT_EQ(facet_terms(body, "location"), (Terms{{"Skáldsögur", 30}, {"Fornrit", 19}}));
  EXPECT_EQ(facet_terms(body, "year"), (Terms{{"2020-2029", 5}, {"2010-2019", 8}, {"2000-2009", 8}}));
  EXPECT_EQ(facet_terms(body, "available"), (Terms{{"1", 56}}));
  EXPECT_NE(body.find("<fr:index>isbn</fr:index><fr:terms/>"), std::string::npos) << "an index without facets: no terms";
  // Without facetLimit, none.
  EXPECT_EQ(serving().sru("Default?version=2.0&operation=searchRetrieve&query=saga").find("facetedResults"),
            std::string::npos);
  // Z39.50: the facet list in the search's other information.
  std::string z = serving().yaz_client("facets @attr 1=kind @attr 3=5\nfind saga\n");
  EXPECT_NE(z.find("book (61)"), std::string::npos) << z;
}

TEST(Serve, SessionsKeepTheirOwnLogOnAndResultSets) {
  // Named result sets, three to a session, and one refers to another.
  std::string out = serving().yaz_client("find @attr 1=4 saga\nfind @attr 1=21 skáldsögur\n"
                                        "find @and @set 1 @set 2\nfind ljóð\n");
  EXPECT_NE(out.find("Number of hits: " + std::to_string(serving().found("dc.title=saga and dc.subject=skáldsögur").size())),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("[112] "), std::string::npos) << out;
  // A refused log-on refuses the Init.
  EXPECT_NE(serving().yaz_client("auth nobody/secret\nopen " + serving().target() + "\n").find("rejected"),
            std::string::npos);
  std::string log = serving().access_log();
  EXPECT_NE(log.find("\"search Default RPN @attrset Bib-1 @attr 1=4 saga\" 0 "), std::string::npos) << log;
  EXPECT_NE(log.find(" nobody ["), std::string::npos) << log;
}

TEST(Serve, TheSessionLimitAndTheIdleTimeHold) {
  Server limited(cat(), "[Þjónn]\nLotur=2\nBiðtími=2\n");
  Client a(limited.target()), b(limited.target()), c(limited.target());
  EXPECT_EQ(a.error(), 0);
  EXPECT_EQ(b.error(), 0);
  EXPECT_EQ(c.error(), 1018) << "the third session is one too many";
  std::this_thread::sleep_for(std::chrono::seconds(4));  // a and b idle past their time
  EXPECT_EQ(Client(limited.target()).error(), 0);
}

TEST(Serve, ThirtyTwoClientsAtOnceAndTheMemoryComesBack) {
  std::vector<std::string> queries = {"@attr 1=4 saga", "@attr 1=1003 einarsson", "@attr 1=21 skáldsögur",
                                      "@attr 1=4 @attr 5=1 sag", "@or @attr 1=4 saga ljóð"};
  auto warm = kvistur::testing::RunLoad(serving().target(), 32, 2, queries);
  ASSERT_EQ(warm.failures, 0) << warm.first_failure;
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  [[maybe_unused]] long before = serving().status("VmRSS");
  auto load = kvistur::testing::RunLoad(serving().target(), 32, 100, queries);
  EXPECT_EQ(load.failures, 0) << load.first_failure;
  EXPECT_EQ(load.requests, 32 * 100 * 2);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
#ifndef __SANITIZE_ADDRESS__
  // AddressSanitizer keeps freed memory back in quarantine: the sessions'
  // memory is weighed in the plain build, the sanitized one checks its use.
  EXPECT_LE(serving().status("VmRSS"), before + 4096) << "before: " << before << " KiB";
#endif
}

TEST(ServeChanges, ASessionSeesTheDirectoryAndStopWordsAsTheyAreNow) {
  // One session throughout: what it kept of the directory and the stop
  // words is let go when another program changes the files.
  Catalogue cat;
  Server server(cat, "");
  Client z(server.target());
  auto search = [&](const char* database, const char* pqf) { return z.search(pqf, "default", database).error; };
  auto sql = [&](const std::string& file, const std::string& statement) {
    EXPECT_EQ(sh("sqlite3 " + shell_quote(cat.dir + "/" + file) + " " + shell_quote(statement) + " 2>&1"), "");
  };
  EXPECT_EQ(search("Nýtt", "@attr 1=4 saga"), 235);
  sql("skra.sqlite", "INSERT INTO DBGroups VALUES (9, 'Nýtt', 'nýr hópur')");
  EXPECT_EQ(search("Nýtt", "@attr 1=4 saga"), 114) << "a group without the field";
  sql("skra.sqlite", "INSERT INTO QueryTypes VALUES (2, 'Titill', 9)");
  EXPECT_EQ(search("nýtt", "@attr 1=4 saga"), 0);
  EXPECT_EQ(search("Default", "saga"), 0);
  sql("katalogur.sqlite", "INSERT INTO EkkiOrð VALUES ('saga')");
  EXPECT_EQ(search("Default", "saga"), 4) << "only stop words";
}

TEST(ServerRecords, TheMarcLinesAreTheSourceRecordAgain) {
  // What the importer changed in the MARC lines is undone.
  marc21::MarcRecord m = server::RebuildMarc(
      u"001   b1\r\n1001  $aThoroddsen$hJón$d1818-1868\r\n24510 $aPiltur ＄ stúlka\r\n"
      u"7730  $tTímarit$gÁrg. 2$hHefti 3\r\n793   $aTímarit$gÁrg. 2\r\n792   $aHefti 3",
      200);
  std::string lines;
  for (auto& f : m.fields) {
    lines += f.tag + (f.is_control() ? " " + f.data : std::string(" ") + f.ind1 + f.ind2);
    for (auto& s : f.subfields) lines += std::string(" $") + s.code + s.value;
    lines += "\n";
  }
  EXPECT_EQ(lines,
            "001 b1\n100 1  $aThoroddsen, Jón $d1818-1868\n245 10 $aPiltur $ stúlka\n773 0  $tTímarit $gÁrg. 2 $hHefti 3\n");
  EXPECT_EQ(m.leader.substr(5, 5), "nab a");
}

TEST(ServerRecords, IsoBytesAreYazsOwn) {
  // Every record of the sample as the server hands it out, and records the
  // catalogue's writer cannot take (YAZ writes those): a value with the
  // separators in it, an odd leader, a field too long for its entry.
  std::vector<marc21::MarcRecord> records;
  marc21::MarcReader reader(kSample);
  std::vector<marc21::ReadProblem> problems;
  while (auto m = reader.next(problems)) {
    server::StoredRecord stored;
    stored.marc = server::SourceMarc(marc21::WriteIso2709(*m), 1);
    stored.copies.push_back({100001, "Skáldsögur", "Í viðgerð"});
    records.push_back(server::MarcOf(stored));
  }
  ASSERT_GT(records.size(), 100u);
  marc21::MarcRecord odd = records.front();
  odd.fields.back().subfields.push_back({'x', "a\x1f" "b\x1e" "c\x1d"});
  records.push_back(odd);
  odd.leader.replace(20, 4, "3300");
  records.push_back(odd);
  odd = records.front();
  odd.fields.back().subfields.push_back({'x', std::string(12000, 'q')});
  records.push_back(odd);
  for (const marc21::MarcRecord& m : records) EXPECT_EQ(server::Iso2709(m), server::Iso2709ByYaz(m)) << m.leader;
}
