// Facets for SRU 2.0 clients (facetLimit) and Z39.50 ones (yaz-client's
// facets), from a real `kvistur serve` on the sample catalogue: the counts
// of every record of the result set, as the web's pages count them.
#include <gtest/gtest.h>

#include <regex>

#include "server/running_server.h"

using namespace kvistur::testing::serve;

namespace {

// The (term, count) pairs of FACET in an SRU answer, in order.
std::vector<std::pair<std::string, int>> terms(std::string body, const std::string& facet) {
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

TEST(ServeFacets, SruAndZ3950ClientsGetTheFacetsOfEveryHit) {
  Catalogue cat;
  Server server(cat, "");
  std::string body = server.sru(
      "Default?version=2.0&operation=searchRetrieve&query=saga&maximumRecords=1&facetLimit=5:kind,2:location,"
      "3:year,1:available,4:isbn");
  EXPECT_EQ(terms(body, "kind"), (std::vector<std::pair<std::string, int>>{{"book", 61}})) << body;
  EXPECT_EQ(terms(body, "location"), (std::vector<std::pair<std::string, int>>{{"Skáldsögur", 30}, {"Fornrit", 19}}));
  EXPECT_EQ(terms(body, "year"),
            (std::vector<std::pair<std::string, int>>{{"2020-2029", 5}, {"2010-2019", 8}, {"2000-2009", 8}}));
  EXPECT_EQ(terms(body, "available"), (std::vector<std::pair<std::string, int>>{{"1", 56}}));
  EXPECT_NE(body.find("<fr:index>isbn</fr:index><fr:terms/>"), std::string::npos) << "an index without facets: no terms";
  // Without facetLimit, none.
  EXPECT_EQ(server.sru("Default?version=2.0&operation=searchRetrieve&query=saga").find("facetedResults"),
            std::string::npos);
  // Z39.50: the facet list in the search's other information.
  std::string z = server.yaz_client("facets @attr 1=kind @attr 3=5\nfind saga\n");
  EXPECT_NE(z.find("book (61)"), std::string::npos) << z;
}
