#include "web/search_page.h"

#include <algorithm>

#include "web/catalogue.h"
#include "web/facet_model.h"
#include "web/language.h"

namespace kvistur::web {

namespace {

using nlohmann::json;

struct SearchParams {
  std::string q;
  int32_t group = -1, field = -1;
  int page = 1;
  std::vector<int32_t> chosen;  // for the print list, in the order chosen
  Narrowing narrowing;
};

int32_t number_param(const Request& r, const char* name, int32_t fallback) {
  const std::string* v = r.param(name);
  if (!v) return fallback;
  std::optional<int32_t> n = WholeNumber(*v);
  if (!n) throw Refusal(400, "bad_number", name);
  return *n;
}

SearchParams read_params(const Request& r, const Directory& d) {
  SearchParams p;
  if (const std::string* q = r.param("q")) p.q = to_utf8(from_utf8(*q));  // bytes that are not UTF-8 made U+FFFD
  if (Characters(p.q) > kMaxQueryChars) throw Refusal(400, "query_too_long", std::to_string(kMaxQueryChars));
  p.group = number_param(r, "group", -1);
  if (!d.has_group(p.group)) throw Refusal(400, "no_group", std::to_string(p.group));
  p.field = number_param(r, "field", -1);
  if (!d.has_field(p.field)) throw Refusal(400, "no_field", std::to_string(p.field));
  p.page = number_param(r, "page", 1);
  if (p.page < 1) throw Refusal(400, "bad_page", std::to_string(p.page));
  p.chosen = ChosenIds(r);
  p.narrowing = ReadNarrowing(r);
  return p;
}

// The search's own parameters, as every link of its page repeats them.
Query search_query(const SearchParams& p) {
  Query q{{"q", p.q}};
  if (p.group != -1) q.emplace_back("group", std::to_string(p.group));
  if (p.field != -1) q.emplace_back("field", std::to_string(p.field));
  for (int32_t id : p.chosen) q.emplace_back("id", std::to_string(id));
  return q;
}

bool blank(const std::string& s) { return s.find_first_not_of(" \t\r\n") == std::string::npos; }

json choices(const std::vector<Choice>& list, int32_t selected) {
  json out = json::array();
  for (const Choice& c : list) out.push_back({{"id", c.id}, {"name", c.name}, {"selected", c.id == selected}});
  return out;
}

json form_model(const Directory& d, const SearchParams& p) {
  json chosen = json::array();
  for (int32_t id : p.chosen) chosen.push_back(id);
  return {{"q", p.q},
          {"group", p.group},
          {"field", p.field},
          {"groups", choices(d.groups, p.group)},
          {"fields", choices(d.fields, p.field)},
          {"any_group", p.group == -1},
          {"any_field", p.field == -1},
          {"chosen", chosen}};
}

HitPage search(const PageContext& c, Faersla& f, const Directory& d, const SearchParams& p) {
  SearchAsk ask;
  ask.group = p.group;
  ask.field = p.field;
  ask.words = p.q;
  ask.filter = p.narrowing.filter;
  ask.order = p.narrowing.order;
  ask.title_field = d.title_field;
  ask.page = p.page;
  ask.page_size = c.settings.page_size;
  HitPage hits = Search(f, ask);
  int64_t pages = std::max<int64_t>(1, (hits.count + c.settings.page_size - 1) / c.settings.page_size);
  if (p.page > pages) throw Refusal(400, "page_past_last", std::to_string(pages));
  return hits;
}

json hit_model(const PageContext& c, const Hit& h, const SearchParams& p) {
  std::string copies = h.copies == 0 ? c.text("no_copies")
                                     : Fill(c.text("on_shelf"), {{"a", std::to_string(h.available)},
                                                                 {"c", std::to_string(h.copies)}});
  bool chosen = std::find(p.chosen.begin(), p.chosen.end(), h.id) != p.chosen.end();
  return {{"id", h.id},
          {"url", c.link("/record/" + std::to_string(h.id))},
          {"description", h.description},
          {"call_number", h.call_number},
          {"copies_text", copies},
          {"available", h.available > 0},
          {"chosen", chosen}};
}

}  // namespace

Response HomePage(const PageContext& c, Faersla& f) {
  Directory d = ReadDirectory(f);
  SearchParams p;
  p.chosen = ChosenIds(c.request);
  return HtmlPage(c, "home", {{"form", form_model(d, p)}, {"browse_href", c.link("/browse")}}, "");
}

Response ResultsPage(const PageContext& c, Faersla& f) {
  Directory d = ReadDirectory(f);
  SearchParams p = read_params(c.request, d);
  json model = {{"form", form_model(d, p)}, {"searched", !blank(p.q)}};
  HitPage hits;
  if (!blank(p.q)) hits = search(c, f, d, p);
  const int size = c.settings.page_size;
  const int64_t pages = std::max<int64_t>(1, (hits.count + size - 1) / size);
  model["count"] = hits.count;
  model["count_text"] = Fill(Counted(c.texts(), c.lang, "hits", hits.count), {{"n", std::to_string(hits.count)}});
  model["none"] = !blank(p.q) && hits.count == 0;
  model["stop_words"] = hits.only_stop_words;
  model["start"] = int64_t(p.page - 1) * size + 1;
  json list = json::array();
  std::vector<int32_t> on_page;
  for (const Hit& h : hits.hits) {
    list.push_back(hit_model(c, h, p));
    on_page.push_back(h.id);
  }
  model["hits"] = list;
  model["any_hits"] = !list.empty();
  // Chosen on other pages: carried as hidden fields.
  json elsewhere = json::array();
  for (int32_t id : p.chosen)
    if (std::find(on_page.begin(), on_page.end(), id) == on_page.end()) elsewhere.push_back(id);
  model["chosen_elsewhere"] = elsewhere;
  model["chosen_text"] =
      Fill(Counted(c.texts(), c.lang, "chosen", int64_t(p.chosen.size())), {{"n", std::to_string(p.chosen.size())}});
  model["page"] = p.page;
  model["narrowing"] = json::array();
  for (auto& [k, v] : NarrowingQuery(p.narrowing)) model["narrowing"].push_back({{"name", k}, {"value", v}});
  if (!blank(p.q)) AddFacetModel(c, search_query(p), p.narrowing, hits, model);
  if (pages > 1) {
    model["paging"] = {{"text", Fill(c.text("page_of"), {{"page", std::to_string(p.page)}, {"pages", std::to_string(pages)}})},
                       {"previous", p.page > 1 ? json(p.page - 1) : json(false)},
                       {"next", p.page < pages ? json(p.page + 1) : json(false)}};
  }
  std::string title = blank(p.q) ? c.text("search") : Fill(c.text("results_for"), {{"q", p.q}});
  Response r = HtmlPage(c, "results", model, title);
  r.hits = hits.count;
  return r;
}

Response SearchApi(const PageContext& c, Faersla& f) {
  Directory d = ReadDirectory(f);
  SearchParams p = read_params(c.request, d);
  HitPage hits;
  if (!blank(p.q)) hits = search(c, f, d, p);
  // The contract's order of keys, for people who read it.
  using ordered = nlohmann::ordered_json;
  ordered list = ordered::array();
  for (const Hit& h : hits.hits)
    list.push_back({{"id", h.id},
                    {"description", h.description},
                    {"call_number", h.call_number},
                    {"copies", h.copies},
                    {"available", h.available},
                    {"url", "/record/" + std::to_string(h.id)}});
  ordered suggestions = ordered::array();
  for (auto& [words, count] : hits.suggestions) suggestions.push_back(words);
  ordered out = {{"count", hits.count}, {"page", p.page}, {"hits", list}, {"facets", FacetJson(c, p.narrowing, hits)},
                 {"suggestions", suggestions}};
  Response r{200, "application/json", out.dump(-1, ' ', false, ordered::error_handler_t::replace), {}, hits.count};
  return r;
}

}  // namespace kvistur::web
