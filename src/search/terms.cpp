#include "search/terms.h"

#include "marc/text_split.h"

namespace kvistur {

Text RemoveChar(Text& text, TextView character) {
  if (character.empty()) return text;
  for (std::size_t at = text.find(character.substr(0, 1)); at != Text::npos; at = text.find(character.substr(0, 1)))
    text.erase(at, 1);
  return text;
}

Text StripPunctuation(Text& term) {
  for (const char16_t* c : {u".", u",", u"[", u"]", u"(", u")", u";", u"\"", u"'"}) RemoveChar(term, c);
  return term;
}

std::vector<Text> SearchTerms(Text search) {
  std::vector<Text> terms(1);
  SplitText(search, terms, u" ");
  for (std::size_t i = 1; i < terms.size(); ++i) StripPunctuation(terms[i]);
  return terms;
}

}  // namespace kvistur
