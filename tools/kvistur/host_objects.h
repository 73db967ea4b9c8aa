// Recording stand-ins for a host's window objects, used by `kvistur host`:
// a progress window (Show, Hide, Refresh, list box lbLeit with Clear,
// AddItem, NewIndex, ListIndex, progress bar prgBarLeit with Value), a
// rich-text control (SelUnderline, SelText) and a plain object with no
// members.  Each keeps what was done to it and lists every member used, in
// order, in `calls`.  A member named in the object's fail list, or one it
// does not have, raises error 438 and is still listed.
#pragma once

#include <nlohmann/json.hpp>
#include <memory>
#include <set>
#include <string>

#include "kvistur/dispatch.h"

namespace kvistur::host {

class HostObject : public Dispatch {
 public:
  virtual nlohmann::json state() const = 0;
};

// kind: "progress", "richtext" or "plain"; nullptr for another kind.
std::shared_ptr<HostObject> make_host_object(const std::string& kind, std::set<std::string> fail);

}  // namespace kvistur::host
