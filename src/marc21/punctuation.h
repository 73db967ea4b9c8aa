// The punctuation cataloguing leaves in MARC, and what becomes of it in the
// record.
//
// Cataloguers key ISBD punctuation into the subfields: a value ends with
// the mark that introduces the next element (" :" before other title
// information, " /" before the statement of responsibility, "," before a
// date, "." at the end of a field, " +" before accompanying material).  The
// component's display rules put those marks in themselves, so the importer
// takes them off when a MARC value becomes a member of the record (StripIsbd)
// and keeps what belongs to the data: the stop after an initial or an
// abbreviation, an ellipsis, brackets and quotes.  docs/import.md has the
// rules as a table with an example of each.
//
// One stop is left over: a value that ends an area with a stop of its own
// ("2nd ed.", "24 cm.") and the ". - " that the display writes after the
// area.  ISBD writes that stop once, and ShareAreaStops does so by giving the
// value's stop to the separator.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "record/catalogue_record.h"

namespace kvistur::marc21 {

// A MARC value without the ISBD punctuation at its ends (and without the
// blanks around it), its own marks kept.
std::string StripIsbd(std::string_view value);
// The same as the part of VALUE it is (no copy).
std::string_view StripIsbdView(std::string_view value);

// Values of several subfields that form one element (a corporate name and
// its subordinate units, a subject heading, a title and its parts) joined
// by blanks, the marks between them kept as the cataloguer wrote them, the
// end stripped.
std::string JoinStripped(const std::vector<std::string>& values);

// A general material designation without its punctuation and its brackets:
// "[graphic]." gives "graphic".
std::string StripDesignation(std::string_view value);

// True when the full stop that ends VALUE is part of the data: after an
// initial ("David N."), an abbreviation ("ed.", "Mass.", "o.fl.") or in an
// ellipsis.
bool KeepsFinalStop(std::string_view value);

// Where the display writes ". - " (or ". ") after a member whose value ends
// in a full stop, drops that stop from the member, so that it is written
// once.  KIND is the record's kind (column Tag).
void ShareAreaStops(CatalogueRecord& r, int kind);

// The text in Unicode normal form C: MARC 21 records carry accents as
// combining characters after their letter ("a" + U+0301), which neither a
// display nor a word index should see apart.
std::string Nfc(std::string_view utf8);
// Whether the text is in normal form C already (quick for plain ASCII).
bool IsNfc(std::string_view utf8);

}  // namespace kvistur::marc21
