// Reading a record's MARC text and writing the record's small elements as
// one line each.
//
// The MARC text (member MarkSnið) is a sequence of field lines ended by a
// carriage return and one more character: tag in characters 1-3, the two
// indicators in 4 and 5, character 6 not read, subfields from character 7 on
// as "$" + code + value.  A "$" always starts a subfield.  Every comparison
// is exact and case-sensitive; trimming removes blanks only.  All of these
// are pure and report no errors: what is missing gives "".
#pragma once

#include <vector>

#include "record/catalogue_record.h"

namespace kvistur {

struct MainEntry {
  NameEntry name;
  // 0 from field 100, 3 from 110, 2 from 111, 1 none of them; -1 before
  // BuildMainEntry has run.
  int16_t kind = -1;
};
inline MainEntry EmptyMainEntry() { return {}; }

// The first line whose first characters equal the tag (as many as it has),
// the whole line; "" when none.
Text FindFieldLine(TextView tag, TextView marc);
// Lines at 1..n; slot 0 is there and empty.
std::vector<Text> SplitLines(TextView marc);
// The subfield data of one line cut at each "$": piece 1 is what stands
// before the first "$", later pieces start with their code; slot 0 empty.
std::vector<Text> SplitSubfields(TextView line);
// The first subfield with that code in the first line with that tag (three
// characters compared), untrimmed.
Text GetSubfield(TextView tag, TextView code, TextView marc);
// The value after the first occurrence of the marker ("$a") anywhere in the
// line, up to the next "$", trimmed.
Text SubfieldValue(TextView marker, TextView line);
MainEntry BuildMainEntry(TextView marc);
Text FormatName(const NameEntry& e);
Text FormatPair(const TermPair& p);
Text FormatTitleElement(const TitleElement& t);

}  // namespace kvistur
