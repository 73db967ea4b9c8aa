// Subfield access, the lists and the bibliographic description, with the
// punctuation of each area.
#include <gtest/gtest.h>

#include "common/record_text_builder.h"
#include "marc/description.h"
#include "marc/lists.h"
#include "marc/subfields.h"
#include "record/record_text.h"

using namespace kvistur;
using kvistur::testing::RecordTextBuilder;

namespace {

const Text kMarc = u"1004 #$aFornafn$bEftirnafn\r\n245 0 $aTitill $bundir\r\n793  $aRit\r\n793  $gÁrg.\r\n650 0 $aSaga $xÍsland";

TEST(Subfields, LinesPiecesAndValues) {
  EXPECT_EQ(FindFieldLine(u"245", kMarc), u"245 0 $aTitill $bundir");
  EXPECT_EQ(FindFieldLine(u"24", kMarc), u"245 0 $aTitill $bundir");
  EXPECT_EQ(FindFieldLine(u"999", kMarc), u"");
  EXPECT_EQ(FindFieldLine(u"245", u"100 x\n245 y"), u"") << "a line feed alone does not end a line";
  std::vector<Text> lines = SplitLines(u"  a\r\n\r\nb  ");
  EXPECT_EQ(lines, (std::vector<Text>{u"", u"a", u"", u"b"}));
  EXPECT_EQ(SplitSubfields(u"245 0 x$aTitill $b$"), (std::vector<Text>{u"", u"x", u"aTitill ", u"b"}));
  EXPECT_EQ(GetSubfield(u"245", u"a", kMarc), u"Titill ") << "untrimmed";
  EXPECT_EQ(SubfieldValue(u"$a", u"245 0 $aTitill $bundir"), u"Titill");
  EXPECT_EQ(GetSubfield(u"793", u"g", kMarc), u"") << "only the first 793 line is read";
  EXPECT_EQ(GetSubfield(u"24", u"a", kMarc), u"");
  EXPECT_EQ(SubfieldValue(u"00", u"1004 #$aX"), u"4 #");
}

TEST(Subfields, MainEntryAndNames) {
  MainEntry m = BuildMainEntry(u"1001 #$aJónsson$hJón Páll$cprestur\r\n110  $aStofnun");
  EXPECT_EQ(m.kind, 0);
  EXPECT_EQ(FormatName(m.name), u"Jónsson, Jón Páll prestur");
  EXPECT_EQ(FormatName(BuildMainEntry(u"1000 #$aSnorri$iSturluson").name), u", Snorri Sturluson");
  EXPECT_EQ(FormatName(BuildMainEntry(u"1002 #$aX\r\n110  $aY").name), u"");
  EXPECT_EQ(BuildMainEntry(u"110  $aStofnun").kind, 3);
  EXPECT_EQ(FormatName(BuildMainEntry(u"111  $aÞing").name), u"Þing");
  EXPECT_EQ(BuildMainEntry(u"111  $aÞing").kind, 2);
  EXPECT_EQ(BuildMainEntry(u"").kind, 1);
  NameEntry n;
  n.p2 = u"A";
  n.p3 = u"B";
  n.p5 = u"C";
  EXPECT_EQ(FormatName(n), u"A B  C");
  n.iRöð = 7;
  EXPECT_EQ(FormatName(n), u"");
  EXPECT_EQ(FormatPair(TermPair{u" Saga", u""}), u"Saga");
}

TEST(Lists, HoldingsSubjectsContents) {
  RecordTextBuilder b;
  b.Aðfanganúmer = {{u"0", u"  ", u" "}, {u"12", u"", u"Útibú"}, {u"-3", u"Gjöf", u"Safn"}};
  b.Efnisorð = {{u"Saga", u"Ísland"}, {u"", u""}, {u"Ljóð", u""}};
  b.Efnisyfirlit = {{{RecordTextBuilder::title(u"Kafli", u""), RecordTextBuilder::title(u"undir")}, {RecordTextBuilder::name(u"Höf")}, {}},
                    {{}, {RecordTextBuilder::name(u"Nafn")}, {}},
                    {{}, {}, {{u"Efni", u""}}}};
  CatalogueRecord r = ParseRecordText(b.text());
  EXPECT_EQ(HoldingsText(r), u"0\r\n12, Útibú\r\n-3, Gjöf, Safn");
  EXPECT_EQ(SubjectsText(r), u"Saga Ísland ;  ; Ljóð");
  EXPECT_EQ(ContentsText(r), u"Höf: Kafli : undir\r\nNafn\r\n. - Efni");
  EXPECT_EQ(HoldingsText(ParseRecordText(u"")), u"");
  List<TitleElement> one;
  one.append(TitleElement{u"Titill", u""});
  EXPECT_EQ(BuildTitle(one, u"hljóðrit"), u"Titill [hljóðrit]");
}

CatalogueRecord worked_example() {
  CatalogueRecord r = EmptyRecord();
  r.MarkSnið = u"1004 #$aFornafn$bEftirnafn";
  r.Titlar.append(TitleElement{u"Titill", u""});
  r.Titlar.append(TitleElement{u"undirtitill", u""});
  NameEntry n;
  n.p1 = u"Fornafn";
  n.p2 = u"Eftirnafn";
  r.Ábyrgðaraðildir.append(n);
  r.Útgáfa.Texti = u"2. útg.";
  r.Útgáfustaður = u"Staður";
  r.Útgefandi = u"Útgefandi";
  r.Útgáfutími = u"2001";
  r.Umfang = u"120 s.";
  r.AðrarUpplýsingar = u"myndir";
  r.Stærð = u"24 sm";
  r.Marktákn1 = u"B";
  r.Marktákn2 = u"1";
  return r;
}

TEST(Description, WorkedExamples) {
  EXPECT_EQ(BuildDescription(worked_example(), 0),
            u"Fornafn Eftirnafn: Titill : undirtitill / Fornafn Eftirnafn. - 2. útg.. - Staður : Útgefandi, 2001. - "
            u"120 s. : myndir ; 24 sm [B 1]");
  EXPECT_EQ(BuildDescription(worked_example(), 1).find(u"[B 1]"), Text::npos);

  // The same record through SkilaRSv, from its whole-record text.
  RecordTextBuilder b;
  b.Titlar = {RecordTextBuilder::title(u"Titill"), RecordTextBuilder::title(u"undirtitill")};
  b.Ábyrgðaraðildir = {RecordTextBuilder::name(u"Fornafn", u"Eftirnafn")};
  b.ÚtgáfaTexti = u"2. útg.";
  b.Útgáfustaður = u"Staður";
  b.Útgefandi = u"Útgefandi";
  b.Útgáfutími = u"2001";
  b.Umfang = u"120 s.";
  b.AðrarUpplýsingar = u"myndir";
  b.Stærð = u"24 sm";
  b.Marktákn1 = u"B";
  b.Marktákn2 = u"1";
  CatalogueRecord parsed = ParseRecordText(b.text());
  parsed.MarkSnið = u"1004 #$aFornafn$bEftirnafn";
  EXPECT_EQ(BuildDescription(parsed, 0), BuildDescription(worked_example(), 0));

  CatalogueRecord p = EmptyRecord();
  p.Tag = 100;
  p.Titlar.append(TitleElement{u"Titill", u""});
  p.MarkSnið = u"792  $a2. hefti\r\n793  $aRitið$bundirtitill$g5. árg.$c10-12";
  EXPECT_EQ(BuildDescription(p, 0), u"Titill. 2. hefti, 5. árg.(Ritið : undirtitill), s. 10-12 [tímarit]");
}

TEST(Description, AreasAndKinds) {
  CatalogueRecord r = EmptyRecord();
  r.Útgáfustaður = u"Reykjavík";
  EXPECT_EQ(BuildPublication(r), u"Reykjavík");
  r.Útgáfutími = u"1944";
  EXPECT_EQ(BuildPublication(r), u"Reykjavík : 1944");
  r.Umfang = u"90 s.";
  r.Stærð = u"21 sm";
  EXPECT_EQ(BuildPhysical(r), u"90 s. : 21 sm");
  r.Stærð = u"";
  r.Fylgiefni = u"kort";
  r.AðrarUpplýsingar = u"myndir";
  EXPECT_EQ(BuildPhysical(r), u"90 s. : myndir ; kort");
  r.Ritröð.Tölumerking = u" 4 ";
  EXPECT_EQ(BuildSeries(r), u"(4)");
  r.Ritröð.Titlar.append(TitleElement{u"Safn", u""});
  NameEntry n;
  n.p1 = u"Ritstj.";
  r.Ritröð.Nöfn.append(n);
  EXPECT_EQ(BuildSeries(r), u"(Safn / Ritstj. ; 4)");
  r.Marktákn1 = u"A";
  r.Marktákn3 = u"C";
  EXPECT_EQ(BuildCallNumber(r), u"[A C]");
  EXPECT_EQ(BuildAreaTail(r), u". - Reykjavík : 1944. - 90 s. : myndir ; kort. - (Safn / Ritstj. ; 4)  [A C]");
  r.Tag = 7;
  EXPECT_EQ(BuildDescription(r, 0), u". - Reykjavík : 1944. - 90 s. : myndir ; kort. - (Safn / Ritstj. ; 4) [A  C]");

  CatalogueRecord a = EmptyRecord();
  a.Tag = 200;
  a.Titlar.append(TitleElement{u"Grein", u""});
  a.Ábyrgðaraðildir.append(n);
  a.MarkSnið = u"793  $c5";
  EXPECT_EQ(BuildDescription(a, 0), u"Ritstj.: Grein. s. 5 [tímaritsgrein]");
  a.MarkSnið = u"793  $aRit$bundir";
  EXPECT_EQ(BuildHostPart(a), u"(Rit : undir)");
  a.MarkSnið = u"792  $aHefti";
  EXPECT_EQ(BuildHostPart(a), u"Hefti");
  CatalogueRecord t = EmptyRecord();
  t.Ábyrgðaraðildir.append(n);
  EXPECT_EQ(BuildDescription(t, 0), u" / Ritstj.");
}

}  // namespace
