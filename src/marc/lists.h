// The holdings, subject and contents lists of a record, and the joins of
// names, subject headings and titles that other displays share.
#pragma once

#include "record/catalogue_record.h"

namespace kvistur {

// "1234, note, location" (the note and location only when not blank).
Text FormatHolding(const HoldingItem& item);
// Each name by FormatName (or pair by FormatPair), joined by " ; "; an
// empty one still brings its separator.
Text JoinNames(const List<NameEntry>& names);
Text JoinPairs(const List<TermPair>& pairs);
// "Title [designation] : other title : ...".
Text BuildTitle(const List<TitleElement>& titles, TextView designation);

// The texts behind SkilaAN, SkilaEN and SkilaGF, from a parsed record.
Text HoldingsText(const CatalogueRecord& r);   // lines joined by CR LF
Text SubjectsText(const CatalogueRecord& r);   // " ; "
Text ContentsText(const CatalogueRecord& r);   // lines joined by CR LF
Text ContentsLine(const ContentsEntry& e);

}  // namespace kvistur
