// kvistur index: the indexes that make searches fast, for a catalogue made
// by another tool: an SQLite file, or a schema on a PostgreSQL server.
#include <filesystem>
#include <iostream>

#include "command.h"
#include "import/catalogue_writer.h"
#include "import/indexes.h"
#include "import/server_load.h"
#include "platform/postgres_sql.h"

KVISTUR_COMMAND(cmd_index, "index", "index CATALOGUE | index URI[\\katalogur]",
                "add the search indexes to a catalogue database (a file, or a schema on a server)") {
  if (args.size() != 1) throw kvistur::cli::UsageError("index needs exactly one catalogue");
  if (auto where = kvistur::db::pg::split_server_path(kvistur::from_utf8(args[0]))) {
    // The catalogue's schema, named as in the settings or left out.
    std::string schema = where->schema.empty() ? std::filesystem::path(kvistur::import::kCatalogueFile).stem().string() : where->schema;
    kvistur::import::IndexServerSchema(where->uri, schema);
    // The stored search index, written anew on a copy as for a file.
    kvistur::import::ServerCatalogueUpdate copy(where->uri, schema);
    kvistur::import::IndexCatalogue(copy.file());
    copy.Commit(nullptr);
    std::cout << "indexed schema " << schema << " of " << where->uri << "\n";
    return 0;
  }
  kvistur::import::IndexCatalogue(args[0]);
  std::cout << "indexed " << args[0] << "\n";
  return 0;
}
