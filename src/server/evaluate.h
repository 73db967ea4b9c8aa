// A query tree (query_map.h) answered from the catalogue: each term is one
// search of Leita's (FindRecords), and AND, OR and NOT combine the record
// numbers of their operands.
//
// Memory is bounded by the request's budget, not by what the client asks:
// the operands of an operator are combined as they come (the result so far
// and one operand held at a time), the operand that needs most lists at
// once is taken first (so a query of N terms holds about log2 N lists at
// once, however it nests), a result set named as an operand is sorted once
// for the whole query and shared by every leaf that names it, and every
// list is charged to the budget while it lives.  The time is checked before
// every term and every combination.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "kvistur/automation.h"
#include "platform/engine.h"
#include "server/query_map.h"
#include "server/request_budget.h"

namespace kvistur::server {

class ResultSet;

// What a search needs from the catalogue and the session.
struct SearchScope {
  db::Database& database;
  int32_t group;                           // -1: every group
  const std::map<Text, int32_t>& fields;   // the group's search fields by upper-case QueryTypeName
  const SafeArray<Text>& stop_words;
  // The session's result set NAME, or null.
  std::function<const ResultSet*(const std::string& name)> result_set;
};

// One search of Leita's: its search field's number (-1: every field) and
// its words.
struct OneSearch {
  int32_t field = -1;
  Text words;
};

// Record numbers, ascending, each once: those of LIST from FROM on (a
// search's list is the one it found, whose first place holds no record).
struct RecordList {
  std::shared_ptr<const std::vector<int32_t>> list;
  std::size_t from = 0;

  std::span<const int32_t> span() const { return std::span<const int32_t>(*list).subspan(from); }
  std::size_t size() const { return list->size() - from; }
};

// Record numbers charged to the request while held.
struct Records {
  RecordList numbers;
  Charge charge;
  // When the records are one search's hits (a term, or the terms of one
  // field joined by AND), that search: its first places can then come
  // from the stored index rather than from ranking every hit.
  std::optional<OneSearch> search;
};

// The records QUERY finds.  Refuses with the query's diagnostic (114 a
// field the group lacks, 4 only stop words, 30 a result set that does not
// exist) or the budget's.
Records Evaluate(const SearchScope& scope, const QueryNode& query, RequestBudget& budget);

// The number of the search field NAME (empty: every field, -1) among
// FIELDS; refuses (114) a name the group does not have.
int32_t FieldNumber(const std::map<Text, int32_t>& fields, const Text& name);

// The bytes of a list of N record numbers.
constexpr int64_t ListBytes(std::size_t n) { return int64_t(n) * int64_t(sizeof(int32_t)); }

}  // namespace kvistur::server
