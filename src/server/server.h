// kvistur serve: the catalogue over Z39.50 and SRU, on YAZ's generic
// front-end server in its threaded mode (one thread per session).  The
// protocol is YAZ's business; the handlers (handlers.cpp) map a decoded
// request to the component and the result back.
#pragma once

#include <string>
#include <vector>

namespace kvistur::server {

struct Options {
  std::vector<std::string> listeners;  // as YAZ writes them; none: tcp:@:2100
  std::string user = "Admin";          // the log-on of a session whose client gives none
  std::string password;
  std::string access_log;              // empty: standard output
  std::string server_log;              // YAZ's own log; empty: standard error
};

// Serves until the process is stopped.  Returns non-zero when it cannot
// start (a listener that cannot be bound, an access log that cannot be
// opened), after one line on standard error saying why.
int Run(const Options& options);

}  // namespace kvistur::server
