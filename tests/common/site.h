// A throw-away catalogue site for tests: a temporary folder with a settings
// file, a log file, a workgroup file and empty directory and catalogue
// databases with every table the component reads.  The environment
// (LINDRIT_SETTINGS, KVISTUR_LOG) points at it while the object lives.
#pragma once

#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>

#include "platform/workgroup.h"

namespace kvistur::testing {

// The tables of the directory database.
inline constexpr char kDirectorySchema[] = R"(
CREATE TABLE databases (ID INTEGER, Name TEXT, Description TEXT);
CREATE TABLE DBGroups (ID INTEGER, Name TEXT, Description TEXT);
CREATE TABLE QueryTypes (QueryID INTEGER, QueryTypeName TEXT, GroupID INTEGER);
CREATE TABLE relations (dbID INTEGER, GroupID INTEGER);
)";

// The tables of the catalogue database.
inline constexpr char kCatalogueSchema[] = R"(
CREATE TABLE Móðurtafla (ID INTEGER PRIMARY KEY, Skráning TEXT, ISBN TEXT, Marktákn1 TEXT, Marktákn2 TEXT,
  Marktákn3 TEXT, Marktákn4 TEXT, ÖllFærslan TEXT, MarkSnið TEXT, Upprunafærsla INTEGER, Röðunarsvið TEXT,
  Tag INTEGER, Uppruni INTEGER, Safndeild INTEGER, UpprunaID INTEGER, Einkennisstrengur TEXT);
CREATE TABLE Aðfanganúmer (Aðfanganúmer INTEGER, Athugasemd TEXT, Staðsetning TEXT, Móðurbendir INTEGER,
  Tag INTEGER, Lánþegabendir INTEGER);
CREATE TABLE ValdarFærslur (Valdar INTEGER);
CREATE TABLE EkkiOrð (EkkiOrð TEXT);
CREATE TABLE Orð (ID INTEGER PRIMARY KEY, Orð TEXT);
CREATE TABLE Tengill (FærsluID INTEGER, OrðID INTEGER, HópID INTEGER, Orðtag INTEGER);
CREATE TABLE Árgangur (ID INTEGER, MóðurID INTEGER, Númer INTEGER, Árgangur TEXT, Útgáfuár TEXT);
CREATE TABLE Tölublað (MóðurID INTEGER, Númer INTEGER, Tölublað TEXT);
)";

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

class Site {
 public:
  explicit Site(bool make_databases = true) {
    char tmpl[] = "/tmp/kvistur-test-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
    dir_ = tmpl;
    settings_ = dir_ + "/lindrit.ini";
    log_ = dir_ + "/melding.txt";
    setenv("LINDRIT_SETTINGS", settings_.c_str(), 1);
    setenv("KVISTUR_LOG", log_.c_str(), 1);
    values_["Grunnur"]["Slóð"] = dir_;
    values_["Grunnur"]["GrunnNafn"] = "katalogur.sqlite";
    values_["Grunnur"]["kv_local"] = "skra.sqlite";
    values_["Debug"]["NoDebug"] = "1";
    write_settings();
    if (make_databases) {
      db::workgroup_init(workgroup());
      exec_sql(directory(), kDirectorySchema);
      exec_sql(catalogue(), kCatalogueSchema);
    }
  }
  ~Site() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  Site(const Site&) = delete;
  Site& operator=(const Site&) = delete;

  const std::string& dir() const { return dir_; }
  std::string directory() const { return dir_ + "/skra.sqlite"; }
  std::string catalogue() const { return dir_ + "/katalogur.sqlite"; }
  std::string workgroup() const { return dir_ + "/System.mdw"; }
  const std::string& log_file() const { return log_; }
  const std::string& settings_file() const { return settings_; }

  // Sets a value (UTF-8) and rewrites the settings file; an empty optional
  // section map entry is kept.
  void set(const std::string& section, const std::string& name, const std::string& value) {
    values_[section][name] = value;
    write_settings();
  }
  void unset(const std::string& section, const std::string& name) {
    values_[section].erase(name);
    write_settings();
  }
  void debug(bool on) { set("Debug", "NoDebug", on ? "1" : "0"); }

  std::string read_log() const {
    std::ifstream f(log_, std::ios::binary);
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  void clear_log() const { std::filesystem::remove(log_); }
  // The log's lines without their date prefix and CR LF.
  std::vector<std::string> log_lines() const {
    std::vector<std::string> out;
    std::istringstream ss(read_log());
    std::string line;
    while (std::getline(ss, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      auto p = line.find("MeldaError: ");
      out.push_back(p == std::string::npos ? line : line.substr(p));
    }
    return out;
  }

  void catalogue_sql(const std::string& sql) const { exec_sql(catalogue(), sql); }
  void directory_sql(const std::string& sql) const { exec_sql(directory(), sql); }

 private:
  void write_settings() const {
    std::ofstream f(settings_, std::ios::binary | std::ios::trunc);
    for (auto& [sec, vals] : values_) {
      f << "[" << sec << "]\n";
      for (auto& [k, v] : vals) f << k << "=" << v << "\n";
    }
  }

  std::string dir_, settings_, log_;
  std::map<std::string, std::map<std::string, std::string>> values_;
};

}  // namespace kvistur::testing
