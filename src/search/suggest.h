// "Did you mean": for a search with no hits or very few, the searches the
// catalogue would answer better, made of the words its word index holds.
//
// A term that the group and field hold in few records or none is replaced
// by the nearest words of the index (edit distance, a swap of two letters
// counting as one, on the words with their accents taken off, so that
// "reykjavik" finds "reykjavík"; Icelandic letters otherwise count as
// letters of their own), the word more records hold first among equally
// near ones, never a stop word; each suggestion is the whole search with
// its hit count.  The index's words are read once per state of the
// catalogue and kept with it (search/kept.h), in buckets by length, so a
// suggestion looks only at words of about the typed word's length.
#pragma once

#include <cstdint>
#include <vector>

#include "kvistur/automation.h"
#include "platform/engine.h"

namespace kvistur {

// A search has few hits at this many or below, and a term is weak when the
// field holds it in this many records or fewer.
inline constexpr int64_t kFewHits = 3;
// Suggestions offered at most.
inline constexpr std::size_t kMaxSuggestions = 3;

struct Suggestion {
  Text words;    // the search with its weak terms replaced
  int64_t hits;  // what it finds
};

// Suggestions for WORDS in GROUP and FIELD, best first, each finding more
// than HITS (what WORDS finds).  None for truncated terms.
std::vector<Suggestion> Suggest(db::Database& database, int32_t group, int32_t field, const Text& words,
                                const SafeArray<Text>& stop_words, int64_t hits);

// The word without its accents, as one types it on a keyboard without
// Icelandic letters: á a, ð d, é e, í i, ó o, ú u, ý y, þ th, æ ae, ö o.
Text WithoutAccents(const Text& word);

// The edit distance of A and B (insertions, deletions, changes, and swaps
// of two neighbours), or MOST + 1 when it is above MOST.
int EditDistance(const Text& a, const Text& b, int most);

}  // namespace kvistur
