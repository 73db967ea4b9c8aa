#include "log_on.h"

#include <sys/stat.h>
#include <unicode/utf8.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "platform/engine.h"
#include "platform/open_database.h"
#include "platform/postgres_sql.h"
#include "settings/log.h"
#include "settings/settings.h"
#include "settings/thread_state.h"

namespace kvistur::cli {

namespace {

bool exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// A schema on a server, asked through the log-on's workspace; one that
// cannot be asked counts as there (the log says what went wrong).
bool schema_exists(TextView path) {
  try {
    if (thread_state().workspace) thread_state().workspace->OpenDatabase(path);
  } catch (const Error& e) {
    return e.number() != db::kFileNotFound;
  }
  return true;
}

std::string no_settings() {
  return "the settings file " + settings_path() +
         " does not exist; make a catalogue with 'kvistur build --marc FILE... --out DIR' and point "
         "LINDRIT_SETTINGS at DIR/lindrit-1.0.ini";
}

// The log-on of this command, for asking a server again why it refused.
std::string g_user, g_password;

// Why the server of the database folder cannot be reached, in the server's
// own words (a host sees only that the connection failed); "" when it can.
std::string server_unreachable() {
  auto where = db::pg::split_server_path(DatabaseFolder());
  if (!where) return "";
  std::string why;
  try {
    db::pg::connect(where->uri, g_user, g_password, true, u"kvistur", &why);
  } catch (const Error& e) {
    // A refused log-on is said as a host hears it, below.
    if (e.number() == db::pg::kLogOnRefused) return "";
    return "cannot connect to " + db::pg::without_credentials(where->uri) + ": " +
           (why.empty() ? to_utf8(e.description()) : why);
  }
  return "";
}

// The line of settings_problem for a file that is there but not usable.
std::string settings_file_problem(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) return "is a folder, not a file";
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.is_open() || in.bad()) return "cannot be read: " + std::string(std::strerror(errno));
  if (bytes.find_first_not_of(" \t\r\n") == std::string::npos) return "is empty";
  // A registry export may be UTF-16 or single-byte; an INI file is UTF-8.
  bool other_form = bytes.rfind("\xFF\xFE", 0) == 0 || bytes.rfind("REGEDIT4", 0) == 0;
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  int32_t i = 0, n = int32_t(bytes.size()), line = 1;
  while (!other_form && i < n) {
    UChar32 c;
    U8_NEXT(p, i, n, c);
    if (c < 0) return "is not UTF-8 (line " + std::to_string(line) + "); save it as UTF-8";
    line += c == '\n';
  }
  for (const char16_t* name : {u"Slóð", u"GrunnNafn", u"kv_local"}) {
    SettingLookup r = lookup_setting(u"Grunnur", name);
    std::string what = to_utf8(name) + " in [Grunnur]";
    if (r.failed_at == LookupStage::OpenKey) return "has no section [Grunnur] (with Slóð, GrunnNafn and kv_local)";
    if (r.code == kCodeMoreData)
      return "has a " + what + " longer than " + std::to_string(kMaxSettingLength) + " characters";
    if (r.failed_at == LookupStage::QueryValue) return "has no " + what;
  }
  return "";
}

}  // namespace

std::string settings_problem() {
  std::string path = settings_path();
  if (!exists(path)) return no_settings();
  std::string problem = settings_file_problem(path);
  return problem.empty() ? "" : "the settings file " + path + " " + problem;
}

void log_on(Faersla& f, const std::string& user, const std::string& password) {
  // Settings the component would read as empty values (it goes on with
  // them, so that a relative file name finds whatever the folder it is run
  // in holds) are refused before anything is read.
  if (std::string problem = settings_problem(); !problem.empty()) throw std::runtime_error(problem);
  g_user = user;
  g_password = password;
  Text u = from_utf8(user), p = from_utf8(password);
  f.LogOn(u, p);
  if (thread_state().workspace) return;
  if (std::string server = server_unreachable(); !server.empty()) throw std::runtime_error("log-on failed: " + server);
  std::string why = "log-on failed";
  try {
    auto engine = db::create_engine();
    engine->set_system_db(DatabaseFolder() + u"System.mdw");
    engine->CreateWorkspace(u"LR", u, p);
  } catch (const Error& e) {
    why += ": " + to_utf8(e.description());
  }
  throw std::runtime_error(why + " (user " + user + ", settings " + settings_path() + ")");
}

std::string catalogue_problem() {
  if (std::string problem = settings_problem(); !problem.empty()) return problem;
  if (std::string server = server_unreachable(); !server.empty()) return server;
  for (auto [path, what] : {std::pair{catalogue_path(), "catalogue"}, std::pair{directory_path(), "directory database"}}) {
    bool server = db::pg::is_server_path(path);
    std::string file = server ? to_utf8(path) : file_path(path);
    if (server ? !schema_exists(path) : !exists(file))
      return "the " + std::string(what) + " " + file + " does not exist (Grunnur/Slóð and " +
             (what[0] == 'c' ? "GrunnNafn" : "kv_local") + " in " + settings_path() + ")";
  }
  return "";
}

std::string failure_reason() {
  std::string problem = catalogue_problem();
  if (!problem.empty()) return problem;
  return "see the log " + log_path() + " (with [Debug] NoDebug=1 in the settings it names the fault)";
}

}  // namespace kvistur::cli
