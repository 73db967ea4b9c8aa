// kvistur web as a program: the catalogue named by the settings, served
// to browsers until SIGINT or SIGTERM, then the requests in progress
// finished and 0 returned.
#pragma once

#include <string>

namespace kvistur::web {

struct Options {
  std::string listener;    // ADDRESS:PORT; empty: [Vefur] Hlustun, else 127.0.0.1:8080
  std::string user = "Admin";
  std::string password;
  std::string templates;   // empty: [Vefur] Sniðmát, else DEFAULT_TEMPLATES
  std::string access_log;  // empty: standard output
};

// Serves until stopped.  Returns non-zero when it cannot start (the
// listener, the templates, the access log), after one line on standard
// error saying why.
int Run(const Options& options, const std::string& default_templates);

}  // namespace kvistur::web
