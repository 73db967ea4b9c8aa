// The order of all the catalogue's records by sort text.
//
// Sorting a search's hits needs every hit's sort text.  Read one record at
// a time that costs a lookup per hit, which for a common word is most of
// the search.  Instead every record's sort text (Móðurtafla.Röðunarsvið) is
// replaced by its rank in the order of all of them; a hit's rank is then an
// array look-up, and sorting the ranks gives exactly the order sorting the
// texts gives.  The order comes from the stored index (stored_index.h) when
// the catalogue has one written at its present state, and is otherwise
// worked out from the table (Build); either way it is kept with the
// catalogue's state (kept.h).
//
// Reading a hit's row also fails the search when its identifying string is
// null or its kind cannot be read as a 16-bit number; the order knows those
// records ("unreadable"), so that a search that would have met one fails the
// same way without reading every hit.
#pragma once

#include <memory>
#include <vector>

#include "kvistur/variant.h"
#include "search/id_map.h"
#include "platform/engine.h"

namespace kvistur {

// The ranks of records worked out from their rows: the same for the order
// the search works out and the one the stored index keeps.
struct RankedRecords {
  std::vector<int32_t> ids;         // every record read, in the order read
  std::vector<int32_t> ranks;       // of each one's sort text; -1 for a null text
  int32_t absent = 0;               // the rank of the empty text
  std::vector<int32_t> unreadable;  // ascending
};

// Takes Móðurtafla's rows one by one; the collation keys are made on a
// second thread while the rows are read.
class RecordRows {
 public:
  RecordRows();
  ~RecordRows();
  RecordRows(const RecordRows&) = delete;
  RecordRows& operator=(const RecordRows&) = delete;

  // One row: its ID, Röðunarsvið, whether Einkennisstrengur is null, and
  // Tag.  A row whose ID is not a whole 32-bit number can never be a hit
  // and is left out; an ID held as text is refused (std::runtime_error),
  // since the record look-up may still find it.
  void add(const Variant& id, Variant key, bool null_identity, const Variant& tag);
  // Throws std::runtime_error for a record number that is there twice (the
  // look-up takes whichever row the engine meets first, which cannot be
  // told from here), and std::invalid_argument for a sort key that is
  // neither a number nor a text.
  RankedRecords finish();

 private:
  class KeyMaker;
  std::unique_ptr<KeyMaker> keys_;
  RankedRecords out_;
};

class RecordOrder {
 public:
  // Reads the whole table.  Throws when it cannot be read or when it cannot
  // stand in for the per-record look-up (see RecordRows).
  static std::shared_ptr<const RecordOrder> Build(db::Database& database);
  explicit RecordOrder(RankedRecords r);

  // The rank of record ID's sort text; a record that is not in the table
  // has the rank of the empty text, as its look-up gives.
  // Looked up once for every hit of a search: kept here to be inlined.
  int32_t rank(int32_t id) const { return ranks_.find(id); }
  bool unreadable(int32_t id) const;
  bool any_unreadable() const { return !unreadable_.empty(); }
  // The bytes it holds, itself included.
  std::size_t memory() const;

 private:
  IdMap<int32_t> ranks_;  // a record not in the table has the rank of the empty text
  std::vector<int32_t> unreadable_;
};

}  // namespace kvistur
