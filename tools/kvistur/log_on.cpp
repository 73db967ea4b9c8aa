#include "log_on.h"

#include <sys/stat.h>

#include <stdexcept>

#include "platform/engine.h"
#include "platform/open_database.h"
#include "settings/log.h"
#include "settings/settings.h"
#include "settings/thread_state.h"

namespace kvistur::cli {

namespace {

bool exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
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
    auto engine = db::create_sqlite_engine();
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
    std::string file = file_path(path);
    if (!exists(file))
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
