// The databases of a catalogue folder, one generation per build.
//
// SQLite finds a database's rollback journal, WAL and WAL index by name
// (FILE-journal, FILE-wal, FILE-shm), so a new file renamed over an old one
// would be paired with what the old one left beside it: a hot journal rolled
// into the wrong file, a WAL's frames read as the new file's pages.  A
// build therefore never renames over a database's name.  It moves each new
// database into DIR/.kvistur under a name of its own,
//
//   DIR/.kvistur/katalogur-20250607-101530-4711.sqlite   (+ -wal, -shm)
//
// and then replaces DIR/katalogur.sqlite, atomically, by a relative symbolic
// link to it (made under a temporary name and renamed over the old name).
// SQLite resolves the link and names the journals after the generation's
// own file, so no two generations ever share one.  A host that has the old
// generation open keeps reading it (its inode lives on); the next call
// opens the name again and finds the new one.
#pragma once

#include <string>
#include <vector>

namespace kvistur::import {

// The folder inside a catalogue folder that holds the generations.
inline constexpr char kGenerationFolder[] = ".kvistur";

// Makes a finished database in the staging folder ready to be a
// generation: in WAL mode, its WAL (empty) and WAL index beside it, so that
// a host that may not create files in the folder can read it.  Throws
// std::runtime_error when it cannot.
void FinishStagedDatabase(const std::string& file);

// Moves each staged database (its path; FinishStagedDatabase done, every
// file synced) with its WAL files into DIR/.kvistur under a new generation
// name, then points DIR/<name> at it, and makes the names durable.  Throws
// std::runtime_error when a step fails; a name already switched stays
// switched (each name is the old generation or the new one, whole).
void InstallGeneration(const std::vector<std::string>& staged, const std::string& dir);

// Removes what no name in DIR points at any more: old generations with
// their journals, a killed build's files in DIR/.kvistur and its temporary
// links, and the journals an older build's plain file left beside a name
// that is now a link.  Only for a writer holding the folder's lock.
void RemoveOldGenerations(const std::string& dir);

// Whether NAME is what SQLite keeps beside a database (NAME-wal, -shm,
// -journal): it moves and goes with its database.
bool IsSideFile(const std::string& name);

// The catalogue folder a database FILE belongs to (the folder whose lock
// guards it): the folder it is in, or for a generation named directly, the
// folder above DIR/.kvistur.
std::string CatalogueFolderOf(const std::string& file);

}  // namespace kvistur::import
