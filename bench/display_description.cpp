// Speed of the display builders on records already in memory: the one-line
// description that a search builds for every hit it lists (ordinary items,
// articles and periodicals), the whole path of SkilaRSv from a record text,
// and the subfield look-ups on a MARC text of many lines.
#include <benchmark/benchmark.h>

#include "kvistur/number.h"
#include "marc/description.h"
#include "marc/lists.h"
#include "marc/subfields.h"
#include "record/record_text.h"

namespace {

using namespace kvistur;

CatalogueRecord sample(int16_t kind) {
  CatalogueRecord r = EmptyRecord();
  r.Tag = kind;
  r.MarkSnið = u"1001 #$aLaxness$hHalldór Kiljan\r\n245 0 $aÍslandsklukkan\r\n792   $a2. hefti\r\n"
               u"793   $aSkírnir$bTímarit$g170. árg.$c12-34";
  r.Titlar.append(TitleElement{u"Íslandsklukkan", u"", 0});
  r.Titlar.append(TitleElement{u"skáldsaga", u"", 0});
  r.Ábyrgðaraðildir.append(NameEntry{0, u"Halldór", u"Laxness", u"", u"", u"", 0});
  r.Útgáfa.Texti = u"2. útg.";
  r.Útgáfustaður = u"Reykjavík";
  r.Útgefandi = u"Helgafell";
  r.Útgáfutími = u"1943";
  r.Umfang = u"3 b.";
  r.Stærð = u"22 sm";
  r.Ritröð.Titlar.append(TitleElement{u"Verk", u"", 0});
  r.Ritröð.Tölumerking = u"4";
  r.Marktákn1 = u"813";
  r.Marktákn2 = u"Hal";
  return r;
}

void BM_Description(benchmark::State& state) {
  CatalogueRecord r = sample(int16_t(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(BuildDescription(r, 0));
}
BENCHMARK(BM_Description)->Arg(1)->Arg(100)->Arg(200);

void BM_ParseAndDescribe(benchmark::State& state) {
  const Text E(1, u'\x05'), S(1, u'\x01');
  Text text = E + E + u"Helgafell" + E + u"1943" + E + u"Reykjavík" + E + u"2. útg." + E + S + u"3 b." + E + E + E +
              E + E + u"22 sm" + E + E + u"813" + E + u"Hal" + E + E + E + u"0" + E + u"Íslandsklukkan" + E + E +
              S + u"0" + E + u"Halldór" + E + u"Laxness" + E + E + E + E + S + u"Saga" + E + E + S + u"12" + E +
              E + E + S + u"\x02" + S + S + S + S + E + E + u"-1" + E + u"-1" + E + u"-1" + E;
  Text marc = sample(1).MarkSnið;
  for (auto _ : state) {
    CatalogueRecord r = ParseRecordText(text);
    r.MarkSnið = marc;
    benchmark::DoNotOptimize(BuildDescription(r, 0));
    benchmark::DoNotOptimize(HoldingsText(r));
    benchmark::DoNotOptimize(SubjectsText(r));
  }
}
BENCHMARK(BM_ParseAndDescribe);

void BM_SubfieldsOnLongMarc(benchmark::State& state) {
  Text marc;
  for (int i = 0; i < state.range(0); ++i) marc += u"650 0 $aEfnisorð " + number_text(i) + u"$xUndirskipting\r\n";
  marc += u"793   $aRit$g5. árg.$c10";
  for (auto _ : state) {
    benchmark::DoNotOptimize(GetSubfield(u"793", u"g", marc));
    benchmark::DoNotOptimize(FindFieldLine(u"793", marc));
  }
}
BENCHMARK(BM_SubfieldsOnLongMarc)->Arg(10)->Arg(1000);

}  // namespace

BENCHMARK_MAIN();
