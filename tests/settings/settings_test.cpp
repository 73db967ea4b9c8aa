#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "common/files.h"
#include "kvistur/automation.h"
#include "platform/open_database.h"
#include "settings/file_watch.h"
#include "settings/frame.h"
#include "settings/log.h"
#include "settings/settings.h"
#include "settings/settings_edit.h"
#include "settings/thread_state.h"

using namespace kvistur;

namespace {

// A text as a file in UTF-16 with its byte-order mark.
std::string utf16(const std::u16string& t) {
  std::string b = "\xFF\xFE";
  for (char16_t c : t) b += char(c & 0xFF), b += char(c >> 8);
  return b;
}

// A settings file and a log in a fresh folder, named by the environment.
class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("LINDRIT_SETTINGS", ini_.c_str(), 1);
    setenv("KVISTUR_LOG", log_.c_str(), 1);
    thread_state().bDebug = false;
  }

  void write(const std::string& content) { std::ofstream(ini_, std::ios::binary | std::ios::trunc) << content; }
  // The log's lines from "MeldaError: " on; each must end in CR LF.
  std::vector<std::string> log_lines() {
    std::ifstream f(log_, std::ios::binary);
    std::vector<std::string> out;
    for (std::string line; std::getline(f, line);) {
      EXPECT_TRUE(!line.empty() && line.back() == '\r') << "line without CR LF";
      auto m = line.find("MeldaError: ");
      EXPECT_NE(m, std::string::npos);
      out.push_back(line.substr(m, line.size() - m - 1));
    }
    return out;
  }

  kvistur::testing::TempDir dir_;
  std::string ini_ = dir_.path + "/lindrit.ini", log_ = dir_.path + "/melding.txt";
};

TEST_F(SettingsTest, NamesIgnoreCaseAndBlanksValuesAreAsWritten) {
  write("[Grunnur]\nSlóð=/srv/gogn\n; comment\n# another\n\n[LEIT]\n  fjÖldi  =250\n[Prentun]\nListaTegund= 3 \n"
        "[A]\nx=\"  two blanks  \"\ny=\"say \\\"hi\\\" \\\\ end\"\nz=\"\n");
  EXPECT_EQ(RegLesa(u"Grunnur", u"Slóð"), u"/srv/gogn");
  EXPECT_EQ(RegLesa(u" leit ", u"FJÖLDI "), u"250");
  EXPECT_EQ(RegLesa(u"Prentun", u"ListaTegund"), u" 3 ");  // the value is not trimmed
  EXPECT_EQ(RegLesa(u"A", u"x"), u"  two blanks  ");
  EXPECT_EQ(RegLesa(u"A", u"y"), u"say \"hi\" \\ end");
  EXPECT_EQ(RegLesa(u"A", u"z"), u"\"");
  EXPECT_EQ(DatabaseFolder(), u"/srv/gogn\\") << "one backslash added";
  EXPECT_TRUE(log_lines().empty());
  write("[Grunnur]\nSlóð=/srv/gogn\\\n");
  EXPECT_EQ(DatabaseFolder(), u"/srv/gogn\\");
  write("[Grunnur]\nSlóð=\n");
  EXPECT_EQ(DatabaseFolder(), u"");
  EXPECT_EQ(file_path(u"/srv/gogn\\katalogur.sqlite"), "/srv/gogn/katalogur.sqlite");

  write(utf16(u"Windows Registry Editor Version 5.00\r\n\r\n"
              u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vardi\\Lindrit\\1.0\\Grunnur]\r\n"
              u"\"Slóð\"=\"C:\\\\Gögn\"\r\n\"GrunnNafn\"=\"katalogur.mdb\"\r\n"
              u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Annað\\Grunnur]\r\n\"Slóð\"=\"rangt\"\r\n"));
  EXPECT_EQ(RegLesa(u"grunnur", u"slóð"), u"C:\\Gögn");
  EXPECT_EQ(RegLesa(u"Grunnur", u"GrunnNafn"), u"katalogur.mdb");
}

TEST_F(SettingsTest, OneCallReadsTheFileOnce) {
  write("[Leit]\nFjöldi=250\n");
  run_in_frame({u"A inn", 0, u"A út"}, [&] {
    EXPECT_EQ(RegLesa(u"Leit", u"Fjöldi"), u"250");
    write("[Leit]\nFjöldi=7\n");
    EXPECT_EQ(RegLesa(u"Leit", u"Fjöldi"), u"250") << "the file as it was when the call began";
    run_in_frame({u"B inn", 0, u"B út"}, [] {
      EXPECT_EQ(RegLesa(u"Leit", u"Fjöldi"), u"250");
      return 0;
    });
    return 0;
  });
  EXPECT_EQ(RegLesa(u"Leit", u"Fjöldi"), u"7") << "the next call reads it again";
  write("[Leit]\nFjöldi=251\n");  // as long as what the first call read
  run_in_frame({u"B inn", 0, u"B út"}, [] {
    EXPECT_EQ(RegLesa(u"Leit", u"Fjöldi"), u"251") << "a later call reads the file again";
    return 0;
  });
  std::filesystem::remove(ini_);
  run_in_frame({u"C inn", 0, u"C út"}, [] {
    EXPECT_EQ(lookup_setting(u"Leit", u"Fjöldi").failed_at, LookupStage::OpenKey);
    return 0;
  });
}

