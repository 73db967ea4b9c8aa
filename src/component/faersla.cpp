#include "kvistur/faersla.h"

#include "component/faersla_state.h"
#include "component/methods.h"
#include "settings/log.h"

namespace kvistur {

Faersla::Faersla() : state_(std::make_unique<FaerslaState>()) {}

Faersla::~Faersla() {
  MeldaError(u"terminate Start", 0, u"", false);
  MeldaError(u"Terminate út, normal", 0, u"", false);
}

const SafeArray<Text>& Faersla::database_names() const { return state_->aDbNames; }
const SafeArray<int32_t>& Faersla::database_ids() const { return state_->aDbID; }

int32_t Faersla::MaxResultCount() { return kvistur::MaxResultCount(); }

int32_t Faersla::FormaFyrirPrentun(Variant& vCtrl, SafeArray<int32_t>& lID, SafeArray<int16_t>& iTag,
                                   SafeArray<Text>& szA1, SafeArray<Text>& szA2, SafeArray<Text>& szA3) {
  return kvistur::FormaFyrirPrentun(vCtrl, lID, iTag, szA1, szA2, szA3);
}

int32_t Faersla::SaekjaEkkiOrð(SafeArray<Text>& aOrð) { return kvistur::SaekjaEkkiOrð(aOrð); }

int32_t Faersla::AdfanganumerAFaerslu(int32_t& lID, SafeArray<Text>& aAnr) {
  return kvistur::AdfanganumerAFaerslu(lID, aAnr);
}

int32_t Faersla::FaerslaFraID(Variant& vID, Variant& vOll, Variant& vMark, Variant& vRodun) {
  return kvistur::FaerslaFraID(vID, vOll, vMark, vRodun);
}

int32_t Faersla::EfnisordAFaerslu(int32_t& lID, SafeArray<Text>& aEfni) {
  return kvistur::EfnisordAFaerslu(lID, aEfni);
}

int32_t Faersla::SofnMedFaerslu(Variant& szEinkenni, SafeArray<int32_t>& aID, SafeArray<Text>& aSöfn,
                                SafeArray<int32_t>& aSöfnID) {
  return kvistur::SofnMedFaerslu(*state_, szEinkenni, aID, aSöfn, aSöfnID);
}

int32_t Faersla::Leita(Variant& lHópur, Variant& lSvið, Variant& szStr, SafeArray<Text>& aSvar,
                       SafeArray<int32_t>& aSvarID, SafeArray<Text>& aEinkenni, SafeArray<Text>& aEkkiOrð,
                       int32_t& lMaxFj, int16_t* iRofi, Variant* ctrlC) {
  return kvistur::Leita(lHópur, lSvið, szStr, aSvar, aSvarID, aEinkenni, aEkkiOrð, lMaxFj, iRofi, ctrlC);
}

Text Faersla::SkilaRSv(Variant& szÖll, Variant& szMarc) { return kvistur::SkilaRSv(szÖll, szMarc); }

int32_t Faersla::SaekjaHopa(SafeArray<Text>& aHópar, SafeArray<int32_t>& aHópID, SafeArray<Text>& aNames,
                            SafeArray<Text>& aDescriptions) {
  return kvistur::SaekjaHopa(aHópar, aHópID, aNames, aDescriptions);
}

int32_t Faersla::SaekjaSvid(int32_t& lHópur, SafeArray<Text>& aSvið, SafeArray<int32_t>& aSviðID) {
  return kvistur::SaekjaSvid(lHópur, aSvið, aSviðID);
}

int32_t Faersla::SaekjaSofn(int32_t& lHópID, SafeArray<int32_t>& aSofnID, SafeArray<Text>& aNames,
                            SafeArray<Text>& aDescriptions) {
  return kvistur::SaekjaSofn(lHópID, aSofnID, aNames, aDescriptions);
}

Text Faersla::SkilaAN(Variant& szÖll) { return kvistur::SkilaAN(szÖll); }
Text Faersla::SkilaEN(Variant& szÖll) { return kvistur::SkilaEN(szÖll); }
Text Faersla::SkilaGF(Variant& szÖll) { return kvistur::SkilaGF(szÖll); }

int32_t Faersla::LogOn(Text& szNotandaNafn, Text& szNotandaLykilorð) {
  return kvistur::LogOn(*state_, szNotandaNafn, szNotandaLykilorð);
}

}  // namespace kvistur
