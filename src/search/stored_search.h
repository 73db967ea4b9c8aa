// Searching through the stored index (stored_index.h).
//
// A term's query (search.cpp) joins Tengill with Orð; through the stored
// index the same term is answered by looking its words up in Orð by the
// very same condition (so the words, and any failure of the condition, are
// the query's own) and taking their records from kv_postings, whose lists
// hold exactly Tengill's rows of those words, with the (HópID, Orðtag)
// pairs of each record as a mask.
//
// FindFirstHits is the quick way: the lists hold sort-text positions, so the
// records that have every term come out in sort-text order, and the search
// stops after the first lMaxFj of them.  The result sort would give the same
// first records exactly when their texts all differ (the sort's treatment of
// equal texts depends on every hit) and no hit is a record the order cannot
// place; otherwise the caller sorts every hit the usual way.
// StoredTermRecords gives one term's whole list of record numbers for that.
#pragma once

#include <functional>
#include <vector>

#include "platform/engine.h"
#include "search/kept.h"
#include "search/stored_index.h"
#include "search/term_lists.h"

namespace kvistur {

// The condition on Orð of a term's query: "(((O0.Orð) = 'saga'))" or the
// Like form, exactly as the query has it.
Text TermCondition(const Text& term);

struct FirstHits {
  enum Outcome {
    kFound,           // IDS are the first records, in the order the search gives
    kSortEveryHit,    // the hits must be sorted the usual way
    kNotAnswerable,   // the stored index cannot answer these terms
  };
  Outcome outcome = kNotAnswerable;
  std::vector<int32_t> ids;
  // What was read that is worth keeping with the state (KEPT below): the
  // caller keeps it once it knows it was read at that state.
  std::vector<std::function<void()>> to_keep;
};

// The first MAX records (MAX >= 0) that have every term, within GROUP and
// FIELD (-1 for any).  KEPT (or null) holds what earlier searches kept: the
// words of terms, the rows of words and the positions of terms of many
// words (truncated terms, by PositionsKey).
FirstHits FindFirstHits(db::Database& database, StoredIndex& index, const std::vector<Text>& terms, int32_t group,
                        int32_t field, int32_t max, KeptSearch* kept);

// The key under which a term's positions are kept.
Text PositionsKey(const Text& term, int32_t group, int32_t field);

// One term's record numbers (at 1.., ascending), or null when the stored
// index cannot give them (the caller then runs the term's query).
RecordNumbers StoredTermRecords(db::Database& database, StoredIndex& index, const Text& term, int32_t group,
                                int32_t field);

}  // namespace kvistur
