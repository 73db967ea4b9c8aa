// The column names of a recordset, as the engine reports them (UTF-8), and
// the lookup of a field by name that both engines' recordsets share: the
// exact name first, then the name folded as the engine folds identifiers.
//
// A recordset is opened for every record a search describes, and nearly
// every lookup names the column exactly as the query spelt it; so the names
// are kept as the engine gave them, the name asked for converted once to
// compare with them, and folded only when an exact match fails.
#pragma once

#include <string>
#include <vector>

#include "kvistur/text.h"
#include "platform/sqlite_functions.h"

namespace kvistur::db {

class ColumnNames {
 public:
  void add(const char* utf8) { names_.emplace_back(utf8 ? utf8 : ""); }
  std::size_t size() const { return names_.size(); }

  // The column's position, -1 when no column has that name.
  int find(TextView name) {
    const std::string utf8 = to_utf8(name);  // a name is short: no allocation
    for (std::size_t i = 0; i < names_.size(); ++i)
      if (names_[i] == utf8) return int(i);
    if (folded_.size() != names_.size()) {
      folded_.clear();
      for (auto& n : names_) folded_.push_back(fold_utf8(n));
    }
    std::string f = fold_text(name);
    for (std::size_t i = 0; i < folded_.size(); ++i)
      if (folded_[i] == f) return int(i);
    return -1;
  }

 private:
  std::vector<std::string> names_;
  std::vector<std::string> folded_;  // made at the first lookup an exact name misses
};

}  // namespace kvistur::db
