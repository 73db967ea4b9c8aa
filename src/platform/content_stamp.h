// The content stamp of a catalogue: a one-row table, kv_state, whose
// counters triggers raise at every change of the tables the search derives
// data from, in the writer's own transaction.
//
//   kv_state(instance, records, links, words, facts)
//     instance  a random number, new each time kvistur's tools write the
//               stamp (build, generate, index, update)
//     records   raised by every insert and delete of a Móðurtafla row and
//               every update of its ID, Röðunarsvið, Einkennisstrengur or Tag
//     links     raised by every insert, delete and update of a Tengill row
//     words     raised by every insert, delete and update of an Orð row
//     facts     raised by every insert and delete of an Aðfanganúmer or
//               Frumfærsla row, every update of a Frumfærsla row, of an
//               Aðfanganúmer row's Móðurbendir or Staðsetning and of a
//               Móðurtafla row's Upprunafærsla or ÖllFærslan: the rest of
//               what the facet data is worked out from.  A loan
//               (Lánþegabendir) raises nothing: the facets read the loans
//               at every count, and they change all day.
//
// The token of a stamp is made of the first four: the search's own kept
// data (the order of the records, the stored index, the words) does not
// depend on the tables facts follows, and is not let go when they change.
// What is worked out from those tables is kept with the token and facts
// together, and only while facts' own triggers are all there as installed
// (FactsStampInstalled); a catalogue stamped before facts was (kv_state
// without it) has a token all the same, and its facets are worked out from
// the tables until kvistur's tools install the rest.
//
// Whoever writes to the catalogue (a cataloguing program, the sqlite3 shell,
// kvistur update) raises the counters without knowing of them: the
// triggers are plain SQL.  So two readers that see the same stamp in the
// same file see the same contents of those tables, and data worked out
// from them can be kept with the stamp and shared (engine.h,
// Database::Stamp).  The engine trusts a stamp only while every trigger is
// in the file exactly as installed here; a file without them has no stamp.
// The triggers name Móðurtafla's columns as the file spells them (a
// catalogue brought over from elsewhere may write `RÖÐUNARSVIÐ`): SQLite
// matches the names of `UPDATE OF` without regard to case for ASCII
// letters only, and a trigger naming a column the table does not have
// never fires.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct sqlite3;

namespace kvistur::db {

inline constexpr char kStampTable[] = "kv_state";

// The parts of a stamp's token (engine.h, ContentStamp).  The place names
// the catalogue: a file by its device and inode, a schema by its server's
// host and port, its database and its own name.  The reader names who reads
// it where that decides what is read (a server's role; empty for a file,
// which every user reads whole).  The numbers are kv_state's row:
// instance, records, links, words.  Every part is written with its length,
// so that no name, whatever it holds, makes two tokens alike.
std::string StampPlace(std::initializer_list<std::string_view> parts);
std::string StampToken(const std::string& place, std::string_view reader, const int64_t (&numbers)[4]);

inline constexpr char kFactsColumn[] = "facts";

// The triggers of the file DB, by name and exact SQL (as sqlite_master
// keeps it): those of the token, and those of facts (for the tables the
// file has).
std::vector<std::pair<std::string, std::string>> stamp_triggers(sqlite3* db);
std::vector<std::pair<std::string, std::string>> facts_triggers(sqlite3* db);

// The columns of Móðurtafla whose updates raise the stamp.
const std::vector<std::string>& stamped_record_columns();

// What raises facts, for both backends: a table (by NAME in the triggers'
// names), whether its rows coming and going do, and the columns whose
// updates do (empty: every update).
struct FactsSource {
  const char* table;
  const char* name;
  bool rows;
  std::vector<std::string> updated;
};
const std::vector<FactsSource>& facts_sources();

// The columns of TABLE in the file, in their order; empty when it has none
// or they cannot be read.
std::vector<std::string> TableColumns(sqlite3* db, const char* table);

// WANTED as one of COLUMNS spells it, matched as the query dialect matches
// names (folded: letter case never matters, Icelandic letters included);
// WANTED itself when none matches.
std::string spelled_as(const std::vector<std::string>& columns, const std::string& wanted);

// Creates kv_state and the triggers when they are missing (or differ) and
// gives the stamp a new instance number, on a connection that may write,
// inside the caller's transaction.  Needs the tables Móðurtafla, Tengill
// and Orð.  Throws std::runtime_error with SQLite's message.
void InstallContentStamp(sqlite3* db);

// Creates the triggers alone when they are missing (or differ), and
// kv_state's facts when it has none (at 0), leaving the row's counters as
// they are: a copy of a catalogue kept elsewhere (a server's schema, worked
// on in a file) counts on from the state it was copied in, so that a
// stored index made at that state still matches.
void InstallStampTriggers(sqlite3* db);

// Whether kv_state has one row and every trigger of the token is there as
// installed.
bool ContentStampInstalled(sqlite3* db);
// Whether kv_state has facts too and every trigger of facts is there as
// installed.
bool FactsStampInstalled(sqlite3* db);

// kv_state's counters of Móðurtafla's and Tengill's changes, and facts
// (none in a kv_state made before it): the state a stored index or the
// facet data is written at, and is compared with.
struct StampCounters {
  int64_t records = 0, links = 0, words = 0;
  std::optional<int64_t> facts;
};
// Null when the file has no kv_state or no row in it.  Throws
// std::runtime_error on an SQLite error.
std::optional<StampCounters> ReadStampCounters(sqlite3* db);

// A random number from 0 to 2^63 - 1, for what tells one writing of a
// catalogue from another (a stamp's instance, a stored index's build).
int64_t RandomInstance();

}  // namespace kvistur::db
