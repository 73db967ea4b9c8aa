// The word-index search behind Leita.
//
// One query per term on the word index (Tengill joined with Orð, equality or
// a Like pattern, optionally restricted to a group and a search field) gives
// each term's distinct record numbers; the terms are intersected fewest hits
// first by a linear merge; each remaining record's sort text, identifying
// string and kind are read; the table is sorted by sort text; and only the
// first lMaxFj records are fetched and described.
#pragma once

#include "kvistur/automation.h"

namespace kvistur {

// Fills aSvar, aSvarID and aEinkenni at 1..k and returns k.  A failure while
// a result set is open ends the search with 0 (the form hidden); any other
// failure passes on to Leita.
int32_t Fremjaleit(int32_t lHópur, int32_t lSvið, const Text& szStr, SafeArray<Text>& aSvar,
                   SafeArray<int32_t>& aSvarID, SafeArray<Text>& aEinkenni, const SafeArray<Text>& aEkkiOrð,
                   int32_t lMaxFj, int16_t iRofi, const Variant* ctrlC);

}  // namespace kvistur
