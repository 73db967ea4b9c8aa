// The folders the program is installed with (its documentation, the web's
// templates), found from the program's own place so that any prefix and
// the Debian package work, or the source tree's when it runs from a build.
#pragma once

#include <filesystem>
#include <string>

namespace kvistur::cli {

// FROM_BIN, taken from the folder the running program is in (an absolute
// path stands as it is), when that folder is there; else SOURCE.
std::string InstalledFolder(const std::filesystem::path& from_bin, const std::string& source);

}  // namespace kvistur::cli
