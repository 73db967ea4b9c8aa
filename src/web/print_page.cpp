#include "web/print_page.h"

#include "web/catalogue.h"
#include "web/language.h"

namespace kvistur::web {

namespace {

using nlohmann::json;

// One paragraph of the layout: the call number before its first tab, the
// entry's text after it, underlined where the layout underlined it.
json entry(const std::vector<RtfControl::Run>& runs) {
  std::string call;
  json parts = json::array();
  bool in_text = false;
  for (const RtfControl::Run& run : runs) {
    Text rest = run.text;
    if (!in_text) {
      std::size_t tab = rest.find(u'\t');
      call += to_utf8(rest.substr(0, tab));
      if (tab == Text::npos) continue;
      rest = rest.substr(tab + 1);
      in_text = true;
    }
    for (char16_t& ch : rest)
      if (ch == u'\t') ch = u' ';
    if (!rest.empty()) parts.push_back({{"text", to_utf8(rest)}, {"underline", run.underline}});
  }
  // A paragraph without a tab (a line of subjects) is text throughout.
  if (!in_text) return {{"call", ""}, {"parts", json::array({{{"text", call}, {"underline", false}}})}};
  return {{"call", call}, {"parts", parts}};
}

}  // namespace

Response PrintPage(const PageContext& c, Faersla& f) {
  const Request& r = c.request;
  std::vector<int32_t> ids = ChosenIds(r);
  if (ids.empty()) throw Refusal(400, "choose_records");
  std::optional<int> type;
  if (const std::string* t = r.param("type")) {
    std::optional<int32_t> n = WholeNumber(*t);
    if (!n || *n < -32768 || *n > 32767) throw Refusal(400, "bad_number", "type");
    type = *n;
  }
  const std::string* format = r.param("format");
  if (format && *format != "html" && *format != "rtf") throw Refusal(400, "bad_format", *format);

  PrintList list = LayOut(f, ids, type);
  if (format && *format == "rtf") {
    Response out{200, "application/rtf", list.control->rtf(), {}, int64_t(ids.size())};
    out.headers.emplace_back("Content-Disposition", "attachment; filename=\"kvistur-print.rtf\"");
    return out;
  }
  json entries = json::array();
  for (const auto& paragraph : list.control->paragraphs())
    if (!paragraph.empty()) entries.push_back(entry(paragraph));
  Query rtf;
  for (int32_t id : ids) rtf.emplace_back("id", std::to_string(id));
  if (type) rtf.emplace_back("type", std::to_string(*type));
  rtf.emplace_back("format", "rtf");
  json not_printed = json::array();
  for (int32_t id : list.not_printed) not_printed.push_back(id);
  int64_t printed = int64_t(ids.size() - list.not_printed.size());
  json model = {{"entries", entries},
                {"count_text", Fill(Counted(c.texts(), c.lang, "printed", printed), {{"n", std::to_string(printed)}})},
                {"rtf_href", Address("/print", rtf)},
                {"not_printed", not_printed},
                {"has_not_printed", !not_printed.empty()}};
  Response out = HtmlPage(c, "print", model, c.text("print_list"));
  out.hits = printed;
  return out;
}

}  // namespace kvistur::web
