// The page of a result page's hits that the search itself cannot give
// (narrowed hits, or an order of catalogue.h's Order other than its own):
// Leita's order first, put in place only up to the page's last when it is
// the order asked for; else the records a title search finds, or the
// years, put in front, each part keeping Leita's order.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/engine.h"
#include "search/facet_table.h"
#include "web/catalogue.h"

namespace kvistur::web {

// HITS (ascending, each once) in ASK's order, those at FIRST to
// FIRST+COUNT-1 (from 0).  TABLE gives the years; STOP_WORDS those Leita
// leaves out.
std::vector<int32_t> OrderedPage(db::Database& database, const std::vector<int32_t>& hits, const SearchAsk& ask,
                                 const facets::FacetTable& table, const SafeArray<Text>& stop_words,
                                 std::size_t first, std::size_t count);

}  // namespace kvistur::web
