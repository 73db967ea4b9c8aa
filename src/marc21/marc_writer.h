// Writing MARC 21 records as ISO 2709 in UTF-8: the form a catalogue keeps
// each source record in (table Frumfærsla) and the form `kvistur generate
// --marc` writes.  Every field and subfield is written as it is in the
// record, in its order; the leader is the record's own with the lengths,
// the base address, leader/09 `a` (UTF-8) and the entry map worked out.
#pragma once

#include <string>
#include <string_view>

#include "marc21/marc_reader.h"

namespace kvistur::marc21 {

// The longest record and field ISO 2709 can describe (five and four digits).
inline constexpr std::size_t kMaxIsoRecord = 99999;
inline constexpr std::size_t kMaxIsoField = 9999;

// The record as ISO 2709 bytes.  Throws std::runtime_error when a field or
// the whole record is longer than ISO 2709 can describe, or a tag is not
// three characters.
std::string WriteIso2709(const MarcRecord& r);

// An ISO 2709 record written field by field, as WriteIso2709 writes it; a
// field may also be given as the bytes it has in another ISO 2709 record.
// Each throws std::runtime_error as WriteIso2709 does.
class Iso2709Writer {
 public:
  // FIELDS: how many fields the record is likely to have.
  explicit Iso2709Writer(std::size_t fields = 0) { directory_.reserve(12 * fields + 1); }
  void add(const MarcField& f);
  // TAG's field as BYTES, its field end included.
  void add_bytes(std::string_view tag, std::string_view bytes);
  // The record with LEADER's own positions and the ones worked out.
  std::string finish(std::string leader);

 private:
  void entry(std::string_view tag, std::size_t start);
  std::string directory_, data_;
};

}  // namespace kvistur::marc21
