// Log-on and the result-count limit.
#include "component/faersla_state.h"
#include "component/methods.h"
#include "component/rows.h"
#include "platform/engine.h"
#include "settings/frame.h"
#include "settings/settings.h"
#include "settings/thread_state.h"

namespace kvistur {

int32_t MaxResultCount() { return round_to_i32(read_number(RegLesa(u"Leit", u"Fjöldi"))); }

int32_t LogOn(FaerslaState& self, Text& szNotandaNafn, Text& szNotandaLykilorð) {
  ThreadState& ts = thread_state();
  ts.bDebug = read_number(RegLesa(u"Debug", u"NoDebug")) != 0;
  MeldaError(u"LogOn: RegLesa, Debug, NoDebug", 0, ts.bDebug ? u"True" : u"False", true);
  return run_in_frame({u"LogOn inn, normal", 0, u"LogOn út, normal", 0}, [&]() -> int32_t {
    Text folder = RegLesa(u"Grunnur", u"Slóð");
    MeldaError(u"LogOn: RegLesa, Grunnur, Slóð", 0, folder, false);
    if (!folder.empty() && folder.back() != u'\\') folder += u'\\';
    Text file = RegLesa(u"Grunnur", u"kv_local");
    if (!ts.engine) ts.engine = db::create_engine();
    ts.engine->set_system_db(folder + u"System.mdw");
    ts.workspace = ts.engine->CreateWorkspace(u"LR", szNotandaNafn, szNotandaLykilorð);
    auto database = ts.workspace->OpenDatabase(folder + file);
    auto rs = database->OpenRecordset(u"Select d.ID, d.Name, d.Description FROM databases d ORDER BY d.ID");
    read_rows(
        *rs, true,
        [&](int32_t n) {
          self.aDbNames.redim(0, n);
          self.aDbID.redim(0, n);
        },
        [&](int32_t i) {
          self.aDbNames(i) = rs->field(u"Name").to_text();
          self.aDbID(i) = rs->field(u"ID").to_i32();
        });
    rs->Close();
    database->Close();
    return 0;
  });
}

}  // namespace kvistur
