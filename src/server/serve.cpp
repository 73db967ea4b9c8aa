// kvistur serve as a program: YAZ's generic front-end server in its
// threaded mode with the handlers (handlers.h), held to the limits of
// connections, message size and idle time (limits.h).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <unistd.h>
#include <yaz/diagbib1.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include "settings/access_log.h"
#include "server/front_end_bounds.h"
#include "server/handlers.h"

namespace kvistur::server {
namespace {

// The threads of the process before the first client came, and the
// connections allowed at once.
int threads_at_start = 0;
int connection_limit = 0;

// The front end runs one thread a connection, Init or not, until the
// connection ends: the threads beyond those at the start are the
// connections.
int process_threads() {
  std::error_code e;
  int n = 0;
  for (std::filesystem::directory_iterator it("/proc/self/task", e), end; !e && it != end; it.increment(e)) ++n;
  return n;
}

std::string address_text(const char* address, int length, int type) {
  char text[INET6_ADDRSTRLEN] = "-";
  if (type == AF_INET && length >= int(sizeof(sockaddr_in)))
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
  else if (type == AF_INET6 && length >= int(sizeof(sockaddr_in6)))
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
  return text;
}

// YAZ asks before it takes each connection; non-zero closes it at once,
// before a thread is started for it.
int admit(void*, const char* address, int length, int type) {
  if (process_threads() - threads_at_start < connection_limit) return 0;
  WriteAccess({address_text(address, length, type), "-", "connect", YAZ_BIB1_INIT_AC_SYSTEM_TEMPORARILY_OUT_OF_RESOURCES,
               0, 0});
  return 1;
}

// The front end's own SIGTERM handler logs and calls exit() inside the
// handler, neither of which is safe there: a signal that lands while a
// thread holds the log's lock or malloc's never returns, and the server
// does not stop.  The stop signals are blocked in every thread instead
// (threads inherit the mask) and taken by one thread of ours, which ends
// the process at once: nothing the server holds needs closing (catalogues
// are only read, the access log is written a line at a time).
void StopOnSignal() {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  std::thread([stop] {
    int signal = 0;
    sigwait(&stop, &signal);
#if defined(__SANITIZE_ADDRESS__)
    __lsan_do_leak_check();
#endif
    _exit(0);
  }).detach();
}

}  // namespace

int Run(const Options& given) {
  Options options = given;
  if (options.listeners.empty()) options.listeners.push_back("tcp:@:2100");
  const Limits limits = ReadLimits();
  Prepare(options, limits);
  try {
    OpenAccessLog(options.access_log);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kvistur serve: %s\n", e.what());
    return 1;
  }
  BoundFrontEnd(limits);
  connection_limit = limits.connections;
  statserv_getcontrol()->check_ip = admit;
  // YAZ's own options: threads, the idle time, the message size (offered
  // at Init and held to after it), its log (without its request lines: the
  // access log has those), and the listeners.
  std::vector<std::string> args = {"kvistur-serve", "-T", "-t", std::to_string(limits.idle_seconds) + "s",
                                   "-k", std::to_string(limits.message_kib), "-v", "none,fatal,warn,log,server,session"};
  if (!options.server_log.empty()) args.insert(args.end(), {"-l", options.server_log});
  for (auto& l : options.listeners) args.push_back(l);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  StopOnSignal();
  threads_at_start = process_threads();
  int r = statserv_main(int(argv.size() - 1), argv.data(), Init, Close);
  if (r != 0) std::fprintf(stderr, "kvistur serve: cannot serve on %s (see the lines above)\n", options.listeners.front().c_str());
  return r == 0 ? 0 : 1;
}

}  // namespace kvistur::server
