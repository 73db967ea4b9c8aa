// Runs the kvistur command line in the tests: arguments, standard input,
// and what came back.
#pragma once

#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>
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

// A file's bytes ("" when it cannot be read).
inline std::string file_bytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

// The files of a folder (not its subfolders), by name, with their bytes.
inline std::map<std::string, std::string> folder_files(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (auto& e : std::filesystem::directory_iterator(dir))
    if (e.is_regular_file()) files[e.path().filename().string()] = file_bytes(e.path().string());
  return files;
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
  r.out = file_bytes(base + ".out");
  r.err = file_bytes(base + ".err");
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

// A folder of the test's own under /tmp, removed with all it holds.
struct TempDir {
  std::string path;
  TempDir() {
    char t[] = "/tmp/kvistur-test-XXXXXX";
    path = mkdtemp(t);
  }
  ~TempDir() { std::filesystem::remove_all(path); }
};

}  // namespace kvistur::testing
