// What the server's requests need of the directory (its groups and their
// search fields) and of the catalogue (its stop words), worked out once
// per state of each file and kept in the file's slot for derived data, so
// that a search does not read them again: the engine lets them go when
// another connection commits or the file is replaced.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kvistur/faersla.h"
#include "platform/engine.h"

namespace kvistur::server {

struct DirectoryView {
  // The databases the server answers to: "Default" (every group, -1) and
  // the Name of each DBGroups row, upper case, with their groups.
  std::vector<std::pair<Text, int32_t>> databases;
  // Each group's search fields (and, under -1, every group's: the first
  // row of a name counts) by upper-case QueryTypeName.
  std::map<int32_t, std::map<Text, int32_t>> fields;

  // The group DATABASE searches (letter case and blanks at the ends
  // ignored), or nullopt.
  std::optional<int32_t> group_of(const std::string& database) const;
  const std::map<Text, int32_t>& fields_of(int32_t group) const;
};

// The directory as FAERSLA's log-on reads it now.
std::shared_ptr<const DirectoryView> ViewDirectory(Faersla& faersla);

// The catalogue's stop words as SaekjaEkkiOrð gives them (an array of one
// empty word when there are none).
std::shared_ptr<const SafeArray<Text>> StopWords(Faersla& faersla, db::Database& catalogue);

}  // namespace kvistur::server
