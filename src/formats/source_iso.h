// A stored source record handed out in ISO 2709 as it stands, its holdings
// spliced in, instead of read into fields and written again.
//
// A source record `kvistur build` stored is the ISO 2709 the catalogue's
// writer wrote: its fields one after another in the order the directory
// lists them, each value UTF-8 without separators or other control
// characters.  Reading such a record and writing it again gives the same
// bytes, field for field; only the holdings (852, 952), made afresh from
// the copies, and the leader's lengths change.  So a present copies the
// fields' bytes and writes a new directory, and a record of any other
// shape (a record stored from elsewhere, MARC-8, values that the writer
// would clean) takes the long way, which gives what this would have given.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "marc21/marc_reader.h"

namespace kvistur::formats {

// Whether SOURCE is a record of that shape: one ISO 2709 record in UTF-8
// (leader/09 "a") with the usual leader (two indicators, one-character
// codes, entry map 4500, printable), its fields laid out back to back from
// the base address in directory order to the record's end, each data
// field two indicators and its subfields, each value text the writer
// writes as it stands (marc21::clean_utf8_text).
bool HandedOutAsStored(std::string_view source);

// SOURCE (HandedOutAsStored) with its 852 and 952 fields replaced by
// HOLDINGS (their values as the writer writes them, cleaned of control
// characters), where the first of them stood or else before the first
// field tagged above 852, as ISO 2709; nullopt when the record so made
// would not fit the format's sizes.
std::optional<std::string> SplicedIso2709(std::string_view source, const std::vector<marc21::MarcField>& holdings);

}  // namespace kvistur::formats
