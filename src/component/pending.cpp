// Methods whose layers are not built yet: each fails the way its definition
// says a method fails (-1 through the frame, or an error to the host for the
// text methods), with the description "not built yet".  Each goes away when
// its layer lands.
#include "component/methods.h"
#include "settings/frame.h"

namespace kvistur {
namespace {

Error not_built(const char16_t* method) { return Error(5, kProjectName, Text(method) + u": not built yet"); }

int32_t pending(const char16_t* entry, const char16_t* exit, const char16_t* method, int32_t failure = -1) {
  return run_in_frame({entry, 0, exit, failure}, [&]() -> int32_t { throw not_built(method); });
}

}  // namespace

int32_t Leita(Variant&, Variant&, Variant&, SafeArray<Text>&, SafeArray<int32_t>&, SafeArray<Text>&, SafeArray<Text>&,
              int32_t&, int16_t*, Variant*) {
  return pending(u"Leita inn", u"Leita út, normal", u"Leita");
}

}  // namespace kvistur
