// The print list (/print?id=N&id=N...): the chosen records laid out by the
// print layout (FormaFyrirPrentun), as a page to print (format=html, the
// default) or as the RTF document `kvistur print --rtf` makes
// (format=rtf); type=N lays it out as print-list type N.
#pragma once

#include "kvistur/faersla.h"
#include "web/page.h"

namespace kvistur::web {

Response PrintPage(const PageContext& c, Faersla& faersla);

}  // namespace kvistur::web
