// Speed of the print layout on records already in memory: a list of 500
// ordinary items and periodical articles laid out in text mode and into a
// control that only counts its writes, by print-list type.  The record
// fetch is left out, so this measures the layout and the area builders.
#include <benchmark/benchmark.h>

#include <memory>

#include "print/layout.h"

namespace {

using namespace kvistur;

class CountingControl : public Dispatch {
 public:
  long writes = 0;
  Variant invoke(TextView member, std::vector<Variant>&) override { throw no_such_member(member); }
  Variant get(TextView member) override { throw no_such_member(member); }
  void put(TextView, const Variant&) override { ++writes; }
};

CatalogueRecord sample(int32_t id) {
  CatalogueRecord r = EmptyRecord();
  r.ID = id;
  r.Tag = id % 2 ? 1 : 200;
  r.MarkSnið = u"1004  $aHalldór$bLaxness\r\n793   $aSkírnir$g170. árg.$c12-34\r\n";
  r.Titlar.append(TitleElement{u"Íslandsklukkan", u"", 0});
  r.Titlar.append(TitleElement{u"skáldsaga", u"", 0});
  r.Ábyrgðaraðildir.append(NameEntry{0, u"Halldór", u"Laxness", u"", u"", u"", 0});
  r.Útgáfustaður = u"Reykjavík";
  r.Útgefandi = u"Helgafell";
  r.Útgáfutími = u"1943";
  r.Umfang = u"3 b.";
  r.Marktákn1 = u"813";
  r.Marktákn2 = u"Hal";
  r.Efnisorð.append(TermPair{u"Skáldsögur", u"Ísland"});
  return r;
}

void lay_out(benchmark::State& state, const Variant& vCtrl) {
  const int16_t type = int16_t(state.range(0));
  std::vector<int32_t> ids{0};
  for (int32_t i = 1; i <= 500; ++i) ids.push_back(i);
  SafeArray<int32_t> lID(0, ids);
  RecordSource fetch = [](int32_t id) { return sample(id); };
  for (auto _ : state) {
    SafeArray<int16_t> iTag;
    SafeArray<Text> a1, a2, a3;
    PrintLines out{iTag, a1, a2, a3};
    benchmark::DoNotOptimize(LayOutRecords(vCtrl, lID, type, fetch, out));
  }
  state.SetItemsProcessed(state.iterations() * 500);
}

void BM_TextMode(benchmark::State& state) { lay_out(state, Variant(int16_t(1))); }
void BM_ControlMode(benchmark::State& state) {
  lay_out(state, Variant(std::static_pointer_cast<Dispatch>(std::make_shared<CountingControl>())));
}

BENCHMARK(BM_TextMode)->Arg(0)->Arg(1)->Arg(3);
BENCHMARK(BM_ControlMode)->Arg(0)->Arg(3);

}  // namespace

BENCHMARK_MAIN();
