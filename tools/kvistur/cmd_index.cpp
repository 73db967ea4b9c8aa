// kvistur index: the indexes that make searches fast, for a catalogue made
// by another tool: an SQLite file (or a catalogue folder), or a schema on a
// PostgreSQL server.
#include <filesystem>
#include <iostream>

#include "catalogue_file.h"
#include "catalogue_schema.h"
#include "command.h"
#include "import/indexes.h"
#include "import/output.h"
#include "import/server_load.h"
#include "platform/postgres_sql.h"
#include "server_credentials.h"

KVISTUR_COMMAND(cmd_index, "index", "index CATALOGUE|CATALOGUE_DIR | index URI[\\katalogur]",
                "add the search indexes to a catalogue database (a file, or a schema on a server)") {
  kvistur::cli::reject_unknown_options(args);
  if (args.size() != 1) throw kvistur::cli::UsageError("index needs exactly one catalogue");
  kvistur::cli::refuse_credentials(args[0]);
  if (auto where = kvistur::db::pg::split_server_path(kvistur::from_utf8(args[0]))) {
    // The catalogue's schema, named as in the settings or left out.
    std::string schema = kvistur::cli::catalogue_schema(where->schema);
    kvistur::import::IndexServerSchema(where->uri, schema);
    std::cout << "indexed schema " << schema << " of " << where->uri << "\n";
    return 0;
  }
  kvistur::cli::CatalogueFile target = kvistur::cli::catalogue_file(args[0]);
  if (!std::filesystem::exists(target.file)) throw std::runtime_error("no such file: " + target.file.string());
  // One writer at a time in the folder: never beside a build or an update.
  kvistur::import::FolderLock lock(target.folder.string());
  kvistur::import::IndexCatalogue(target.file.string());
  std::cout << "indexed " << target.file.string() << "\n";
  return 0;
}
