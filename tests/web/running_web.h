// A real `kvistur web` for the web's tests: started on a free port of this
// machine with a settings file of its own, asked with curl, stopped with
// SIGTERM (its exit status kept for the test that checks it).  A server
// that cannot be started fails the test.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "server/running_server.h"

namespace kvistur::testing::web {

using serve::accepts;
using serve::free_port;

struct Answer {
  int status = 0;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  std::string header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? "" : it->second;
  }
};

class Web {
 public:
  // kvistur web with SETTINGS (a file's path) and ARGS after the listener.
  Web(const std::string& settings, const std::string& dir, std::vector<std::string> args = {})
      : port_(free_port()), dir_(dir) {
    access_ = dir + "/web-access-" + std::to_string(port_) + ".log";
    err_ = dir + "/web-err-" + std::to_string(port_) + ".log";
    pid_ = fork();
    if (pid_ == 0) {
      setenv("LINDRIT_SETTINGS", settings.c_str(), 1);
      setenv("KVISTUR_LOG", (dir + "/melding.txt").c_str(), 1);
      if (!freopen(err_.c_str(), "w", stderr)) _exit(126);
      std::string listener = "127.0.0.1:" + std::to_string(port_);
      std::vector<std::string> all = {KVISTUR_TOOL, "web", listener, "--access-log", access_};
      all.insert(all.end(), args.begin(), args.end());
      std::vector<char*> argv;
      for (auto& a : all) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(KVISTUR_TOOL, argv.data());
      _exit(127);
    }
    for (int i = 0; i < 200 && !accepts(port_); ++i) {
      if (waitpid(pid_, &status_, WNOHANG) == pid_) {
        pid_ = -1;
        throw std::runtime_error("kvistur web ended: " + file_bytes(err_));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!accepts(port_)) throw std::runtime_error("kvistur web does not answer on port " + std::to_string(port_));
  }
  ~Web() { stop(); }
  Web(const Web&) = delete;
  Web& operator=(const Web&) = delete;

  // SIGTERM, then its exit status (as waitpid gives it).
  int stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, &status_, 0);
      pid_ = -1;
    }
    return status_;
  }

  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

  // PATH asked with curl (the path as it is, never normalised) and OPTIONS.
  Answer get(const std::string& path, const std::string& options = "") const {
    std::string raw = serve::sh("curl -s -i --path-as-is -g " + options + " " + shell_quote(url(path)));
    Answer a;
    std::size_t end = raw.find("\r\n\r\n");
    std::string head = raw.substr(0, end);
    a.body = end == std::string::npos ? "" : raw.substr(end + 4);
    if (head.size() > 12) a.status = std::atoi(head.c_str() + 9);
    std::size_t at = head.find("\r\n");
    while (at != std::string::npos) {
      std::size_t next = head.find("\r\n", at + 2);
      std::string line = head.substr(at + 2, next == std::string::npos ? std::string::npos : next - at - 2);
      if (auto colon = line.find(": "); colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return char(std::tolower(c)); });
        a.headers[name] = line.substr(colon + 2);
      }
      at = next;
    }
    return a;
  }

  std::string access_log() const { return file_bytes(access_); }
  std::string errors() const { return file_bytes(err_); }

 private:
  int port_;
  std::string dir_, access_, err_;
  pid_t pid_ = -1;
  int status_ = -1;
};

}  // namespace kvistur::testing::web
