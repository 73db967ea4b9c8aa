// Read replicas: a catalogue on a PostgreSQL primary, read through a hot
// standby that streams from it (both started here).  A host, `kvistur
// serve` and `kvistur web` pointed at the standby see an update once the
// standby has replayed it, whole in every call and never going back, and
// let go of what they kept from before; the tools that write refuse the
// standby in one line.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <regex>
#include <thread>

#include "common/pg_server.h"
#include "kvistur/faersla.h"
#include "platform/engine.h"
#include "platform/postgres_sql.h"
#include "settings/settings.h"
#include "server/running_server.h"
#include "settings/thread_state.h"

using namespace kvistur;
using namespace kvistur::testing::serve;
using kvistur::testing::file_bytes;
using kvistur::testing::PgServer;
using kvistur::testing::run_tool;

namespace {

// Enough records that the search keeps term lists and a record order.
constexpr int kBooks = 300;

std::string book(const std::string& id, const std::string& title, char status = 'n') {
  return std::string("<record><leader>00000") + status + "am a2200000 a 4500</leader><controlfield tag=\"001\">" + id +
         "</controlfield><controlfield tag=\"003\">IS-ReLB</controlfield><datafield tag=\"245\" ind1=\"1\" ind2=\"0\">"
         "<subfield code=\"a\">" + title + "</subfield></datafield></record>";
}

class Replica : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("PGUSER", "kvadmin", 1);
    setenv("PGPASSWORD", "kvadmin", 1);
    database_ = primary_.empty_database();
    std::string books;
    for (int i = 0; i < kBooks; ++i) books += book("b" + std::to_string(i), "Bók númer " + std::to_string(i));
    auto r = run_tool({"build", "--marc", marc(books + book("d", "Skipti")), "--out", primary_.uri(database_)});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    // The settings the build prints, pointed at the standby as a library
    // points them: both servers, the one that is a standby preferred.
    std::string settings = r.out.substr(r.out.find("[Grunnur]"));
    std::string host = "postgresql:///" + database_ + "?host=";
    std::string both = primary_.uri(database_) + "," + standby_.uri(database_).substr(host.size());
    settings = std::regex_replace(settings, std::regex("Slóð=.*"), "Slóð=" + both + "&target_session_attrs=prefer-standby");
    standby_.replayed(primary_);
    cat_.emplace(Catalogue::Settings{settings});
    setenv("LINDRIT_SETTINGS", cat_->settings().c_str(), 1);
    setenv("KVISTUR_LOG", (cat_->dir + "/melding.txt").c_str(), 1);
    thread_state() = ThreadState{};
    Text user = u"Admin", password;
    ASSERT_EQ(host_.LogOn(user, password), 0) << file_bytes(cat_->dir + "/melding.txt");
  }
  void TearDown() override {
    thread_state() = ThreadState{};
    unsetenv("PGUSER");
    unsetenv("PGPASSWORD");
  }

  std::string marc(const std::string& records) {
    std::string file = temp_.path + "/" + std::to_string(files_++) + ".xml";
    std::ofstream(file) << "<collection xmlns=\"http://www.loc.gov/MARC21/slim\">" << records << "</collection>";
    return file;
  }
  void update(const std::string& records) {
    auto r = run_tool({"update", "--marc", marc(records), primary_.uri(database_)});
    EXPECT_EQ(r.exit_code, 0) << r.err;
  }
  int id_of(const std::string& control) {
    return std::stoi(primary_.sql(database_, "SELECT \"ID\" FROM katalogur.\"Frumfærsla\" WHERE \"Stjórnnúmer\" = '" +
                                                  control + "'"));
  }
  // The records the host finds, in order ({-1} when the search fails).
  std::vector<int> found(const std::string& word) {
    Variant group(int32_t(-1)), field(int32_t(-1)), text{from_utf8(word)};
    SafeArray<Text> answers, keys, stop(0, {u""});
    SafeArray<int32_t> ids;
    int32_t max = 1000, n = host_.Leita(group, field, text, answers, ids, keys, stop, max);
    std::vector<int> out(n < 0 ? 1 : std::size_t(n), -1);
    for (int32_t i = 1; i <= n; ++i) out[std::size_t(i - 1)] = ids(i);
    return out;
  }
  // What the host, `kvistur serve` (over SRU) and `kvistur web` find.
  std::vector<std::vector<int>> readers_find(const std::string& word) {
    std::vector<std::vector<int>> out{found(word), server_->found(word)};
#ifdef KVISTUR_WEB
    out.emplace_back();
    auto answer = nlohmann::json::parse(web_->get("/api/search?q=" + uri(word)).body, nullptr, false);
    if (answer.contains("hits"))
      for (auto& hit : answer["hits"]) out.back().push_back(hit.value("id", -1));
#endif
    return out;
  }
  // What every reader finds when they find IDS.
  static std::vector<std::vector<int>> all(const std::vector<int>& ids) {
    return std::vector<std::vector<int>>(2 + kWeb, ids);
  }

  PgServer& primary_ = PgServer::primary();
  PgServer& standby_ = PgServer::standby();
  std::string database_;
  kvistur::testing::TempDir temp_;
  int files_ = 0;
  std::optional<Catalogue> cat_;
  Faersla host_;
  std::optional<Server> server_;
