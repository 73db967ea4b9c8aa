#include "search/terms.h"

#include "marc/text_split.h"

namespace kvistur {

Text RemoveChar(Text& text, TextView character) {
  if (character.empty()) return text;
  // The character is matched ignoring letter case (s also removes S).  An
  // ASCII character that is not a letter has no other case, and no
  // character has it as its upper case: it is matched as it is.
  const char16_t c = character.front();
  if (c < 0x80 && !((c | 0x20) >= u'a' && (c | 0x20) <= u'z')) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < text.size(); ++i)
      if (text[i] != c) text[kept++] = text[i];
    text.resize(kept);
    return text;
  }
  const Text upper = upper_is(character.substr(0, 1));
  std::size_t kept = 0;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (text[i] != c && upper_is(TextView(text).substr(i, 1)) != upper) text[kept++] = text[i];
  text.resize(kept);
  return text;
}

Text StripPunctuation(Text& term) {
  // Each of these has no other case (RemoveChar matches it as it is), so
  // all go in one pass.
  auto punctuation = [](char16_t c) {
    return c == u'.' || c == u',' || c == u'[' || c == u']' || c == u'(' || c == u')' || c == u';' || c == u'"' ||
           c == u'\'';
  };
  std::erase_if(term, punctuation);
  return term;
}

std::vector<Text> SearchTerms(Text search) {
  std::vector<Text> terms(1);
  SplitText(search, terms, u" ");
  for (std::size_t i = 1; i < terms.size(); ++i) StripPunctuation(terms[i]);
  return terms;
}

}  // namespace kvistur
