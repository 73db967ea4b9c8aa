// Logging on from a command of the command line, the way a host does.
#pragma once

#include <string>

#include "kvistur/faersla.h"

namespace kvistur::cli {

// LogOn reports a failure only in the diagnostic log, so when it leaves no
// workspace behind the workgroup check is repeated to say what was wrong,
// and that is thrown as one line.
void log_on(Faersla& f, const std::string& user, const std::string& password);

}  // namespace kvistur::cli
