// Runs the kvistur command line in the tests: arguments, standard input,
// and what came back.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace kvistur::testing {

struct ToolResult {
  int exit_code = -1;
  std::string out, err;
};

inline std::string shell_quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

inline ToolResult run_tool(const std::vector<std::string>& args, const std::string& input = "",
                           const std::string& workdir = "/tmp") {
  static int counter = 0;
  std::string base = workdir + "/tool-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
  { std::ofstream(base + ".in", std::ios::binary) << input; }
  std::string cmd = shell_quote(KVISTUR_TOOL);
  for (auto& a : args) cmd += " " + shell_quote(a);
  cmd += " <" + shell_quote(base + ".in") + " >" + shell_quote(base + ".out") + " 2>" + shell_quote(base + ".err");
  int status = std::system(cmd.c_str());
  ToolResult r;
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  auto slurp = [](const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  };
  r.out = slurp(base + ".out");
  r.err = slurp(base + ".err");
  std::remove((base + ".in").c_str());
  std::remove((base + ".out").c_str());
  std::remove((base + ".err").c_str());
  return r;
}

// Standard error without the lines that report a stage of a long command
// ("cataloguing: 62 records in 0.1 s (620/s)", "indexes: done in 0.2 s").
inline std::string without_progress(const std::string& err) {
  static const std::regex stage(R"(^[a-z ]+: (\d+ [a-z]+|done) in [0-9.]+ s( \(\d+/s\))?$)");
  std::istringstream in(err);
  std::string line, out;
  while (std::getline(in, line))
    if (!std::regex_match(line, stage)) out += line + "\n";
  return out;
}

}  // namespace kvistur::testing
