// Search terms: the search string cut at blanks and cleaned of the
// punctuation and quotes that would otherwise end up in the query text.
#pragma once

#include <vector>

#include "kvistur/text.h"

namespace kvistur {

// Removes every occurrence of the character (in place) and returns the text.
Text RemoveChar(Text& text, TextView character);
// Removes . , [ ] ( ) ; " and ' (in that order), in place, and returns the text.
Text StripPunctuation(Text& term);
// The terms of a search string at 1..n (n >= 1, slot 0 empty).
std::vector<Text> SearchTerms(Text search);

}  // namespace kvistur
