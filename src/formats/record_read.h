// Reading records from the catalogue for their forms (records.h), many at
// a time: a few queries for a batch of records, run again with the next
// batch's record numbers, the texts read as the UTF-8 they are stored in.
// A server's present reads its records in one go; the web reads one.
#pragma once

#include <optional>
#include <vector>

#include "formats/records.h"
#include "platform/engine.h"

namespace kvistur::formats {

// What records are read for: the MARC forms need the source record (or
// the MARC lines, without one) and the copies; the display texts need the
// record's texts alone.
enum class Purpose { Marc, Display };

// Record numbers a query asks for at once.
constexpr std::size_t kIdsAtOnce = 20;

// The records numbered IDS, each nullopt when the catalogue has none, read
// for PURPOSE.
std::vector<std::optional<StoredRecord>> ReadStoredRecords(db::Database& database, const std::vector<int32_t>& ids,
                                                           Purpose purpose);

}  // namespace kvistur::formats
