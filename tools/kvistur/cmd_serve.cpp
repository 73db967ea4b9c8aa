// kvistur serve [LISTENER...]: the catalogue named by the settings, over
// Z39.50 and SRU, for every library client (docs/server.md).
#include "command.h"
#include "kvistur/faersla.h"
#include "log_on.h"
#include "server/server.h"

namespace kvistur::cli {

KVISTUR_COMMAND(cmd_serve, "serve",
                "serve [LISTENER...] [--user U --password P] [--access-log FILE] [--server-log FILE]",
                "serve the catalogue over Z39.50 and SRU (default listener tcp:@:2100)") {
  Args a = args;
  server::Options o;
  take_option(a, "--user", o.user);
  take_option(a, "--password", o.password);
  take_option(a, "--access-log", o.access_log);
  take_option(a, "--server-log", o.server_log);
  for (const std::string& s : a) {
    if (s.rfind("-", 0) == 0) throw UsageError("unknown option " + s);
    o.listeners.push_back(s);
  }
  {
    // The server's own log-on must work before any client comes.
    Faersla f;
    log_on(f, o.user, o.password);
  }
  return server::Run(o);
}

}  // namespace kvistur::cli
