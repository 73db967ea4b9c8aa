// Jet files brought over (kvistur build --jet): every table of every test
// file against what mdbtools' mdb-export prints for it, damaged files and
// files without a catalogue, and a catalogue copied through the same table
// path, searched and shown as the original is.  The Jet files are public test data kept outside the
// project (KVISTUR_JET_DIR, or shared/jet in a folder above the sources).
#include <gtest/gtest.h>
#include <mdbtools.h>
#include <sqlite3.h>

#include <cstdio>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <tuple>

#include "import/store/catalogue_writer.h"
#include "import/jet/jet_file.h"
#include "import/jet/jet_import.h"
#include "common/pg_server.h"
#include "import/store/output.h"
#include "platform/jet_sql.h"
#include "platform/sqlite_statement.h"
#include "tools/run_tool.h"

using namespace kvistur::import;
using kvistur::testing::file_bytes;
using kvistur::testing::folder_files;
using kvistur::testing::run_tool;
using kvistur::testing::sql_rows;
using kvistur::testing::shell_quote;
namespace fs = std::filesystem;

namespace {

// The folder KVISTUR_JET_DIR names, else shared/jet in the source folder or
// the nearest folder above it that has one (a worktree sits deeper).
std::string jet_dir() {
  if (const char* d = std::getenv("KVISTUR_JET_DIR"); d && *d) return d;
  for (fs::path up = fs::absolute(KVISTUR_SOURCE_DIR); !up.empty(); up = up.parent_path()) {
    if (fs::exists(up / "shared/jet/nwind.mdb")) return (up / "shared/jet").string();
    if (up == up.parent_path()) break;
  }
  return "";
}

std::string capture(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  char buf[65536];
  for (std::size_t n; p && (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  if (p) pclose(p);
  return out;
}

// mdb-export's CSV: an unquoted empty field is Null (or an empty text,
// which mdb-export does not tell from Null).
struct Field {
  std::string text;
  bool quoted = false;
};

std::vector<std::vector<Field>> parse_csv(const std::string& s) {
  std::vector<std::vector<Field>> rows(1);
  for (std::size_t i = 0; i < s.size();) {
    Field f;
    if (s[i] == '"') {
      f.quoted = true;
      for (++i; i < s.size(); ++i) {
        if (s[i] != '"') f.text += s[i];
        else if (i + 1 < s.size() && s[i + 1] == '"') f.text += s[i++];
        else break;
      }
      ++i;
    } else {
      while (i < s.size() && s[i] != ',' && s[i] != '\n') f.text += s[i++];
    }
    rows.back().push_back(std::move(f));
    if (i < s.size() && s[i] == '\n' && i + 1 < s.size()) rows.emplace_back();
    ++i;
  }
  return rows;
}

// One of our values as mdb-export prints a column of that Jet type.
std::string as_exported(sqlite3_stmt* st, int c, JetType type) {
  char buf[64];
  switch (type) {
    case MDB_BOOL: return sqlite3_column_int(st, c) == -1 ? "1" : "0";
    case MDB_MONEY: std::snprintf(buf, sizeof buf, "%.4f", sqlite3_column_double(st, c)); return buf;
    case MDB_FLOAT: std::snprintf(buf, sizeof buf, "%.8g", double(float(sqlite3_column_double(st, c)))); return buf;
    case MDB_DOUBLE: std::snprintf(buf, sizeof buf, "%.16g", sqlite3_column_double(st, c)); return buf;
    case MDB_OLE: case MDB_BINARY: {
      std::string hex;
      auto* p = static_cast<const unsigned char*>(sqlite3_column_blob(st, c));
      for (int i = 0; i < sqlite3_column_bytes(st, c); ++i) std::snprintf(buf, sizeof buf, "%02X", p[i]), hex += buf;
      return hex;
    }
  }
  return reinterpret_cast<const char*>(sqlite3_column_text(st, c));
}

// The tables of a Jet file, read in this process.
JetInfo tables_of(const std::string& file) {
  struct : JetSink {
    JetInfo info;
    void Tables(const JetInfo& i) override { info = i; }
    void BeginTable(std::size_t) override {}
    void Row(std::span<const Cell>) override {}
    void EndTable(std::size_t, uint64_t) override {}
  } sink;
  ReadJet(file, 0, sink);
  return sink.info;
}

// An SQLite database's tables, fed to a sink as a Jet file's are.
TableSource sqlite_source(const std::string& file, const std::string& name) {
  return {name, [file](JetSink& sink) {
            auto db = kvistur::db::OpenSqlite(file, SQLITE_OPEN_READONLY);
            JetInfo info{"SQLite", 0, {}};
            std::vector<std::unique_ptr<kvistur::db::SqliteStatement>> reads;
            for (const std::string& table :
                 sql_rows(file, "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite%' ORDER BY rowid")) {
              const std::string quoted = kvistur::db::quote_ident(table);
              reads.push_back(std::make_unique<kvistur::db::SqliteStatement>(db.get(), "SELECT * FROM " + quoted));
              JetTable t{{table, {}}, {}, std::stoull(sql_rows(file, "SELECT count(*) FROM " + quoted).at(0))};
              for (int c = 0; c < sqlite3_column_count(reads.back()->get()); ++c) {
                const char* declared = sqlite3_column_decltype(reads.back()->get(), c);
                std::string type = declared ? declared : "";
                std::transform(type.begin(), type.end(), type.begin(), ::toupper);
                t.shape.columns.push_back({sqlite3_column_name(reads.back()->get(), c),
                                           type == "INTEGER" ? ColumnType::kInteger : type == "REAL" ? ColumnType::kReal : ColumnType::kText});
              }
              info.tables.push_back(std::move(t));
            }
            sink.Tables(info);
            for (std::size_t i = 0; i < reads.size(); ++i) {
              sink.BeginTable(i);
              std::vector<Cell> row(info.tables[i].shape.columns.size());
              uint64_t n = 0;
              for (kvistur::db::SqliteStatement& st = *reads[i]; st.step(); ++n) {
                for (int c = 0; c < int(row.size()); ++c) {
                  const int type = sqlite3_column_type(st.get(), c);
                  row[c] = {type == SQLITE_NULL ? Cell::kNull : type == SQLITE_INTEGER ? Cell::kInteger
                            : type == SQLITE_FLOAT ? Cell::kReal : Cell::kText, st.integer(c), sqlite3_column_double(st.get(), c), st.text(c)};
                }
                sink.Row(row);
              }
              sink.EndTable(i, n);
            }
          }};
}

class JetBuild : public ::testing::Test {
 protected:
  void SetUp() override {
    jet_ = jet_dir();
    if (jet_.empty()) GTEST_SKIP() << "no Jet test files: they are looked for in shared/jet in a folder above the sources, "
                                      "or in the folder KVISTUR_JET_DIR names";
    ASSERT_TRUE(fs::exists(jet_ + "/nwind.mdb")) << "KVISTUR_JET_DIR names " << jet_ << ", which holds no nwind.mdb";
  }
  void TearDown() override {
    unsetenv("LINDRIT_SETTINGS");
    unsetenv("KVISTUR_LOG");
  }
  kvistur::testing::TempDir tmp_;
  std::string jet_, dir_ = tmp_.path;
};

}  // namespace

// Every table of every file as mdb-export prints it; onto a PostgreSQL
// server, each file's database a schema named as its SQLite file, every
// table with the same rows, a Memo's text the same to the byte.
TEST_F(JetBuild, EveryTableOfEveryFileIsWhatMdbExportPrintsInAFolderOrOnAServer) {
  const std::vector<std::string> files = {"nwind.mdb", "DateTestDatabase.mdb", "ASampleDatabase.accdb"};
  std::vector<std::string> paths;
  for (auto& f : files) paths.push_back(jet_ + "/" + f);
  std::ostringstream report, notes;
  JetTotals totals = CopyJetFiles(paths, dir_, 0, report, notes);
  EXPECT_NE(report.str().find("/nwind.mdb: JET3, code page 1252, 9 tables, into nwind.sqlite\n"), std::string::npos) << report.str();
  EXPECT_NE(report.str().find("/nwind.mdb: Umsätze: read 830, written 830\n"), std::string::npos);
  EXPECT_EQ(std::make_tuple(totals.files, totals.tables, totals.read, totals.written), std::make_tuple(3, 11, 4103ul, 4103ul));
  // mdb-export prints the dates it cannot reckon (before 1899-12-30, and
  // far ahead) as one wrong date; these are the right ones.
  const std::string kCannot = "1900-01-00 00:00:00";
  const std::map<std::string, std::string> beyond_mdb_export = {
      {"DateTest 2 DateTimeCol", "9999-01-01 00:00:00"}, {"DateTest 2 DateCol", "9999-01-01 00:00:00"},
      {"DateTest 2 TimeCol", "9999-01-01 00:00:00"},     {"DateTest 3 DateTimeCol", "1898-01-01 00:00:00"},
      {"DateTest 3 DateCol", "1899-01-01 00:00:00"},     {"DateTest 4 DateTimeCol", "0632-01-01 00:00:00"},
      {"DateTest 4 DateCol", "0633-01-01 00:00:00"},     {"DateTest 4 TimeCol", "0634-01-01 00:00:00"}};
  std::size_t tables = 0, replaced = 0;
  for (auto& name : files) {
    std::string file = jet_ + "/" + name;
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2((dir_ + "/" + fs::path(name).stem().string() + ".sqlite").c_str(), &db,
                              SQLITE_OPEN_READONLY, nullptr),
              SQLITE_OK);
    for (const JetTable& t : tables_of(file).tables) {
      ++tables;
      auto csv = parse_csv(capture("mdb-export -D '%Y-%m-%d %H:%M:%S' -T '%Y-%m-%d %H:%M:%S' -b hex " +
                                   shell_quote(file) + " " + shell_quote(t.shape.name)));
      ASSERT_EQ(csv.size(), t.rows + 1) << name << ": " << t.shape.name;
      for (std::size_t c = 0; c < t.shape.columns.size(); ++c) EXPECT_EQ(csv[0].at(c).text, t.shape.columns[c].name);
      sqlite3_stmt* st = nullptr;
      ASSERT_EQ(sqlite3_prepare_v2(db, ("SELECT * FROM " + kvistur::db::quote_ident(t.shape.name)).c_str(), -1, &st, nullptr),
                SQLITE_OK);
      std::size_t row = 0;
      while (sqlite3_step(st) == SQLITE_ROW && ++row < csv.size()) {
        for (std::size_t c = 0; c < t.shape.columns.size(); ++c) {
          std::string where = t.shape.name + " " + std::to_string(row) + " " + t.shape.columns[c].name;
          const Field& f = csv[row].at(c);
          if (sqlite3_column_type(st, int(c)) == SQLITE_NULL) {
            EXPECT_TRUE(f.text.empty() && !f.quoted) << name << ": " << where << " is Null, not " << f.text;
            continue;
          }
          std::string theirs = f.text;
          if (theirs == kCannot && beyond_mdb_export.count(where)) theirs = beyond_mdb_export.at(where), ++replaced;
          EXPECT_EQ(as_exported(st, int(c), t.jet_types[c]), theirs) << name << ": " << where;
        }
      }
      sqlite3_finalize(st);
      EXPECT_EQ(row, t.rows) << name << ": " << t.shape.name;
    }
    sqlite3_close(db);
  }
  EXPECT_EQ(tables, 11u);
  EXPECT_EQ(replaced, beyond_mdb_export.size());
  auto& server = kvistur::testing::PgServer::get();
  std::string db = server.empty_database();
  CatalogueOutput output(server.admin_uri(db));
  CopyJetFiles(paths, output.folder(), 0, report, notes);
  output.Commit();
  tables = 0;
  for (auto& name : files) {
    const std::string stem = fs::path(name).stem().string(), file = dir_ + "/" + stem + ".sqlite";
    for (const std::string& table : sql_rows(file, "SELECT name FROM sqlite_master WHERE type = 'table' AND substr(name, 1, 3) <> 'kv_'")) {
      ++tables;
      EXPECT_EQ(server.sql(db, "SELECT count(*) FROM \"" + stem + "\".\"" + table + "\""),
                sql_rows(file, "SELECT count(*) FROM \"" + table + "\"").at(0))
          << stem << "." << table;
    }
  }
  EXPECT_EQ(tables, 11u);
  EXPECT_EQ(server.sql(db, "SELECT string_agg(\"Notes\", '|' ORDER BY \"EmployeeID\") FROM nwind.\"Employees\""),
            sql_rows(dir_ + "/nwind.sqlite", "SELECT group_concat(Notes, '|') FROM (SELECT Notes FROM Employees ORDER BY EmployeeID)")
                .at(0));
}

// A damaged file is one line saying what is wrong.  The command refuses
// files none of which holds a catalogue before it writes anything (settings
// pointing at a catalogue that is not there would fail every search): one
// line, exit status 1, and the folder as it was.
TEST_F(JetBuild, ADamagedFileOrOneWithoutACatalogueIsOneLine) {
  const std::string good = file_bytes(jet_ + "/nwind.mdb");
  const std::size_t page = 2048;
  std::string garbage = good;  // three data pages of Order Details
  std::mt19937 random(14);
  for (std::size_t i = 458 * page; i < 461 * page; ++i) garbage[i] = char(random());
  std::string bad_row = good;  // where row 5 of page 420 starts
  bad_row.replace(420 * page + 8 + 2 + 2 * 5, 2, "\xff\x1f");
  const std::vector<std::tuple<std::string, std::string, std::string>> damaged = {
      {"empty.mdb", "", "not a Jet database file"},
      {"text.mdb", "Móðurtafla\n", "not a Jet database file"},
      {"truncated.mdb", good.substr(0, good.size() / 3), "the list of tables: "},
      {"garbage.mdb", garbage, "Order Details: the table's definition counts 2155 rows, 1921 could be read"},
      {"row.mdb", bad_row, "Order Details: row 5 of page 420 cannot be read (its place on the page is wrong)"},
  };
  for (auto& [name, bytes, what] : damaged) {
    std::ofstream(dir_ + "/" + name, std::ios::binary) << bytes;
    fs::remove_all(dir_ + "/copy");
    fs::create_directory(dir_ + "/copy");
    std::ostringstream report, notes;
    try {
      CopyJetFiles({dir_ + "/" + name}, dir_ + "/copy", 0, report, notes);
      ADD_FAILURE() << name;
    } catch (const std::runtime_error& e) {
      std::string line = dir_ + "/" + name + ": " + what;
      EXPECT_EQ(std::string(e.what()).substr(0, line.size()), line);
    }
  }
  std::string out = dir_ + "/out";
  std::ofstream(dir_ + "/in.xml") << "<collection><record><leader>00000nam a2200000 a 4500</leader><datafield tag=\"245\" "
                                     "ind1=\"0\" ind2=\"0\"><subfield code=\"a\">Saga</subfield></datafield></record></collection>";
  ASSERT_EQ(run_tool({"build", "--marc", dir_ + "/in.xml", "--out", out}).exit_code, 0);
  auto before = folder_files(out);
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{dir_ + "/text.mdb"}, dir_ + "/text.mdb: not a Jet database file"},
      {{jet_ + "/nwind.mdb", jet_ + "/DateTestDatabase.mdb"},
       jet_ + "/nwind.mdb, " + jet_ + "/DateTestDatabase.mdb: no table Móðurtafla, which a catalogue needs"}};
  for (auto& [files, what] : refused) {
    std::vector<std::string> args = {"build", "--jet"};
    args.insert(args.end(), files.begin(), files.end());
    args.insert(args.end(), {"--out", out});
    auto r = run_tool(args);
    EXPECT_EQ(r.exit_code, 1) << what;
    EXPECT_EQ(r.err, "kvistur build: " + what + "\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(folder_files(out), before) << what;
  }
}

