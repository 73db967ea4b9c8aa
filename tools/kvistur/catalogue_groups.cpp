#include "catalogue_groups.h"

#include <stdexcept>

#include "log_on.h"

namespace kvistur::cli {

std::vector<CatalogueGroup> catalogue_groups(Faersla& f) {
  SafeArray<Text> groups, names, descriptions;
  SafeArray<int32_t> ids;
  int32_t n = f.SaekjaHopa(groups, ids, names, descriptions);
  if (n < 0) throw std::runtime_error("the groups cannot be read: " + failure_reason());
  std::vector<CatalogueGroup> out;
  for (int32_t i = 1; i <= n; ++i) {
    CatalogueGroup g{ids(i), to_utf8(names(i)), to_utf8(descriptions(i)), {}};
    SafeArray<Text> fields;
    SafeArray<int32_t> field_ids;
    int32_t group = g.id;
    int32_t k = f.SaekjaSvid(group, fields, field_ids);
    if (k < 0) throw std::runtime_error("the search fields cannot be read: " + failure_reason());
    for (int32_t j = 1; j <= k; ++j) g.fields.push_back({field_ids(j), to_utf8(fields(j))});
    out.push_back(std::move(g));
  }
  return out;
}

void check_group_and_field(const std::vector<CatalogueGroup>& groups, int32_t group, int32_t field) {
  // A directory that lists nothing has nothing to check against.
  if (groups.empty()) return;
  const CatalogueGroup* in = nullptr;
  for (const CatalogueGroup& g : groups)
    if (g.id == group) in = &g;
  if (group >= 0 && !in)
    throw std::runtime_error("there is no group " + std::to_string(group) + " (kvistur groups lists them)");
  if (field < 0) return;
  bool listed = false;
  for (const CatalogueGroup& g : groups)
    if (!in || in == &g)
      for (const SearchField& s : g.fields) {
        if (s.id == field) return;
        listed = true;
      }
  if (!listed) return;
  throw std::runtime_error("there is no search field " + std::to_string(field) +
                           (in ? " in group " + std::to_string(group) : std::string()) +
                           " (kvistur groups lists them)");
}

}  // namespace kvistur::cli
