// One client session of the server and its result sets.
//
// A session has a Faersla of its own, logged on as the session's user on
// the session's own thread (the component keeps its log-on per thread).
// Its searches run through that log-on: the database is Default (every
// group) or a group by its Name, the query (query_map.h) is answered by
// Leita's search, and the hits are kept as a result set of record numbers
// in Leita's order, under the name the client gave, until it is replaced,
// deleted or the session ends.  A result set holds record numbers (and
// their places in the order of all records), never descriptions, so its
// hit count is exact however large it is; the hits are put in order only
// as far as records are presented, since a client mostly looks at the
// first ten of many (ResultSet below).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kvistur/faersla.h"
#include "search/hits.h"
#include "search/record_order.h"
#include "server/evaluate.h"
#include "server/limits.h"
#include "server/query_map.h"
#include "server/request_budget.h"

namespace kvistur::server {

// The standard indexes with the rows of the settings section [Z3950].
IndexTable ServerIndexes();

// The places a search of one word puts in order at once: a usual first
// page, or the records a search asks for with it up to the most.
inline constexpr int64_t kFirstPlaces = 20;
inline constexpr int64_t kMostFirstPlaces = 1000;
// The hits from which the first places come from the stored index: below
// them, ranking every hit (about ten instructions a hit) costs less than
// reading the first hits (about 50 000).
inline constexpr std::size_t kFirstPlacesFrom = 5000;

struct ScanEntry {
  std::string word;
  int64_t records = 0;  // the records Leita finds for the word
};

// The hits of a search in Leita's order.  Ranked (8 bytes a hit) and put
// in order only as far as records are presented; or, for one search's
// hits, first held as its record numbers (4 bytes a hit), its first places
// from the stored index and the order of all records the search saw, and
// ranked by that order only when a record beyond those places is asked
// for, so a later update of the catalogue never mixes two states' places.
class ResultSet {
 public:
  ResultSet() = default;
  ResultSet(std::string database, PartlySortedHits ranked)
      : database(std::move(database)), ranked_(std::move(ranked)), size_(ranked_.size()) {}
  // NUMBERS ascending; FIRST their first places; ORDER the one to rank them
  // by, that of the catalogue's state STATE.
  ResultSet(std::string database, RecordList numbers, std::vector<int32_t> first,
            std::shared_ptr<const RecordOrder> order, std::string state)
      : database(std::move(database)), numbers_(std::move(numbers)), first_(std::move(first)),
        order_(std::move(order)), state_(std::move(state)), size_(int32_t(numbers_.size())) {}

  std::string database;

  int32_t size() const { return size_; }
  // The record numbers at positions FIRST..LAST (1..size()), put in order.
  std::vector<int32_t> records(int32_t first, int32_t last);
  // Every record number, ascending.
  RecordList ascending() const;
  // Every record number, in whatever order they stand.
  RecordList unordered() const;
  // Whether only the first places are in order yet, the others unranked.
  bool first_places_only() const { return order_ != nullptr; }
  // Ranks every hit now when only the first places of a state other than
  // STATE are in order, so that the set lets that state's order go.
  void RankUnlessOf(const std::string& state) {
    if (order_ && state != state_) rank_all();
  }

 private:
  void rank_all();

  PartlySortedHits ranked_;
  RecordList numbers_;
  std::vector<int32_t> first_;
  std::shared_ptr<const RecordOrder> order_;  // while only the first places are known
  std::string state_;                         // the state ORDER_ is of
  int32_t size_ = 0;
};

class Session {
 public:
  // A session held to LIMITS' result sets and records.
  Session(std::string peer, const Limits& limits);

  // Logs this thread on as USER; false when the log-on is refused.
  bool LogOn(const std::string& user, const std::string& password);

  // Answers QUERY on DATABASE and keeps the hits as result set NAME, within
  // BUDGET's time and memory.  A set that would take the records the
  // session's sets hold in all over the limit is refused (Bib-1 12), and
  // the set it would have replaced is kept.  One search's hits, when they
  // are many, get their first PRESENT places (at least kFirstPlaces, at
  // most kMostFirstPlaces) without every hit ranked, where the stored index
  // can give them.
  Diagnostic Search(const std::string& name, bool replace, const std::string& database, const QueryNode& query,
                    RequestBudget& budget, int64_t& hits, int64_t present = 0);
  // Lists COUNT words of the word index (Orð) in its order, with the START
  // word at POSITION (1: first) when there is room before it, each with
  // the number of records that have it in the database and the start's
  // field; words no record has there are passed over.  AT gets the
  // position of the first word from START on; PARTIAL is set when the
  // index has fewer words to give.
  Diagnostic Scan(const std::string& database, const ScanStart& start, int position, int count,
                  const RequestBudget& budget, std::vector<ScanEntry>& entries, int& at, bool& partial);

  ResultSet* Find(const std::string& name);
  bool Remove(const std::string& name);
  void RemoveAll();
  // The record numbers the session's result sets hold in all.
  int64_t HeldRecords() const { return held_records_; }

  Faersla& faersla() { return faersla_; }
  const std::string& peer() const { return peer_; }
  const std::string& user() const { return user_; }

 private:
  Faersla faersla_;
  std::string peer_, user_;
  const Limits& limits_;
  std::map<std::string, ResultSet> sets_;
  int64_t held_records_ = 0;
};

}  // namespace kvistur::server
