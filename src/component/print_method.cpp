// FormaFyrirPrentun: the print layout over records fetched by number.
#include "component/methods.h"
#include "print/layout.h"
#include "record/record_fetch.h"

namespace kvistur {

int32_t FormaFyrirPrentun(Variant& vCtrl, SafeArray<int32_t>& lID, SafeArray<int16_t>& iTag, SafeArray<Text>& szA1,
                          SafeArray<Text>& szA2, SafeArray<Text>& szA3) {
  PrintLines out{iTag, szA1, szA2, szA3};
  return PrintLayout(vCtrl, lID, out, [](int32_t id) { return FærslaFráID(id); });
}

}  // namespace kvistur
