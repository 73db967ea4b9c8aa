// kvistur index: the indexes that make searches fast, for a catalogue made
// by another tool: an SQLite file, or a schema on a PostgreSQL server.
#include <iostream>

#include "catalogue_schema.h"
#include "command.h"
#include "import/indexes.h"
#include "import/server_load.h"
#include "platform/postgres_sql.h"

KVISTUR_COMMAND(cmd_index, "index", "index CATALOGUE | index URI[\\katalogur]",
                "add the search indexes to a catalogue database (a file, or a schema on a server)") {
  if (args.size() != 1) throw kvistur::cli::UsageError("index needs exactly one catalogue");
  if (auto where = kvistur::db::pg::split_server_path(kvistur::from_utf8(args[0]))) {
    // The catalogue's schema, named as in the settings or left out.
    std::string schema = kvistur::cli::catalogue_schema(where->schema);
    kvistur::import::IndexServerSchema(where->uri, schema);
    std::cout << "indexed schema " << schema << " of " << where->uri << "\n";
    return 0;
  }
  kvistur::import::IndexCatalogue(args[0]);
  std::cout << "indexed " << args[0] << "\n";
  return 0;
}
