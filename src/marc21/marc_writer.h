// Writing MARC 21 records as ISO 2709 in UTF-8: the form a catalogue keeps
// each source record in (table Frumfærsla) and the form `kvistur generate
// --marc` writes.  Every field and subfield is written as it is in the
// record, in its order; the leader is the record's own with the lengths,
// the base address, leader/09 `a` (UTF-8) and the entry map worked out.
#pragma once

#include <string>

#include "marc21/marc_reader.h"

namespace kvistur::marc21 {

// The longest record and field ISO 2709 can describe (five and four digits).
inline constexpr std::size_t kMaxIsoRecord = 99999;
inline constexpr std::size_t kMaxIsoField = 9999;

// The record as ISO 2709 bytes.  Throws std::runtime_error when a field or
// the whole record is longer than ISO 2709 can describe, or a tag is not
// three characters.
std::string WriteIso2709(const MarcRecord& r);

}  // namespace kvistur::marc21
