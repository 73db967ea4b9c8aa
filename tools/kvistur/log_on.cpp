#include "log_on.h"

#include <stdexcept>

#include "platform/engine.h"
#include "settings/settings.h"
#include "settings/thread_state.h"

namespace kvistur::cli {

void log_on(Faersla& f, const std::string& user, const std::string& password) {
  Text u = from_utf8(user), p = from_utf8(password);
  f.LogOn(u, p);
  if (thread_state().workspace) return;
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

}  // namespace kvistur::cli
