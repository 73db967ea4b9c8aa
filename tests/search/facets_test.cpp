// The facets' parts on their own: what a source record says of its kind and
// year, the years an address asks for, the stored rows read back through
// the codec with their holders and locations, counting and narrowing
// against the loans, and the edit distance and accents behind "did you
// mean".
#include <gtest/gtest.h>

#include "marc21/marc_reader.h"
#include "marc21/marc_writer.h"
#include "search/facets.h"
#include "search/suggest.h"

using namespace kvistur;
using namespace kvistur::facets;
using kvistur::marc21::MarcField;
using kvistur::marc21::MarcRecord;

namespace {

std::string source(const std::string& leader, const std::string& f008, const std::string& f260c,
                   const std::string& f264c = "") {
  MarcRecord m;
  m.leader = leader;
  if (!f008.empty()) m.fields.push_back(MarcField{"008", ' ', ' ', f008, {}});
  m.fields.push_back(MarcField{"245", '1', '0', "", {{'a', "Titill"}}});
  if (!f264c.empty()) m.fields.push_back(MarcField{"264", ' ', '1', "", {{'a', "Rvk."}, {'c', f264c}}});
  if (!f260c.empty()) m.fields.push_back(MarcField{"260", ' ', ' ', "", {{'b', "Forlag 1999"}, {'c', f260c}}});
  return marc21::WriteIso2709(m);
}

}  // namespace

TEST(RecordFacts, KindAndYearFromTheSourceRecord) {
  struct Case {
    std::string leader, f008, c260, c264;
    Kind kind;
    int year;
  } cases[] = {
      {"00000nam a2200000 a 4500", "991231s1994    ic            000 0 ice d", "2001", "", kBook, 1994},
      {"00000nas a2200000 a 4500", "991231c19uu    ic            000 0 ice d", "c2003.", "", kPeriodical, 2003},
      {"00000nab a2200000 a 4500", "", "[1987]", "", kArticle, 1987},
      {"00000njm a2200000 a 4500", "", "", "℗2011, 2012", kMusic, 2011},
      {"00000nim a2200000 a 4500", "", "19945", "", kSound, 0},
      {"00000ngm a2200000 a 4500", "", "", "", kFilm, 0},
      {"00000nem a2200000 a 4500", "", "", "", kMap, 0},
      {"00000nmm a2200000 a 4500", "", "", "", kElectronic, 0},
      {"00000nrm a2200000 a 4500", "", "", "", kOther, 0},
  };
  for (const Case& c : cases) {
    Facts f = FactsFromSource(source(c.leader, c.f008, c.c260, c.c264));
    EXPECT_EQ(f.kind, c.kind) << c.leader;
    EXPECT_EQ(f.year, c.year) << c.leader << " " << c.c260 << c.c264;
  }
  // Bytes cut anywhere give what can be read, never a read past them.
  std::string whole = source("00000nam a2200000 a 4500", "991231s1994    ic", "2001");
  for (std::size_t n = 0; n < whole.size(); ++n) FactsFromSource(whole.substr(0, n));
  EXPECT_EQ(FactsFromEntry(100, u"").kind, kPeriodical);
  EXPECT_EQ(FactsFromEntry(2, u"").kind, kArticle);
  EXPECT_EQ(FactsFromEntry(1, u"Reykjavík : Mál og menning, 1968").year, 1968);
}

TEST(RecordFacts, YearsAnAddressAsksFor) {
  using Span = std::optional<std::pair<int, int>>;
  std::pair<const char*, Span> cases[] = {
      {"1990-1999", std::make_pair(1990, 1999)}, {"1990-", std::make_pair(1990, 0)}, {"-1999", std::make_pair(0, 1999)},
      {"1994", std::make_pair(1994, 1994)},      {"-", std::nullopt},              {"1999-1990", std::nullopt},
      {"199", std::nullopt},                     {"19a4", std::nullopt},           {"1990-1999-2000", std::nullopt},
      {"", std::nullopt}};
  for (auto& [text, span] : cases) EXPECT_EQ(ReadYears(text), span) << text;
}

