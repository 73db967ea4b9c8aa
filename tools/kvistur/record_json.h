// A catalogue record as a JSON object, for `kvistur parse` and the
// ParseRecordText operation of `kvistur host`.
//
// Every member appears under its own name, in the order the record declares
// it; lists are arrays of element objects, the three groups are objects,
// Booleans are the numbers -1 and 0, and Skráning is "YYYY-MM-DD HH:MM:SS".
// Objects keep that order (ordered_json); to_json() gives the plain form.
#pragma once

#include <nlohmann/json.hpp>

#include "record/catalogue_record.h"

namespace kvistur::host {

using ordered_json = nlohmann::ordered_json;

inline ordered_json record_text_json(TextView t) { return to_utf8(t); }

inline ordered_json record_json(const NameEntry& n) {
  ordered_json o = ordered_json::object();
  o["iGerð"] = n.iGerð;
  o["p1"] = record_text_json(n.p1);
  o["p2"] = record_text_json(n.p2);
  o["p3"] = record_text_json(n.p3);
  o["p4"] = record_text_json(n.p4);
  o["p5"] = record_text_json(n.p5);
  o["iRöð"] = n.iRöð;
  return o;
}

inline ordered_json record_json(const TitleElement& t) {
  ordered_json o = ordered_json::object();
  o["s1"] = record_text_json(t.s1);
  o["s2"] = record_text_json(t.s2);
  o["iGerð"] = t.iGerð;
  return o;
}

inline ordered_json record_json(const TermPair& p) {
  ordered_json o = ordered_json::object();
  o["s1"] = record_text_json(p.s1);
  o["s2"] = record_text_json(p.s2);
  return o;
}

inline ordered_json record_json(const HoldingItem& h) {
  ordered_json o = ordered_json::object();
  o["boolTagInnanMarka"] = h.boolTagInnanMarka;
  o["boolÍLáni"] = h.boolÍLáni;
  o["Númer"] = h.Númer;
  o["Athugasemd"] = record_text_json(h.Athugasemd);
  o["Staðsetning"] = record_text_json(h.Staðsetning);
  return o;
}

ordered_json record_json(const ContentsEntry& c);

template <typename T>
ordered_json record_json(const List<T>& list) {
  ordered_json a = ordered_json::array();
  for (const T& item : list) a.push_back(record_json(item));
  return a;
}

inline ordered_json record_json(const ContentsEntry& c) {
  ordered_json o = ordered_json::object();
  o["Titlar"] = record_json(c.Titlar);
  o["Nöfn"] = record_json(c.Nöfn);
  o["Efnisorð"] = record_json(c.Efnisorð);
  return o;
}

inline ordered_json record_json(const EditionGroup& g) {
  ordered_json o = ordered_json::object();
  o["Texti"] = record_text_json(g.Texti);
  o["Nöfn"] = record_json(g.Nöfn);
  return o;
}

inline ordered_json record_json(const AddedEntries& g) {
  ordered_json o = ordered_json::object();
  o["Nöfn"] = record_json(g.Nöfn);
  o["Titlar"] = record_json(g.Titlar);
  return o;
}

inline ordered_json record_json(const SeriesGroup& g) {
  ordered_json o = ordered_json::object();
  o["Titlar"] = record_json(g.Titlar);
  o["Nöfn"] = record_json(g.Nöfn);
  o["Tölumerking"] = record_text_json(g.Tölumerking);
  return o;
}

inline ordered_json record_json(const CatalogueRecord& r) {
  ordered_json o = ordered_json::object();
  o["boolValin"] = r.boolValin;
  o["ID"] = r.ID;
  o["Aukatexti1"] = record_text_json(r.Aukatexti1);
  o["Aukatexti2"] = record_text_json(r.Aukatexti2);
  o["Útgefandi"] = record_text_json(r.Útgefandi);
  o["Útgáfutími"] = record_text_json(r.Útgáfutími);
  o["Útgáfustaður"] = record_text_json(r.Útgáfustaður);
  o["Útgáfa"] = record_json(r.Útgáfa);
  o["Umfang"] = record_text_json(r.Umfang);
  o["Aukatexti3"] = record_text_json(r.Aukatexti3);
  o["Fylgiefni"] = record_text_json(r.Fylgiefni);
  o["Aukatexti4"] = record_text_json(r.Aukatexti4);
  o["Efnistegund"] = record_text_json(r.Efnistegund);
  o["Stærð"] = record_text_json(r.Stærð);
  o["AðrarUpplýsingar"] = record_text_json(r.AðrarUpplýsingar);
  o["InnlErl"] = r.InnlErl;
  o["boolHeilÓheil"] = r.boolHeilÓheil;
  o["boolOpinLokuð"] = r.boolOpinLokuð;
  o["Aukatexti5"] = record_text_json(r.Aukatexti5);
  o["Marktákn1"] = record_text_json(r.Marktákn1);
  o["Marktákn2"] = record_text_json(r.Marktákn2);
  o["Marktákn3"] = record_text_json(r.Marktákn3);
  o["Marktákn4"] = record_text_json(r.Marktákn4);
  o["MarkSnið"] = record_text_json(r.MarkSnið);
  o["Skráning"] = record_text_json(iso_text(r.Skráning));
  o["Tag"] = r.Tag;
  o["Aukafærslur"] = record_json(r.Aukafærslur);
  o["Ritröð"] = record_json(r.Ritröð);
  o["Titlar"] = record_json(r.Titlar);
  o["Ábyrgðaraðildir"] = record_json(r.Ábyrgðaraðildir);
  o["Efnisorð"] = record_json(r.Efnisorð);
  o["Aðfanganúmer"] = record_json(r.Aðfanganúmer);
  o["Efnisyfirlit"] = record_json(r.Efnisyfirlit);
  o["ÖllFærslan"] = record_text_json(r.ÖllFærslan);
  o["Röðunarsvið"] = record_text_json(r.Röðunarsvið);
  o["Upprunafærsla"] = r.Upprunafærsla;
  o["Uppruni"] = r.Uppruni;
  o["UpprunaID"] = r.UpprunaID;
  o["Safndeild"] = r.Safndeild;
  return o;
}

// The plain JSON form (the order of members is then the library's own).
inline nlohmann::json to_json(const ordered_json& o) {
  return nlohmann::json::parse(o.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

}  // namespace kvistur::host
