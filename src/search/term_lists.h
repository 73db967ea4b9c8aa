// Record numbers of term queries, kept with the open catalogue.
//
// A term's query (its exact text: word or pattern, group and field) always
// gives the same record numbers while the catalogue is unchanged, and the
// same terms come back again and again (a librarian narrows a search, goes
// back, pages on).  The numbers are kept in the engine's slot for data
// derived from the file, emptied when the catalogue changes, so a kept list
// is always what the query would read now.  The most recently used lists
// are kept, up to a bound on the numbers held.  The lists of one state of a
// catalogue are shared by every thread that reads it (kept.h); a lock
// guards the look-up.
#pragma once

#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "kvistur/text.h"

namespace kvistur {

// Record numbers at 1..size()-1, ascending, each once; position 0 unused.
using RecordNumbers = std::shared_ptr<const std::vector<int32_t>>;

class TermLists {
 public:
  // At most this many record numbers are kept (4 bytes each).
  static constexpr std::size_t kMaxNumbers = std::size_t(16) << 20;

  explicit TermLists(std::size_t max_numbers = kMaxNumbers) : max_(max_numbers) {}

  RecordNumbers find(const Text& query);
  void keep(const Text& query, RecordNumbers numbers);
  std::size_t numbers() const;

 private:
  mutable std::mutex m_;
  using Entry = std::pair<Text, RecordNumbers>;
  std::list<Entry> recent_;  // most recent first
  std::unordered_map<Text, std::list<Entry>::iterator> by_query_;
  std::size_t max_;
  std::size_t held_ = 0;
};

}  // namespace kvistur
