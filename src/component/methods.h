// The sixteen public methods as free functions, one file per area; the class
// Faersla (include/kvistur/faersla.h) forwards to them.  Every parameter is
// passed by reference, as hosts pass them.  An optional parameter that the
// host left out is a null pointer.
#pragma once

#include "kvistur/automation.h"

namespace kvistur {

struct FaerslaState;  // per-object state: aDbNames, aDbID

// Log-on and directory (component/logon.cpp, component/directory.cpp).
int32_t MaxResultCount();
int32_t LogOn(FaerslaState& self, Text& szNotandaNafn, Text& szNotandaLykilorð);
int32_t SaekjaHopa(SafeArray<Text>& aHópar, SafeArray<int32_t>& aHópID, SafeArray<Text>& aNames,
                   SafeArray<Text>& aDescriptions);
int32_t SaekjaSvid(int32_t& lHópur, SafeArray<Text>& aSvið, SafeArray<int32_t>& aSviðID);
int32_t SaekjaSofn(int32_t& lHópID, SafeArray<int32_t>& aSofnID, SafeArray<Text>& aNames,
                   SafeArray<Text>& aDescriptions);
// Stop words and collections (component/lists.cpp).
int32_t SaekjaEkkiOrð(SafeArray<Text>& aOrð);
int32_t SofnMedFaerslu(FaerslaState& self, Variant& szEinkenni, SafeArray<int32_t>& aID, SafeArray<Text>& aSöfn,
                       SafeArray<int32_t>& aSöfnID);

// Record data (component/record_methods.cpp).
int32_t FaerslaFraID(Variant& vID, Variant& vOll, Variant& vMark, Variant& vRodun);
int32_t AdfanganumerAFaerslu(int32_t& lID, SafeArray<Text>& aAnr);
int32_t EfnisordAFaerslu(int32_t& lID, SafeArray<Text>& aEfni);

// Display texts (component/display_methods.cpp).  No frame: a failure is
// thrown to the host as an Error.
Text SkilaRSv(Variant& szÖll, Variant& szMarc);
Text SkilaAN(Variant& szÖll);
Text SkilaEN(Variant& szÖll);
Text SkilaGF(Variant& szÖll);

// Search (component/search_method.cpp).
int32_t Leita(Variant& lHópur, Variant& lSvið, Variant& szStr, SafeArray<Text>& aSvar, SafeArray<int32_t>& aSvarID,
              SafeArray<Text>& aEinkenni, SafeArray<Text>& aEkkiOrð, int32_t& lMaxFj, int16_t* iRofi,
              Variant* ctrlC);

// Printing (component/print_method.cpp).
int32_t FormaFyrirPrentun(Variant& vCtrl, SafeArray<int32_t>& lID, SafeArray<int16_t>& iTag, SafeArray<Text>& szA1,
                          SafeArray<Text>& szA2, SafeArray<Text>& szA3);

}  // namespace kvistur
