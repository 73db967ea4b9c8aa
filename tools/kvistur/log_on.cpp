#include "log_on.h"

#include <sys/stat.h>

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

}  // namespace

void log_on(Faersla& f, const std::string& user, const std::string& password) {
  Text u = from_utf8(user), p = from_utf8(password);
  f.LogOn(u, p);
  if (thread_state().workspace) return;
  if (!exists(settings_path())) throw std::runtime_error("log-on failed: " + no_settings());
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
  if (!exists(settings_path())) return no_settings();
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
