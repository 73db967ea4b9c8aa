// kvistur index: the indexes that make searches fast, for a catalogue made
// by another tool.
#include <iostream>

#include "command.h"
#include "import/indexes.h"

KVISTUR_COMMAND(cmd_index, "index", "index CATALOGUE", "add the search indexes to a catalogue database") {
  if (args.size() != 1) throw kvistur::cli::UsageError("index needs exactly one catalogue file");
  kvistur::import::IndexCatalogue(args[0]);
  std::cout << "indexed " << args[0] << "\n";
  return 0;
}
