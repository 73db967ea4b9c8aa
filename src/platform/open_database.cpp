#include "platform/open_database.h"

#include "settings/settings.h"
#include "settings/thread_state.h"

namespace kvistur {

db::Workspace& logon_workspace() {
  auto& ws = thread_state().workspace;
  if (!ws) throw Error(err::kObjectNotSet);
  return *ws;
}

Text catalogue_path() {
  // A call opens the catalogue many times (a search once, and again for
  // each record it describes): the path is worked out once while the
  // settings stay the same.  Only a path whose settings were all there is
  // kept, since a missing one is logged at each reading.
  thread_local uint64_t kept_generation = 0;
  thread_local Text kept_path;
  const uint64_t generation = SettingsGeneration();
  if (generation != 0 && generation == kept_generation) return kept_path;
  Text path = DatabaseFolder() + RegLesa(u"Grunnur", u"GrunnNafn");
  if (generation != 0 && lookup_setting(u"Grunnur", u"Slóð").failed_at == LookupStage::Ok &&
      lookup_setting(u"Grunnur", u"GrunnNafn").failed_at == LookupStage::Ok) {
    kept_generation = generation;
    kept_path = path;
  }
  return path;
}
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