// The value of Leit/Fjöldi as a call reads it.
Text value_in_a_call() {
  Text v;
  run_in_frame({u"A inn", 0, u"A út"}, [&] {
    v = RegLesa(u"Leit", u"Fjöldi");
    return 0;
  });
  return v;
}

// Where the file cannot be watched, a call looks at its status instead of
// reading it only while the status is the one seen at a reading well after
// the file last changed: bytes changed with the modification time set
// back, or another file of the same size and times put in its place, are
// read at the next call.
TEST_F(SettingsTest, AnUnwatchedFileLeftAloneIsLookedAtAndAChangeIsStillRead) {
  SetFileWatching(false);
  struct On {
    ~On() { SetFileWatching(true); }
  } on;
  auto times = [](const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    return std::array<struct timespec, 2>{st.st_atim, st.st_mtim};
  };
  write("[Leit]\nFjöldi=250\n");
  const auto old_times = times(ini_);
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));  // until a reading may stand
  EXPECT_EQ(value_in_a_call(), u"250");
  EXPECT_EQ(value_in_a_call(), u"250");
  write("[Leit]\nFjöldi=251\n");
  ASSERT_EQ(::utimensat(AT_FDCWD, ini_.c_str(), old_times.data(), 0), 0);
  EXPECT_EQ(value_in_a_call(), u"251") << "same size and modification time, new bytes";

  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  EXPECT_EQ(value_in_a_call(), u"251");
  const std::string other = dir_.path + "/other.ini";
  std::ofstream(other, std::ios::binary) << "[Leit]\nFjöldi=252\n";
  const auto now_times = times(ini_);
  ASSERT_EQ(::utimensat(AT_FDCWD, other.c_str(), now_times.data(), 0), 0);
  std::filesystem::rename(other, ini_);
  EXPECT_EQ(value_in_a_call(), u"252") << "another file in its place";
  std::filesystem::remove(ini_);
  run_in_frame({u"C inn", 0, u"C út"}, [] {
    EXPECT_EQ(lookup_setting(u"Leit", u"Fjöldi").failed_at, LookupStage::OpenKey);
    return 0;
  });
}

// A watched file is not looked at while nothing happens on its path, and
// whatever happens there is read at the next call: its bytes changed
// through another name, a folder on the way put in place of another, a
// link on the way pointed elsewhere, and a change seen by a child process
// of fork (which must not take the parent's news).
TEST_F(SettingsTest, AWatchedFileIsReadAgainAfterAnythingOnItsPath) {
  namespace fs = std::filesystem;
  const std::string real = dir_.path + "/a/lindrit.ini", link = dir_.path + "/lindrit.ini";
  fs::create_directories(dir_.path + "/a");
  std::ofstream(real, std::ios::binary) << "[Leit]\nFjöldi=1\n";
  fs::remove(link);
  fs::create_symlink("a/lindrit.ini", link);
  EXPECT_EQ(value_in_a_call(), u"1");
  const uint64_t watch = WatchFile(link);
  ASSERT_NE(watch, 0u) << "a local file through a link is watched";
  EXPECT_TRUE(FileUnchanged(link, watch));
  EXPECT_EQ(value_in_a_call(), u"1");

  const std::string other_name = dir_.path + "/other-name.ini";
  fs::create_hard_link(real, other_name);
  std::ofstream(other_name, std::ios::binary | std::ios::in) << "[Leit]\nFjöldi=2\n";
  EXPECT_FALSE(FileUnchanged(link, watch));
  EXPECT_EQ(value_in_a_call(), u"2") << "changed through another name";

  fs::create_directories(dir_.path + "/b");
  std::ofstream(dir_.path + "/b/lindrit.ini", std::ios::binary) << "[Leit]\nFjöldi=3\n";
  fs::rename(dir_.path + "/a", dir_.path + "/old-a");
  fs::rename(dir_.path + "/b", dir_.path + "/a");
  EXPECT_EQ(value_in_a_call(), u"3") << "another folder in its place";

  std::ofstream(dir_.path + "/c.ini", std::ios::binary) << "[Leit]\nFjöldi=4\n";
  fs::create_symlink("c.ini", dir_.path + "/new-link");
  fs::rename(dir_.path + "/new-link", link);
  EXPECT_EQ(value_in_a_call(), u"4") << "the link pointed elsewhere";

  std::ofstream(dir_.path + "/c.ini", std::ios::binary | std::ios::in) << "[Leit]\nFjöldi=5\n";
  pid_t child = ::fork();
  if (child == 0) _exit(value_in_a_call() == u"5" ? 0 : 1);  // the child reads its news
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(value_in_a_call(), u"5") << "and the parent its own";
}

