// A real `kvistur web` for the web's tests: started on a free port of this
// machine with a settings file of its own, asked with curl, stopped with
// SIGTERM (its exit status kept for the test that checks it).  A server
// that cannot be started fails the test.
#pragma once

#include <algorithm>
#include <cctype>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "server/running_server.h"

namespace kvistur::testing::web {

struct Answer {
  int status = 0;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  std::string header(const std::string& name) const {
    auto it = headers.find(name);
    return it == headers.end() ? "" : it->second;
  }
};

class Web : public serve::Running {
 public:
  // kvistur web with SETTINGS (a file's path) and ARGS after the listener.
  Web(const std::string& settings, const std::string& dir, std::vector<std::string> args = {})
      : Running("web", "", settings, dir, std::move(args)) {}

  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port()) + path; }

  // PATH asked with curl (the path as it is, never normalised) and OPTIONS.
  Answer get(const std::string& path, const std::string& options = "") const {
    std::string raw = serve::sh("curl -s -i --path-as-is -g " + options + " " + shell_quote(url(path)));
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
};

}  // namespace kvistur::testing::web
