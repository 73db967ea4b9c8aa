// The order of a result page's hits other than the catalogue's own
// (catalogue.h, Order): Leita's order first, then the records a title
// search finds, or the years, put in front, each part keeping Leita's order.
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