// The catalogue's path, kept within and between calls while the file reads
// the same, follows every change of the file or of a setting given in code,
// and a missing setting is logged at every call as RegLesa logs it.
TEST_F(SettingsTest, CataloguePathFollowsTheSettings) {
  auto path_in_call = [] {
    Text path;
    run_in_frame({u"A inn", 0, u"A út"}, [&] {
      path = catalogue_path();
      EXPECT_EQ(catalogue_path(), path);
      return 0;
    });
    return path;
  };
  write("[Grunnur]\nSlóð=/a\nGrunnNafn=k.sqlite\n");
  EXPECT_EQ(path_in_call(), u"/a\\k.sqlite");
  EXPECT_EQ(path_in_call(), u"/a\\k.sqlite");
  write("[Grunnur]\nSlóð=/a\nGrunnNafn=b.sqlite\n");
  EXPECT_EQ(path_in_call(), u"/a\\b.sqlite");
  {
    ScopedSetting other(u"Grunnur", u"GrunnNafn", u"c.sqlite");
    EXPECT_EQ(path_in_call(), u"/a\\c.sqlite");
  }
  EXPECT_EQ(path_in_call(), u"/a\\b.sqlite");
  EXPECT_TRUE(log_lines().empty());
  write("[Grunnur]\nSlóð=/a\n");
  EXPECT_EQ(path_in_call(), u"/a\\");
  EXPECT_EQ(path_in_call(), u"/a\\");
  EXPECT_EQ(log_lines().size(), 4u) << "each reading of the missing name logged";
}

TEST_F(SettingsTest, FailuresWriteForcedLinesWithTheCallersNames) {
  write("[Leit]\nAnnað=1\n[S]\nok=" + std::string(1023, 'x') + "\nlong=" + std::string(1024, 'y') + "\n");
  EXPECT_EQ(RegLesa(u"Leit", u"Fjöldi"), u"");
  EXPECT_EQ(RegLesa(u" Vantar ", u"X"), u"");
  EXPECT_EQ(RegLesa(u"S", u"ok").size(), 1023u);
  EXPECT_EQ(RegLesa(u"S", u"long"), u"") << "too long";
  std::filesystem::remove(ini_);
  EXPECT_EQ(RegLesa(u"Leit", u"Fjöldi"), u"");
  EXPECT_EQ(log_lines(),
            (std::vector<std::string>{
                "MeldaError: Kvistur rmQueryError, Leit, Fjöldi,  2, : error returned by RegQueryValueEx",
                "MeldaError: Kvistur rmOpenError,  Vantar , X,  2, : error returned by RegOpenKeyEx",
                "MeldaError: Kvistur rmQueryError, S, long,  234, : error returned by RegQueryValueEx",
                "MeldaError: Kvistur rmOpenError, Leit, Fjöldi,  2, : error returned by RegOpenKeyEx"}));
}

