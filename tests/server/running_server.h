// A real `kvistur serve` for the server's tests: a catalogue made by the
// command line, the server started on a free port of this machine with its
// own settings, access log and diagnostic log, and what the tests read of
// it (its answers through the field's own clients, its memory and
// threads).  A server that cannot be started fails the test.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tools/run_tool.h"

namespace kvistur::testing::serve {

inline const std::string kSample = std::string(KVISTUR_SOURCE_DIR) + "/data/sample/sample.xml";

// Runs a shell command; its standard output.
inline std::string sh(const std::string& cmd) {
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[4096];
    for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    pclose(p);
  }
  return out;
}

// Percent-encodes everything but letters, digits and - . _ ~.
inline std::string uri(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += char(c);
    } else {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      out += buf;
    }
  }
  return out;
}

inline sockaddr_in loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

inline int free_port() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = loopback(0);
  socklen_t len = sizeof a;
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

// A TCP connection to PORT on this machine; -1 when none is made.
inline int connect_to(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = loopback(port);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return s;
  close(s);
  return -1;
}

inline bool accepts(int port) {
  int s = connect_to(port);
  if (s >= 0) close(s);
  return s >= 0;
}

// A catalogue the command line makes in a folder of its own: by default the
// sample as `kvistur build` makes it (its source records in Frumfærsla);
// or by the command ARGS, which end with the folder's option ("--out").
struct Catalogue {
  kvistur::testing::TempDir tmp;
  const std::string& dir = tmp.path;
  Catalogue() : Catalogue({"build", "--marc", kSample, "--out"}) {}
  explicit Catalogue(std::vector<std::string> args) {
    args.push_back(dir);
    auto r = run_tool(args);
    if (r.exit_code != 0) throw std::runtime_error("kvistur " + args[0] + " failed: " + r.err);
  }
  // A folder with only the settings file TEXT: a catalogue kept elsewhere,
  // on a server.
  struct Settings {
    std::string text;
  };
  explicit Catalogue(const Settings& settings) { std::ofstream(dir + "/lindrit-1.0.ini") << settings.text; }
};

// kvistur serve on a free port, with its settings file, access log and
// diagnostic log; stopped (SIGTERM) when the object goes.
class Server {
 public:
  Server(const Catalogue& cat, const std::string& extra_settings) : cat_(cat), port_(free_port()) {
    settings_ = cat.dir + "/serve-" + std::to_string(port_) + ".ini";
    access_ = cat.dir + "/access-" + std::to_string(port_) + ".log";
    std::ofstream(settings_) << file_bytes(cat.dir + "/lindrit-1.0.ini") << extra_settings;
    std::string log = cat.dir + "/server-" + std::to_string(port_) + ".log";
    pid_ = fork();
    if (pid_ == 0) {
      setenv("LINDRIT_SETTINGS", settings_.c_str(), 1);
      setenv("KVISTUR_LOG", (cat.dir + "/melding.txt").c_str(), 1);
      std::string listener = "tcp:127.0.0.1:" + std::to_string(port_);
      execl(KVISTUR_TOOL, KVISTUR_TOOL, "serve", listener.c_str(), "--access-log", access_.c_str(), "--server-log",
            log.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 200 && !accepts(port_); ++i) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) throw std::runtime_error("kvistur serve ended: " + file_bytes(log));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!accepts(port_)) throw std::runtime_error("kvistur serve does not answer on port " + std::to_string(port_));
  }
  ~Server() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }

  int port() const { return port_; }
  std::string target() const { return "tcp:127.0.0.1:" + std::to_string(port_); }
  std::string url(const std::string& path_and_query) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + path_and_query;
  }
  // SRU over HTTP GET; the response body, checked to be well-formed XML.
  std::string sru(const std::string& path_and_query) const {
    std::string body = sh("curl -s -g " + shell_quote(url(path_and_query)));
    EXPECT_EQ(sh("printf %s " + shell_quote(body) + " | xmllint --noout - 2>&1"), "") << body;
    return body;
  }
  // yaz-client with a script (-f); everything it printed.
  std::string yaz_client(const std::string& script) const {
    std::string file = cat_.dir + "/script-" + std::to_string(port_);
    std::ofstream(file) << "open " << target() << "\n" << script << "quit\n";
    return sh("cd " + shell_quote(cat_.dir) + " && timeout 60 yaz-client -f " + shell_quote(file) + " 2>&1");
  }
  // The number of a line of the server's /proc/PID/status (VmRSS and
  // VmHWM in KiB, Threads).
  long status(const std::string& name) const {
    std::istringstream s(file_bytes("/proc/" + std::to_string(pid_) + "/status"));
    for (std::string line; std::getline(s, line);)
      if (line.rfind(name + ":", 0) == 0) return std::atol(line.c_str() + name.size() + 1);
    return -1;
  }
  long rss_kib() const { return status("VmRSS"); }
  // The sockets the server holds open: its listeners and the connections
  // it has accepted.
  long sockets() const {
    long n = 0;
    std::error_code ec;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/fd", ec)) {
      std::error_code link_ec;
      if (std::filesystem::read_symlink(fd.path(), link_ec).string().rfind("socket:", 0) == 0) ++n;
    }
    return n;
  }
  bool running() const { return waitpid(pid_, nullptr, WNOHANG) == 0; }
  std::string access_log() const { return file_bytes(access_); }

 private:
  const Catalogue& cat_;
  int port_;
  pid_t pid_ = -1;
  std::string settings_, access_;
};

}  // namespace kvistur::testing::serve
