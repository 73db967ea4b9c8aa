// Files and folders for the tests: a file's bytes, a folder's files, and a
// folder of a test's own; SQL run on an SQLite file.
#pragma once

#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>

namespace kvistur::testing {

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

// A folder of the test's own under /tmp, removed with all it holds.
struct TempDir {
  std::string path;
  TempDir() {
    char t[] = "/tmp/kvistur-test-XXXXXX";
    if (!mkdtemp(t)) throw std::runtime_error("mkdtemp");
    path = t;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
};

// Runs SQL on an SQLite file (created when missing); throws on error.
inline void exec_sql(const std::string& file, const std::string& sql) {
  sqlite3* db = nullptr;
  if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) throw std::runtime_error("cannot open " + file);
  char* msg = nullptr;
  int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &msg);
  std::string err = msg ? msg : "";
  sqlite3_free(msg);
  sqlite3_close(db);
  if (rc != SQLITE_OK) throw std::runtime_error("sql: " + err + " in: " + sql);
}

}  // namespace kvistur::testing
