#include "search_hint.h"

#include <string_view>
#include <vector>

#include "import/marc/word_index.h"

namespace kvistur::cli {

namespace {

// What the search takes off every term before it looks the term up.
constexpr std::string_view kDropped = ".,[]();\"'";

std::size_t characters(std::string_view s) {
  std::size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

// An ISBN or ISSN as it is printed: digits in groups joined by hyphens,
// perhaps ending in X.  The index keeps its digits, X as x.
bool isbn_shaped(std::string_view term, std::string& digits) {
  std::size_t hyphens = 0;
  digits.clear();
  for (std::size_t i = 0; i < term.size(); ++i) {
    char c = term[i];
    if (c >= '0' && c <= '9') digits += c;
    else if (c == '-') ++hyphens;
    else if ((c == 'X' || c == 'x') && i + 1 == term.size()) digits += 'x';
    else return false;
  }
  return hyphens > 0 && !digits.empty();
}

}  // namespace

std::string search_instead(const std::string& text) {
  std::string out;
  bool changed = false;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t end = text.find(' ', i);
    if (end == std::string::npos) end = text.size();
    std::string term;
    for (char c : std::string_view(text).substr(i, end - i))
      if (kDropped.find(c) == std::string_view::npos) term += c;
    i = end + 1;
    if (term.empty()) continue;
    bool star_before = term.front() == '*', star_after = term.size() > 1 && term.back() == '*';
    std::string_view core = std::string_view(term).substr(star_before, term.size() - star_before - star_after);
    std::string written, digits;
    if (isbn_shaped(core, digits)) {
      written = digits;
      changed = true;
    } else {
      std::vector<std::string> words = import::SplitWords(std::string(core));
      if (words.size() == 1 && characters(words[0]) == characters(core)) {
        written = std::string(core);
      } else {
        changed = true;
        for (const std::string& w : words) written += (written.empty() ? "" : " ") + w;
      }
    }
    if (written.empty()) continue;
    out += (out.empty() ? "" : " ") + std::string(star_before ? "*" : "") + written + (star_after ? "*" : "");
  }
  return changed ? out : "";
}

}  // namespace kvistur::cli
