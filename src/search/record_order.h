// The order of all the catalogue's records by sort text, worked out once
// and kept with the open catalogue until its contents change.
//
// Sorting a search's hits needs every hit's sort text.  Read one record at
// a time that costs a lookup per hit, which for a common word is most of
// the search.  Instead every record's sort text (Móðurtafla.Röðunarsvið) is
// read once and replaced by its class in the order of all of them
// (KeyClasses); a hit's class is then an array look-up, and sorting the
// classes gives exactly the order sorting the texts gives.  The order is
// kept in the engine's slot for data derived from the file, which the
// engine empties when another connection commits or the file is replaced.
#pragma once

#include <memory>
#include <vector>

#include "platform/engine.h"

namespace kvistur {

class RecordOrder {
 public:
  // Reads the whole table.  Throws when it cannot be read or when it cannot
  // stand in for the per-record look-up (a record number twice, a sort key
  // that is neither a number nor a text).
  static std::shared_ptr<const RecordOrder> Build(db::Database& database);

  // The class of record ID's sort text; a record that is not in the table
  // has the class of the empty text, as its look-up gives.
  int32_t rank(int32_t id) const;

 private:
  int32_t first_id_ = 0;
  std::vector<int32_t> dense_;                       // by id - first_id_, when the numbers are close together
  std::vector<std::pair<int32_t, int32_t>> sparse_;  // (id, class) by id otherwise
  int32_t absent_ = 0;                               // the class of the empty text
};

// The order kept for DATABASE, or nullptr when none is kept.  When none is
// kept and BUILD is true, it is worked out now (and kept); a failure to
// work it out gives nullptr, and the caller reads records one by one.
std::shared_ptr<const RecordOrder> KeptRecordOrder(db::Database& database, bool build);

}  // namespace kvistur