// The catalogue path.  No program on Linux writes Jet files, so the
// sample catalogue (made from MARC records) is copied table by table
// through the path a Jet catalogue takes: the same destination, the same
// writer and indexes.  Hosts then search and see the same.  The
// conversions a Jet catalogue needs beyond those of the test above: a Memo
// holding the control characters of a whole-record text and Icelandic
// letters, in a real Jet file.
TEST_F(JetBuild, ACatalogueCopiedTableByTableSearchesAndShowsAsTheOriginal) {
  std::string original = dir_ + "/original", copy = dir_ + "/copy";
  ASSERT_EQ(run_tool({"build", "--marc", std::string(KVISTUR_SOURCE_DIR) + "/data/sample/sample.xml", "--out", original})
                .exit_code,
            0);
  {
    CatalogueOutput output(copy);
    std::ostringstream report, notes;
    auto totals = CopyTables({sqlite_source(original + "/" + kCatalogueFile, "Lindrit.mdb"),
                              sqlite_source(original + "/" + kDirectoryFile, "kv_local.mdb")},
                             output.folder(), report, notes);
    output.Commit();
    // Every table of both databases, whatever tables a catalogue holds.
    std::string lines = report.str();
    EXPECT_EQ(totals.tables, std::count(lines.begin(), lines.end(), '\n') - 2) << lines;
    EXPECT_EQ(lines.rfind("Lindrit.mdb: SQLite, ", 0), 0u) << lines;
    EXPECT_EQ(notes.str(), "");
  }
  setenv("KVISTUR_LOG", (dir_ + "/melding.txt").c_str(), 1);
  auto in = [&](const std::string& site, const std::vector<std::string>& args) {
    setenv("LINDRIT_SETTINGS", (site + "/lindrit.ini").c_str(), 1);
    auto r = run_tool(args);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return r.out;
  };
  for (const char* text : {"skáldsögur", "ljóð*", "tímarit"}) {
    std::string found = in(original, {"search", text, "--json"});
    EXPECT_NE(found.find("\"id\""), std::string::npos) << text;
    EXPECT_EQ(in(copy, {"search", text, "--json"}), found) << text;
  }
  for (const char* id : {"3", "188", "189"}) EXPECT_EQ(in(copy, {"show", id, "--json"}), in(original, {"show", id, "--json"}));
  // nwind's first employee's Notes, with control characters and Icelandic
  // letters (in Windows-1252) written over its first bytes.
  std::string bytes = file_bytes(jet_ + "/nwind.mdb");
  bytes.replace(bytes.find("Education includes"), 9, "\x1e" "a\x1f" "b\x1d\xc6\xf0\xfe\x0b");
  std::ofstream(dir_ + "/Starfsmenn.mdb", std::ios::binary) << bytes;
  fs::create_directory(dir_ + "/staff");
  std::ostringstream report, notes;
  CopyJetFiles({dir_ + "/Starfsmenn.mdb"}, dir_ + "/staff", 0, report, notes);
  EXPECT_EQ(sql_rows(dir_ + "/staff/Starfsmenn.sqlite", "SELECT substr(Notes, 1, 20) FROM Employees WHERE EmployeeID = 1"),
            std::vector<std::string>{"\x1e" "a\x1f" "b\x1dÆðþ\x0b" " includes a"});
}
