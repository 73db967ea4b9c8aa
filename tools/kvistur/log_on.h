// Logging on from a command of the command line, the way a host does, and
// saying in one line what is wrong when the catalogue cannot be read.
#pragma once

#include <string>

#include "kvistur/faersla.h"

namespace kvistur::cli {

// LogOn reports a failure only in the diagnostic log, so when it leaves no
// workspace behind, the settings and the workgroup (or the server) are
// looked at again to say what was wrong, and that is thrown as one line.
// Settings that name no catalogue (settings_problem) are refused first.
void log_on(Faersla& f, const std::string& user, const std::string& password);

// What is wrong with the settings file, in one line naming it: missing, a
// folder, empty, not UTF-8, or without Grunnur's Slóð, GrunnNafn or
// kv_local (or one longer than a setting may be); "" when none of that.
std::string settings_problem();

// Why the databases named by the settings cannot be read, in one line: the
// settings (settings_problem), a server that cannot be reached (with the
// server's reason), a database file or schema missing (with the path as
// it is opened); "" when nothing of that kind is wrong.  For commands
// whose method failed.
std::string catalogue_problem();

// The line a command prints when a method it called failed: what
// catalogue_problem finds, else where the log is and how to make it name
// the fault.
std::string failure_reason();

}  // namespace kvistur::cli
