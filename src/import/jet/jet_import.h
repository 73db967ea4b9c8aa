// kvistur build --jet: catalogues and directory databases kept in Jet files
// made into the SQLite files the component reads, every table and row.
//
//   BuildFromJet({"Lindrit.mdb", "kv_local.mdb"}, "/srv/lindrit", 0, std::cout, std::cerr);
//
// The file that holds `Móðurtafla` becomes the catalogue (katalogur.sqlite,
// with the search indexes), the one that holds `DBGroups` the directory
// database (skra.sqlite); any other file is copied under its own name
// (stem + ".sqlite").  Tables are read through ReadJetFile (jet_reader.h)
// and written through TableWriter (table_copy.h).
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "import/jet/jet_file.h"

namespace kvistur::import {

struct JetTotals {
  int files = 0, tables = 0;
  uint64_t read = 0, written = 0;
  bool directory = false;  // whether a source held DBGroups
};

// Where one database's tables come from: READ calls the sink as
// ReadJetFile does.  NAME (a file name) is used in messages, and its stem
// names the copy of a database that is neither catalogue nor directory.
struct TableSource {
  std::string name;
  std::function<void(JetSink&)> read;
};

// Copies every source into FOLDER, as above.  Writes a line per source and
// per table ("NAME: TABLE: read N, written N") to REPORT, notes (a table
// not closed properly) to NOTES, and a progress display to standard error
// when it is a terminal.  Throws std::runtime_error, naming the
// source and what could not be read or written, at the first failure;
// what it wrote in FOLDER is then incomplete.
JetTotals CopyTables(const std::vector<TableSource>& sources, const std::string& folder, std::ostream& report,
                     std::ostream& notes);

// CopyTables for Jet files, read through ReadJetFile.
JetTotals CopyJetFiles(const std::vector<std::string>& files, const std::string& folder, int code_page,
                       std::ostream& report, std::ostream& notes);

// The whole command: CopyJetFiles into the staging folder of OUT (a folder
// or a server URI), then the settings and workgroup, and everything moved
// into place (output.h).  Files none of which holds a catalogue
// (Móðurtafla) are refused before anything is written.  A failure leaves
// OUT as it was.  Returns the exit status.
int BuildFromJet(const std::vector<std::string>& files, const std::string& out, int code_page, std::ostream& report,
                 std::ostream& notes);

}  // namespace kvistur::import
