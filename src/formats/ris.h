// A record as RIS, the tagged form reference managers read: one "TAG  - "
// line a value, the type first and "ER  - " last, lines ending in CR LF.
// Made from the MARC record (records.h): the title as ISBD joins it,
// authors, year, publisher and place, edition, ISBN and ISSN, subjects,
// series, notes, abstract, links and language.
#pragma once

#include <cstdint>
#include <string>

#include "import/marc_reader.h"

namespace kvistur::formats {

// RECORD as RIS, with ID (the catalogue's record number) as its ID line.
std::string Ris(const import::MarcRecord& record, int32_t id);

}  // namespace kvistur::formats
