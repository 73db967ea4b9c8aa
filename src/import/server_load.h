// Catalogues on a PostgreSQL server: SQLite databases loaded into schemas,
// and the search's indexes added to a schema in place.
//
// Each database file becomes the schema of its name (katalogur.sqlite ->
// katalogur) in one transaction: the tables are copied (COPY) into a new
// schema beside the old one, with kv_fold, kv_ci, kv_changes, the row
// order, the stored folds, the change triggers and the indexes of
// postgres_sql.h; then the old schema is dropped and the new one renamed
// into its place, and the whole is committed at once.  A load that fails
// leaves the old schema; hosts reading meanwhile see the old tables until
// the commit and the new ones after.  The roles that could use the old
// schema get USAGE and SELECT on the new one.
//
// The connecting role comes from the environment as for every libpq
// program (PGUSER, PGPASSWORD, the password file); it needs CREATE on the
// database and to own the schemas it replaces.
#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace kvistur::import {

// Loads each SQLite database file into the schema named by the file into
// the database of URI.  Writes one line per schema to REPORT when given.
// Throws std::runtime_error saying what was wrong; what was loaded before
// stays loaded (each schema is whole, old or new).
void LoadDatabases(const std::vector<std::string>& files, const std::string& uri, std::ostream* report);

// `kvistur index` on a server, in one transaction: SCHEMA of the database
// of URI, whoever made its tables (psql, a migration, our own loader),
// given in place what the search needs (kv_fold, kv_ci, kv_changes, a row
// order for every table, the stored folds, the triggers and the indexes),
// and for a catalogue the stored search index written anew on a copy, as
// an update writes it.  A directory schema gets the first part alone.
void IndexServerSchema(const std::string& uri, const std::string& schema);

// `kvistur update` on a server, in place and in one transaction: the
// schema is made ready as `kvistur index` makes it, its tables are locked
// against other writers (hosts go on reading the state before), copied
// into an SQLite file for the update to change, and at Commit the rows
// that the update removed, changed or added are deleted from and copied
// into the schema's tables, and all is committed.
//
//   ServerCatalogueUpdate server(uri, "katalogur");
//   CatalogueUpdate update(server.file());  ...  update.Commit();
//   server.Commit(&std::cout);
//
// A table the update added, or gave other columns, is made anew in the
// schema with its rows; one it dropped is dropped.  The lock is held from
// the copy to the commit, so no other writer's rows are lost.  Until
// Commit, or when it fails, the schema is as it was.
class ServerCatalogueUpdate {
 public:
  ServerCatalogueUpdate(const std::string& uri, const std::string& schema);
  ~ServerCatalogueUpdate();
  ServerCatalogueUpdate(const ServerCatalogueUpdate&) = delete;
  ServerCatalogueUpdate& operator=(const ServerCatalogueUpdate&) = delete;

  // The SQLite copy of the schema to update.
  const std::string& file() const;
  // Whether the schema holds the word index's tables (Orð and Tengill).
  bool catalogue() const;
  void Commit(std::ostream* report);

 private:
  struct State;
  std::unique_ptr<State> s_;
};

}  // namespace kvistur::import
