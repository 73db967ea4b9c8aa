#include "marc/description.h"

#include "marc/lists.h"
#include "marc/subfields.h"
#include "marc/trap.h"
#include "record/record_fetch.h"

namespace kvistur {

namespace {

using marc_detail::trap_faults;

// Puts `part` in front of `r` with a separator when r is not empty.
Text before(const Text& part, const char16_t* sep, const Text& r) { return r.empty() ? part : part + sep + r; }

Text description_call_number(const CatalogueRecord& r) {
  return trim(r.Marktákn1 + u" " + r.Marktákn2 + u" " + r.Marktákn3 + u" " + r.Marktákn4);
}

// The pieces of a record that every kind uses.
struct Parts {
  Text main, title, names, edition, publication, physical, series, call;
  explicit Parts(const CatalogueRecord& r)
      : main(FormatName(BuildMainEntry(r.MarkSnið).name)),
        title(BuildTitle(r.Titlar, r.Efnistegund)),
        names(JoinNames(r.Ábyrgðaraðildir)),
        edition(BuildEdition(r)),
        publication(BuildPublication(r)),
        physical(BuildPhysical(r)),
        series(BuildSeries(r)),
        call(description_call_number(r)) {}
};

}  // namespace

Text BuildPublication(const CatalogueRecord& rec) {
  return trap_faults([&] {
    Text r = trim(rec.Útgáfutími);
    if (!trim(rec.Útgefandi).empty()) r = trim(r).empty() ? trim(rec.Útgefandi) : trim(rec.Útgefandi) + u", " + r;
    if (!trim(rec.Útgáfustaður).empty())
      r = trim(r).empty() ? trim(rec.Útgáfustaður) : trim(rec.Útgáfustaður) + u" : " + r;
    return r;
  });
}

Text BuildPhysical(const CatalogueRecord& rec) {
  return trap_faults([&] {
    Text r;
    if (!rec.Fylgiefni.empty()) r = rec.Fylgiefni;
    if (!rec.Stærð.empty()) r = before(trim(rec.Stærð), u" + ", r);
    if (!rec.AðrarUpplýsingar.empty()) r = before(trim(rec.AðrarUpplýsingar), u" ; ", r);
    if (!rec.Umfang.empty()) r = before(trim(rec.Umfang), u" : ", r);
    return r;
  });
}

Text BuildEdition(const CatalogueRecord& rec) {
  return trap_faults([&] {
    Text names = JoinNames(rec.Útgáfa.Nöfn);
    if (!rec.Útgáfa.Texti.empty()) return names.empty() ? rec.Útgáfa.Texti : rec.Útgáfa.Texti + u" / " + names;
    return names;
  });
}

Text BuildSeries(const CatalogueRecord& rec) {
  return trap_faults([&] {
    Text r;
    for (std::size_t i = 0; i < std::size_t(rec.Ritröð.Titlar.count()); ++i) {
      if (i > 0) r += u" : ";
      r += FormatTitleElement(rec.Ritröð.Titlar[i]);
    }
    Text names = JoinNames(rec.Ritröð.Nöfn);
    if (!names.empty()) r = (r.empty() ? Text() : r + u" / ") + names;
    Text number = trim(rec.Ritröð.Tölumerking);
    if (!r.empty()) {
      if (!number.empty()) r += u" ; " + number;
      return u"(" + r + u")";
    }
    return number.empty() ? Text() : u"(" + number + u")";
  });
}

Text BuildHostPart(const CatalogueRecord& rec) {
  return trap_faults([&] {
    const Text& m = rec.MarkSnið;
    Text a792 = GetSubfield(u"792", u"a", m);
    Text a = GetSubfield(u"793", u"a", m), b = GetSubfield(u"793", u"b", m), c = GetSubfield(u"793", u"c", m),
         g = GetSubfield(u"793", u"g", m);
    Text r = b;
    if (!a.empty()) r = before(a, u" : ", r);
    r = r.empty() ? g : g + u"(" + r + u")";
    if (!c.empty()) r = r.empty() ? u"s. " + c : r + u", s. " + c;
    if (!a792.empty()) r = before(a792, u", ", r);
    return r;
  });
}

Text BuildCallNumber(const CatalogueRecord& r) {
  return trap_faults([&] {
    Text s = u"[" + trim(r.Marktákn1 + u" " + trim(r.Marktákn2 + u" " + trim(r.Marktákn3 + u" " + r.Marktákn4))) + u"]";
    return s == u"[]" ? Text() : s;
  });
}

Text BuildAreaTail(const CatalogueRecord& rec) {
  return trap_faults([&] {
    Text r;
    for (const Text& area : {BuildEdition(rec), BuildPublication(rec), BuildPhysical(rec), BuildSeries(rec)})
      if (!area.empty()) r += u". - " + area;
    Text call = BuildCallNumber(rec);
    if (!call.empty()) r += u"  " + call;
    return r;
  });
}

Text BuildDescription(const CatalogueRecord& rec, int16_t flag) {
  return trap_faults([&] {
    Parts p(rec);
    Text r;
    switch (rec.Tag) {
      case 0:
      case 1:
        r = p.title;
        if (!p.names.empty()) r += u" / " + p.names;
        if (!p.main.empty()) r = p.main + u": " + r;
        break;
      case 2: {
        r = p.title;
        if (!p.names.empty()) r = p.names + u": " + r;
        // The host item's record gives what follows "Í:" (its own main
        // entry, title and names) and, from here on, the areas and the call
        // number as well.
        Parts h(FærslaFráID(rec.Upprunafærsla));
        Text host = h.title;
        if (!h.names.empty()) host += u" / " + h.names;
        if (!h.main.empty()) host = h.main + u": " + host;
        r += u"  Í: " + host;
        p = std::move(h);
        break;
      }
      case 100:
        r = p.title + u". " + BuildHostPart(rec) + u" [tímarit]";
        break;
      case 200:
        r = (p.names.empty() ? Text() : p.names + u": ") + p.title;
        r += u". " + BuildHostPart(rec) + u" [tímaritsgrein]";
        break;
      default:
        break;
    }
    for (const Text* area : {&p.edition, &p.publication, &p.physical, &p.series})
      if (!area->empty()) r += u". - " + *area;
    if (!p.call.empty() && flag != 1) r += u" [" + p.call + u"]";
    return r;
  });
}

}  // namespace kvistur
