// The record model and the whole-record text parser (what may stand inside
// a value, where a position starts and stops, where the lists end).  The
// record fetch is tested with the record methods.
#include <gtest/gtest.h>

#include "common/error_number.h"
#include "common/record_text_builder.h"
#include "record/record_text.h"

using namespace kvistur;
using kvistur::testing::error_number;
using kvistur::testing::RecordTextBuilder;

namespace {

int error_of(TextView text) { return error_number([&] { ParseRecordText(text); }); }

// The shortest full text: every list empty, every value empty but the Booleans.
const Text kMinimal = Text(6, u'\x05') + u'\x01' + Text(11, u'\x05') + Text(4, u'\x01') + u'\x02' +
                      Text(4, u'\x01') + Text(5, u'\x05');

TEST(RecordModel, ListsHoldCopiesUpToTheirBound) {
  RecordTextBuilder b;
  b.Efnisyfirlit = {{{RecordTextBuilder::title(u"Kafli")}, {}, {}}};
  b.RitraðNöfn = {RecordTextBuilder::name(u"Nafn")};
  CatalogueRecord a = ParseRecordText(b.text()), copy = a;
  copy.Efnisyfirlit[0].Titlar[0].s1 = u"Annar";
  copy.Ritröð.Nöfn[0].p1 = u"Breytt";
  EXPECT_EQ(a.Efnisyfirlit[0].Titlar[0].s1, u"Kafli");
  EXPECT_EQ(a.Ritröð.Nöfn[0].p1, u"Nafn");
  EXPECT_FALSE(a == copy);
  List<TermPair> many;
  for (int i = 0; i < kMaxListCount; ++i) many.append(TermPair{});
  EXPECT_THROW(many.append(TermPair{}), Error);
}

TEST(RecordText, MinimalEmptyAndFullTexts) {
  CatalogueRecord m = ParseRecordText(kMinimal);
  EXPECT_EQ(m.InnlErl, kFalse);
  EXPECT_EQ(m.boolOpinLokuð, kFalse);
  EXPECT_EQ(m.boolHeilÓheil, kFalse);
  EXPECT_EQ(m.Titlar.count(), 0);
  RecordTextBuilder b;
  b.ÚtgáfaNöfn = {RecordTextBuilder::name(u"Jón", u"Jónsson")};
  b.Marktákn1 = u"B";
  b.Titlar = {{u"2.6", u"Saga", u""}, {u"2.5", u"undirtitill", u"x"}, {u"abc", u"þriðji", u""}};
  b.Efnisorð = {{u"a\x02" u"b", u"\x01"}};
  b.Aðfanganúmer = {{u" 1 2 3", u"Gjöf", u"Aðalsafn"}, {u"12abc", u"", u""}, {u"x", u"", u""}};
  b.Efnisyfirlit = {{{RecordTextBuilder::title(u"Kafli")}, {RecordTextBuilder::name(u"Höf")}, {}}, {{}, {}, {{u"a", u"b"}}}};
  b.AukaTitlar = {RecordTextBuilder::title(u"Aukatitill")};
  b.AukaNöfn = {RecordTextBuilder::name(u"Auka")};
  b.RitraðTitlar = {RecordTextBuilder::title(u"Ritröð")};
  b.InnlErl = u"7";
  b.HeilÓheil = u"-1";
  CatalogueRecord r = ParseRecordText(b.text() + u"\r\nanything after the end");
  EXPECT_EQ(r.Útgáfa.Nöfn[0].p2, u"Jónsson");
  EXPECT_EQ(r.Marktákn1, u"B");
  ASSERT_EQ(r.Titlar.count(), 3);
  EXPECT_EQ(r.Titlar[1].iGerð, 2) << "halves go to the even neighbour";
  EXPECT_EQ(r.Titlar[2].iGerð, 0);
  EXPECT_EQ(r.Titlar[1].s2, u"x");
  EXPECT_EQ(r.Efnisorð[0].s1, u"a\x02" u"b") << "only character 5 ends a value";
  EXPECT_EQ(r.Efnisorð[0].s2, u"\x01") << "a second value may start with the list end";
  ASSERT_EQ(r.Aðfanganúmer.count(), 3);
  EXPECT_EQ(r.Aðfanganúmer[0].Númer, 123);
  EXPECT_EQ(r.Aðfanganúmer[1].Númer, 12) << "reading stops at the first letter";
  EXPECT_EQ(r.Aðfanganúmer[2].Númer, 0) << "a value without a number reads as 0";
  EXPECT_EQ(r.Aðfanganúmer[2].boolTagInnanMarka, kFalse);
  EXPECT_EQ(r.Aðfanganúmer[0].boolÍLáni, kFalse);
  ASSERT_EQ(r.Efnisyfirlit.count(), 2);
  EXPECT_EQ(r.Efnisyfirlit[0].Nöfn[0].p1, u"Höf");
  EXPECT_EQ(r.Efnisyfirlit[1].Efnisorð[0].s2, u"b");
  EXPECT_EQ(r.Aukafærslur.Titlar[0].s1, u"Aukatitill");
  EXPECT_EQ(r.Aukafærslur.Nöfn[0].p1, u"Auka");
  EXPECT_EQ(r.Ritröð.Titlar[0].s1, u"Ritröð");
  EXPECT_EQ(r.InnlErl, 7) << "a Boolean keeps the number written";
  EXPECT_EQ(r.boolHeilÓheil, kTrue);
}

TEST(RecordText, FaultsCarryTheirNumbers) {
  RecordTextBuilder b;
  Text full = b.text();
  // Cut after the holdings list: the contents list cannot be looked at.
  std::size_t cut = 0;
  int soh = 0;
  for (std::size_t i = 0; i < full.size(); ++i)
    if (full[i] == u'\x01' && ++soh == 5) cut = i + 1;
  EXPECT_EQ(error_of(full.substr(0, cut)), 5);
  EXPECT_EQ(error_of(full.substr(0, full.size() - 1)), 5);
  b.Aukatexti1 = Text(33000, u'a');
  EXPECT_EQ(error_of(b.text()), 6);
  b.Aukatexti1 = u"";
  b.Aðfanganúmer = {{u"3000000000", u"", u""}};
  EXPECT_EQ(error_of(b.text()), 6) << "a holding number past 32 bits";
  b.Aðfanganúmer = {{u"2147483647", u"", u""}};
  EXPECT_EQ(ParseRecordText(b.text()).Aðfanganúmer[0].Númer, 2147483647);
  b.Aðfanganúmer = {};
  b.InnlErl = u"32768";
  EXPECT_EQ(error_of(b.text()), 6) << "a Boolean is a 16-bit number";
}

TEST(RecordText, NextTokenPositions) {
  Text t = u"\x05" u"a\x01\x02\r\nb\x05";
  int16_t pos = 1;
  EXPECT_EQ(NextToken(pos, t), u"") << "an empty value";
  EXPECT_EQ(pos, 2);
  EXPECT_EQ(NextToken(pos, t), u"a\x01\x02\r\nb");
  EXPECT_EQ(pos, 9);
  EXPECT_EQ(error_number([&] { NextToken(pos, t); }), 5) << "past the end";
  EXPECT_EQ(pos, 9) << "a failed read leaves the position";
  for (int16_t start : {0, -3}) {
    pos = start;
    EXPECT_EQ(error_number([&] { NextToken(pos, t); }), 5);
    EXPECT_EQ(pos, start);
  }
  // The last value that can be read ends at character 32766; one more and
  // the position after it no longer fits in 16 bits.
  pos = 1;
  EXPECT_EQ(NextToken(pos, Text(32765, u'x') + u'\x05').size(), 32765u);
  EXPECT_EQ(pos, 32767);
  pos = 1;
  EXPECT_EQ(error_number([&] { NextToken(pos, Text(32766, u'x') + u'\x05'); }), 6);
  EXPECT_EQ(pos, 1);
}

TEST(RecordText, ListEndsAndTheLastCharacter) {
  // The text up to and including the added titles' end, then one
  // character: the added names end there without an element, and the
  // series titles cannot be looked at.
  std::size_t after_titles = 0;
  int ends = 0;
  for (std::size_t i = 0; i < kMinimal.size(); ++i)
    if ((kMinimal[i] == u'\x01' || kMinimal[i] == u'\x02') && ++ends == 7) after_titles = i + 1;
  ASSERT_GT(after_titles, 0u);
  EXPECT_EQ(error_of(kMinimal.substr(0, after_titles) + u"z"), 5);
  EXPECT_EQ(error_of(kMinimal.substr(0, after_titles) + u"\x01"), 5);
  // A missing contents end: an SOH where the STX should be reads as a
  // contents entry with empty lists, and the rest is read in the wrong
  // places until it runs out.
  Text no_stx = kMinimal;
  no_stx[no_stx.find(u'\x02')] = u'\x01';
  EXPECT_EQ(error_of(no_stx), 5);
  EXPECT_EQ(error_of(kMinimal + u"\x05\x05"), 0) << "what follows the last Boolean is not read";
  EXPECT_EQ(error_of(kMinimal.substr(0, 31)), 5);
}

}  // namespace
