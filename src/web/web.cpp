#include "web/web.h"

#include <signal.h>

#include <cstdio>
#include <optional>
#include <stdexcept>

#include "settings/access_log.h"
#include "web/http_server.h"
#include "web/routes.h"

namespace kvistur::web {

int Run(const Options& options, const std::string& default_templates) {
  WebSettings settings = ReadWebSettings();
  if (!options.listener.empty()) settings.listener = options.listener;
  if (!options.templates.empty()) settings.templates = options.templates;
  if (settings.templates.empty()) settings.templates = default_templates;
  // The stop signals are taken by this thread alone (sigwait below): the
  // workers it starts inherit them blocked.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  std::optional<Site> site;
  try {
    site.emplace(settings.templates);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kvistur web: %s\n", e.what());
    return 1;
  }
  App app{*site, settings, options.user, options.password};
  std::optional<HttpServer> server;
  try {
    OpenAccessLog(options.access_log);
    HttpOptions http{settings.threads, settings.connections, settings.timeout_seconds, kConnectionMemory, options.user};
    server.emplace(ParseListener(settings.listener), http, [&app](const Request& r) { return Route(app, r); });
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kvistur web: cannot serve on %s: %s\n", settings.listener.c_str(), e.what());
    return 1;
  }
  std::fprintf(stderr, "kvistur web: serving the catalogue on http://%s/ (templates %s)\n", settings.listener.c_str(),
               settings.templates.c_str());
  int signal = 0;
  sigwait(&stop, &signal);
  server->Drain(std::chrono::seconds(kShutdownSeconds));
  server.reset();
  return 0;
}

}  // namespace kvistur::web
