// Faults at every step of the commands that write a catalogue.
//
// `kvistur build`, `update`, `index` and `workgroup add-user` run as real
// processes with the fault shim (fault_shim.cpp) preloaded: once for each
// call there is to fail (SQLite's writes, syncs, truncations and deletions;
// our own renames, fsyncs, unlinks and writes to files), and once for each
// sync at which the power can go, with every unsynced write lost or a random
// part of them kept; the last run of each kind goes past the last step, so
// that nothing is left untried.  After each run the catalogue is the one
// before or the one after, read as a host reads it (its databases' integrity
// and schema, the workgroup's users, a log-on and a fixed set of searches
// through Faersla in this process, at once, with no repair); a command that
// failed says so in one line on standard error and exits non-zero, and one
// that says it succeeded left the catalogue after.
//
// By hand, other bounds: FAULT_STRIDE=K tries every Kth step only,
// FAULT_SEEDS=S tears the writes S different ways at each sync (torn runs),
// FAULT_PERSIST=1 makes the failed call and every later call of its kinds
// fail (a disk that has gone bad rather than one bad moment), FAULT_TOOL=PATH
// runs another build of the command line (one with sanitizers, say).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include "kvistur/faersla.h"
#include "platform/workgroup.h"
#include "settings/thread_state.h"
#include "common/marc_xml.h"
#include "tools/run_tool.h"

using namespace kvistur;
namespace fs = std::filesystem;
using kvistur::testing::exec_sql;
using kvistur::testing::file_bytes;
using kvistur::testing::shell_quote;
using kvistur::testing::sql_rows;

