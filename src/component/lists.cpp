// The stop words and the collections that hold a record.
#include "component/faersla_state.h"
#include "component/methods.h"
#include "component/rows.h"
#include "platform/open_database.h"
#include "settings/frame.h"

namespace kvistur {

int32_t SaekjaEkkiOrð(SafeArray<Text>& aOrð) {
  return run_in_frame({u"SækjaEkkiOrð inn", 0, u"SaekjaEkkiOrð út, normal", 0}, [&]() -> int32_t {
    auto database = open_catalogue();
    auto rs = database->OpenRecordset(u"SELECT DISTINCT E.EkkiOrð FROM EkkiOrð E;");
    int32_t n = read_rows(
        *rs, false, [&](int32_t n) { aOrð.redim(0, n); },
        [&](int32_t i) { aOrð(i) = upper_is(rs->field(u"EkkiOrð").to_text()); });
    if (n == 0) aOrð.redim(0, 0);
    rs->Close();
    database->Close();
    return 0;
  });
}

int32_t SofnMedFaerslu(FaerslaState& self, Variant& szEinkenni, SafeArray<int32_t>& aID, SafeArray<Text>& aSöfn,
                       SafeArray<int32_t>& aSöfnID) {
  return run_in_frame({u"SofnMedFaerslu inn", 0, u"SofnMedFaerslu út, normal"}, [&]() -> int32_t {
    auto database = open_catalogue();
    // The text goes into the query as it is: a quote in it breaks the query.
    auto rs = database->OpenRecordset(u"Select m.ID, m.Safndeild FROM Móðurtafla m WHERE m.Einkennisstrengur = '" +
                                      szEinkenni.to_text() + u"'ORDER BY m.ID");
    int32_t n = read_rows(
        *rs, true,
        [&](int32_t n) {
          aID.redim(0, n);
          aSöfn.redim(0, n);
          aSöfnID.redim(0, n);
        },
        [&](int32_t i) {
          aID(i) = rs->field(u"ID").to_i32();
          Variant safndeild = rs->field(u"Safndeild");
          int32_t last = self.aDbNames.ubound();  // 9 when LogOn never filled the list
          for (int32_t j = 1; j <= last; ++j) {
            if (!safndeild.is_null() && safndeild.to_double() == self.aDbID(j)) {
              aSöfnID(i) = self.aDbID(j);
              aSöfn(i) = self.aDbNames(j);
              break;
            }
          }
        });
    rs->Close();
    database->Close();
    return n;
  });
}

}  // namespace kvistur
