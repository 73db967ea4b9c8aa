// kvistur serve [LISTENER...]: the catalogue named by the settings, over
// Z39.50 and SRU, for every library client (docs/server.md).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "command.h"
#include "kvistur/faersla.h"
#include "log_on.h"
#include "server/server.h"

namespace kvistur::cli {

namespace {

constexpr long kHighestPort = 65535;

// A listener's port, when it names one by number, is a port: the network
// layer would otherwise take it modulo 65536 and listen somewhere else
// without a word.
void check_listener(const std::string& listener) {
  if (listener.rfind("unix:", 0) == 0) return;
  std::size_t colon = listener.rfind(':');
  std::string port = colon == std::string::npos ? listener : listener.substr(colon + 1);
  if (port.empty() || port.find_first_not_of("0123456789") != std::string::npos) return;
  if (port.size() > 5 || std::stol(port) < 1 || std::stol(port) > kHighestPort)
    throw UsageError("the port of " + listener + " must be from 1 to " + std::to_string(kHighestPort));
}

// The server's log is written from the first line on: a file that cannot
// be written would leave the server running with no log at all.
void check_writable(const std::string& file) {
  int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot write the server log " + file + ": " + std::strerror(errno));
  ::close(fd);
}

}  // namespace

KVISTUR_COMMAND(cmd_serve, "serve",
                "serve [LISTENER...] [--user U --password P] [--access-log FILE] [--server-log FILE]",
                "serve the catalogue over Z39.50 and SRU (default listener tcp:@:2100)") {
  Args a = args;
  server::Options o;
  take_option(a, "--user", o.user);
  take_option(a, "--password", o.password);
  take_option(a, "--access-log", o.access_log);
  take_option(a, "--server-log", o.server_log);
  reject_unknown_options(a);
  for (const std::string& s : a) {
    check_listener(s);
    o.listeners.push_back(s);
  }
  if (!o.server_log.empty()) check_writable(o.server_log);
  {
    // The server's own log-on must work before any client comes.
    Faersla f;
    log_on(f, o.user, o.password);
  }
  return server::Run(o);
}

}  // namespace kvistur::cli
