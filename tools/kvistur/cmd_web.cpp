// kvistur web [ADDRESS:PORT]: the catalogue named by the settings, in a
// browser, for patrons and staff (docs/web.md).
#include <cstdio>
#include <filesystem>

#include "command.h"
#include "kvistur/faersla.h"
#include "log_on.h"
#include "web/web.h"

namespace kvistur::cli {

namespace {

// The installed templates, or the source tree's when the program runs
// from its build folder.
std::string default_templates() {
  std::error_code e;
  if (std::filesystem::is_directory(KVISTUR_WEB_DIR, e)) return KVISTUR_WEB_DIR;
  return KVISTUR_SOURCE_WEB;
}

}  // namespace

KVISTUR_COMMAND(cmd_web, "web",
                "web [ADDRESS:PORT] [--user U --password P] [--templates DIR] [--access-log FILE]",
                "serve the catalogue to browsers (default listener 127.0.0.1:8080)") {
  Args a = args;
  web::Options o;
  take_option(a, "--user", o.user);
  take_option(a, "--password", o.password);
  take_option(a, "--templates", o.templates);
  take_option(a, "--access-log", o.access_log);
  for (const std::string& s : a) {
    if (s.rfind("-", 0) == 0) throw UsageError("unknown option " + s);
    if (!o.listener.empty()) throw UsageError("one listener only, not " + o.listener + " and " + s);
    o.listener = s;
  }
  // A catalogue that cannot be read now is no reason not to start: the
  // pages say so (503) and every request tries again.
  try {
    Faersla f;
    log_on(f, o.user, o.password);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kvistur web: %s; the pages answer 503 until it can be read\n", e.what());
  }
  return web::Run(o, default_templates());
}

}  // namespace kvistur::cli
