#include "import/word_links.h"

#include <algorithm>
#include <stdexcept>

namespace kvistur::import {

void SortWordLinks(std::vector<WordLink>& links, int32_t words) {
  std::vector<std::size_t> start(std::size_t(words) + 2, 0);
  for (const WordLink& l : links) {
    if (l.word < 1 || l.word > words) throw std::logic_error("a word link whose word has no number");
    ++start[std::size_t(l.word) + 1];
  }
  for (std::size_t w = 1; w < start.size(); ++w) start[w] += start[w - 1];
  std::vector<WordLink> sorted(links.size());
  for (const WordLink& l : links) sorted[start[std::size_t(l.word)]++] = l;
  std::vector<WordLink>().swap(links);
  // Rows of one word and one record lie together, in the order the record
  // gave them.
  std::size_t kept = 0;
  for (std::size_t from = 0; from < sorted.size();) {
    std::size_t to = from + 1;
    while (to < sorted.size() && sorted[to].word == sorted[from].word && sorted[to].record == sorted[from].record) ++to;
    if (to < sorted.size() && sorted[to].word == sorted[from].word && sorted[to].record < sorted[from].record)
      throw std::logic_error("word links not added in record order");
    if (to - from > 1) std::sort(sorted.begin() + std::ptrdiff_t(from), sorted.begin() + std::ptrdiff_t(to));
    for (std::size_t i = from; i < to; ++i)
      if (i == from || !(sorted[i] == sorted[i - 1])) sorted[kept++] = sorted[i];
    from = to;
  }
  sorted.resize(kept);
  links = std::move(sorted);
}

}  // namespace kvistur::import
