// The areas of the description one by one, the first part of every record
// kind, and a component part that takes its host's areas from the catalogue.
// (A whole book's description is pinned by the display methods' tests and
// the corpus.)
#include <gtest/gtest.h>

#include "common/record_text_builder.h"
#include "common/site.h"
#include "marc/description.h"
#include "platform/engine.h"
#include "settings/settings.h"
#include "settings/thread_state.h"

using namespace kvistur;
using kvistur::testing::RecordTextBuilder;
using kvistur::testing::Site;

namespace {

NameEntry name(Text p1, Text p2 = u"") { return {0, std::move(p1), std::move(p2), u"", u"", u"", 0}; }

TEST(DescriptionAreas, PublicationPhysicalAndTail) {
  CatalogueRecord r = EmptyRecord();
  EXPECT_EQ(BuildPublication(r), u"");
  r.Útgefandi = u" Útg. ";
  EXPECT_EQ(BuildPublication(r), u"Útg.");
  r.Útgáfutími = u"  ";
  EXPECT_EQ(BuildPublication(r), u"Útg.") << "a date of blanks drops out with its comma";
  r.Útgáfutími = u" 2001 ";
  EXPECT_EQ(BuildPublication(r), u"Útg., 2001");
  r.Útgáfustaður = u"Rvk.";
  EXPECT_EQ(BuildPublication(r), u"Rvk. : Útg., 2001");
  r.Útgefandi = u"";
  EXPECT_EQ(BuildPublication(r), u"Rvk. : 2001");

  r = EmptyRecord();
  EXPECT_EQ(BuildPhysical(r), u"");
  r.Umfang = u"120 s. ";
  EXPECT_EQ(BuildPhysical(r), u"120 s.");
  r.AðrarUpplýsingar = u"myndir";
  r.Stærð = u"24 sm";
  r.Fylgiefni = u" kort ";
  EXPECT_EQ(BuildPhysical(r), u"120 s. : myndir ; 24 sm +  kort ") << "accompanying material as stored";
  r.Stærð = u"  ";
  EXPECT_EQ(BuildPhysical(r), u"120 s. : myndir ;  +  kort ") << "dimensions of blanks still bring their sign";
  r.Stærð = u"";
  r.Umfang = u"";
  EXPECT_EQ(BuildPhysical(r), u"myndir ;  kort ");

  r = EmptyRecord();
  EXPECT_EQ(BuildAreaTail(r), u"");
  r.Marktákn3 = u"C";
  EXPECT_EQ(BuildAreaTail(r), u"  [C]");
  r.Umfang = u"90 s.";
  EXPECT_EQ(BuildAreaTail(r), u". - 90 s.  [C]");
}

TEST(DescriptionAreas, EditionSeriesAndCallNumbers) {
  CatalogueRecord r = EmptyRecord();
  EXPECT_EQ(BuildEdition(r), u"");
  r.Útgáfa.Nöfn.append(name(u"Ritstj."));
  EXPECT_EQ(BuildEdition(r), u"Ritstj.");
  r.Útgáfa.Texti = u" 2. útg. ";
  EXPECT_EQ(BuildEdition(r), u" 2. útg.  / Ritstj.") << "the edition statement as stored";

  EXPECT_EQ(BuildSeries(r), u"");
  r.Ritröð.Tölumerking = u"  ";
  EXPECT_EQ(BuildSeries(r), u"");
  r.Ritröð.Tölumerking = u" 5 ";
  EXPECT_EQ(BuildSeries(r), u"(5)") << "a number alone";
  r.Ritröð.Tölumerking = u"  ";
  r.Ritröð.Nöfn.append(name(u"Félag"));
  EXPECT_EQ(BuildSeries(r), u"(Félag)");
  r.Ritröð.Titlar.append(TitleElement{u"Safn", u"rita"});
  r.Ritröð.Titlar.append(TitleElement{u"undirröð", u""});
  r.Ritröð.Tölumerking = u" 12 ";
  EXPECT_EQ(BuildSeries(r), u"(Safn rita : undirröð / Félag ; 12)");

  EXPECT_EQ(BuildCallNumber(r), u"");
  r.Marktákn1 = u"A";
  r.Marktákn4 = u"D";
  EXPECT_EQ(BuildCallNumber(r), u"[A D]") << "printing nests the trims";
  r.Tag = 7;
  EXPECT_EQ(BuildDescription(r, 0), u". -  2. útg.  / Ritstj.. - (Safn rita : undirröð / Félag ; 12) [A   D]")
      << "the description trims only the ends";
  r.Marktákn1 = u"";
  r.Marktákn2 = u"1";
  EXPECT_EQ(BuildCallNumber(r), u"[1 D]");
}

TEST(DescriptionKinds, FirstPartByKind) {
  CatalogueRecord r = EmptyRecord();
  r.MarkSnið = u"1004 #$aSnorri$bSturluson";
  r.Titlar.append(TitleElement{u"Edda", u""});
  r.Ábyrgðaraðildir.append(name(u"Snorri", u"Sturluson"));
  r.Ábyrgðaraðildir.append(name(u"Jón"));
  r.Útgáfustaður = u"Rvk.";
  EXPECT_EQ(BuildDescription(r, 0), u"Snorri Sturluson: Edda / Snorri Sturluson ; Jón. - Rvk.");
  r.Tag = 1;
  r.Efnistegund = u"hljóðrit";
  EXPECT_EQ(BuildDescription(r, 0), u"Snorri Sturluson: Edda [hljóðrit] / Snorri Sturluson ; Jón. - Rvk.");
  r.MarkSnið = u"1002 #$aSnorri";
  EXPECT_EQ(BuildDescription(r, 0), u"Edda [hljóðrit] / Snorri Sturluson ; Jón. - Rvk.")
      << "a main entry that formats to nothing leaves no colon";

  r.Tag = 100;
  r.MarkSnið = u"1004 #$aSnorri\r\n793  $aRit$g3. árg.";
  EXPECT_EQ(BuildDescription(r, 0), u"Edda [hljóðrit]. 3. árg.(Rit) [tímarit]. - Rvk.")
      << "a periodical shows neither main entry nor responsibility";
  r.Tag = 200;
  EXPECT_EQ(BuildDescription(r, 0), u"Snorri Sturluson ; Jón: Edda [hljóðrit]. 3. árg.(Rit) [tímaritsgrein]. - Rvk.");
  r.Ábyrgðaraðildir = {};
  EXPECT_EQ(BuildDescription(r, 0), u"Edda [hljóðrit]. 3. árg.(Rit) [tímaritsgrein]. - Rvk.");

  r.Tag = 100;
  r.Titlar = {};
  r.MarkSnið = u"793  $g5. árg.";
  r.Marktákn1 = u"T";
  EXPECT_EQ(BuildDescription(r, 0), u". 5. árg. [tímarit]. - Rvk. [T]");
  EXPECT_EQ(BuildDescription(r, 1), u". 5. árg. [tímarit]. - Rvk.");
  r.MarkSnið = u"";
  EXPECT_EQ(BuildDescription(r, 0), u".  [tímarit]. - Rvk. [T]");

  r.Tag = -1;
  EXPECT_EQ(BuildDescription(r, 0), u". - Rvk. [T]");
  r.Útgáfustaður = u"";
  EXPECT_EQ(BuildDescription(r, 0), u" [T]");
  EXPECT_EQ(BuildDescription(r, 1), u"");

  CatalogueRecord untitled = EmptyRecord();
  untitled.Ábyrgðaraðildir.append(name(u"Jón"));
  EXPECT_EQ(BuildDescription(untitled, 0), u" / Jón");
}

TEST(DescriptionKinds, HostCitation) {
  const std::pair<const char16_t*, const char16_t*> cases[] = {
      {u"", u""}, {u"793  $g5. árg.", u"5. árg."}, {u"793  $bundir", u"(undir)"}, {u"793  $aRit$bundir", u"(Rit : undir)"},
      {u"793  $c10-12", u"s. 10-12"}, {u"792  $a2. hefti\r\n793  $c10-12", u"2. hefti, s. 10-12"},
      // Values untrimmed; the text and each line's data trimmed.
      {u"793  $aRit $g5. árg. $c9 \r\n792  $aH ", u"H, 5. árg. (Rit ), s. 9"}};
  for (auto [marc, citation] : cases) {
    CatalogueRecord r = EmptyRecord();
    r.MarkSnið = marc;
    EXPECT_EQ(BuildHostPart(r), citation) << to_utf8(marc);
  }
}

// A component part (kind 2) in a catalogue: its own title and names, then
// "Í:" and the host record's main entry, title, names, areas and call number;
// without a log-on, nothing.
TEST(ComponentPart, ShowsTheHostRecordsAreas) {
  Site site;
  RecordTextBuilder host;
  host.Titlar = {RecordTextBuilder::title(u"Safnrit")};
  host.Ábyrgðaraðildir = {RecordTextBuilder::name(u"Ritstjóri")};
  host.Útgáfustaður = u"Rvk.";
  host.Útgáfutími = u"1999";
  host.Marktákn1 = u"S";
  site.catalogue_sql(
      "INSERT INTO Móðurtafla (ID, Skráning, ÖllFærslan, MarkSnið, Upprunafærsla, Röðunarsvið, Tag, Uppruni, "
      "Safndeild, UpprunaID) VALUES (40, '1999-01-01 00:00:00', '" +
      to_utf8(host.text()) + "', '1104 #$aFélagið', 0, 'safnrit', 1, 0, 1, 0)");
  CatalogueRecord part = EmptyRecord();
  part.Tag = 2;
  part.Upprunafærsla = 40;
  part.Titlar.append(TitleElement{u"Kafli", u""});
  part.Ábyrgðaraðildir.append(name(u"Höf"));
  part.MarkSnið = u"1004 #$aHöf";
  part.Útgáfustaður = u"Annar staður";
  part.Marktákn1 = u"X";

  thread_state() = ThreadState{};
  ThreadState& ts = thread_state();
  ts.engine = db::create_sqlite_engine();
  ts.engine->set_system_db(DatabaseFolder() + u"System.mdw");
  ts.workspace = ts.engine->CreateWorkspace(u"LR", u"Admin", u"");
  EXPECT_EQ(BuildDescription(part, 0), u"Höf: Kafli  Í: Félagið: Safnrit / Ritstjóri. - Rvk. : 1999 [S]");
  EXPECT_EQ(BuildDescription(part, 1), u"Höf: Kafli  Í: Félagið: Safnrit / Ritstjóri. - Rvk. : 1999");
  part.Upprunafærsla = 41;
  EXPECT_EQ(BuildDescription(part, 0), u"Höf: Kafli  Í: ") << "a host that is not there is an empty record";
  auto lines = site.log_lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "MeldaError: FærslaFráID, lFærsluID: ,  40, ");
  EXPECT_EQ(lines[2], "MeldaError: FærslaFráID, lFærsluID: , -1, ");

  thread_state() = ThreadState{};
  EXPECT_EQ(BuildDescription(part, 0), u"") << "no log-on";
  part.Tag = 0;
  EXPECT_EQ(BuildDescription(part, 0), u"Höf: Kafli / Höf. - Annar staður [X]");
  EXPECT_EQ(site.log_lines(), lines) << "no lines without a log-on";
}

}  // namespace
