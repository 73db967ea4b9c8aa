// The search form (/), the result page (/search) and the same hits as
// JSON (/api/search).
//
// The result page keeps the records a patron has chosen for the print
// list in the address (id=N, once a record), so the choice travels from
// page to page through the forms' own fields, with JavaScript or without:
// the check boxes of the page's hits, and hidden fields for those chosen
// on other pages.
#pragma once

#include "kvistur/faersla.h"
#include "web/page.h"

namespace kvistur::web {

Response HomePage(const PageContext& c, Faersla& faersla);
Response ResultsPage(const PageContext& c, Faersla& faersla);
Response SearchApi(const PageContext& c, Faersla& faersla);

}  // namespace kvistur::web
