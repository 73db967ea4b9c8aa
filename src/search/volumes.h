// The holdings of a periodical: one line per volume, newest first, each with
// its year and its issues ("\r\n12,(2001) 1,2,3,4").
#pragma once

#include "platform/engine.h"
#include "record/catalogue_record.h"

namespace kvistur {

// True with `text` replaced by the holdings text; false after a failure,
// with `text` left as it was.
bool BuildVolumeList(db::Database& database, const CatalogueRecord& record, Text& text);

}  // namespace kvistur
