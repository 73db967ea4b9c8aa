// The groups of databases of the catalogue the settings name, each with
// its search fields: the numbers a search takes as its group and field
// (`kvistur groups` lists them; `kvistur search` checks them).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kvistur/faersla.h"

namespace kvistur::cli {

struct SearchField {
  int32_t id;
  std::string name;
};

struct CatalogueGroup {
  int32_t id;
  std::string name, description;
  std::vector<SearchField> fields;
};

// As SaekjaHopa and SaekjaSvid give them, through F (logged on).  Throws
// std::runtime_error saying why when they cannot be read.
std::vector<CatalogueGroup> catalogue_groups(Faersla& f);

// Throws std::runtime_error when GROUP, or FIELD within GROUP (within any
// group when GROUP is negative), is 0 or more and not one of GROUPS': a
// search in it could only ever find nothing.  A directory that lists no
// groups (or no fields) is not checked.
void check_group_and_field(const std::vector<CatalogueGroup>& groups, int32_t group, int32_t field);

}  // namespace kvistur::cli
