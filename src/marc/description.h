// The one-line bibliographic description of a record, and the area builders
// the print layout shares.
//
//   Main entry: Title [designation] : other title / names. - Edition.
//   - Place : Publisher, Date. - Extent : Details ; Size + Material.
//   - (Series / names ; number) [call number]
//
// Periodicals (kind 100), articles (200) and component parts (2, which
// fetch their host record) get a first part of their own.  Every builder
// traps every fault and returns "".
#pragma once

#include "record/catalogue_record.h"

namespace kvistur {

Text BuildPublication(const CatalogueRecord& r);
Text BuildPhysical(const CatalogueRecord& r);
Text BuildEdition(const CatalogueRecord& r);
Text BuildSeries(const CatalogueRecord& r);
// The periodical citation from MARC fields 792 and 793.
Text BuildHostPart(const CatalogueRecord& r);
// "[B 1 2]" for printing; "" when every part is empty.
Text BuildCallNumber(const CatalogueRecord& r);
// The areas after the title, each after ". - ", then two blanks and the
// call number, for printing.
Text BuildAreaTail(const CatalogueRecord& r);
// flag 1 leaves the call number out.
Text BuildDescription(const CatalogueRecord& r, int16_t flag);

}  // namespace kvistur
