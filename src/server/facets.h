// Facets for library clients: SRU 2.0's facetLimit (facetLimit=10:kind,
// 5:location) and Z39.50's facet list in a search's other information,
// both of which YAZ's front end hands a search as a facet list and sends
// back from one.  The facets are the web's (search/facets.h): kind, year
// (by decade), location and available, counted over every record of the
// result set; another index gets a facet without terms.
#pragma once

#include <yaz/z-core.h>

#include <cstdint>
#include <vector>

#include <yaz/odr.h>

#include "server/result_sets.h"

namespace kvistur::server {

// Terms one facet gives at most, whatever a client asks for, and when it
// asks for no number.
inline constexpr int kMaxFacetTerms = 100;
inline constexpr int kDefaultFacetTerms = 10;

// When ASKED holds a facet list, the facets of every record of HITS (in
// whatever order they stand yet) in ANSWER (allocated on STREAM).  In a
// method call, with the catalogue logged on to.
void AnswerFacets(ODR stream, Z_OtherInformation* asked, Z_OtherInformation** answer, const ResultSet& hits);

}  // namespace kvistur::server
