#include "installed_folder.h"

namespace kvistur::cli {

std::string InstalledFolder(const std::filesystem::path& from_bin, const std::string& source) {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  std::filesystem::path installed = exe.parent_path() / from_bin;
  if (!ec && std::filesystem::is_directory(installed, ec)) return installed.lexically_normal().string();
  return source;
}

}  // namespace kvistur::cli
