#include "web/record_page.h"

#include "formats/records.h"
#include "formats/ris.h"
#include "web/catalogue.h"

namespace kvistur::web {

namespace {

using nlohmann::json;

struct Download {
  const char* extension;
  const char* type;     // the media type, as a link announces it
  const char* charset;  // added to the answer's Content-Type
  const char* label_key;
};
constexpr Download kDownloads[] = {{"mrc", "application/marc", "", "download_marc"},
                                   {"xml", "application/marcxml+xml", "; charset=utf-8", "download_marcxml"},
                                   {"ris", "application/x-research-info-systems", "; charset=utf-8", "download_ris"}};

// Links that search FIELD (-1: every field) for each text.
json searches(const PageContext& c, const std::vector<std::string>& texts, int32_t field) {
  json out = json::array();
  for (const std::string& t : texts) {
    Query q = {{"q", t}};
    if (field != -1) q.emplace_back("field", std::to_string(field));
    out.push_back({{"text", t}, {"href", c.link("/search", q)}});
  }
  return out;
}

}  // namespace

Response RecordPage(const PageContext& c, Faersla& f, int32_t id) {
  std::optional<RecordView> v = ReadRecord(id);
  if (!v) throw Refusal(404, "no_record", std::to_string(id));
  Directory d = ReadDirectory(f);
  const std::string path = "/record/" + std::to_string(id);
  json holdings = json::array();
  for (const Holding& h : v->holdings)
    holdings.push_back({{"number", h.number},
                        {"location", h.location},
                        {"note", h.note},
                        {"on_loan", h.on_loan},
                        {"state", c.text(h.on_loan ? "on_loan" : "on_the_shelf")}});
  json downloads = json::array();
  for (const Download& dl : kDownloads)
    downloads.push_back({{"href", path + "." + dl.extension},
                         {"type", dl.type},
                         {"label", c.text(dl.label_key)}});
  std::string title = v->title.empty() ? v->description : v->title;
  json model = {{"id", id},
                {"heading", title},
                {"description", v->description},
                {"call_number", v->call_number},
                {"holdings", holdings},
                {"has_holdings", !holdings.empty()},
                {"subjects", searches(c, v->subjects, d.subject_field)},
                {"has_subjects", !v->subjects.empty()},
                {"contents", v->contents},
                {"has_contents", !v->contents.empty()},
                {"series", searches(c, v->series, d.series_field)},
                {"has_series", !v->series.empty()},
                {"permanent", c.base + path},
                {"canonical", c.base + path},
                {"downloads", downloads},
                {"alternates", downloads}};
  Response r = HtmlPage(c, "record", model, title);
  r.hits = 1;
  return r;
}

Response RecordDownload(const PageContext& c, int32_t id, const std::string& form) {
  const Download* dl = nullptr;
  for (const Download& d : kDownloads)
    if (form == d.extension) dl = &d;
  if (!dl) throw Refusal(404, "no_page");
  std::optional<formats::StoredRecord> stored = ReadStored(id);
  if (!stored) throw Refusal(404, "no_record", std::to_string(id));
  Response r;
  r.content_type = std::string(dl->type) + dl->charset;
  r.body = form == "mrc" ? formats::Iso2709Of(*stored)
           : form == "xml" ? formats::MarcXml(formats::MarcOf(*stored))
                           : formats::Ris(formats::MarcOf(*stored), id);
  if (r.body.empty()) throw Refusal(500, "record_too_large", std::to_string(id));
  r.headers.emplace_back("Content-Disposition", "attachment; filename=\"" + std::to_string(id) + "." + form + "\"");
  r.hits = 1;
  return r;
}

}  // namespace kvistur::web