TEST(FacetTable, ReadBackCountsAndNarrowsAgainstTheLoans) {
  FacetTable::Builder b;
  b.record(5, 1, 0, {kBook, 1994});
  b.record(3, 1, 0, {kMap, 2001});
  b.record(8, 2, 3, {kArticle, 0});  // a part: the copies of record 3
  b.record(9, 100, 0, {kPeriodical, 1990});
  for (auto [holder, place] : std::initializer_list<std::pair<int32_t, const char*>>{
           {5, "Aðalsafn"}, {5, " Útibú "}, {3, "Útibú"}, {3, ""}, {77, "Geymsla"}})
    b.copy(holder, place);
  FacetRows rows = b.rows();
  // Through the stored rows' codec and back (one chunk of each table here).
  std::string records = stored::EncodeFacetRecords(rows.records), holders = stored::EncodeFacetHolders(rows.holders);
  FacetRows back{rows.places, stored::DecodeFacetRecords(0, records), stored::DecodeFacetHolders(0, holders, 3)};
  EXPECT_EQ(back.records, rows.records);
  EXPECT_EQ(back.holders, rows.holders);
  EXPECT_THROW(stored::DecodeFacetRecords(0, records.substr(0, records.size() - 1)), stored::Damaged);
  EXPECT_THROW(stored::DecodeFacetHolders(0, holders, 2), stored::Damaged);  // a place past those named
  std::unique_ptr<FacetTable> t = FacetTable::Make(back);
  EXPECT_EQ(t->places(), (std::vector<std::string>{"Aðalsafn", "Útibú", "Geymsla"}));
  EXPECT_EQ(t->copies(t->slot(8)), 2);  // record 3's
  EXPECT_EQ(t->holder(t->slot(9)), -1);
  EXPECT_EQ(t->slot(4), kNoSlot);
  // Record 3 has one of its two copies on loan, record 5 both of its.
  Shelf shelf;
  shelf.free.assign(4, 0);
  shelf.free[std::size_t(t->slot(3))] = shelf.free[std::size_t(t->slot(8))] = 1;
  std::vector<int32_t> hits{3, 4, 5, 8, 9};
  Counts c = Count(*t, shelf, hits);
  EXPECT_EQ(c.kinds[kBook] + c.kinds[kMap] + c.kinds[kArticle] + c.kinds[kPeriodical], 4);
  EXPECT_EQ(c.years[1994] + c.years[2001] + c.years[1990], 3);
  EXPECT_EQ(c.years[0], 1);
  EXPECT_EQ(c.places, (std::vector<int64_t>{1, 3, 0}));
  EXPECT_EQ(c.available, 2);
  Filter f;
  f.location = "Útibú";
  f.available = true;
  EXPECT_EQ(Narrow(*t, shelf, hits, f), (std::vector<int32_t>{3, 8}));
  f = Filter{};
  f.year = true;
  f.year_from = 1991;
  EXPECT_EQ(Narrow(*t, shelf, hits, f), (std::vector<int32_t>{3, 5}));
  f.kind = kMap;
  EXPECT_EQ(Narrow(*t, shelf, hits, f), (std::vector<int32_t>{3}));
}

TEST(Suggest, EditDistanceAndAccents) {
  struct Case {
    const char16_t *a, *b;
    int most, distance;
  } cases[] = {{u"saga", u"saga", 2, 0},   {u"saga", u"sgaa", 2, 1},    {u"saga", u"sagan", 2, 1},
               {u"saga", u"s", 2, 3},      {u"reykjavik", u"reykjavík", 2, 1}, {u"kona", u"bóndi", 1, 2},
               {u"", u"ab", 2, 2},          {u"abcdef", u"badcfe", 2, 3}};
  for (const Case& c : cases) EXPECT_EQ(EditDistance(c.a, c.b, c.most), c.distance) << to_utf8(c.a) << " " << to_utf8(c.b);
  EXPECT_EQ(WithoutAccents(u"þórðarbók ærið"), u"thordarbok aerid");
}
