// A real `kvistur serve` or `kvistur web` for the tests, on a catalogue the
// command line made, on a free port; one that cannot start fails the test.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
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
    char buf[4];
    std::snprintf(buf, sizeof buf, "%%%02X", c);
    out += std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' ? std::string(1, char(c)) : buf;
  }
  return out;
}

// The numbers PATTERN's first group matches in TEXT, in order.
inline std::vector<int> ids_in(const std::string& text, const std::string& pattern) {
  std::vector<int> ids;
  std::regex re(pattern);
  for (std::sregex_iterator i(text.begin(), text.end(), re), e; i != e; ++i) ids.push_back(std::stoi((*i)[1]));
  return ids;
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
  std::string settings() const { return dir + "/lindrit-1.0.ini"; }
  // The command line on this catalogue.
  ToolResult tool(const std::vector<std::string>& args) const {
    setenv("LINDRIT_SETTINGS", settings().c_str(), 1);
    return run_tool(args);
  }
  // The record numbers `kvistur search` gives, in its order.
  std::vector<int> search(const std::string& text, int field = -1, int group = -1) const {
    auto r = tool({"search", text, "--field", std::to_string(field), "--group", std::to_string(group), "--max", "1000",
                   "--json"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return ids_in(r.out, "\"id\": ?([0-9]+)");
  }
};

// An HTTP answer: its status, headers (names in lower case) and body.
struct Answer {
  int status = 0;
  std::map<std::string, std::string> headers;
  std::string body;
  std::string header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? "" : it->second;
  }
};

// kvistur COMMAND listening on PREFIX127.0.0.1:PORT, a free port, with the
// settings file SETTINGS, then ARGS; its access log and standard error in
// files of DIR.  Stopped with SIGTERM when the object goes.
class Running {
 public:
  Running(const std::string& command, const std::string& prefix, const std::string& settings, const std::string& dir,
          std::vector<std::string> args)
      : port_(free_port()) {
    std::string name = dir + "/" + command + "-" + std::to_string(port_);
    access_ = name + "-access.log";
    err_ = name + "-err.log";
    args.insert(args.begin(), {KVISTUR_TOOL, command, prefix + "127.0.0.1:" + std::to_string(port_), "--access-log",
                               access_});
    pid_ = fork();
    if (pid_ == 0) {
      setenv("LINDRIT_SETTINGS", settings.c_str(), 1);
      setenv("KVISTUR_LOG", (dir + "/melding.txt").c_str(), 1);
      if (!freopen(err_.c_str(), "w", stderr)) _exit(126);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(KVISTUR_TOOL, argv.data());
      _exit(127);
    }
    for (int i = 0; i < 200 && !accepts(port_); ++i) {
      if (waitpid(pid_, &status_, WNOHANG) == pid_) {
        pid_ = -1;
        throw std::runtime_error("kvistur " + command + " ended: " + errors());
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!accepts(port_)) throw std::runtime_error("kvistur " + command + " does not answer on port " + std::to_string(port_));
  }
  ~Running() { stop(); }
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;

  // SIGTERM, then its exit status (as waitpid gives it).  A program that
  // has not ended 30 s after it is a failure, and is killed.
  int stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      bool ended = false;
      for (int i = 0; i < 300 && !(ended = waitpid(pid_, &status_, WNOHANG) == pid_); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (!ended) {
        ADD_FAILURE() << "the program did not end on SIGTERM";
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
      }
      pid_ = -1;
    }
    return status_;
  }
  bool running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }
  int port() const { return port_; }
  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
  // PATH asked with curl (the path as it is, never normalised) and OPTIONS.
  Answer get(const std::string& path, const std::string& options = "") const {
    std::string raw = sh("curl -s -i --path-as-is -g " + options + " " + shell_quote(url(path)));
    Answer a;
    std::size_t end = raw.find("\r\n\r\n");
    a.body = end == std::string::npos ? "" : raw.substr(end + 4);
    std::istringstream head(raw.substr(0, end));
    std::string line;
    if (std::getline(head, line) && line.size() > 12) a.status = std::atoi(line.c_str() + 9);
    while (std::getline(head, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (auto colon = line.find(": "); colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return char(std::tolower(c)); });
        a.headers[name] = line.substr(colon + 2);
      }
    }
    return a;
  }
  std::string access_log() const { return file_bytes(access_); }
  // The access log once it holds TEXT (or after 10 s): a web request's line
  // is written when its answer has gone, which may be after the client has
  // read it.
  std::string access_log_with(const std::string& text) const {
    std::string log = access_log();
    for (int i = 0; i < 100 && log.find(text) == std::string::npos; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      log = access_log();
    }
    return log;
  }
  std::string errors() const { return file_bytes(err_); }

  // The number of a line of its /proc/PID/status (VmRSS and VmHWM in KiB,
  // Threads).
  long status(const std::string& name) const {
    std::istringstream s(file_bytes("/proc/" + std::to_string(pid_) + "/status"));
    for (std::string line; std::getline(s, line);)
      if (line.rfind(name + ":", 0) == 0) return std::atol(line.c_str() + name.size() + 1);
    return -1;
  }
  // The sockets it holds open: its listeners and the connections it has
  // accepted.
  long sockets() const {
    long n = 0;
    std::error_code ec;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/fd", ec)) {
      std::error_code link_ec;
      if (std::filesystem::read_symlink(fd.path(), link_ec).string().rfind("socket:", 0) == 0) ++n;
    }
    return n;
  }

 private:
  int port_;
  pid_t pid_ = -1;
  int status_ = -1;
  std::string access_, err_;
};