namespace {

const std::string kSample = KVISTUR_SOURCE_DIR "/data/sample/sample.xml";

using kvistur::testing::marc_control;
using kvistur::testing::marc_field;
using kvistur::testing::marc_record;

// The day's changes to the sample: one record replaced, one deleted, one new.
const std::string kUpdate = kvistur::testing::marc_collection(
    marc_record("cam", marc_control("001", "kv00001") + marc_field("245", "00", {{'a', "Njála endurskoðuð"}})) +
    marc_record("dam", marc_control("001", "kv00002")) +
    marc_record("nam", marc_control("001", "kv90001") + marc_field("245", "00", {{'a', "Hrafnkels saga Freysgoða"}})));

// Searches whose answers tell the catalogues before and after apart.
constexpr const char16_t* kTerms[] = {u"saga", u"Njáls", u"endurskoðuð", u"Hrafnkels", u"Íslendingasögur", u"sag*"};

// Failures reported in full; the rest are only counted.
constexpr int kFailuresShown = 5;

int env_int(const char* name, int fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::atoi(v) : fallback;
}

// What a host finds in the catalogue folder DIR.
std::string catalogue_state(const std::string& dir) {
  std::ostringstream s;
  // The workgroup's users first, read as a log-on reads them (rolling back
  // the journal of a writer that died).
  s << "users:";
  try {
    for (auto& u : db::workgroup_users(dir + "/System.mdw")) s << " " << to_utf8(u);
  } catch (const std::exception& e) {
    s << " cannot be read: " << e.what();
  }
  s << "\n";
  for (const char* db : {"katalogur.sqlite", "skra.sqlite", "System.mdw"}) {
    s << db << ":";
    try {
      for (auto& r : sql_rows(dir + "/" + db, "PRAGMA integrity_check")) s << " " << r;
      for (auto& r : sql_rows(dir + "/" + db, "SELECT type || ' ' || name FROM sqlite_master ORDER BY 1")) s << ", " << r;
    } catch (const std::exception& e) {
      s << " cannot be read: " << e.what();
    }
    s << "\n";
  }
  thread_state() = ThreadState{};
  {
    Faersla f;
    Text user = u"Admin", pw = u"";
    s << "log-on " << f.LogOn(user, pw) << "\n";
    for (const char16_t* term : kTerms) {
      Variant group(int32_t(-1)), field(int32_t(-1)), str{Text(term)};
      SafeArray<Text> answers, keys, stop(0, {u""});
      SafeArray<int32_t> ids;
      int32_t max = 50;
      s << to_utf8(term) << ": " << f.Leita(group, field, str, answers, ids, keys, stop, max);
      if (answers.allocated())
        for (std::size_t i = 0; i < answers.items().size(); ++i)
          s << " | " << ids.items()[i] << " " << to_utf8(answers.items()[i]);
      s << "\n";
    }
  }
  thread_state() = ThreadState{};
  return s.str();
}

// The lines of STATE that neither BEFORE nor AFTER has, each cut short.
std::string unexpected_lines(const std::string& state, const std::string& before, const std::string& after) {
  constexpr std::size_t kShown = 160;
  std::istringstream in(state);
  std::string out;
  for (std::string line; std::getline(in, line);)
    if (before.find(line + "\n") == std::string::npos && after.find(line + "\n") == std::string::npos)
      out += "  " + line.substr(0, kShown) + (line.size() > kShown ? "...\n" : "\n");
  return out.empty() ? "  (each line is before's or after's, not all of one)\n" : out;
}

struct Outcome {
  int status = 0;
  std::string err;
  std::map<std::string, std::string> report;  // "fault"/"power" -> its kind and step, "calls" -> the counts
};

// Runs PROGRAM with ARGS, the shim loaded with SHIM (its KV_FAULT_ settings)
// when given, looking after the folder ROOT; its files go to SCRATCH.
Outcome run_program(const std::string& program, const std::vector<std::string>& args,
                    const std::map<std::string, std::string>& shim, const std::string& root,
                    const std::string& scratch) {
  std::string report = scratch + "/report", err = scratch + "/err", cmd = "exec env";
  std::remove(report.c_str());
  if (!shim.empty()) {
    // A command line built with AddressSanitizer wants the sanitizer's
    // runtime loaded first; the shim comes before it.
    const char* asan = std::getenv("ASAN_OPTIONS");
    cmd += " " + shell_quote(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0") +
           " " + shell_quote("LD_PRELOAD=" KVISTUR_FAULT_SHIM) + " " + shell_quote("KV_FAULT_ROOT=" + root) + " " +
           shell_quote("KV_FAULT_REPORT=" + report);
    for (auto& [k, v] : shim) cmd += " " + shell_quote("KV_FAULT_" + k + "=" + v);
  }
  cmd += " " + shell_quote(program);
  for (auto& a : args) cmd += " " + shell_quote(a);
  Outcome o;
  // The shell gives way to the program: its status is the program's own.
  o.status = std::system((cmd + " </dev/null >/dev/null 2>" + shell_quote(err)).c_str());
  o.err = file_bytes(err);
  std::istringstream lines(file_bytes(report));
  for (std::string line; std::getline(lines, line);) {
    std::size_t sp = line.find(' ');
    o.report[line.substr(0, sp)] = line.substr(sp + 1);
  }
  return o;
}

// The calls of each kind that a run made, from the shim's last report line.
std::map<std::string, int> calls(const Outcome& o) {
  std::map<std::string, int> n;
  std::istringstream in(o.report.at("calls"));
  for (std::string kv; in >> kv;) n[kv.substr(0, kv.find('='))] = std::stoi(kv.substr(kv.find('=') + 1));
  return n;
}

enum class Command { kBuild, kUpdate, kIndex, kAddUser };
struct Mode {
  const char* name;
  const char* shim_mode;
  const char* kinds;
  std::vector<std::string> counted;  // the kinds of call whose every one is tried
  bool power() const { return std::string(shim_mode) != "io"; }
  bool torn() const { return std::string(shim_mode) == "torn"; }
};
void PrintTo(const Mode& m, std::ostream* os) { *os << m.name; }
const Mode kModes[] = {{"SqliteErrors", "io", "sqlite", {"write", "sync", "truncate", "delete"}},
                       {"OsErrors", "io", "os", {"rename", "fsync", "unlink", "oswrite"}},
                       {"PowerLoss", "power", "", {"sync", "fsync"}},
                       {"TornWrites", "torn", "", {"sync", "fsync"}}};

std::string test_name(const ::testing::TestParamInfo<std::tuple<Command, Mode>>& i) {
  constexpr const char* kCommands[] = {"Build", "Update", "Index", "AddUser"};
  return std::string(kCommands[int(std::get<0>(i.param))]) + "_" + std::get<1>(i.param).name;
}

class Faults : public ::testing::TestWithParam<std::tuple<Command, Mode>> {
 protected:
  void SetUp() override {
    std::ofstream(update_file_) << kUpdate;
    setenv("LINDRIT_SETTINGS", (work_ + "/lindrit-1.0.ini").c_str(), 1);
    setenv("KVISTUR_LOG", (tmp_.path + "/melding.txt").c_str(), 1);
    // The catalogue before, made where the command will find it (its
    // settings name the folder) and kept aside to be put back before each run.
    ASSERT_EQ(run({"build", "--marc", kSample, "--out", work_}).status, 0);
    Command c = std::get<0>(GetParam());
    if (c == Command::kBuild) {
      ASSERT_EQ(run({"update", "--marc", update_file_, work_}).status, 0);
    }
    if (c == Command::kIndex) {
      // As another tool leaves it: no indexes, no stored search index, no stamp.
      std::string drops;
      for (auto& r : sql_rows(work_ + "/katalogur.sqlite",
                              "SELECT type || ' ' || name FROM sqlite_master WHERE name LIKE 'kv%' "
                              "AND type != 'table' OR name IN ('kv_combos', 'kv_order', 'kv_postings', "
                              "'kv_search_meta', 'kv_state', 'sqlite_stat1')"))
        drops += "DROP " + r + ";";
      exec_sql(work_ + "/katalogur.sqlite", drops);
    }
    fs::rename(work_, template_);
    put_back();
    before_ = catalogue_state(work_);
  }

  std::vector<std::string> command() const {
    switch (std::get<0>(GetParam())) {
      case Command::kBuild: return {"build", "--marc", kSample, "--out", work_};
      case Command::kUpdate: return {"update", "--marc", update_file_, work_};
      case Command::kAddUser: return {"workgroup", "add-user", work_ + "/System.mdw", "jon", "--password", "x"};
      case Command::kIndex: break;
    }
    return {"index", work_ + "/katalogur.sqlite"};
  }

  void put_back() {
    fs::remove_all(work_);
    fs::remove_all(work_ + ".attic");
    fs::copy(template_, work_, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  }

  Outcome run(const std::vector<std::string>& args, const std::map<std::string, std::string>& shim = {}) {
    const char* tool = std::getenv("FAULT_TOOL");
    return run_program(tool && *tool ? tool : KVISTUR_TOOL, args, shim, work_, tmp_.path);
  }

  kvistur::testing::TempDir tmp_;
  std::string work_ = tmp_.path + "/cat", template_ = tmp_.path + "/before", update_file_ = tmp_.path + "/update.xml",
              before_;
};

TEST_P(Faults, EveryStepLeavesTheCatalogueBeforeOrAfter) {
  const Mode& mode = std::get<1>(GetParam());
  const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  Outcome clean = run(command(), {{"MODE", ""}});
  ASSERT_EQ(clean.status, 0) << clean.err;
  const std::string after = catalogue_state(work_);
  ASSERT_TRUE(clean.report.count("calls")) << "the shim did not load";
  ASSERT_GT(calls(clean)["write"], 0)
      << "the shim saw no SQLite write: is libsqlite3 linked statically into the command line?";

  const int stride = std::max(1, env_int("FAULT_STRIDE", 1));
  const int seeds = mode.torn() ? std::max(1, env_int("FAULT_SEEDS", 1)) : 1;
  std::map<std::string, std::pair<int, int>> tally;  // kind -> injected, survived
  int failures = 0;
  bool past_the_end = false;
  for (int n = 1; !past_the_end; n += stride) {
    for (int seed = 0; seed < seeds && !past_the_end; ++seed) {
      put_back();
      Outcome o = run(command(), {{"MODE", mode.shim_mode},
                                  {"KINDS", mode.kinds},
                                  {"N", std::to_string(n)},
                                  {"SEED", std::to_string(n * 1000 + seed)},
                                  {"PERSIST", env_int("FAULT_PERSIST", 0) ? "1" : "0"}});
      std::string struck = mode.power() ? o.report["power"] : o.report["fault"];
      if (struck.empty()) {
        past_the_end = true;  // the step came after the last call: nothing left to try
        break;
      }
      past_the_end = struck == "end";
      std::string kind = struck.substr(0, struck.find(' '));
      std::string state = catalogue_state(work_);
      std::string stderr_lines = kvistur::testing::without_progress(o.err);
      std::string why;
      if (o.err.find("Sanitizer") != std::string::npos || o.err.find("runtime error") != std::string::npos)
        why = "a sanitizer report";
      else if (!WIFEXITED(o.status))
        why = "the command died of signal " + std::to_string(WTERMSIG(o.status));
      else if (!mode.power() && WEXITSTATUS(o.status) != 0 && std::count(stderr_lines.begin(), stderr_lines.end(), '\n') != 1)
        why = "the command failed without saying why in one line";
      else if (kind == "oswrite" && WEXITSTATUS(o.status) != 0 && stderr_lines.find(std::strerror(ENOSPC)) == std::string::npos)
        why = "the command failed on a full disk without saying so";
      else if (state != before_ && state != after)
        why = "the catalogue is neither the one before nor the one after";
      else if (state != after && ((!mode.power() && WEXITSTATUS(o.status) == 0) || past_the_end))
        why = "the command finished, but its catalogue is the one before";
      ++tally[kind].first;
      if (why.empty()) {
        ++tally[kind].second;
      } else if (++failures <= kFailuresShown) {
        ADD_FAILURE() << name << ", " << kind << " at step " << n << " (seed " << seed << "): " << why
                      << "\nexit status " << o.status << ", standard error:\n" << o.err
                      << "what a host finds that it finds neither before nor after:\n"
                      << unexpected_lines(state, before_, after);
      }
    }
  }
  std::cout << name << ":";
  for (auto& [kind, counts] : tally) std::cout << " " << kind << " " << counts.second << "/" << counts.first;
  std::cout << " survived (" << clean.report["calls"] << ")\n";
  EXPECT_EQ(failures, 0);
  // Every call was tried (and, with power, the end too): the shim counted
  // in the runs what it counted in the clean run.
  int steps = 0, tried = 0;
  for (auto& kind : mode.counted) steps += calls(clean)[kind];
  for (auto& [kind, counts] : tally) tried += counts.first;
  if (stride == 1) {
    EXPECT_EQ(tried, steps * seeds + (mode.power() ? 1 : 0));
  }
}

// The shim's own model, on files whose fate is known: this program run
// again with the shim loaded (FAULT_SHIM_CHILD names the folder) writes,
// syncs, renames and removes, and the power goes as it ends, or its rename
// fails.
TEST(FaultShim, KeepsWhatWasSyncedAndFailsTheCallItIsTold) {
  auto put = [](const std::string& path, const std::string& text, bool sync) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
    if (sync) fsync(fd);
    close(fd);
  };
  if (const char* child = std::getenv("FAULT_SHIM_CHILD")) {
    std::string d = child;
    put(d + "/kept", "old", true);
    put(d + "/replaced", "old", true);
    put(d + "/removed", "old", true);
    int folder = open(d.c_str(), O_RDONLY | O_DIRECTORY);
    fsync(folder);
    put(d + "/kept", "new", false);  // never synced
    put(d + "/made", "new", true);   // synced, but not its folder entry
    put(d + "/replaced.new", "new", true);
    std::rename((d + "/replaced.new").c_str(), (d + "/replaced").c_str());
    unlink((d + "/removed").c_str());
    close(folder);
    return;
  }
  kvistur::testing::TempDir tmp;
  std::string d = tmp.path + "/root", self = fs::read_symlink("/proc/self/exe");
  auto child = [&](const std::map<std::string, std::string>& shim) {
    fs::remove_all(d);
    fs::create_directory(d);
    setenv("FAULT_SHIM_CHILD", d.c_str(), 1);
    Outcome o = run_program(self, {"--gtest_filter=FaultShim.*"}, shim, d, tmp.path);
    unsetenv("FAULT_SHIM_CHILD");
    EXPECT_EQ(o.status, 0) << o.err;
    std::string files;
    for (auto& [name, bytes] : kvistur::testing::folder_files(d)) files += name + "=" + bytes + " ";
    return files;
  };
  EXPECT_EQ(child({{"MODE", "power"}, {"N", "1000"}}), "kept=old removed=old replaced=old ");
  EXPECT_EQ(child({{"MODE", "io"}, {"KINDS", "rename"}, {"N", "1"}}), "kept=new made=new replaced=old replaced.new=new ");
  EXPECT_EQ(child({{"MODE", ""}}), "kept=new made=new replaced=new ");
}

// `kvistur print --type` prints through a copy of the settings: a copy that
// cannot be written stops it with the reason, not with another settings file.
TEST(FullDisk, PrintWithAListTypeSaysSo) {
  kvistur::testing::TempDir tmp;
  std::string cat = tmp.path + "/cat";
  setenv("LINDRIT_SETTINGS", (cat + "/lindrit-1.0.ini").c_str(), 1);
  setenv("KVISTUR_LOG", (tmp.path + "/melding.txt").c_str(), 1);
  ASSERT_EQ(run_program(KVISTUR_TOOL, {"build", "--marc", kSample, "--out", cat}, {}, cat, tmp.path).status, 0);
  Outcome o = run_program(KVISTUR_TOOL, {"print", "1", "--type", "3", "--text"},
                          {{"MODE", "io"}, {"KINDS", "oswrite"}, {"N", "1"}, {"PERSIST", "1"}}, cat, tmp.path);
  EXPECT_NE(o.status, 0);
  EXPECT_NE(o.err.find(std::strerror(ENOSPC)), std::string::npos) << o.err;
}

INSTANTIATE_TEST_SUITE_P(Commands, Faults,
                         ::testing::Combine(::testing::Values(Command::kBuild, Command::kUpdate, Command::kIndex, Command::kAddUser),
                                            ::testing::ValuesIn(kModes)),
                         test_name);

}  // namespace
