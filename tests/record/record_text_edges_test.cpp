// Edges of the whole-record text: what may stand inside a value, where a
// position starts and stops, the end of the added names, and copies of
// whole records.
#include <gtest/gtest.h>

#include "common/record_text_builder.h"
#include "record/record_text.h"

using namespace kvistur;
using kvistur::testing::RecordTextBuilder;

namespace {

int error_of(TextView text) {
  try {
    ParseRecordText(text);
  } catch (const Error& e) {
    return e.number();
  }
  return 0;
}

int next_token_error(int16_t& pos, TextView text) {
  try {
    NextToken(pos, text);
  } catch (const Error& e) {
    return e.number();
  }
  return 0;
}

TEST(RecordTextEdges, NextTokenPositions) {
  Text t = u"\x05" u"a\x01\x02\r\nb\x05";
  int16_t pos = 1;
  EXPECT_EQ(NextToken(pos, t), u"") << "an empty value";
  EXPECT_EQ(pos, 2);
  EXPECT_EQ(NextToken(pos, t), u"a\x01\x02\r\nb") << "only character 5 ends a value";
  EXPECT_EQ(pos, 9);
  EXPECT_EQ(next_token_error(pos, t), 5) << "past the end";
  EXPECT_EQ(pos, 9) << "a failed read leaves the position";
  pos = 0;
  EXPECT_EQ(next_token_error(pos, t), 5);
  pos = -3;
  EXPECT_EQ(next_token_error(pos, t), 5);
  EXPECT_EQ(pos, -3);

  // The last value that can be read ends at character 32766; one more and
  // the position after it no longer fits in 16 bits.
  Text fits = Text(32765, u'x') + u'\x05';
  pos = 1;
  EXPECT_EQ(NextToken(pos, fits).size(), 32765u);
  EXPECT_EQ(pos, 32767);
  Text too_long = Text(32766, u'x') + u'\x05';
  pos = 1;
  EXPECT_EQ(next_token_error(pos, too_long), 6);
  EXPECT_EQ(pos, 1);
}

TEST(RecordTextEdges, ValuesKeepControlCharactersAndLineBreaks) {
  RecordTextBuilder b;
  b.Útgefandi = u"Mál\r\nog menning";
  b.Efnisorð = {{u"a\x02" u"b", u"\x01"}};
  b.Aðfanganúmer = {{u"12abc", u"", u""}, {u"x", u"", u""}};
  CatalogueRecord r = ParseRecordText(b.text());
  EXPECT_EQ(r.Útgefandi, u"Mál\r\nog menning");
  ASSERT_EQ(r.Efnisorð.count(), 1);
  EXPECT_EQ(r.Efnisorð[0].s1, u"a\x02" u"b");
  EXPECT_EQ(r.Efnisorð[0].s2, u"\x01") << "a second value may start with the list end";
  ASSERT_EQ(r.Aðfanganúmer.count(), 2);
  EXPECT_EQ(r.Aðfanganúmer[0].Númer, 12) << "reading stops at the first letter";
  EXPECT_EQ(r.Aðfanganúmer[1].Númer, 0) << "a value without a number reads as 0";
  EXPECT_EQ(r.Aðfanganúmer[1].boolTagInnanMarka, kFalse);

  b.Aðfanganúmer = {{u"3000000000", u"", u""}};
  EXPECT_EQ(error_of(b.text()), 6) << "a holding number past 32 bits";
  b.Aðfanganúmer = {{u"2147483647", u"", u""}};
  EXPECT_EQ(ParseRecordText(b.text()).Aðfanganúmer[0].Númer, 2147483647);
  b.Aðfanganúmer = {};
  b.InnlErl = u"32768";
  EXPECT_EQ(error_of(b.text()), 6) << "a Boolean is a 16-bit number";
  b.InnlErl = u"7";
  EXPECT_EQ(ParseRecordText(b.text()).InnlErl, 7) << "a Boolean keeps the number written";
}

TEST(RecordTextEdges, ListEndsAndTheLastCharacter) {
  Text full = Text(6, u'\x05') + u'\x01' + Text(11, u'\x05') + Text(4, u'\x01') + u'\x02' + Text(4, u'\x01') +
              Text(5, u'\x05');
  // The text up to and including the added titles' end (ten list ends and
  // the contents end), then one character: the added names end there
  // without an element, and the series titles cannot be looked at.
  std::size_t after_titles = 0;
  int ends = 0;
  for (std::size_t i = 0; i < full.size(); ++i)
    if ((full[i] == u'\x01' || full[i] == u'\x02') && ++ends == 7) after_titles = i + 1;
  ASSERT_GT(after_titles, 0u);
  EXPECT_EQ(error_of(full.substr(0, after_titles) + u"z"), 5);
  EXPECT_EQ(error_of(full.substr(0, after_titles) + u"\x01"), 5);

  // A missing contents end: the STX is where a contents entry would start,
  // so an SOH there reads as an entry with empty lists and the rest of the
  // text is read in the wrong places until it runs out.
  Text no_stx = full;
  no_stx[no_stx.find(u'\x02')] = u'\x01';
  EXPECT_EQ(error_of(no_stx), 5);

  // Each list empty stands as its end alone: the shortest full text.
  EXPECT_EQ(error_of(full), 0);
  EXPECT_EQ(error_of(full + u"\x05\x05"), 0) << "what follows the last Boolean is not read";
  EXPECT_EQ(error_of(full.substr(0, 31)), 5);
}

TEST(RecordTextEdges, RecordsAreValues) {
  RecordTextBuilder b;
  b.Efnisyfirlit = {{{RecordTextBuilder::title(u"Kafli")}, {}, {}}};
  b.RitraðNöfn = {RecordTextBuilder::name(u"Nafn")};
  CatalogueRecord a = ParseRecordText(b.text());
  CatalogueRecord copy = a;
  copy.Efnisyfirlit[0].Titlar[0].s1 = u"Annar";
  copy.Ritröð.Nöfn[0].p1 = u"Breytt";
  EXPECT_EQ(a.Efnisyfirlit[0].Titlar[0].s1, u"Kafli");
  EXPECT_EQ(a.Ritröð.Nöfn[0].p1, u"Nafn");
  EXPECT_FALSE(a == copy);
  copy = a;
  EXPECT_TRUE(a == copy);
  List<TitleElement> titles;
  for (const char16_t* s : {u"a", u"b", u"c"}) titles.append(TitleElement{s, u"", 0});
  ASSERT_EQ(titles.count(), 3);
  EXPECT_EQ(titles[2].s1, u"c");
  titles.clear();
  EXPECT_EQ(titles.count(), 0);
}

}  // namespace