#ifdef KVISTUR_WEB
  static constexpr int kWeb = 1;
  std::optional<Web> web_;
#else
  static constexpr int kWeb = 0;
#endif
};

TEST_F(Replica, ReadersSeeAnUpdateWholeOnceTheStandbyHasReplayedIt) {
  const std::size_t logged = standby_.log().size();
  server_.emplace(*cat_, "");
#ifdef KVISTUR_WEB
  web_.emplace(cat_->settings(), cat_->dir);
#endif
  const std::vector<int> d{id_of("d")};
  EXPECT_EQ(readers_find("skipti"), all(d));
  EXPECT_EQ(found("bók").size(), std::size_t(kBooks));

  // Replay held: the primary has the update, the standby's readers go on
  // with the state they kept.
  standby_.sql("postgres", "SELECT pg_wal_replay_pause()");
  update(book("n1", "Skipti á ný") + book("d", "", 'd'));
  const std::vector<int> n1{id_of("n1")};
  ASSERT_EQ(standby_.sql("postgres", "SELECT pg_last_wal_replay_lsn() < '" +
                                         primary_.sql("postgres", "SELECT pg_current_wal_lsn()") + "'::pg_lsn"),
            "t");
  EXPECT_EQ(readers_find("skipti"), all(d));
  standby_.sql("postgres", "SELECT pg_wal_replay_resume()");
  standby_.replayed(primary_);
  EXPECT_EQ(readers_find("skipti"), all(n1));
  EXPECT_EQ(found("ný"), n1);

  // Searches racing the next update and its replay: every call sees the
  // catalogue before or after it, and once after, never before again.
  std::atomic<bool> written{false};
  std::thread writer([&] {
    update(book("n2", "Skipti enn") + book("n1", "", 'd'));
    written = true;
  });
  std::vector<std::vector<int>> seen;
  for (bool replayed = false; !replayed;) {
    replayed = written && (standby_.replayed(primary_), true);
    for (auto& ids : readers_find("skipti")) seen.push_back(ids);
  }
  writer.join();
  const std::vector<int> n2{id_of("n2")};
  auto first_new = std::find(seen.begin(), seen.end(), n2);
  for (auto it = seen.begin(); it != seen.end(); ++it)
    EXPECT_EQ(*it, it < first_new ? n1 : n2) << "call " << (it - seen.begin()) << " of " << seen.size();
  EXPECT_EQ(readers_find("skipti"), all(n2));
  EXPECT_EQ(found("bók").size(), std::size_t(kBooks));
  // Nothing the readers did was refused (a write on the standby would be),
  // and every session of theirs that ended ended cleanly.
  std::string refused = standby_.log().substr(logged);
  refused = std::regex_replace(refused, std::regex(".*(LOG|HINT|DETAIL):.*\n"), "");
  EXPECT_EQ(refused, "");
}

