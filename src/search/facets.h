// Facets: how the hits of a search divide by kind of material, year,
// location of copies and whether a copy is on the shelf, counted over
// every hit, and the hits narrowed to the values a patron chose.
//
//   auto table = FacetsFor(database);                  // once per state
//   auto shelf = ShelfOf(database, table);             // the loans as they are now
//   std::vector<int32_t> narrowed = Narrow(*table, *shelf, hits, filter);
//   Counts counts = Count(*table, *shelf, narrowed);
//
// Counting is one pass over the hits with a lookup by record number, so a
// search of 200 000 hits is counted in about a millisecond.  A record the
// table does not know (added since it was written by another program, and
// the stamp not yet moved) is in no facet and narrowing drops it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <span>
#include <vector>

#include "platform/engine.h"
#include "search/facet_table.h"

namespace kvistur::facets {

// What the patron chose; each part unset narrows nothing.
struct Filter {
  int kind = -1;                         // a Kind
  int year_from = 0, year_to = 0;        // 0: open at that end
  bool year = false;                     // narrow by year
  std::optional<std::string> location;   // a place's name, exactly
  bool available = false;                // a copy on the shelf
  bool any() const { return kind >= 0 || year || location || available; }
};

// Reads a year= value: "1990-1999", "1990-", "-1999" or "1994" (that year
// alone); nullopt when it is not one of those, or FROM is after TO.
std::optional<std::pair<int, int>> ReadYears(const std::string& value);

// Which records have a copy on the shelf now: the copies on loan read from
// Aðfanganúmer (Lánþegabendir above 0, the rule of the record page), held
// against each holder's copies.
struct Shelf {
  std::vector<uint8_t> free;  // by slot: 1 when a copy is not on loan
};
// The shelf as DATABASE reads it in this call, kept with its connection
// until any change of the catalogue (Database::Derived), so that the loans
// are read again after every loan or return and at no other time.
std::shared_ptr<const Shelf> ShelfOf(db::Database& database, const std::shared_ptr<const FacetTable>& table);

struct Counts {
  std::array<int64_t, kKinds> kinds{};
  std::vector<int64_t> years;   // by year, 0..kLastYear; [0] holds the hits of no known year
  std::vector<int64_t> places;  // by place id
  int64_t available = 0;
};
Counts Count(const FacetTable& table, const Shelf& shelf, std::span<const int32_t> hits);

// The values of one facet ("kind", "year", "location", "available") that
// some hit has, with their hits, as pages and clients list them: kinds in
// their order, years by decade newest first (single years when SINGLY),
// locations by count, the free copies as "1".  Nothing for another name.
struct Value {
  std::string value;
  int64_t count = 0;
};
std::vector<Value> ValuesOf(const std::string& facet, const Counts& counts, const std::vector<std::string>& places,
                            bool singly = false);

// HITS (record numbers, in any order) that meet FILTER, in their order.
std::vector<int32_t> Narrow(const FacetTable& table, const Shelf& shelf, const std::vector<int32_t>& hits,
                            const Filter& filter);

// The table of DATABASE's state: read from what the tools stored when it
// was written at this state, else worked out from the tables; kept with
// the state (search/kept.h) and shared by every thread that reads it when
// there is room (else it serves this call).
std::shared_ptr<const FacetTable> FacetsFor(db::Database& database);

}  // namespace kvistur::facets