// kvistur serve on the catalogue CAT, its settings followed by EXTRA.
class Server : public Running {
 public:
  Server(const Catalogue& cat, const std::string& extra) : Running("serve", "tcp:", with(cat, extra), cat.dir, {}),
                                                            dir_(cat.dir) {}

  std::string target() const { return "tcp:127.0.0.1:" + std::to_string(port()); }
  // SRU over HTTP GET; the response body, checked to be well-formed XML.
  std::string sru(const std::string& path_and_query) const {
    std::string body = get("/" + path_and_query).body;
    EXPECT_EQ(sh("printf %s " + shell_quote(body) + " | xmllint --noout - 2>&1"), "") << body;
    return body;
  }
  // The record numbers an SRU search with CQL gives, in its order.
  std::vector<int> found(const std::string& cql, const std::string& database = "Default") const {
    return ids_in(sru(uri(database) + "?version=1.2&operation=searchRetrieve&recordSchema=kvistur" +
                      "&maximumRecords=1000&query=" + uri(cql)),
                  "<kvistur xmlns=\"urn:x-kvistur:display\" id=\"([0-9]+)\"");
  }
  // yaz-client with a script (-f); everything it printed.
  std::string yaz_client(const std::string& script) const {
    std::string file = dir_ + "/script-" + std::to_string(port());
    std::ofstream(file) << "open " << target() << "\n" << script << "quit\n";
    return sh("cd " + shell_quote(dir_) + " && timeout 60 yaz-client -f " + shell_quote(file) + " 2>&1");
  }

 private:
  // A settings file of its own: the catalogue's and EXTRA.
  static std::string with(const Catalogue& cat, const std::string& extra) {
    static int files = 0;
    std::string file = cat.dir + "/serve-" + std::to_string(++files) + ".ini";
    std::ofstream(file) << file_bytes(cat.settings()) << extra;
    return file;
  }
  std::string dir_;
};

// kvistur web with SETTINGS (a file's path) and ARGS after the listener.
class Web : public Running {
 public:
  Web(const std::string& settings, const std::string& dir, std::vector<std::string> args = {})
      : Running("web", "", settings, dir, std::move(args)) {}
};

}  // namespace kvistur::testing::serve
