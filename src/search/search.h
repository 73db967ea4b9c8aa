// The word-index search behind Leita.
//
// One query per term on the word index (Tengill joined with Orð, equality or
// a Like pattern, optionally restricted to a group and a search field) gives
// each term's distinct record numbers; the terms are intersected fewest hits
// first by a linear merge; each remaining record's sort text, identifying
// string and kind are read; the table is sorted by sort text; and only the
// first lMaxFj records are fetched and described.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "kvistur/automation.h"
#include "search/hits.h"
#include "search/term_lists.h"
#include "platform/engine.h"

namespace kvistur {

class RecordOrder;

// Fills aSvar, aSvarID and aEinkenni at 1..k and returns k.  A failure while
// a result set is open ends the search with 0 (the form hidden); any other
// failure passes on to Leita.
int32_t Fremjaleit(int32_t lHópur, int32_t lSvið, const Text& szStr, SafeArray<Text>& aSvar,
                   SafeArray<int32_t>& aSvarID, SafeArray<Text>& aEinkenni, const SafeArray<Text>& aEkkiOrð,
                   int32_t lMaxFj, int16_t iRofi, const Variant* ctrlC);

// A search string of stop words only: Leita fails with it (error 9).
struct OnlyStopWords : Error {
  OnlyStopWords() : Error(err::kSubscript) {}
};

// The pieces of the same search, for callers that want every hit rather
// than the first lMaxFj descriptions (the Z39.50/SRU server).
//
// FindRecords: the records that hold every term of szStr in group lHópur
// and field lSvið, found exactly as Leita finds them (the same terms, stop
// words and queries), ascending, each once.  Throws OnlyStopWords where
// Leita fails for that reason.
std::vector<int32_t> FindRecords(db::Database& database, int32_t lHópur, int32_t lSvið, const Text& szStr,
                                 const SafeArray<Text>& aEkkiOrð);
// FindRecordNumbers: the same records as FindRecords, at 1..size()-1 of
// NUMBERS (position 0 holds no record).  The records of a single term are
// the term's list itself, which the search may keep for later searches
// (SHARED): no copy of them is made.
struct FoundRecords {
  RecordNumbers numbers;
  bool shared = false;
};
FoundRecords FindRecordNumbers(db::Database& database, int32_t lHópur, int32_t lSvið, const Text& szStr,
                               const SafeArray<Text>& aEkkiOrð);
// LeitaOrder: RECORDS (ascending, each once) in the order in which Leita
// hands back its hits: by sort text, equal texts as Leita's sort leaves
// them.  Every position is the one Leita gives, whatever its lMaxFj, once
// sort_to has put it in place.
PartlySortedHits LeitaOrder(db::Database& database, std::span<const int32_t> records);
// LeitaFirstPlaces: the first min(M, COUNT) places of LeitaOrder's order
// of the M records (ascending, each once) that FindRecords found for szStr
// in lHópur and lSvið at the catalogue state STATE (the stamp's token
// before that search), straight from the stored index's first hits, so
// that a search of many hits is answered without ranking them all; and the
// order of all records LeitaOrder ranks by, for LeitaOrderBy to put the
// other places later in the very order the search saw.  Nullopt, and the
// caller ranks every hit, when the catalogue has no stamp or has moved on
// from STATE, the stored index or the order is not ready, the order
// knows records whose rows cannot be read, or the first hits cannot be
// given in that order.
struct FirstPlaces {
  std::vector<int32_t> ids;
  std::shared_ptr<const RecordOrder> order;
};
std::optional<FirstPlaces> LeitaFirstPlaces(db::Database& database, const std::string& state, int32_t lHópur,
                                            int32_t lSvið, const Text& szStr, const SafeArray<Text>& aEkkiOrð,
                                            std::size_t m, std::size_t count);
// LeitaOrderBy: what LeitaOrder gives for RECORDS (ascending, each once)
// when it ranks them by ORDER, which knows no unreadable record.
PartlySortedHits LeitaOrderBy(const RecordOrder& order, std::span<const int32_t> records);
// LeitaPage: how many records FindRecords finds for szStr in lHópur and
// lSvið, and those at positions FIRST to FIRST+COUNT-1 (from 0) of
// LeitaOrder's order of them: one page of a search's hits.  The first hits
// come straight from the stored index when it can give them in that order
// (as Leita takes them), else every hit is ranked and only the hits up to
// the page's last are sorted; so a page of a search of many hits costs
// neither a sort nor a copy of them all.  Throws OnlyStopWords as
// FindRecords does.
struct HitsPage {
  int64_t count = 0;
  std::vector<int32_t> ids;
};
HitsPage LeitaPage(db::Database& database, int32_t lHópur, int32_t lSvið, const Text& szStr,
                   const SafeArray<Text>& aEkkiOrð, std::size_t first, std::size_t count);
// TermRecordCount: the number of records the term query of WORD finds in
// group lHópur and field lSvið (negative: all), the count Leita sees.
int32_t TermRecordCount(db::Database& database, const Text& word, int32_t lHópur, int32_t lSvið);

}  // namespace kvistur