// A tool's values written into a file a library has edited: its own values
// set where the reader finds them, defaults only where missing, and every
// other byte as it was, in the file's own form; what the reader then reads.
TEST_F(SettingsTest, EditingKeepsEverythingButTheValuesSet) {
  const std::vector<SettingValue> owned = {{u"Grunnur", u"Slóð", u"/srv/ný"}, {u"Grunnur", u"kv_local", u" skra "}};
  const std::vector<SettingValue> defaults = {{u"Leit", u"Fjöldi", u"250"}, {u"Prentun", u"ListaTegund", u"3"}};
  const std::string key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vardi\\Lindrit\\1.0\\";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "[Grunnur]\nSlóð=/srv/ný\nkv_local=\" skra \"\n[Leit]\nFjöldi=250\n[Prentun]\nListaTegund=3\n"},
      // The name keeps its spelling and the line its CR LF; a bad byte in a
      // comment, a later [Grunnur] block and another section are kept.
      {"; b\xFF" "d\r\n[grunnur]\r\nSLÓÐ =/gamalt\r\n[Z3950]\r\n1003=Höfundur\r\n[Leit]\r\nFjöldi=1000\r\n[Grunnur]\r\nx=1",
       "; b\xFF" "d\r\n[grunnur]\r\nSLÓÐ =/srv/ný\r\nkv_local=\" skra \"\r\n[Z3950]\r\n1003=Höfundur\r\n[Leit]\r\n"
       "Fjöldi=1000\r\n[Grunnur]\r\nx=1\r\n[Prentun]\r\nListaTegund=3\r\n"},
      // A registry export: quoted names and values, a value over two lines,
      // keys outside ours left alone, a new key after a blank line.
      {"REGEDIT4\n\n" + key + "Grunnur]\n\"Sl\xF3\xF0\"=\"C:\\\\\\\n  G\xF6gn\"\n\n[HKEY_CURRENT_USER\\Leit]\n\"Fj\xF6ldi\"=\"9\"\n",
       "REGEDIT4\n\n" + key + "Grunnur]\n\"Sl\xF3\xF0\"=\"/srv/n\xFD\"\n\"kv_local\"=\" skra \"\n\n[HKEY_CURRENT_USER\\Leit]\n"
       "\"Fj\xF6ldi\"=\"9\"\n\n" + key + "Leit]\n\"Fj\xF6ldi\"=\"250\"\n\n" + key + "Prentun]\n\"ListaTegund\"=\"3\"\n"},
      {utf16(u"Windows Registry Editor Version 5.00\r\n\r\n" + from_utf8(key) + u"Leit]\r\n\"Fjöldi\"=dword:00000064\r\n"),
       utf16(u"Windows Registry Editor Version 5.00\r\n\r\n" + from_utf8(key) + u"Leit]\r\n\"Fjöldi\"=dword:00000064\r\n\r\n" +
             from_utf8(key) + u"Grunnur]\r\n\"Slóð\"=\"/srv/ný\"\r\n\"kv_local\"=\" skra \"\r\n\r\n" + from_utf8(key) +
             u"Prentun]\r\n\"ListaTegund\"=\"3\"\r\n")},
  };
  for (auto& [before, after] : cases) {
    std::string edited = EditSettings(before, owned, defaults);
    EXPECT_EQ(edited, after) << before;
    write(edited);
    EXPECT_EQ(RegLesa(u"Grunnur", u"Slóð"), u"/srv/ný") << before;
    EXPECT_EQ(RegLesa(u"Grunnur", u"kv_local"), u" skra ") << before;
  }
  // A single-byte export cannot hold every character.
  EXPECT_THROW(EditSettings("REGEDIT4\n", {{u"Grunnur", u"Slóð", u"/srv/Þ\u0141"}}, {}), std::runtime_error);
}

// The log's lines as the debug flag allows, and the frame's entry, exit and
// failure lines.
TEST_F(SettingsTest, LogLinesAndTheFrame) {
  MeldaError(u"not written", 0, u"", false);
  thread_state().bDebug = true;
  MeldaError(u"LogOn inn, normal", 0, u"", false);
  MeldaError(u"DAO.Database", 3024, u"Could not find file", false);
  MeldaError(u"x", -7, u"d", false);
  EXPECT_EQ(run_in_frame({u"A inn", 0, u"A út, normal"}, [] { return 5; }), 5);
  EXPECT_EQ(run_in_frame({u"B inn", 0, u"B út, normal"}, []() -> int32_t { throw Error(9); }), -1);
  EXPECT_EQ(run_in_frame({u"C inn", 0, u"C út, normal", 0, false}, []() -> int32_t { throw Error(6); }), 0);
  thread_state().bDebug = false;
  MeldaError(u"forced", 12, u"", true);
  auto lines = log_lines();
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[0], "MeldaError: LogOn inn, normal,  0, ");
  EXPECT_EQ(lines[1], "MeldaError: DAO.Database,  3024, Could not find file");
  EXPECT_EQ(lines[2], "MeldaError: x, -7, d");
  EXPECT_EQ(lines[4], "MeldaError: A út, normal,  0, ");
  EXPECT_EQ(lines[6], "MeldaError: Kvistur,  9, Subscript out of range");
  EXPECT_EQ(lines[7], "MeldaError: C inn,  0, ");
  EXPECT_EQ(lines[8], "MeldaError: forced,  12, ");
  // The date comes first as d.M.yyyy HH:mm:ss, directly followed by the text.
  std::ifstream f(log_);
  std::string first;
  std::getline(f, first);
  EXPECT_TRUE(std::regex_search(first, std::regex("^[1-9]\\d?\\.[1-9]\\d?\\.\\d{4} \\d\\d:\\d\\d:\\d\\dMeldaError"))) << first;
  // A log that cannot be written loses its lines silently.
  setenv("KVISTUR_LOG", (dir_.path + "/no/such/folder/log.txt").c_str(), 1);
  EXPECT_EQ(MeldaError(u"x", 0, u"", true), 0);
}

}  // namespace
