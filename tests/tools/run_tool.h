// Runs the kvistur command line in the tests: arguments, standard input,
// and what came back.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/files.h"

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

// STDOUT: where standard output goes instead of into ToolResult::out (a
// file such as /dev/full); SHELL_FIRST, commands the shell runs before the
// tool (a limit on the size of the files it writes, say).
inline ToolResult run_tool(const std::vector<std::string>& args, const std::string& input = "",
                           const std::string& workdir = "/tmp", const std::string& stdout_to = "",
                           const std::string& shell_first = "") {
  static int counter = 0;
  std::string base = workdir + "/tool-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
  { std::ofstream(base + ".in", std::ios::binary) << input; }
  std::string cmd = shell_first + (shell_first.empty() ? "" : "; exec ") + shell_quote(KVISTUR_TOOL);
  for (auto& a : args) cmd += " " + shell_quote(a);
  cmd += " <" + shell_quote(base + ".in") + " >" + shell_quote(stdout_to.empty() ? base + ".out" : stdout_to) +
         " 2>" + shell_quote(base + ".err");
  int status = std::system(cmd.c_str());
  ToolResult r;
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = file_bytes(base + ".out");
  r.err = file_bytes(base + ".err");
  std::remove((base + ".in").c_str());
  std::remove((base + ".out").c_str());
  std::remove((base + ".err").c_str());
  return r;
}

// Runs the tool on a pseudo-terminal and gives back everything it wrote
// there (standard output and standard error both), with "[exit N]" after
// it when it did not exit 0.  ANSWERS are typed in turn, each once the
// output since the last one holds its prompt.  A tool that stops writing
// for half a minute is killed, so a fault cannot hang the tests.
inline std::string run_on_terminal(const std::vector<std::string>& args,
                                   const std::vector<std::pair<std::string, std::string>>& answers = {}) {
  int master = -1;
  pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid < 0) return "forkpty failed";
  if (pid == 0) {
    std::vector<char*> argv{const_cast<char*>(KVISTUR_TOOL)};
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(KVISTUR_TOOL, argv.data());
    _exit(127);
  }
  std::string out;
  std::size_t next = 0, from = 0;
  char buf[4096];
  for (;;) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 30000) <= 0) {
      kill(pid, SIGKILL);
      break;
    }
    ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) break;  // EIO once the tool has exited
    out.append(buf, std::size_t(n));
    std::size_t at;
    if (next < answers.size() && (at = out.find(answers[next].first, from)) != std::string::npos) {
      from = at + answers[next].first.size();
      const std::string& typed = answers[next++].second;
      if (write(master, typed.data(), typed.size()) != ssize_t(typed.size())) break;
    }
  }
  close(master);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    out += "\n[exit " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + "]";
  return out;
}

// kvistur host fed REQUESTS, one JSON a line, then EXTRA as it is; its
// answers, one a line.  A run that does not end with 0 fails the test.
inline std::vector<nlohmann::json> host_answers(const std::vector<nlohmann::json>& requests,
                                                const std::string& extra = "") {
  std::string in;
  for (auto& r : requests) in += r.dump() + "\n";
  auto r = run_tool({"host"}, in + extra);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  std::vector<nlohmann::json> answers;
  std::istringstream ss(r.out);
  for (std::string line; std::getline(ss, line);) answers.push_back(nlohmann::json::parse(line));
  return answers;
}

// A host's array argument with no array in it, a call of METHOD on the
// host's object OBJ, and an internal operation FN.
inline const nlohmann::json kNoArray = {{"items", nullptr}};
inline nlohmann::json host_call(const std::string& obj, const std::string& method, nlohmann::json args) {
  return {{"op", "call"}, {"obj", obj}, {"method", method}, {"args", std::move(args)}};
}
inline nlohmann::json host_eval(const std::string& fn, nlohmann::json args) {
  return {{"op", "eval"}, {"fn", fn}, {"args", std::move(args)}};
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

// The rows a query gives on an SQLite file, the columns of each joined by
// "|" (Null as "NULL"); a query that cannot be prepared throws.
inline std::vector<std::string> sql_rows(const std::string& file, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
    std::string m = sqlite3_errmsg(db);
    sqlite3_close(db);
    throw std::runtime_error(m);
  }
  std::vector<std::string> out;
  while (sqlite3_step(st) == SQLITE_ROW) {
    std::string line;
    for (int i = 0; i < sqlite3_column_count(st); ++i) {
      auto t = sqlite3_column_text(st, i);
      line += (i ? "|" : "") + std::string(t ? reinterpret_cast<const char*>(t) : "NULL");
    }
    out.push_back(line);
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return out;
}

// What `kvistur search WORD --max 40` prints for the catalogue the
// settings name, or "failed: " and what it said.
inline std::string search_output(const std::string& word) {
  auto r = run_tool({"search", word, "--max", "40"});
  return r.exit_code == 0 ? r.out : "failed: " + r.err;
}

// The title word most records of the catalogue in FOLDER have.
inline std::string top_title_word(const std::string& folder) {
  return sql_rows(folder + "/katalogur.sqlite", "SELECT o.Orð FROM Orð o JOIN Tengill t ON t.OrðID = o.ID WHERE "
                                                "t.Orðtag = 2 GROUP BY o.ID ORDER BY count(*) DESC LIMIT 1")
      .at(0);
}

}  // namespace kvistur::testing
