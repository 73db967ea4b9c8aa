// Every address `kvistur web` answers, and how: GET and HEAD only (405
// otherwise), the pages and downloads, /static/ from the site's own
// files, errors as pages saying what was wrong (400, 404, 503 while the
// catalogue cannot be read), and the same safety headers on every answer
// (a Content-Security-Policy that allows nothing but this site's own
// files, no inline script, no framing; nosniff).  No answer carries a
// file path, an SQL text or a stack trace: what went wrong inside goes to
// standard error.
#pragma once

#include <string>

#include "web/http_server.h"
#include "web/limits.h"
#include "web/site.h"

namespace kvistur::web {

struct App {
  const Site& site;
  const WebSettings& settings;
  std::string user, password;  // the log-on of every worker
};

Response Route(const App& app, const Request& request);

// The headers every answer carries.
inline constexpr char kContentSecurityPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; font-src 'self'; "
    "connect-src 'self'; form-action 'self'; base-uri 'none'; frame-ancestors 'none'";

}  // namespace kvistur::web
