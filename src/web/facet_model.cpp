#include "web/facet_model.h"

#include <algorithm>
#include <iterator>
#include <optional>

#include "web/language.h"

namespace kvistur::web {

namespace {

using nlohmann::json;

constexpr const char* kOrderNames[] = {"catalogue", "newest", "oldest", "title"};
constexpr const char* kFacets[] = {"kind", "year", "location", "available"};

// The order a sort= value names, or nullopt.
std::optional<Order> order_named(const std::string& name) {
  auto it = std::find(std::begin(kOrderNames), std::end(kOrderNames), name);
  if (it == std::end(kOrderNames)) return std::nullopt;
  return Order(it - std::begin(kOrderNames));
}

struct Value {
  std::string value, label;
  int64_t count = 0;
  bool chosen = false;
};

// The values of FACET as the page lists them, with their labels and
// whether each is the one chosen.
std::vector<Value> values(const PageContext& c, const Narrowing& n, const HitPage& hits, const std::string& facet) {
  const facets::Filter& f = n.filter;
  const bool singly = facet == "year" && f.year && f.year_from && f.year_to && f.year_to - f.year_from < kYearsListedSingly;
  std::vector<Value> out;
  for (facets::Value& v : facets::ValuesOf(facet, *hits.facets, hits.places, singly)) {
    Value shown{v.value, v.value, v.count, false};
    if (facet == "kind") {
      shown.label = c.text("kind_" + v.value);
      shown.chosen = n.kind == v.value;
    } else if (facet == "year") {
      if (!singly) shown.label = v.value.substr(0, 4) + "–" + v.value.substr(5);
      shown.chosen = n.year == v.value;
    } else if (facet == "location") {
      shown.chosen = n.location == v.value;
    } else {
      shown.label = c.text("available_now");
      shown.chosen = f.available;
    }
    out.push_back(std::move(shown));
  }
  if (facet == "location") {
    std::stable_partition(out.begin(), out.end(), [](const Value& v) { return v.chosen; });
    if (out.size() > kMaxLocationsListed) out.resize(kMaxLocationsListed);
  }
  return out;
}

Query with(const Query& base, const Narrowing& n, const std::string& name, const std::string& value) {
  Narrowing m = n;
  if (name == "kind") m.kind = value;
  if (name == "year") m.year = value;
  if (name == "location") m.location = value;
  if (name == "available") m.filter.available = !value.empty();
  if (name == "sort") m.order = order_named(value).value_or(m.order);
  Query q = base;
  for (auto& part : NarrowingQuery(m)) q.push_back(part);
  return q;
}

}  // namespace

Narrowing ReadNarrowing(const Request& r) {
  Narrowing n;
  if (const std::string* k = r.param("kind"); k && !k->empty()) {
    n.filter.kind = facets::KindNamed(*k);
    if (n.filter.kind < 0) throw Refusal(400, "bad_kind", *k);
    n.kind = *k;
  }
  if (const std::string* y = r.param("year"); y && !y->empty()) {
    auto span = facets::ReadYears(*y);
    if (!span) throw Refusal(400, "bad_year", *y);
    n.filter.year = true;
    n.filter.year_from = span->first;
    n.filter.year_to = span->second;
    n.year = *y;
  }
  if (const std::string* l = r.param("location"); l && !l->empty()) {
    if (Characters(*l) > kMaxQueryChars) throw Refusal(400, "query_too_long", std::to_string(kMaxQueryChars));
    n.location = to_utf8(from_utf8(*l));
    n.filter.location = n.location;
  }
  if (const std::string* a = r.param("available"); a && !a->empty()) {
    if (*a != "1" && *a != "0") throw Refusal(400, "bad_available", *a);
    n.filter.available = *a == "1";
  }
  if (const std::string* s = r.param("sort"); s && !s->empty()) {
    std::optional<Order> order = order_named(*s);
    if (!order) throw Refusal(400, "bad_sort", *s);
    n.order = *order;
  }
  return n;
}

Query NarrowingQuery(const Narrowing& n) {
  Query q;
  if (!n.kind.empty()) q.emplace_back("kind", n.kind);
  if (!n.year.empty()) q.emplace_back("year", n.year);
  if (!n.location.empty()) q.emplace_back("location", n.location);
  if (n.filter.available) q.emplace_back("available", "1");
  if (n.order != Order::kCatalogue) q.emplace_back("sort", kOrderNames[int(n.order)]);
  return q;
}

void AddFacetModel(const PageContext& c, const Query& base, const Narrowing& n, const HitPage& hits, json& model) {
  json sections = json::array(), chosen = json::array();
  auto section = [&](const std::string& name, const std::vector<Value>& values) {
    json list = json::array();
    for (const Value& v : values) {
      std::string href = c.link("/search", with(base, n, name, v.chosen ? "" : v.value));
      list.push_back({{"value", v.value}, {"label", v.label}, {"count", v.count}, {"href", href}, {"chosen", v.chosen}});
    }
    if (!list.empty()) sections.push_back({{"name", name}, {"heading", c.text("facet_" + name)}, {"values", list}});
  };
  if (hits.facets)
    for (const char* f : kFacets) section(f, values(c, n, hits, f));
  // What was chosen, each with the address without it.
  auto take_back = [&](const std::string& name, const std::string& label) {
    chosen.push_back({{"facet", name}, {"label", label}, {"href", c.link("/search", with(base, n, name, ""))}});
  };
  if (n.filter.kind >= 0) take_back("kind", c.text("kind_" + n.kind));
  if (n.filter.year) take_back("year", n.year);
  if (n.filter.location) take_back("location", n.location);
  if (n.filter.available) take_back("available", c.text("available_now"));
  model["facets"] = sections;
  model["any_facets"] = !sections.empty();
  model["chosen_facets"] = chosen;
  model["any_chosen_facets"] = !chosen.empty();

  json orders = json::array();
  for (std::size_t o = 0; o < std::size(kOrderNames); ++o)
    orders.push_back({{"name", kOrderNames[o]},
                      {"label", c.text(std::string("order_") + kOrderNames[o])},
                      {"href", c.link("/search", with(base, n, "sort", kOrderNames[o]))},
                      {"current", std::size_t(n.order) == o}});
  model["orders"] = orders;

  json suggestions = json::array();
  for (auto& [words, count] : hits.suggestions) {
    Query q;
    for (auto& [k, v] : base)
      if (k != "q") q.emplace_back(k, v);
    q.insert(q.begin(), {"q", words});
    suggestions.push_back({{"words", words},
                           {"href", c.link("/search", q)},
                           {"count_text", Fill(Counted(c.texts(), c.lang, "records", count), {{"n", std::to_string(count)}})},
                           {"count", count}});
  }
  model["suggestions"] = suggestions;
  model["any_suggestions"] = !suggestions.empty();
}

nlohmann::ordered_json FacetJson(const PageContext& c, const Narrowing& n, const HitPage& hits) {
  using ordered = nlohmann::ordered_json;
  ordered out = ordered::object();
  if (!hits.facets) return out;
  auto put = [&](const char* name, const std::vector<Value>& values) {
    ordered list = ordered::array();
    for (const Value& v : values) list.push_back({{"value", v.value}, {"label", v.label}, {"count", v.count}});
    out[name] = list;
  };
  for (const char* f : kFacets) put(f, values(c, n, hits, f));
  return out;
}

}  // namespace kvistur::web
