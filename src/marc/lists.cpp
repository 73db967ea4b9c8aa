#include "marc/lists.h"

#include "kvistur/number.h"
#include "marc/subfields.h"
#include "marc/trap.h"

namespace kvistur {

Text FormatHolding(const HoldingItem& item) {
  return marc_detail::trap_faults([&] {
    Text s = number_text(item.Númer);
    Text note = trim(item.Athugasemd), place = trim(item.Staðsetning);
    if (!note.empty()) s += u", " + note;
    if (!place.empty()) s += u", " + place;
    return s;
  });
}

namespace {
template <typename T, typename F>
Text join(const List<T>& list, F one) {
  Text s;
  for (std::size_t i = 0; i < std::size_t(list.count()); ++i) {
    if (i > 0) s += u" ; ";
    s += one(list[i]);
  }
  return s;
}
}  // namespace

Text JoinNames(const List<NameEntry>& names) {
  return marc_detail::trap_faults([&] { return join(names, FormatName); });
}

Text JoinPairs(const List<TermPair>& pairs) { return join(pairs, FormatPair); }

Text BuildTitle(const List<TitleElement>& titles, TextView designation) {
  return marc_detail::trap_faults([&] {
    if (titles.empty()) return Text();
    Text s = FormatTitleElement(titles[0]);
    if (!designation.empty()) s += u" [" + Text(designation) + u"]";
    for (std::size_t i = 1; i < std::size_t(titles.count()); ++i) s += u" : " + FormatTitleElement(titles[i]);
    return s;
  });
}

Text HoldingsText(const CatalogueRecord& r) {
  Text s;
  for (std::size_t i = 0; i < std::size_t(r.Aðfanganúmer.count()); ++i) {
    if (i > 0) s += u"\r\n";
    s += FormatHolding(r.Aðfanganúmer[i]);
  }
  return s;
}

Text SubjectsText(const CatalogueRecord& r) { return JoinPairs(r.Efnisorð); }

Text ContentsLine(const ContentsEntry& e) {
  Text names = JoinNames(e.Nöfn);
  Text title = BuildTitle(e.Titlar, u"");
  Text line;
  if (trim(names).empty()) line = title;
  else if (!trim(title).empty()) line = names + u": " + title;
  else line = names;
  Text subjects = JoinPairs(e.Efnisorð);
  if (!subjects.empty()) line = trim(line) + u". - " + subjects;
  return line;
}

Text ContentsText(const CatalogueRecord& r) {
  Text s;
  for (std::size_t i = 0; i < std::size_t(r.Efnisyfirlit.count()); ++i) {
    if (i > 0) s += u"\r\n";
    s += ContentsLine(r.Efnisyfirlit[i]);
  }
  return s;
}

}  // namespace kvistur
