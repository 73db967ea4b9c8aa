#include "platform/open_database.h"

#include "settings/settings.h"
#include "settings/thread_state.h"

namespace kvistur {

db::Workspace& logon_workspace() {
  auto& ws = thread_state().workspace;
  if (!ws) throw Error(err::kObjectNotSet);
  return *ws;
}

Text catalogue_path() { return DatabaseFolder() + RegLesa(u"Grunnur", u"GrunnNafn"); }
Text directory_path() { return DatabaseFolder() + RegLesa(u"Grunnur", u"kv_local"); }

std::unique_ptr<db::Database> open_catalogue() {
  db::Workspace& ws = logon_workspace();
  return ws.OpenDatabase(catalogue_path());
}

std::unique_ptr<db::Database> open_directory() {
  db::Workspace& ws = logon_workspace();
  return ws.OpenDatabase(directory_path());
}

}  // namespace kvistur
