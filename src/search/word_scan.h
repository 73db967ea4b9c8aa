// The words of the word index (Orð) in their order, each with the number
// of records that have it in a group and search field: what a Z39.50 or
// SRU scan lists (kvistur serve) and what the web's browsing pages show
// (kvistur web /browse).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kvistur/text.h"
#include "platform/engine.h"

namespace kvistur {

struct ScannedWord {
  Text word;
  int64_t records = 0;  // the records Leita finds for the word
};

// How many words one listing looks at, at most: a field that few words of
// the index belong to ends a listing early rather than reading them all.
inline constexpr std::size_t kMaxWordsLookedAt = 5000;

// Up to N words from FROM on (DOWN: before FROM, nearest first) that some
// record has in GROUP and FIELD (-1: any), in the index's order (Icelandic
// alphabetical, letter case aside); fewer when the index runs out or
// kMaxWordsLookedAt words have been looked at.  A word Leita could not
// search for, or the same word again in another letter case, is passed
// over.  CHECK is called before each batch of words is read (a server's
// time budget throws from it).
std::vector<ScannedWord> ScanWords(db::Database& database, const Text& from, bool down, std::size_t n, int32_t group,
                                   int32_t field, const std::function<void()>& check = {});

}  // namespace kvistur