// A replayed change that a call stands in the way of cancels the call's
// statement (here at once: the call waits for a lock the replay holds while
// the replay waits for one the call holds).  The rest of the call fails
// too rather than read a newer state, and the next call reads on.
TEST_F(Replica, ACallThatTheReplayCancelsReadsNothingMore) {
  auto engine = db::create_postgres_engine();
  const Text folder = from_utf8(standby_.uri(database_) + "\\");
  engine->set_system_db(folder + u"System.mdw");
  auto workspace = engine->CreateWorkspace(u"LR", u"Admin", u"");
  auto error_of = [&](const char16_t* sql) {
    try {
      workspace->OpenDatabase(folder + u"katalogur.sqlite")->OpenRecordset(sql)->MoveLast();
      return 0;
    } catch (const Error& e) {
      return int(e.number());
    }
  };
  auto until = [&](const std::string& condition) {
    for (int i = 0; standby_.sql(database_, "SELECT " + condition) != "t"; ++i)
      if (i > 6000) throw std::runtime_error("never: " + condition);
      else std::this_thread::sleep_for(std::chrono::milliseconds(5));
  };
  auto replay_lock = [](const char* table, const char* granted) {
    return std::string("EXISTS (SELECT FROM pg_locks WHERE relation = 'katalogur.\"") + table +
           "\"'::regclass AND granted = " + granted + ")";
  };
  // Sent on the primary in a transaction left open; flushed to the standby
  // by another commit that waits for its flush.
  db::pg::Connection locker(PQconnectdb(primary_.admin_uri(database_).c_str()));
  auto lock = [&](const std::string& sql) {
    PQclear(PQexec(locker.get(), sql.c_str()));
    primary_.sql(database_, "SET synchronous_commit = on; SELECT txid_current()");
  };

  std::atomic<int> step{0};
  std::vector<int> errors;
  std::thread reader([&] {
    CallScope call;
    errors.push_back(error_of(u"SELECT M.ID FROM Móðurtafla M"));
    for (step = 1; step != 2;) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    errors.push_back(error_of(u"SELECT O.ID FROM Orð O"));
    step = 3;
    errors.push_back(error_of(u"SELECT M.ID FROM Móðurtafla M"));
  });
  while (step != 1) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  lock("BEGIN; LOCK TABLE katalogur.\"Orð\" IN ACCESS EXCLUSIVE MODE");
  until(replay_lock("Orð", "true"));
  step = 2;
  until(replay_lock("Orð", "false"));
  lock("LOCK TABLE katalogur.\"Móðurtafla\" IN ACCESS EXCLUSIVE MODE");
  // A call that went on would wait for the primary's locks to go.
  while (step != 3) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  PQclear(PQexec(locker.get(), "ROLLBACK"));
  reader.join();
  EXPECT_EQ(errors, (std::vector<int>{0, db::pg::kConnectionFailed, db::pg::kConnectionFailed}));
  CallScope call;
  EXPECT_EQ(error_of(u"SELECT M.ID FROM Móðurtafla M"), 0);
}

TEST_F(Replica, TheToolsThatWriteRefuseTheStandbyInOneLine) {
  const std::string at = standby_.uri(database_), file = marc(book("n", "Ný"));
  const std::vector<std::vector<std::string>> writes = {{"build", "--marc", file, "--out", at},
                                                        {"generate", "--records", "10", "--out", at},
                                                        {"update", "--marc", file, at},
                                                        {"index", at}};
  for (const auto& args : writes) {
    auto r = run_tool(args);
    EXPECT_EQ(r.exit_code, 1) << args[0];
    EXPECT_EQ(r.err.substr(r.err.find("kvistur ")), "kvistur " + args[0] + ": " + at +
                         ": the server is a standby, which only replays its primary's changes; write the catalogue "
                         "on the primary\n");
  }
  EXPECT_EQ(found("skipti"), std::vector<int>{id_of("d")});
}

}  // namespace
