// A new password typed by the user: at a terminal asked for twice, not
// shown as it is typed; from a pipe or a file the first line of standard
// input, so that scripts can give one.
#pragma once

#include <string>

namespace kvistur::cli {

// The password for USER.  Throws std::runtime_error when the two typed at
// a terminal differ or standard input cannot be read.
std::string read_new_password(const std::string& user);

}  // namespace kvistur::cli
