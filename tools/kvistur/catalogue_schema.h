// The schema of the catalogue that a command given a server URI works on.
#pragma once

#include <filesystem>
#include <string>

#include "import/store/catalogue_writer.h"

namespace kvistur::cli {

// NAMED (the file name after the URI, without its extension), or when the
// URI names none the catalogue's: its file name without the extension, as
// `kvistur build` loads it.
inline std::string catalogue_schema(const std::string& named) {
  return named.empty() ? std::filesystem::path(import::kCatalogueFile).stem().string() : named;
}

}  // namespace kvistur::cli
