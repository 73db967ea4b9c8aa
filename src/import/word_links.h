// The word index's rows of a new catalogue, kept in memory while records
// are added and put into the table's key order at the end: a table filled
// in key order has full pages, and SQLite only appends.
#pragma once

#include <cstdint>
#include <vector>

namespace kvistur::import {

struct WordLink {
  int32_t word, record, group, field;
  auto operator<=>(const WordLink&) const = default;
};

// Puts LINKS, added record by record in increasing record number, with
// word numbers from 1 to WORDS, into key order (word, record, group,
// field), each row once.  A counting sort by word keeps the records of a
// word in order already, so only the few rows of one word in one record are
// compared: linear in the rows, where a comparison sort of millions of rows
// took seconds.  Throws std::logic_error when LINKS break that order.
void SortWordLinks(std::vector<WordLink>& links, int32_t words);

}  // namespace kvistur::import
