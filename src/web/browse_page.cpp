#include "web/browse_page.h"

#include "web/catalogue.h"
#include "web/language.h"

namespace kvistur::web {

namespace {

using nlohmann::json;

constexpr const char* kIndexes[] = {"title", "author", "subject"};

int32_t field_of(const Directory& d, const std::string& index) {
  if (index == "title") return d.title_field;
  if (index == "author") return d.author_field;
  return d.subject_field;
}

}  // namespace

Response BrowsePage(const PageContext& c, Faersla& f) {
  const Request& r = c.request;
  std::string index = r.param("index") ? *r.param("index") : "title";
  if (std::find(std::begin(kIndexes), std::end(kIndexes), index) == std::end(kIndexes))
    throw Refusal(400, "bad_index", index);
  std::string from = r.param("from") ? to_utf8(from_utf8(*r.param("from"))) : "";
  if (Characters(from) > kMaxQueryChars) throw Refusal(400, "query_too_long", std::to_string(kMaxQueryChars));
  int page = 1;
  if (const std::string* p = r.param("page")) {
    std::optional<int32_t> n = WholeNumber(*p);
    if (!n) throw Refusal(400, "bad_number", "page");
    if (*n < 1) throw Refusal(400, "bad_page", *p);
    if (*n > kMaxBrowsePage) throw Refusal(400, "page_too_far", std::to_string(kMaxBrowsePage));
    page = *n;
  }
  Directory d = ReadDirectory(f);
  const int32_t field = field_of(d, index);
  if (field < 0) throw Refusal(400, "no_index", c.text("index_" + index));

  // One more than the page, so that the next page's first is known.
  const std::size_t skip = std::size_t(page - 1) * kBrowsePageSize;
  std::vector<Heading> later = Headings(field, from, false, skip + kBrowsePageSize + 1);
  std::vector<Heading> shown(later.begin() + std::ptrdiff_t(std::min(skip, later.size())), later.end());
  std::optional<std::string> next;
  if (shown.size() > std::size_t(kBrowsePageSize)) {
    next = shown[kBrowsePageSize].word;
    shown.resize(kBrowsePageSize);
  }
  std::optional<std::string> previous;
  if (!shown.empty() || page > 1) {
    const std::string first = shown.empty() ? from : shown.front().word;
    std::vector<Heading> before = Headings(field, first, true, kBrowsePageSize);
    if (!before.empty()) previous = before.back().word;
  }

  json list = json::array();
  for (const Heading& h : shown) {
    Query q{{"q", h.word}, {"field", std::to_string(field)}};
    list.push_back({{"word", h.word},
                    {"records", h.records},
                    {"records_text", Fill(Counted(c.texts(), c.lang, "records", h.records),
                                          {{"n", std::to_string(h.records)}})},
                    {"href", c.link("/search", q)}});
  }
  json indexes = json::array();
  for (const char* i : kIndexes)
    indexes.push_back({{"name", i}, {"label", c.text(std::string("index_") + i)}, {"selected", index == i}});
  auto at = [&](const std::string& word) { return c.link("/browse", {{"index", index}, {"from", word}}); };
  json model = {{"index", index},
                {"indexes", indexes},
                {"from", from},
                {"headings", list},
                {"any_headings", !list.empty()},
                {"previous", previous ? json(at(*previous)) : json(false)},
                {"next", next ? json(at(*next)) : json(false)}};
  Response out = HtmlPage(c, "browse", model, c.text("browse_heading"));
  out.hits = int64_t(list.size());
  return out;
}

}  // namespace kvistur::web
