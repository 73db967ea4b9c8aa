// Writes whole-record texts for tests: values end with character 5, lists
// with character 1 (the contents list with character 2).
#pragma once

#include <string>
#include <vector>

#include "kvistur/text.h"

namespace kvistur::testing {

struct RecordTextBuilder {
  std::u16string Aukatexti1, Aukatexti2, Útgefandi, Útgáfutími, Útgáfustaður, ÚtgáfaTexti;
  std::vector<std::vector<std::u16string>> ÚtgáfaNöfn;
  std::u16string Umfang, Aukatexti3, Fylgiefni, Aukatexti4, Efnistegund, Stærð, AðrarUpplýsingar;
  std::u16string Marktákn1, Marktákn2, Marktákn3, Marktákn4;
  std::vector<std::vector<std::u16string>> Titlar;            // iGerð, s1, s2
  std::vector<std::vector<std::u16string>> Ábyrgðaraðildir;   // iGerð, p1..p5
  std::vector<std::vector<std::u16string>> Efnisorð;          // s1, s2
  std::vector<std::vector<std::u16string>> Aðfanganúmer;      // Númer, Athugasemd, Staðsetning
  // Each contents entry: titles, names, terms.
  struct Contents {
    std::vector<std::vector<std::u16string>> titles, names, terms;
  };
  std::vector<Contents> Efnisyfirlit;
  std::vector<std::vector<std::u16string>> AukaTitlar, AukaNöfn, RitraðTitlar, RitraðNöfn;
  std::u16string Tölumerking, Aukatexti5, InnlErl = u"-1", OpinLokuð = u"-1", HeilÓheil = u"-1";

  static void values(std::u16string& out, const std::vector<std::u16string>& vs) {
    for (auto& v : vs) out += v + u'\x05';
  }
  static void list(std::u16string& out, const std::vector<std::vector<std::u16string>>& items, char16_t end = u'\x01') {
    for (auto& i : items) values(out, i);
    out += end;
  }
  // A name entry with iGerð 0 and the five parts given (missing ones empty).
  static std::vector<std::u16string> name(std::u16string p1, std::u16string p2 = u"", std::u16string p3 = u"",
                                          std::u16string p4 = u"", std::u16string p5 = u"") {
    return {u"0", p1, p2, p3, p4, p5};
  }
  static std::vector<std::u16string> title(std::u16string s1, std::u16string s2 = u"") { return {u"0", s1, s2}; }

  std::u16string text() const {
    std::u16string o;
    values(o, {Aukatexti1, Aukatexti2, Útgefandi, Útgáfutími, Útgáfustaður, ÚtgáfaTexti});
    list(o, ÚtgáfaNöfn);
    values(o, {Umfang, Aukatexti3, Fylgiefni, Aukatexti4, Efnistegund, Stærð, AðrarUpplýsingar, Marktákn1, Marktákn2,
               Marktákn3, Marktákn4});
    list(o, Titlar);
    list(o, Ábyrgðaraðildir);
    list(o, Efnisorð);
    list(o, Aðfanganúmer);
    for (auto& c : Efnisyfirlit) {
      list(o, c.titles);
      list(o, c.names);
      list(o, c.terms);
    }
    o += u'\x02';
    list(o, AukaTitlar);
    list(o, AukaNöfn);
    list(o, RitraðTitlar);
    list(o, RitraðNöfn);
    values(o, {Tölumerking, Aukatexti5, InnlErl, OpinLokuð, HeilÓheil});
    return o;
  }
};

}  // namespace kvistur::testing
