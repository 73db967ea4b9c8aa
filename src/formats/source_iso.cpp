#include "formats/source_iso.h"

#include <stdexcept>

#include "marc21/marc_writer.h"

namespace kvistur::formats {

namespace {

constexpr char kSubfieldMark = '\x1f';
constexpr char kFieldEnd = '\x1e';
constexpr char kRecordEnd = '\x1d';
constexpr std::size_t kLeaderSize = 24;
constexpr std::size_t kEntrySize = 12;

bool printable(char c) { return c >= ' ' && c <= '~'; }

// The DIGITS digits of S at AT as a number; -1 when one is not a digit.
long digits_at(std::string_view s, std::size_t at, std::size_t digits) {
  long n = 0;
  for (std::size_t k = at; k < at + digits; ++k) {
    if (s[k] < '0' || s[k] > '9') return -1;
    n = n * 10 + (s[k] - '0');
  }
  return n;
}

// Hands each field of REC to EACH as its tag and its bytes, field end
// included, when the record is laid out as the writer lays it out (see
// HandedOutAsStored); false, perhaps after some fields, when it is not, or
// when EACH says so.
template <typename Each>
bool each_field(std::string_view rec, Each&& each) {
  if (rec.size() < kLeaderSize + 2 || digits_at(rec, 0, 5) != long(rec.size()) || rec.back() != kRecordEnd)
    return false;
  for (std::size_t i = 0; i < kLeaderSize; ++i)
    if (!printable(rec[i])) return false;
  if (rec[9] != 'a' || rec.compare(10, 2, "22") != 0 || rec.compare(20, 4, "4500") != 0) return false;
  const long base = digits_at(rec, 12, 5);
  if (base < long(kLeaderSize + 1) || std::size_t(base) >= rec.size() || (std::size_t(base) - kLeaderSize - 1) % kEntrySize ||
      rec[std::size_t(base) - 1] != kFieldEnd)
    return false;
  const std::string_view fields = rec.substr(std::size_t(base), rec.size() - std::size_t(base) - 1);
  std::size_t next = 0;
  for (std::size_t entry = kLeaderSize; entry + 1 < std::size_t(base); entry += kEntrySize) {
    std::string_view tag = rec.substr(entry, 3);
    long length = digits_at(rec, entry + 3, 4), start = digits_at(rec, entry + 7, 5);
    if (!printable(tag[0]) || !printable(tag[1]) || !printable(tag[2]) || length < 1 || start != long(next) ||
        next + std::size_t(length) > fields.size() || fields[next + std::size_t(length) - 1] != kFieldEnd)
      return false;
    if (!each(tag, fields.substr(next, std::size_t(length)))) return false;
    next += std::size_t(length);
  }
  return next == fields.size();
}

// Whether a field's bytes (its end included) read back as they stand: a
// control field's text; a data field's two indicators and its subfields,
// each a printable code and a value, nothing before the first.
bool field_as_written(std::string_view tag, std::string_view bytes) {
  std::string_view content = bytes.substr(0, bytes.size() - 1);
  if (tag[0] == '0' && tag[1] == '0') return marc21::clean_utf8_text(content);
  if (content.size() < 2 || !printable(content[0]) || !printable(content[1]) ||
      (content.size() > 2 && content[2] != kSubfieldMark))
    return false;
  for (std::size_t at = 2; at < content.size();) {
    std::size_t end = content.find(kSubfieldMark, at + 1);
    if (end == std::string_view::npos) end = content.size();
    // AT is a subfield mark: a code follows it, then the value.
    if (end - at < 2 || !printable(content[at + 1]) || !marc21::clean_utf8_text(content.substr(at + 2, end - at - 2)))
      return false;
    at = end;
  }
  return true;
}

bool holdings_tag(std::string_view tag) { return tag == "852" || tag == "952"; }

}  // namespace

bool HandedOutAsStored(std::string_view source) { return each_field(source, field_as_written); }

std::optional<std::string> SplicedIso2709(std::string_view source, const std::vector<marc21::MarcField>& holdings) {
  bool has_holdings = false;
  each_field(source, [&](std::string_view tag, std::string_view) { return !(has_holdings = holdings_tag(tag)); });
  marc21::Iso2709Writer out;
  bool placed = false;
  try {
    each_field(source, [&](std::string_view tag, std::string_view bytes) {
      if (holdings_tag(tag) || (!has_holdings && tag > "852")) {
        if (!placed)
          for (const marc21::MarcField& f : holdings) out.add(f);
        placed = true;
        if (holdings_tag(tag)) return true;
      }
      out.add_bytes(tag, bytes);
      return true;
    });
    if (!placed)
      for (const marc21::MarcField& f : holdings) out.add(f);
    return out.finish(std::string(source.substr(0, kLeaderSize)));
  } catch (const std::runtime_error&) {  // too long for ISO 2709
    return std::nullopt;
  }
}

}  // namespace kvistur::formats
