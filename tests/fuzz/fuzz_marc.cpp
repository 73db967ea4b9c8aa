// Fuzzes the MARC importer: any bytes as an ISO 2709 or MARCXML file must be
// read record by record, a damaged record reported and skipped, and every
// record read mapped to a catalogue row (whose whole-record text parses) or
// refused with an exception, and its words indexed, never a crash or a hang.
// Read a second time as a build reads it (each record checked as it is read,
// decoded later into one record reused), it must give the same records.
// Taken as a stored source record that may be handed out as it stands, it
// must give the bytes it gives read and written again.
#include <cstdint>
#include <string>

#include "formats/records.h"
#include "formats/source_iso.h"
#include "marc21/marc_reader.h"
#include "import/marc/record_writer.h"
#include "import/marc/word_index.h"
#include "record/record_text.h"

using namespace kvistur::import;
using namespace kvistur::marc21;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  if (kvistur::formats::HandedOutAsStored(bytes)) {
    kvistur::formats::StoredRecord stored, read;
    stored.source = bytes;
    stored.copies = read.copies = {{1, "Aðalsafn", "\x1e"}};
    read.marc = kvistur::formats::SourceMarc(bytes, 0);
    if (!read.marc || kvistur::formats::Iso2709Of(stored) != kvistur::formats::Iso2709(kvistur::formats::MarcOf(read)))
      __builtin_trap();
  }
  try {
    MarcReader reader = MarcReader::from_bytes(bytes, "fuzz");
    MarcReader again = MarcReader::from_bytes(bytes, "fuzz");
    std::vector<ReadProblem> problems;
    MarcRecord scratch;
    for (int n = 0; n < 1000; ++n) {
      std::optional<MarcRecord> r = reader.next(problems);
      std::optional<KeptRecord> kept = again.next_kept(problems);
      if (r.has_value() != kept.has_value() || (r && !(kept->record(scratch) == *r))) __builtin_trap();
      if (!r) break;
      try {
        ImportedRecord row = MapRecord(*r, n % 2 == 1);
        kvistur::ParseRecordText(kvistur::from_utf8(row.whole_text));
      } catch (const std::exception&) {
      }
      RecordWords(*r);
    }
  } catch (const std::exception&) {
  }
  return 0;
}
