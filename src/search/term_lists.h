// Record numbers of term queries, kept with the open catalogue.
//
// A term's query (its exact text: word or pattern, group and field) always
// gives the same record numbers while the catalogue is unchanged, and the
// same terms come back again and again (a librarian narrows a search, goes
// back, pages on).  The numbers are kept with one state of the catalogue
// (kept.h), so a kept list is always what the query would read now.  The
// most recently used lists are kept, up to a bound in bytes on what they
// hold (the query's text as well as its numbers), and each is charged to
// the process's budget (platform/kept_memory.h): when that is full the
// least recently used lists of this table go first, and a list that still
// does not fit is not kept.  The lists of one state of a catalogue are
// shared by every thread that reads it; a lock guards the look-up.
#pragma once

#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "kvistur/text.h"
#include "platform/kept_memory.h"

namespace kvistur {

// Record numbers at 1..size()-1, ascending, each once; position 0 unused.
using RecordNumbers = std::shared_ptr<const std::vector<int32_t>>;

class TermLists {
 public:
  static constexpr std::size_t kMaxBytes = std::size_t(64) << 20;

  explicit TermLists(std::size_t max_bytes = kMaxBytes) : max_(max_bytes) {}

  RecordNumbers find(const Text& query);
  void keep(const Text& query, RecordNumbers numbers);
  // Lets every list go (the room maker's way of making room).
  void clear();
  // What the lists hold, in bytes, and how many there are.
  std::size_t bytes() const { return kept_.held(); }
  std::size_t size() const;

  // What keeping NUMBERS under QUERY costs.
  static std::size_t cost(const Text& query, const std::vector<int32_t>& numbers);

 private:
  struct Entry {
    Text query;
    RecordNumbers numbers;
    std::size_t bytes;
  };
  // Lets the least recently used list go; false when there is none.
  bool drop_oldest();
  void drop(std::list<Entry>::iterator it);

  mutable std::mutex m_;
  std::list<Entry> recent_;  // most recent first
  std::unordered_map<TextView, std::list<Entry>::iterator> by_query_;  // views of the entries' own texts
  const std::size_t max_;
  KeptBytes kept_;
};

}  // namespace kvistur
