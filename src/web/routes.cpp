#include "web/routes.h"

#include <cstdio>

#include "kvistur/error.h"
#include "settings/settings.h"
#include "web/browse_page.h"
#include "web/catalogue.h"
#include "web/page.h"
#include "web/print_page.h"
#include "web/record_page.h"
#include "web/search_page.h"

namespace kvistur::web {

namespace {

// How long a browser keeps the style sheet, script and images.
constexpr char kStaticCaching[] = "public, max-age=3600";
// What a client is told to wait before it asks again while the catalogue
// cannot be read.
constexpr char kRetryAfterSeconds[] = "30";

Response static_file(const App& app, const std::string& path) {
  const StaticFile* f = app.site.Static(path);
  if (!f) throw Refusal(404, "no_page");
  Response r{200, f->content_type, f->bytes, {{"Cache-Control", kStaticCaching}}, 0};
  return r;
}

Response opensearch(const PageContext& c) {
  std::string name = c.settings.library_name.empty() ? c.text("library") : c.settings.library_name;
  nlohmann::json model = {{"base", c.base}, {"name", name}, {"t", c.texts()}, {"lang", c.lang}};
  return Response{200, "application/opensearchdescription+xml; charset=utf-8", c.site.Render("opensearch", model), {}, 0};
}

// /record/ID or /record/ID.FORM; a number that is not one is no address.
Response record(const PageContext& c, Faersla& f, const std::string& rest) {
  std::size_t dot = rest.find('.');
  std::string number = rest.substr(0, dot);
  std::optional<int32_t> id = number.empty() || number[0] == '-' ? std::nullopt : WholeNumber(number);
  if (!id) throw Refusal(404, "no_page");
  if (dot == std::string::npos) return RecordPage(c, f, *id);
  return RecordDownload(c, *id, rest.substr(dot + 1));
}

Response dispatch(const App& app, const PageContext& c) {
  const std::string& path = c.request.path;
  if (c.request.method != "GET" && c.request.method != "HEAD") throw Refusal(405, "bad_method", c.request.method);
  if (path.rfind("/static/", 0) == 0) return static_file(app, path);
  if (path == "/opensearch.xml") return opensearch(c);
  const bool known = path == "/" || path == "/search" || path == "/api/search" || path == "/print" ||
                     path == "/browse" || path.rfind("/record/", 0) == 0;
  if (!known) throw Refusal(404, "no_page");
  Faersla* f = WorkerLogOn(app.user, app.password);
  if (!f) throw Refusal(503, "unavailable");
  // A page is read in one call, so that all it shows is of one state of
  // the catalogue: a browse page's headings and its link back, a results
  // page's hits and the groups and fields beside them.
  CallScope call;
  if (path == "/") return HomePage(c, *f);
  if (path == "/search") return ResultsPage(c, *f);
  if (path == "/api/search") return SearchApi(c, *f);
  if (path == "/print") return PrintPage(c, *f);
  if (path == "/browse") return BrowsePage(c, *f);
  return record(c, *f, path.substr(std::string("/record/").size()));
}

void add_safety_headers(Response& r) {
  r.headers.emplace_back("Content-Security-Policy", kContentSecurityPolicy);
  r.headers.emplace_back("X-Content-Type-Options", "nosniff");
  r.headers.emplace_back("X-Frame-Options", "DENY");
  r.headers.emplace_back("Referrer-Policy", "same-origin");
}

}  // namespace

Response Route(const App& app, const Request& request) {
  PageContext c = ContextOf(app.site, app.settings, request);
  Response r;
  try {
    r = dispatch(app, c);
  } catch (const Refusal& refusal) {
    r = ErrorPage(c, refusal);
    if (refusal.status == 405) r.headers.emplace_back("Allow", "GET, HEAD");
  } catch (const Error& e) {
    // The catalogue could not be read: the reason is the operator's, the
    // page says only that.
    std::fprintf(stderr, "kvistur web: %s %s: %s (error %d)\n", request.method.c_str(), request.path.c_str(),
                 to_utf8(e.description()).c_str(), int(e.number()));
    r = ErrorPage(c, Refusal(503, "unavailable"));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kvistur web: %s %s: %s\n", request.method.c_str(), request.path.c_str(), e.what());
    r = ErrorPage(c, Refusal(500, "internal"));
  }
  if (r.status == 503) r.headers.emplace_back("Retry-After", kRetryAfterSeconds);
  if (r.content_type.rfind("text/html", 0) == 0) r.headers.emplace_back("Vary", "Accept-Language");
  add_safety_headers(r);
  return r;
}

}  // namespace kvistur::web
