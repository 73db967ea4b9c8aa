// kvistur groups: the groups of databases and their search fields, with
// the numbers that kvistur search takes as --group and --field.
#include <iostream>

#include "catalogue_groups.h"
#include "command.h"
#include "log_on.h"

namespace kvistur::cli {

KVISTUR_COMMAND(cmd_groups, "groups", "groups [--user NAME] [--password PW]",
                "list the groups of databases and their search fields, with the numbers a search takes") {
  Args a = args;
  std::string user = "Admin", password;
  take_option(a, "--user", user);
  take_option(a, "--password", password);
  reject_unknown_options(a);
  if (!a.empty()) throw UsageError("unexpected argument " + a[0]);
  Faersla f;
  log_on(f, user, password);
  for (const CatalogueGroup& g : catalogue_groups(f)) {
    std::cout << "group " << g.id << ": " << g.name << (g.description.empty() ? "" : " - " + g.description) << "\n";
    for (const SearchField& s : g.fields) std::cout << "  field " << s.id << ": " << s.name << "\n";
  }
  return 0;
}

}  // namespace kvistur::cli
