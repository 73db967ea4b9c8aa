// What the facets know of one record: its kind of material and the year
// it was published, worked out from what the catalogue holds of it.
//
// The record as it came in (Frumfærsla, ISO 2709) says both best: the
// leader's type of record (position 6) and bibliographic level (7) give
// the kind, 008 positions 7-10 the year, else the first year in 264 $c or
// 260 $c.  A record brought over without its source has only its kind of
// entry (Móðurtafla.Tag: 100 a periodical, 2 and 200 parts of another) and
// the publication date of its whole-record text.
#pragma once

#include <cstdint>
#include <string_view>

#include "kvistur/text.h"

namespace kvistur::facets {

// Kinds of material, in the order the facet lists them.  Their names are
// the values of the address's kind= and of the JSON.
enum Kind : uint8_t { kBook, kPeriodical, kArticle, kSound, kFilm, kMap, kMusic, kElectronic, kOther };
inline constexpr int kKinds = 9;
inline constexpr const char* kKindNames[kKinds] = {"book", "periodical", "article", "sound", "film",
                                                   "map",  "music",      "electronic", "other"};
// The kind named NAME, or -1.
int KindNamed(std::string_view name);

// Years a record can be given: others are not years of publication.
inline constexpr int kFirstYear = 1000;
inline constexpr int kLastYear = 2999;

struct Facts {
  Kind kind = kBook;
  int year = 0;  // 0: not known
};

// From the source record's bytes (ISO 2709).  Bytes that are not a record
// give what can be read of them, never a read past their end.
Facts FactsFromSource(std::string_view iso2709);

// Without a source: from the kind of entry and the publication date text.
Facts FactsFromEntry(int tag, const Text& publication_date);

// The first year (kFirstYear..kLastYear, four digits standing alone) in
// TEXT; 0 when none.
int FirstYear(std::string_view text);

}  // namespace kvistur::facets
