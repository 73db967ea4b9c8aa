#include "web/page.h"

#include <algorithm>

#include "web/language.h"

namespace kvistur::web {

namespace {

// A Host header as an address may hold it: a name or address and a port.
bool plain_host(const std::string& host) {
  if (host.empty() || host.size() > 255) return false;
  for (char c : host)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != ':' && c != '[' && c != ']')
      return false;
  return true;
}

}  // namespace

std::string PageContext::link(const std::string& path, Query query) const {
  if (lang_asked) query.emplace_back("lang", lang);
  return Address(path, query);
}

std::vector<int32_t> ChosenIds(const Request& r) {
  std::vector<int32_t> ids;
  for (const std::string& v : r.params("id")) {
    std::optional<int32_t> n = WholeNumber(v);
    if (!n) throw Refusal(400, "bad_number", "id");
    if (std::find(ids.begin(), ids.end(), *n) == ids.end()) ids.push_back(*n);
  }
  if (int(ids.size()) > kMaxPrintRecords) throw Refusal(400, "too_many_chosen", std::to_string(kMaxPrintRecords));
  return ids;
}

PageContext ContextOf(const Site& site, const WebSettings& settings, const Request& request) {
  const std::string* lang = request.param("lang");
  PageContext c{site, settings, request, ChooseLanguage(site, lang, request.accept_language), false, ""};
  c.lang_asked = lang && *lang == c.lang;
  if (!settings.public_address.empty()) {
    c.base = settings.public_address;
    while (!c.base.empty() && c.base.back() == '/') c.base.pop_back();
  } else {
    c.base = "http://" + (plain_host(request.host) ? request.host : settings.listener);
  }
  return c;
}

Response HtmlPage(const PageContext& c, const std::string& name, nlohmann::json model, const std::string& title,
                  int status) {
  const nlohmann::json& t = c.texts();
  model["t"] = t;
  model["lang"] = c.lang;
  model["home_href"] = c.link("/");
  model["lang_field"] = c.lang_asked ? nlohmann::json(c.lang) : nlohmann::json(false);
  std::string library = c.settings.library_name.empty() ? t.value("library", std::string()) : c.settings.library_name;
  model["library"] = library;
  // The other language, on the same address.
  std::string other = c.lang == "is" ? "en" : "is";
  if (c.site.HasLanguage(other)) {
    Query q;
    for (auto& [k, v] : c.request.query)
      if (k != "lang") q.emplace_back(k, v);
    q.emplace_back("lang", other);
    model["switch"] = {{"href", Address(c.request.path, q)}, {"lang", other},
                       {"label", c.site.Texts(other).value("language_name", other)}};
  }
  model["content"] = c.site.Render(name, model);
  model["title"] = title.empty() ? library : title + " | " + library;
  Response r;
  r.status = status;
  r.body = c.site.Render("layout", model);
  return r;
}

Response ErrorPage(const PageContext& c, const Refusal& refusal) {
  std::string message = Fill(c.text(refusal.key), {{"what", refusal.what_}});
  if (c.request.path.rfind("/api/", 0) == 0) {
    nlohmann::json j = {{"error", message}, {"status", refusal.status}};
    return Response{refusal.status, "application/json", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                    {}, 0};
  }
  std::string heading = c.text("error_" + std::to_string(refusal.status));
  Response r = HtmlPage(c, "error", {{"status", refusal.status}, {"heading", heading}, {"message", message}}, heading,
                        refusal.status);
  return r;
}

}  // namespace kvistur::web
