// One record (/record/ID): its description as the display rules build it,
// every copy with its location, note and loan state, the subjects and the
// series as links that search them, the contents, its permanent address;
// and the record to take away (/record/ID.mrc, .xml, .ris), announced on
// the page with <link rel="alternate">.
#pragma once

#include <cstdint>
#include <string>

#include "kvistur/faersla.h"
#include "web/page.h"

namespace kvistur::web {

Response RecordPage(const PageContext& c, Faersla& faersla, int32_t id);
// FORM is "mrc" (MARC 21, ISO 2709), "xml" (MARCXML) or "ris".
Response RecordDownload(const PageContext& c, int32_t id, const std::string& form);

}  // namespace kvistur::web
