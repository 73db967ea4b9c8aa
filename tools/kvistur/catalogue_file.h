// The catalogue file that a command given a catalogue folder or a file
// works on, and the folder whose lock it takes while it writes.
#pragma once

#include <filesystem>
#include <string>

#include "import/store/catalogue_writer.h"
#include "import/store/generations.h"

namespace kvistur::cli {

struct CatalogueFile {
  std::filesystem::path file, folder;
};

// A folder gives its katalogur.sqlite; a file is taken as it is.
inline CatalogueFile catalogue_file(const std::string& given) {
  std::filesystem::path target = std::filesystem::absolute(given);
  if (std::filesystem::is_directory(target)) return {target / import::kCatalogueFile, target};
  return {target, import::CatalogueFolderOf(target.string())};
}

}  // namespace kvistur::cli
