// Leita: the search, inside the method frame.  A failure that reaches it
// returns -1 with neither a failure line nor the exit line.
#include "component/methods.h"
#include "search/search.h"
#include "settings/frame.h"

namespace kvistur {

int32_t Leita(Variant& lHópur, Variant& lSvið, Variant& szStr, SafeArray<Text>& aSvar, SafeArray<int32_t>& aSvarID,
              SafeArray<Text>& aEinkenni, SafeArray<Text>& aEkkiOrð, int32_t& lMaxFj, int16_t* iRofi,
              Variant* ctrlC) {
  return run_in_frame({u"Leita inn", 0, u"Leita út, normal", -1, false}, [&]() -> int32_t {
    Text str = szStr.to_text();
    int32_t field = lSvið.to_i32();
    int32_t group = lHópur.to_i32();
    Fremjaleit(group, field, str, aSvar, aSvarID, aEinkenni, aEkkiOrð, lMaxFj, iRofi ? *iRofi : int16_t(0), ctrlC);
    return aSvar.ubound();
  });
}

}  // namespace kvistur
