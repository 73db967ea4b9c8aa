// Faersla: the one public class of Kvistur.
//
// A host creates a Faersla, calls LogOn with a user name and password, and
// then calls the other methods to list database groups and search fields,
// search the catalogue's word index, fetch records with their holdings and
// subject headings, turn whole-record texts into display strings and lay
// record lists out for printing.  Every parameter is passed by reference:
// a method may rewrite any of them (arrays are re-dimensioned to 0..n and
// filled at 1..n).  An optional parameter the host leaves out is a null
// pointer.
//
// Threads: an object is used only on the thread that created it.  The debug
// flag, the database engine and the log-on workspace belong to the thread
// and are shared by every object on it; each thread needs its own LogOn.
//
//   kvistur::Faersla f;
//   kvistur::Text user = u"Admin", pw = u"";
//   f.LogOn(user, pw);
//   kvistur::SafeArray<kvistur::Text> names, descs, groups;
//   kvistur::SafeArray<int32_t> ids;
//   int32_t n = f.SaekjaHopa(groups, ids, names, descs);
#pragma once

#include <memory>

#include "kvistur/automation.h"

namespace kvistur {

struct FaerslaState;

class Faersla {
 public:
  Faersla();
  // Writes "terminate Start" and "Terminate út, normal" to the diagnostic
  // log (with debugging on); closes nothing of the thread's.
  ~Faersla();
  Faersla(const Faersla&) = delete;
  Faersla& operator=(const Faersla&) = delete;

  int32_t MaxResultCount();
  int32_t FormaFyrirPrentun(Variant& vCtrl, SafeArray<int32_t>& lID, SafeArray<int16_t>& iTag, SafeArray<Text>& szA1,
                            SafeArray<Text>& szA2, SafeArray<Text>& szA3);
  int32_t SaekjaEkkiOrð(SafeArray<Text>& aOrð);
  int32_t AdfanganumerAFaerslu(int32_t& lID, SafeArray<Text>& aAnr);
  int32_t FaerslaFraID(Variant& vID, Variant& vOll, Variant& vMark, Variant& vRodun);
  int32_t EfnisordAFaerslu(int32_t& lID, SafeArray<Text>& aEfni);
  int32_t SofnMedFaerslu(Variant& szEinkenni, SafeArray<int32_t>& aID, SafeArray<Text>& aSöfn,
                         SafeArray<int32_t>& aSöfnID);
  int32_t Leita(Variant& lHópur, Variant& lSvið, Variant& szStr, SafeArray<Text>& aSvar, SafeArray<int32_t>& aSvarID,
                SafeArray<Text>& aEinkenni, SafeArray<Text>& aEkkiOrð, int32_t& lMaxFj, int16_t* iRofi = nullptr,
                Variant* ctrlC = nullptr);
  Text SkilaRSv(Variant& szÖll, Variant& szMarc);
  int32_t SaekjaHopa(SafeArray<Text>& aHópar, SafeArray<int32_t>& aHópID, SafeArray<Text>& aNames,
                     SafeArray<Text>& aDescriptions);
  int32_t SaekjaSvid(int32_t& lHópur, SafeArray<Text>& aSvið, SafeArray<int32_t>& aSviðID);
  int32_t SaekjaSofn(int32_t& lHópID, SafeArray<int32_t>& aSofnID, SafeArray<Text>& aNames,
                     SafeArray<Text>& aDescriptions);
  Text SkilaAN(Variant& szÖll);
  Text SkilaEN(Variant& szÖll);
  Text SkilaGF(Variant& szÖll);
  int32_t LogOn(Text& szNotandaNafn, Text& szNotandaLykilorð);

  // The object's database list, filled by LogOn (for hosts and tests).
  const SafeArray<Text>& database_names() const;
  const SafeArray<int32_t>& database_ids() const;

 private:
  std::unique_ptr<FaerslaState> state_;
};

}  // namespace kvistur
