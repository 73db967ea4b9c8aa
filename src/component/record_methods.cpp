// The record methods: a record's three texts, its holdings as display lines
// and its subject headings.
#include "component/methods.h"
#include "component/rows.h"
#include "marc/lists.h"
#include "marc/subfields.h"
#include "platform/open_database.h"
#include "record/record_fetch.h"
#include "record/record_text.h"
#include "settings/frame.h"

namespace kvistur {

int32_t FaerslaFraID(Variant& vID, Variant& vOll, Variant& vMark, Variant& vRodun) {
  return run_in_frame({u"OllFraID inn", 0, u"OllMarkFraID út, normal"}, [&]() -> int32_t {
    int32_t id = vID.to_i32();
    CatalogueRecord r = FærslaFráID(id);
    vOll = Variant(r.ÖllFærslan);
    vMark = Variant(r.MarkSnið);
    vRodun = Variant(r.Röðunarsvið);
    return 0;
  });
}

int32_t AdfanganumerAFaerslu(int32_t& lID, SafeArray<Text>& aAnr) {
  return run_in_frame({u"Adfanganumer inn", 0, u"Adfanganumer út, normal"}, [&]() -> int32_t {
    auto database = open_catalogue();
    CatalogueRecord r = FærslaFráID(lID);
    r.ID = lID;
    LoadHoldings(r, *database);
    int32_t n = r.Aðfanganúmer.count();
    aAnr.redim(0, n);
    for (int32_t i = 1; i <= n; ++i) {
      const HoldingItem& item = r.Aðfanganúmer[std::size_t(i - 1)];
      aAnr(i) = Text(item.boolÍLáni ? u"*" : u" ") + FormatHolding(item);
    }
    database->Close();
    return n;
  });
}

int32_t EfnisordAFaerslu(int32_t& lID, SafeArray<Text>& aEfni) {
  return run_in_frame({u"EfnisordAFaerslu inn", 0, u"EfnisordAFaerslu út, normal"}, [&]() -> int32_t {
    auto database = open_catalogue();
    auto rs = database->OpenRecordset(u"Select m.ÖllFærslan FROM Móðurtafla m WHERE m.ID = " + number_text(lID));
    CatalogueRecord r = ParseRecordText(rs->field(u"ÖllFærslan").to_text());
    int32_t n = r.Efnisorð.count();
    aEfni.redim(0, n);
    for (int32_t i = 1; i <= n; ++i) aEfni(i) = FormatPair(r.Efnisorð[std::size_t(i - 1)]);
    rs->Close();
    database->Close();
    return n;
  });
}

}  // namespace kvistur
