// The finer points of the subfield primitives, the name forms and the list
// joins: where trimming happens and where it does not, and which of the two
// tag comparisons each operation makes.
#include <gtest/gtest.h>

#include "marc/lists.h"
#include "marc/subfields.h"

using namespace kvistur;

namespace {

NameEntry name(Text p1, Text p2 = u"", Text p3 = u"", Text p4 = u"", Text p5 = u"", int16_t order = 0) {
  return {0, std::move(p1), std::move(p2), std::move(p3), std::move(p4), std::move(p5), order};
}

TEST(SubfieldPrimitives, LineEndsAndTagMatching) {
  // The character after a carriage return is skipped whatever it is.
  EXPECT_EQ(FindFieldLine(u"245", u"100 a\rX245 b"), u"245 b");
  EXPECT_EQ(SplitLines(u"100 a\rX245 b"), (std::vector<Text>{u"", u"100 a", u"245 b"}));
  // A line feed alone ends nothing, so GetSubfield sees only the 100 line.
  EXPECT_EQ(GetSubfield(u"245", u"a", u"100  $aX\n245  $aY"), u"");
  // Two characters match any third in FindFieldLine (the host's own tests
  // show it); GetSubfield wants three.
  EXPECT_EQ(GetSubfield(u"79", u"a", u"793  $aRit"), u"");
  EXPECT_EQ(FindFieldLine(u"", u"100  $aX\r\n245"), u"100  $aX") << "an empty tag matches the first line";
  EXPECT_EQ(FindFieldLine(u"245", u""), u"");
  // Tags compare exactly.
  EXPECT_EQ(FindFieldLine(u"24a", u"24A  $aX"), u"");
  EXPECT_EQ(SplitLines(u"   "), std::vector<Text>{u""});
  EXPECT_EQ(SplitLines(u"  a\r\n\r\nb  "), (std::vector<Text>{u"", u"a", u"", u"b"})) << "two line ends, one empty line";
}

TEST(SubfieldPrimitives, PiecesAndValues) {
  EXPECT_EQ(SplitSubfields(u"245 0 $aTitill$b undir "), (std::vector<Text>{u"", u"", u"aTitill", u"b undir"}))
      << "data starting with $ gives an empty first piece; the data is trimmed as a whole";
  EXPECT_EQ(SplitSubfields(u"245 0"), std::vector<Text>{u""});
  EXPECT_EQ(SplitSubfields(u"245 0 a$$b"), (std::vector<Text>{u"", u"a", u"", u"b"}));
  // Piece 1 counts too: its first character is taken as a code.
  EXPECT_EQ(GetSubfield(u"245", u"x", u"245 0 xyz$aTitill"), u"yz");
  // Only the first line with the tag is looked at, even when it lacks the code.
  EXPECT_EQ(GetSubfield(u"793", u"g", u"793  $aRit\r\n793  $g5"), u"");
  EXPECT_EQ(SubfieldValue(u"$g", u"793  $g  "), u"");
  EXPECT_EQ(SubfieldValue(u"$z", u"793  $g5"), u"");
  EXPECT_EQ(SubfieldValue(u"$a", u"100 $a1$aJón$aPáll"), u"1") << "only the first occurrence counts";
  EXPECT_EQ(SubfieldValue(u"00", u"1004 #$aX"), u"4 #") << "the marker is looked for in the whole line";
  EXPECT_EQ(GetSubfield(u"245", u"a", u"245  $a\tX\t"), u"\tX\t") << "only blanks are trimmed";
}

TEST(SubfieldPrimitives, MainEntryByIndicator) {
  MainEntry m = BuildMainEntry(u"1000 #$aSnorri$iSturluson$bII$cskáld");
  EXPECT_EQ(m.kind, 0);
  EXPECT_EQ(m.name, name(u"", u"Snorri", u"Sturluson", u"II", u"skáld", 1));
  EXPECT_EQ(FormatName(m.name), u"II, Snorri Sturluson skáld");
  m = BuildMainEntry(u"1004 #$aSnorri$iSturluson$bII$cskáld");
  EXPECT_EQ(m.name, name(u"", u"Snorri", u"Sturluson", u"II", u"skáld", 0));
  EXPECT_EQ(FormatName(m.name), u"Snorri Sturluson II skáld");
  m = BuildMainEntry(u"1001 #$aJónsson$hJón");
  EXPECT_EQ(m.name, name(u"", u"Jón", u"", u"Jónsson", u"", 1)) << "$h without a blank goes whole into p2";
  for (const char16_t* line : {u"1003 #$aX", u"1009 #$aX", u"100"}) {
    m = BuildMainEntry(line);
    EXPECT_EQ(m.kind, 0) << to_utf8(line);
    EXPECT_EQ(FormatName(m.name), u"") << to_utf8(line);
  }
  EXPECT_EQ(BuildMainEntry(u"1009 #$aX").name.iRöð, 0);
  EXPECT_EQ(BuildMainEntry(u"1003 #$aX").name.iRöð, 1);
  m = BuildMainEntry(u"245  $aT\r\n111  $aÞing $cRvk\r\n110  $aStofnun");
  EXPECT_EQ(m.kind, 3) << "110 is looked for before 111";
  EXPECT_EQ(m.name, name(u"", u"Stofnun"));
  EXPECT_EQ(EmptyMainEntry().kind, -1);
}

TEST(SubfieldPrimitives, NameAndPairForms) {
  EXPECT_EQ(FormatName(name(u"", u"Jón", u"Páll", u"", u"", 1)), u", Jón Páll");
  EXPECT_EQ(FormatName(name(u"A", u"B", u"", u"D", u"E", 1)), u"A D, B E");
  EXPECT_EQ(FormatName(name(u"", u"A", u"", u"", u"C")), u"A C");
  EXPECT_EQ(FormatName(name(u"", u"A", u"B", u"", u"C")), u"A B  C");
  EXPECT_EQ(FormatName(name(u" P1 ", u" P2 ")), u"P1   P2") << "blanks inside a group stay";
  EXPECT_EQ(FormatName(name(u"", u"", u"", u"", u"", 1)), u"") << "no parts, no comma";
  EXPECT_EQ(FormatName(name(u"X", u"", u"", u"", u"", -1)), u"");
  EXPECT_EQ(FormatPair(TermPair{u"", u" Ísland "}), u"Ísland");
  EXPECT_EQ(FormatPair(TermPair{u"Saga ", u" Ísland"}), u"Saga   Ísland");
  EXPECT_EQ(FormatTitleElement(TitleElement{u"Titill", u"undir", 3}), u"Titill undir");
}

TEST(ListJoins, SeparatorsHoldingsAndTitles) {
  List<NameEntry> names;
  EXPECT_EQ(JoinNames(names), u"");
  names.append(name(u"A"));
  names.append(name(u""));
  names.append(name(u"B", u"C"));
  EXPECT_EQ(JoinNames(names), u"A ;  ; B C") << "an empty name keeps its separator";
  List<TermPair> pairs;
  EXPECT_EQ(JoinPairs(pairs), u"");
  pairs.append(TermPair{u"Saga", u"Ísland"});
  EXPECT_EQ(JoinPairs(pairs), u"Saga Ísland");
  HoldingItem h;
  EXPECT_EQ(FormatHolding(h), u"0");
  h.Númer = 2147483647;
  h.Athugasemd = u"  ";
  h.Staðsetning = u" Útibú ";
  EXPECT_EQ(FormatHolding(h), u"2147483647, Útibú");
  h.Númer = -2147483647 - 1;
  h.Athugasemd = u" Gjöf";
  EXPECT_EQ(FormatHolding(h), u"-2147483648, Gjöf, Útibú");
  List<TitleElement> titles;
  EXPECT_EQ(BuildTitle(titles, u"hljóðrit"), u"") << "no title, no designation";
  titles.append(TitleElement{u"Titill", u""});
  titles.append(TitleElement{u"", u""});
  titles.append(TitleElement{u"þriðji", u"hluti"});
  EXPECT_EQ(BuildTitle(titles, u"mynd"), u"Titill [mynd] :  : þriðji hluti");
  EXPECT_EQ(BuildTitle(titles, u""), u"Titill :  : þriðji hluti");
}

TEST(ListJoins, ContentsLines) {
  ContentsEntry e;
  EXPECT_EQ(ContentsLine(e), u"");
  e.Nöfn.append(name(u"Höf"));
  EXPECT_EQ(ContentsLine(e), u"Höf");
  e.Efnisorð.append(TermPair{u"Saga", u""});
  e.Efnisorð.append(TermPair{u"Ljóð", u""});
  EXPECT_EQ(ContentsLine(e), u"Höf. - Saga ; Ljóð");
  e.Titlar.append(TitleElement{u"Kafli", u""});
  EXPECT_EQ(ContentsLine(e), u"Höf: Kafli. - Saga ; Ljóð");
  ContentsEntry blank_names;
  blank_names.Nöfn.append(name(u""));
  blank_names.Titlar.append(TitleElement{u"Kafli", u""});
  EXPECT_EQ(ContentsLine(blank_names), u"Kafli") << "names that format to nothing give the title alone";
  CatalogueRecord r = EmptyRecord();
  EXPECT_EQ(ContentsText(r), u"");
  r.Efnisyfirlit.append(e);
  r.Efnisyfirlit.append(ContentsEntry{});
  r.Efnisyfirlit.append(blank_names);
  EXPECT_EQ(ContentsText(r), u"Höf: Kafli. - Saga ; Ljóð\r\n\r\nKafli");
}

}  // namespace
