// The sample catalogue built into files and into a PostgreSQL server, and a
// generated one updated in both: the same mix of calls through `kvistur
// host` answers the same on both, every method, every array, byte for byte.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "common/site.h"
#include "tools/run_tool.h"

using nlohmann::json;
using kvistur::testing::PgServer;
using kvistur::testing::run_tool;
using kvistur::testing::Site;

namespace {

using kvistur::testing::kNoArray;

json call(const std::string& method, json args) { return kvistur::testing::host_call("f", method, std::move(args)); }

// The host's answers; what it said on standard error to SAID.
std::string answers(const std::string& settings, const std::vector<json>& requests, std::string* said = nullptr) {
  setenv("LINDRIT_SETTINGS", settings.c_str(), 1);
  std::string in;
  for (auto& r : requests) in += r.dump() + "\n";
  auto r = run_tool({"host"}, in);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  if (said) *said = r.err;
  return r.out;
}

// Runs the tool as the server's administrator, named by the environment.
kvistur::testing::ToolResult as_administrator(const std::vector<std::string>& args) {
  setenv("PGUSER", "kvadmin", 1);
  setenv("PGPASSWORD", "kvadmin", 1);
  auto r = run_tool(args);
  unsetenv("PGUSER");
  unsetenv("PGPASSWORD");
  return r;
}

// The files' settings with the server's database as the folder.
std::string server_settings(const std::string& files_ini, const std::string& uri, const std::string& out) {
  std::ofstream(out) << std::regex_replace(kvistur::testing::file_bytes(files_ini), std::regex("Slóð=[^\n]*"), "Slóð=" + uri);
  return out;
}

// The mix's answers on both, line by line.
void same_answers(const std::string& files_ini, const std::string& server_ini, const std::vector<json>& mix) {
  std::string on_files = answers(files_ini, mix), on_server = answers(server_ini, mix);
  EXPECT_EQ(std::count(on_files.begin(), on_files.end(), '\n'), long(mix.size()));
  std::istringstream a(on_files), b(on_server);
  std::string la, lb;
  for (std::size_t i = 0; std::getline(a, la); ++i) {
    std::getline(b, lb);
    EXPECT_EQ(lb, la) << mix[i].dump();
  }
}

TEST(SideBySide, TheSampleCatalogueAnswersTheSameOnBothBackends) {
  Site site(false);
  std::string sample = std::string(KVISTUR_SOURCE_DIR) + "/data/sample/sample.xml";
  auto built = run_tool({"build", "--marc", sample, "--out", site.dir() + "/files"});
  ASSERT_EQ(built.exit_code, 0) << built.err;
  PgServer& server = PgServer::get();
  server.empty_database();
  built = as_administrator({"build", "--marc", sample, "--out", server.uri("kv")});
  ASSERT_EQ(built.exit_code, 0) << built.err;
  // The build prints the settings a build into a folder writes, with the
  // server for the folder; `kvistur search` on them lists as on files (a
  // server that refuses, in its own words: command_line_test.cpp).
  std::string server_ini = server_settings(site.dir() + "/files/lindrit-1.0.ini", server.uri("kv"), site.dir() + "/server.ini");
  const std::string settings = kvistur::testing::file_bytes(server_ini);
  ASSERT_NE(built.out.find("[Grunnur]"), std::string::npos) << built.out;
  EXPECT_EQ(built.out.substr(built.out.find("[Grunnur]"), settings.size()), settings);
  setenv("LINDRIT_SETTINGS", server_ini.c_str(), 1);
  std::string listed = run_tool({"search", "saga"}).out;
  EXPECT_EQ(std::count(listed.begin(), listed.end(), '\n'), 61) << "the same limit as on files";

  std::vector<json> mix = {{{"op", "new"}, {"obj", "f"}},
                           {{"op", "object"}, {"name", "w"}, {"kind", "progress"}},
                           call("LogOn", {"Admin", ""}),
                           call("SaekjaHopa", {kNoArray, kNoArray, kNoArray, kNoArray}),
                           call("SaekjaEkkiOrð", {kNoArray})};
  for (int group : {-1, 1, 2, 99}) {
    mix.push_back(call("SaekjaSvid", {group, kNoArray, kNoArray}));
    mix.push_back(call("SaekjaSofn", {group, kNoArray, kNoArray, kNoArray}));
  }
  json stops = {{"lbound", 0}, {"items", {"", "og", "í"}}};
  for (const char* term : {"saga", "SAGA og", "sag*", "*son", "Ísland saga", "reykjavík", "þ*", "*", "zzz", "a' OR 'a'='a"})
    for (int group : {-1, 1})
      mix.push_back(call("Leita", {group, -1, term, kNoArray, kNoArray, kNoArray, stops, 250}));
  mix.push_back(call("Leita", {-1, 1, "jón", kNoArray, kNoArray, kNoArray, stops, 5, 1, {{"object", "w"}}}));
  mix.push_back({{"op", "inspect"}, {"name", "w"}});
  for (int id = 0; id <= 200; id += 7) {
    mix.push_back(call("FaerslaFraID", {id, nullptr, nullptr, nullptr}));
    mix.push_back(call("AdfanganumerAFaerslu", {id, kNoArray}));
    mix.push_back(call("EfnisordAFaerslu", {id, kNoArray}));
  }
  for (const char* key : {"ISBN9789970021123", "enginn", "o'neill"})
    mix.push_back(call("SofnMedFaerslu", {key, kNoArray, kNoArray, kNoArray}));
  json ids = {{"lbound", 0}, {"items", {0, 3, 86, 87, 150, 999}}};
  mix.push_back(call("FormaFyrirPrentun", {1, ids, kNoArray, kNoArray, kNoArray, kNoArray}));

  EXPECT_NE(answers(site.dir() + "/files/lindrit-1.0.ini", mix).find("\"result\":61"), std::string::npos) << "saga has hits";
  same_answers(site.dir() + "/files/lindrit-1.0.ini", server_ini, mix);

  // Another program adds a word to a record in both: the next searches see
  // it in both (what the search kept, and its stored index, are let go).
  const char* add = "INSERT INTO \"Tengill\" SELECT m.\"ID\", o.\"ID\", 1, 1 FROM \"Móðurtafla\" m, \"Orð\" o "
                    "WHERE o.\"Orð\" = 'saga' AND m.\"ID\" = (SELECT min(\"ID\") FROM \"Móðurtafla\" WHERE \"ID\" NOT IN "
                    "(SELECT \"FærsluID\" FROM \"Tengill\" t, \"Orð\" w WHERE t.\"OrðID\" = w.\"ID\" AND w.\"Orð\" = 'saga'))";
  kvistur::testing::exec_sql(site.dir() + "/files/katalogur.sqlite", add);
  server.sql("kv", std::string("SET search_path = katalogur; ") + add);
  std::vector<json> again(mix.begin(), mix.begin() + 5);
  again.push_back(call("Leita", {-1, -1, "saga", kNoArray, kNoArray, kNoArray, stops, 250}));
  std::string after = answers(server_ini, again);
  EXPECT_NE(after.find("\"result\":62"), std::string::npos) << "the word added is found";
  same_answers(site.dir() + "/files/lindrit-1.0.ini", server_ini, again);
  // kvistur index writes the stored search index anew in both.
  ASSERT_EQ(run_tool({"index", site.dir() + "/files/katalogur.sqlite"}).exit_code, 0);
  auto indexed = as_administrator({"index", server.uri("kv")});
  ASSERT_EQ(indexed.exit_code, 0) << indexed.err;
  EXPECT_EQ(server.sql("kv", "SELECT count(*) FROM katalogur.kv_search_meta WHERE built_links = "
                             "(SELECT links FROM katalogur.kv_state)"),
            "1");
  same_answers(site.dir() + "/files/lindrit-1.0.ini", server_ini, again);
}

TEST(SideBySide, AnUpdateChangesBothTheSame) {
  Site site(false);
  PgServer& server = PgServer::get();
  server.empty_database();
  std::string files = site.dir() + "/files", small = site.dir() + "/small.mrc", changes = site.dir() + "/changes.mrc";
  ASSERT_EQ(run_tool({"generate", "--records", "300", "--seed", "1", "--out", files}).exit_code, 0);
  ASSERT_EQ(as_administrator({"generate", "--records", "300", "--seed", "1", "--out", server.uri("kv")}).exit_code, 0);
  ASSERT_EQ(run_tool({"generate", "--records", "20", "--seed", "3", "--marc", small}).exit_code, 0);
  ASSERT_EQ(run_tool({"generate", "--records", "300", "--seed", "2", "--marc", changes}).exit_code, 0);
  std::vector<json> mix = {{{"op", "new"}, {"obj", "f"}}, call("LogOn", {"Admin", ""})};
  const json stops = {{"lbound", 0}, {"items", {""}}};
  for (const char* term : {"a*", "*ur", "s*", "og"}) mix.push_back(call("Leita", {-1, -1, term, kNoArray, kNoArray, kNoArray, stops, 300}));
  for (int id = 1; id <= 300; id += 13) mix.push_back(call("FaerslaFraID", {id, nullptr, nullptr, nullptr}));
  const std::string server_ini = server_settings(files + "/lindrit-1.0.ini", server.uri("kv"), site.dir() + "/server.ini");
  const std::string delta = "SELECT delta_records FROM katalogur.kv_search_meta", file = files + "/katalogur.sqlite";
  auto file_delta = [&] { return kvistur::testing::sql_rows(file, "SELECT delta_records FROM kv_search_meta").at(0); };
  auto check = [&](int exit_code, const std::string& says, const std::string& target = "") {
    auto r = as_administrator({"index", "--check", target.empty() ? server.uri("kv") : target});
    EXPECT_EQ(r.exit_code, exit_code) << r.out << r.err;
    EXPECT_NE(r.out.find(says), std::string::npos) << r.out;
  };

  // A small update goes into a delta in the schema as in the file, and
  // the searches merge it alike, and as the index written whole again by
  // `kvistur index` gives them.
  ASSERT_EQ(run_tool({"update", "--marc", small, files}).exit_code, 0);
  auto r = as_administrator({"update", "--marc", small, server.uri("kv")});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(server.sql("kv", delta), "20");
  EXPECT_EQ(file_delta(), "20");
  check(0, "sound; stored search index of 300 records, 1 rows of the order");
  check(0, "updated since for 20 records", file);
  EXPECT_EQ(answers(server_ini, mix).find("\"result\":-1"), std::string::npos) << "every search finds";
  same_answers(files + "/lindrit-1.0.ini", server_ini, mix);
  ASSERT_EQ(run_tool({"index", file}).exit_code, 0);
  EXPECT_EQ(file_delta(), "0");
  same_answers(files + "/lindrit-1.0.ini", server_ini, mix);
  // Damaged on the server: the answers are still the tables', the host
  // says so once, and so does the check.
  server.sql("kv", "UPDATE katalogur.kv_delta SET checksum = checksum # 1 WHERE id = (SELECT min(id) FROM katalogur.kv_delta)");
  check(1, ": the checksum does not match\n");
  same_answers(files + "/lindrit-1.0.ini", server_ini, mix);
  std::string said;
  answers(server_ini, mix, &said);
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  EXPECT_NE(said.find("the stored search index is damaged (kv_delta record "), std::string::npos) << said;

  // Every record replaced: past the delta's bound, the index is written whole.
  r = run_tool({"update", "--marc", changes, files});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  r = as_administrator({"update", "--marc", changes, server.uri("kv")});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "added 0, replaced 300, deleted 0, skipped 0 in " + server.uri("kv") + "\n");
  EXPECT_EQ(server.sql("kv", delta), "0");
  EXPECT_EQ(file_delta(), "0") << "300 records are past the bound of 256";
  check(0, "sound;");
  check(0, "sound;", file);
  same_answers(files + "/lindrit-1.0.ini", server_ini, mix);
}

}  // namespace
