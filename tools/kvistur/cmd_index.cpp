// kvistur index: the indexes that make searches fast, for a catalogue made
// by another tool: an SQLite file (or a catalogue folder), or a schema on a
// PostgreSQL server.  With --check, whether its stored search index and
// indexes are sound.
#include <filesystem>
#include <iostream>

#include "catalogue_file.h"
#include "catalogue_schema.h"
#include "command.h"
#include "import/index_check.h"
#include "import/indexes.h"
#include "import/output.h"
#include "import/server_load.h"
#include "platform/postgres_sql.h"
#include "server_credentials.h"

KVISTUR_COMMAND(cmd_index, "index", "index [--check] CATALOGUE|CATALOGUE_DIR | index [--check] URI[\\katalogur]",
                "add the search indexes to a catalogue database (a file, or a schema on a server), or check them") {
  kvistur::cli::Args rest = args;
  const bool check = kvistur::cli::take_flag(rest, "--check");
  kvistur::cli::reject_unknown_options(rest);
  if (rest.size() != 1) throw kvistur::cli::UsageError("index needs exactly one catalogue");
  kvistur::cli::refuse_credentials(rest[0]);
  if (auto where = kvistur::db::pg::split_server_path(kvistur::from_utf8(rest[0]))) {
    // The catalogue's schema, named as in the settings or left out.
    std::string schema = kvistur::cli::catalogue_schema(where->schema);
    if (check) {
      // The schema's tables as they are now, copied (other writers wait
      // meanwhile), and the copy's stored index checked against them.
      kvistur::import::ServerCatalogueUpdate copy(where->uri, schema);
      return kvistur::import::CheckCatalogueFile(copy.file(), rest[0], false, std::cout) ? 1 : 0;
    }
    kvistur::import::IndexServerSchema(where->uri, schema);
    std::cout << "indexed schema " << schema << " of " << where->uri << "\n";
    return 0;
  }
  kvistur::cli::CatalogueFile target = kvistur::cli::catalogue_file(rest[0]);
  if (!std::filesystem::exists(target.file)) throw std::runtime_error("no such file: " + target.file.string());
  // A check only reads, beside any writer; writing waits its turn: one
  // writer at a time in the folder, never beside a build or an update.
  if (check) return kvistur::import::CheckCatalogueFile(target.file.string(), rest[0], true, std::cout) ? 1 : 0;
  kvistur::import::FolderLock lock(target.folder.string());
  kvistur::import::IndexCatalogue(target.file.string());
  std::cout << "indexed " << target.file.string() << "\n";
  return 0;
}
