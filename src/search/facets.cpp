#include "search/facets.h"

#include <algorithm>

#include "search/kept.h"

namespace kvistur {

namespace facets {

namespace {

// The loans held in a connection's slot, with the table they were counted
// against (a state's table made again has slots of its own).
struct KeptShelf {
  std::weak_ptr<const FacetTable> table;
  std::shared_ptr<const Shelf> shelf;
  KeptBytes kept;
};

constexpr char kShelfSlot[] = "kv_facets_shelf";

// The facet table kept with a connection.
struct KeptFacets {
  std::shared_ptr<const FacetTable> table;
  KeptBytes kept;
};
constexpr char kFacetsSlot[] = "kv_facets_table";

bool meets(const FacetTable& t, const Shelf& shelf, int32_t s, const Filter& f) {
  if (f.kind >= 0 && t.kind(s) != f.kind) return false;
  if (f.year) {
    int y = t.year(s);
    if (y == 0 || (f.year_from && y < f.year_from) || (f.year_to && y > f.year_to)) return false;
  }
  if (f.available && !shelf.free[std::size_t(s)]) return false;
  return true;
}

int place_of(const FacetTable& t, const std::string& name) {
  const auto& names = t.places();
  auto it = std::find(names.begin(), names.end(), name);
  return it == names.end() ? -1 : int(it - names.begin());
}

}  // namespace

std::optional<std::pair<int, int>> ReadYears(const std::string& value) {
  auto year = [](const std::string& s) -> std::optional<int> {
    if (s.empty()) return 0;
    if (s.size() != 4 || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return std::nullopt;
    return std::stoi(s);
  };
  std::size_t dash = value.find('-');
  std::optional<int> from = year(value.substr(0, dash));
  std::optional<int> to = dash == std::string::npos ? from : year(value.substr(dash + 1));
  if (!from || !to || (dash == std::string::npos && !*from) || value == "-") return std::nullopt;
  if (*from && *to && *from > *to) return std::nullopt;
  return std::make_pair(*from, *to);
}

std::shared_ptr<const Shelf> ShelfOf(db::Database& database, const std::shared_ptr<const FacetTable>& table) {
  std::shared_ptr<void>& slot = database.Derived(kShelfSlot);
  if (auto* kept = static_cast<KeptShelf*>(slot.get()); kept && kept->table.lock() == table) return kept->shelf;
  const FacetTable& t = *table;
  std::vector<uint16_t> loans(t.holders(), 0);
  auto rows = database.OpenCursor(u"SELECT a.Móðurbendir FROM Aðfanganúmer AS a WHERE a.Lánþegabendir > 0");
  while (rows->Next()) {
    if (rows->IsNull(0)) continue;
    // Read as stored: a number a row holds as another type converts as the record page converts it.
    int32_t h = t.holder_index(rows->IsInteger(0) ? int32_t(rows->Integer(0)) : rows->Value(0).to_i32());
    if (h >= 0 && loans[std::size_t(h)] < UINT16_MAX) ++loans[std::size_t(h)];
  }
  auto shelf = std::make_shared<Shelf>();
  const int32_t n = int32_t(t.records());
  shelf->free.assign(std::size_t(n), 0);
  for (int32_t s = 0; s < n; ++s) {
    int32_t h = t.holder(s);
    shelf->free[std::size_t(s)] = h >= 0 && t.copies(s) > loans[std::size_t(h)];
  }
  auto kept = std::make_shared<KeptShelf>();
  if (kept->kept.Add(sizeof(KeptShelf) + sizeof(Shelf) + HeapBytes(shelf->free) + 2 * KeptMemory::kPerBlock)) {
    kept->table = table;
    kept->shelf = shelf;
    slot = kept;
  }
  return shelf;
}

Counts Count(const FacetTable& t, const Shelf& shelf, std::span<const int32_t> hits) {
  Counts c;
  c.years.assign(std::size_t(kLastYear) + 1, 0);
  c.places.assign(t.places().size(), 0);
  for (int32_t id : hits) {
    int32_t s = t.slot(id);
    if (s == kNoSlot) continue;
    ++c.kinds[t.kind(s)];
    ++c.years[std::size_t(t.year(s))];
    for (const uint16_t* p = t.places_begin(s); p != t.places_end(s); ++p) ++c.places[*p];
    c.available += shelf.free[std::size_t(s)];
  }
  return c;
}

std::vector<Value> ValuesOf(const std::string& facet, const Counts& c, const std::vector<std::string>& places,
                            bool singly) {
  std::vector<Value> out;
  if (facet == "kind") {
    for (int k = 0; k < kKinds; ++k)
      if (c.kinds[std::size_t(k)] > 0) out.push_back({kKindNames[k], c.kinds[std::size_t(k)]});
  } else if (facet == "year") {
    for (int y = kLastYear; y >= kFirstYear; --y) {
      if (c.years[std::size_t(y)] == 0) continue;
      std::string v = singly ? std::to_string(y) : std::to_string(y / 10 * 10) + "-" + std::to_string(y / 10 * 10 + 9);
      if (out.empty() || out.back().value != v) out.push_back({v, 0});
      out.back().count += c.years[std::size_t(y)];
    }
  } else if (facet == "location") {
    for (std::size_t p = 0; p < places.size() && p < c.places.size(); ++p)
      if (c.places[p] > 0) out.push_back({places[p], c.places[p]});
    // Most hits first; equal counts in Icelandic order, whatever the
    // places' numbers (an update numbers a new place after the others).
    std::sort(out.begin(), out.end(), [](const Value& a, const Value& b) {
      return a.count != b.count ? a.count > b.count : compare_ci(from_utf8(a.value), from_utf8(b.value)) < 0;
    });
  } else if (facet == "available" && c.available > 0) {
    out.push_back({"1", c.available});
  }
  return out;
}

std::vector<int32_t> Narrow(const FacetTable& t, const Shelf& shelf, const std::vector<int32_t>& hits,
                            const Filter& f) {
  std::vector<int32_t> out;
  if (!f.any()) return hits;
  const int place = f.location ? place_of(t, *f.location) : -1;
  if (f.location && place < 0) return out;
  for (int32_t id : hits) {
    int32_t s = t.slot(id);
    if (s == kNoSlot || !meets(t, shelf, s, f)) continue;
    if (place >= 0 && std::find(t.places_begin(s), t.places_end(s), uint16_t(place)) == t.places_end(s)) continue;
    out.push_back(id);
  }
  return out;
}

std::shared_ptr<const FacetTable> FacetsFor(db::Database& database) {
  std::shared_ptr<KeptSearch> kept = KeptSearch::For(database);
  const db::ContentStamp now = database.Stamp();
  auto make = [&] {
    std::shared_ptr<FacetTable> made = FacetTable::Open(database, now);
    if (!made) made = FacetTable::FromTables(database);
    return made;
  };
  if (!kept->shared() || (now.token == kept->stamp().token && now.facts_followed)) {
    return std::static_pointer_cast<const FacetTable>(kept->extra(
        "facets",
        [&] {
          std::shared_ptr<FacetTable> made = make();
          // Kept for others only when read at the state and the facts
          // the kept things are of.
          const db::ContentStamp after = database.Stamp();
          bool same = !kept->shared() || (after.token == now.token && after.facts == now.facts);
          return KeptSearch::Extra{made, made->memory(), same};
        },
        now.facts));
  }
  if (now.token != kept->stamp().token) return make();  // a long call's reads moved on: for this search alone
  // The copies and source records are not followed by the stamp (a
  // catalogue stamped before they were): kept with the connection, which
  // lets go of it at any other connection's commit.
  std::shared_ptr<void>& slot = database.Derived(kFacetsSlot);
  if (auto* k = static_cast<KeptFacets*>(slot.get())) return k->table;
  std::shared_ptr<FacetTable> made = make();
  auto k = std::make_shared<KeptFacets>();
  if (k->kept.Add(sizeof(KeptFacets) + made->memory() + 2 * KeptMemory::kPerBlock)) {
    k->table = made;
    slot = k;
  }
  return made;
}

}  // namespace facets
}  // namespace kvistur
