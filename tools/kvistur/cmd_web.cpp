// kvistur web [ADDRESS:PORT]: the catalogue named by the settings, in a
// browser, for patrons and staff (docs/web.md).
#include <cstdio>

#include "command.h"
#include "installed_folder.h"
#include "kvistur/faersla.h"
#include "log_on.h"
#include "web/web.h"

namespace kvistur::cli {

KVISTUR_COMMAND(cmd_web, "web",
                "web [ADDRESS:PORT] [--user U --password P] [--templates DIR] [--access-log FILE]",
                "serve the catalogue to browsers (default listener 127.0.0.1:8080)") {
  Args a = args;
  web::Options o;
  take_option(a, "--user", o.user);
  take_option(a, "--password", o.password);
  take_option(a, "--templates", o.templates);
  take_option(a, "--access-log", o.access_log);
  reject_unknown_options(a);
  if (a.size() > 1) throw UsageError("one listener only, not " + a[0] + " and " + a[1]);
  if (!a.empty()) o.listener = a[0];
  // A catalogue that cannot be read now is no reason not to start: the
  // pages say so (503) and every request tries again.
  try {
    Faersla f;
    log_on(f, o.user, o.password);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kvistur web: %s; the pages answer 503 until it can be read\n", e.what());
  }
  // The templates installed beside the program (share/kvistur/web under
  // its prefix), or the source tree's when the program runs from its build.
  return web::Run(o, InstalledFolder(KVISTUR_WEB_FROM_BIN, KVISTUR_SOURCE_WEB));
}

}  // namespace kvistur::cli
