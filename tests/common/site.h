// A throw-away catalogue site for tests: a temporary folder with settings,
// log and workgroup files and empty directory and catalogue databases of
// every table the component reads, named by LINDRIT_SETTINGS and
// KVISTUR_LOG while the object lives.  On a server backend each write to
// the SQLite files loads them into their schemas again (by our loader, or
// by plain SQL and then `kvistur index`'s preparation), so that one test
// with the same expected values runs on every backend.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>

#include "files.h"
#include "pg_server.h"
#include "plain_sql_load.h"
#include "import/server/server_load.h"
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

enum class Backend { kFiles, kServer, kServerBySql };
inline constexpr Backend kEveryBackend[] = {Backend::kFiles, Backend::kServer, Backend::kServerBySql};
inline constexpr const char* kBackendNames[] = {"Files", "Server", "ServerBySql"};

// Runs the tests of a fixture that takes its Backend as parameter on each.
#define KVISTUR_EVERY_BACKEND(Fixture)                                                                   \
  INSTANTIATE_TEST_SUITE_P(Backend, Fixture, ::testing::ValuesIn(::kvistur::testing::kEveryBackend),    \
                           [](const auto& i) { return ::kvistur::testing::kBackendNames[int(i.param)]; })

class Site {
 public:
  explicit Site(bool make_databases = true, Backend backend = Backend::kFiles)
      : server_(backend != Backend::kFiles), by_sql_(backend == Backend::kServerBySql) {
    setenv("LINDRIT_SETTINGS", settings_.c_str(), 1);
    setenv("KVISTUR_LOG", log_.c_str(), 1);
    values_["Grunnur"]["Slóð"] = dir_;
    values_["Grunnur"]["GrunnNafn"] = "katalogur.sqlite";
    values_["Grunnur"]["kv_local"] = "skra.sqlite";
    values_["Debug"]["NoDebug"] = "1";
    if (server_) {
      database_ = PgServer::get().empty_database();
      values_["Grunnur"]["Slóð"] = PgServer::get().uri(database_);
    }
    write_settings();
    if (make_databases) {
      db::workgroup_init(workgroup());
      exec_sql(directory(), kDirectorySchema);
      exec_sql(catalogue(), kCatalogueSchema);
      load(directory());
      load(catalogue());
    }
  }
  explicit Site(Backend backend) : Site(true, backend) {}
  Site(const Site&) = delete;
  Site& operator=(const Site&) = delete;

  const std::string& dir() const { return dir_; }
  // Grunnur/Slóð: the folder, or the server's URI.
  std::string folder() const { return values_.at("Grunnur").at("Slóð"); }
  bool server() const { return server_; }
  const std::string& database() const { return database_; }
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

  std::string read_log() const { return file_bytes(log_); }
  void clear_log() const { std::filesystem::remove(log_); }
  // The log's lines without their date prefix and CR LF.
  std::vector<std::string> log_lines() const {
    std::vector<std::string> out;
    std::istringstream ss(read_log());
    for (std::string line; std::getline(ss, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      auto p = line.find("MeldaError: ");
      out.push_back(p == std::string::npos ? line : line.substr(p));
    }
    return out;
  }

  void catalogue_sql(const std::string& sql) const {
    exec_sql(catalogue(), sql);
    load(catalogue());
  }
  void directory_sql(const std::string& sql) const {
    exec_sql(directory(), sql);
    load(directory());
  }
  // A user who logs on with PASSWORD: in the workgroup, or a role.
  void add_user(const std::string& name, const std::string& password) const {
    if (!server_) {
      db::workgroup_set_user(workgroup(), from_utf8(name), from_utf8(password));
      return;
    }
    std::string role = "\"" + name + "\"", pw = "'" + password + "'";
    PgServer::get().sql("postgres", "DO $$ BEGIN CREATE ROLE " + role + " LOGIN PASSWORD " + pw +
                                        "; EXCEPTION WHEN duplicate_object THEN ALTER ROLE " + role + " PASSWORD " + pw +
                                        "; END $$");
  }
  // Runs SQL on the server's database as its administrator; the first value.
  std::string server_sql(const std::string& sql) const { return PgServer::get().sql(database_, sql); }

 private:
  void write_settings() const {
    std::ofstream f(settings_, std::ios::binary | std::ios::trunc);
    for (auto& [sec, vals] : values_) {
      f << "[" << sec << "]\n";
      for (auto& [k, v] : vals) f << k << "=" << v << "\n";
    }
  }

  // On the server: the database file loaded into its schema again.
  void load(const std::string& file) const {
    if (!server_) return;
    std::string uri = PgServer::get().admin_uri(database_);
    if (!by_sql_) return import::LoadDatabases({file}, uri, nullptr);
    std::string schema = std::filesystem::path(file).stem().string();
    load_by_plain_sql(file, database_, schema);
    import::IndexServerSchema(uri, schema);
  }

  bool server_ = false, by_sql_ = false;
  std::string database_;
  TempDir tmp_;
  std::string dir_ = tmp_.path, settings_ = dir_ + "/lindrit.ini", log_ = dir_ + "/melding.txt";
  std::map<std::string, std::map<std::string, std::string>> values_;
};

}  // namespace kvistur::testing
