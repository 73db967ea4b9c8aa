// What a result page and the JSON show of the facets: each facet's values
// with the hits they leave and the address that narrows by them, the
// values chosen with the address that takes each back, the orders offered
// and the suggestions for a search with few hits.
//
// The narrowing travels in the address (kind=, year=, location=,
// available=1, sort=), so every link is the page's own address with one
// part changed and the page number dropped.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "web/catalogue.h"
#include "web/page.h"

namespace kvistur::web {

// Locations a facet lists at most (those with most hits).
inline constexpr std::size_t kMaxLocationsListed = 20;
// A chosen span of years this short or shorter lists its single years.
inline constexpr int kYearsListedSingly = 10;

// The narrowing and order of the request; refused (400) when a value is
// not one the page offers.
struct Narrowing {
  facets::Filter filter;
  std::string kind, year, location;  // as the address gave them
  Order order = Order::kCatalogue;
};
Narrowing ReadNarrowing(const Request& request);

// The address of the result page for BASE (the search's own parameters)
// and N, with or without one part.
Query NarrowingQuery(const Narrowing& n);

// For the HTML page: "facets" (sections), "chosen_facets", "orders" and
// "suggestions", put into MODEL.  BASE holds the search's parameters
// (q, group, field, the chosen records).
void AddFacetModel(const PageContext& c, const Query& base, const Narrowing& n, const HitPage& hits,
                   nlohmann::json& model);

// For /api/search: "facets" as the JSON gives them (value, label, count).
nlohmann::ordered_json FacetJson(const PageContext& c, const Narrowing& n, const HitPage& hits);

}  // namespace kvistur::web
