// Fuzzes the whole-record text parser and NextToken.
//
// Byte 0 chooses a start position for NextToken; the rest is read twice, as
// UTF-8 and as raw 16-bit code units (little-endian, so any unit, lone
// surrogates and character 5 included, can be reached).
//
// The parser may fail only with error 5 or 6.  A text that parses is
// written back out by the importer's writer and parsed again: the second
// record must equal the first (the text holds everything it parsed).  The elements the text does not
// fill must stay 0.  NextToken, from any position, either fails with 5 or 6
// or returns the text up to the next terminator and moves past it.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "import/marc/record_writer.h"
#include "record/record_text.h"

using namespace kvistur;

namespace {

bool names_clean(const List<NameEntry>& names) {
  return std::none_of(names.begin(), names.end(), [](const NameEntry& n) { return n.iRöð != 0; });
}

void check_parsed(const CatalogueRecord& r) {
  if (r.ID != -1 || r.Safndeild != -1 || r.Tag != 0 || r.boolValin != kFalse || !r.MarkSnið.empty())
    __builtin_trap();
  for (const HoldingItem& h : r.Aðfanganúmer)
    if (h.boolTagInnanMarka != kFalse || h.boolÍLáni != kFalse) __builtin_trap();
  if (!names_clean(r.Ábyrgðaraðildir) || !names_clean(r.Útgáfa.Nöfn) || !names_clean(r.Aukafærslur.Nöfn) ||
      !names_clean(r.Ritröð.Nöfn))
    __builtin_trap();
  for (const ContentsEntry& c : r.Efnisyfirlit)
    if (!names_clean(c.Nöfn)) __builtin_trap();
}

void check_next_token(TextView text, int16_t start) {
  int16_t pos = start;
  try {
    Text v = NextToken(pos, text);
    if (start < 1) __builtin_trap();
    std::size_t from = std::size_t(start) - 1;
    if (from + v.size() >= text.size() || text[from + v.size()] != kValueEnd) __builtin_trap();
    if (v.find(kValueEnd) != Text::npos) __builtin_trap();
    if (pos != int32_t(start) + int32_t(v.size()) + 1) __builtin_trap();
  } catch (const Error& e) {
    if (e.number() != 5 && e.number() != 6) __builtin_trap();
    if (pos != start) __builtin_trap();
  }
}

// One text through NextToken and the parser, and a parsed record through
// the write-back check.
void check_text(TextView text, int16_t start) {
  check_next_token(text, 1);
  check_next_token(text, start);
  CatalogueRecord r;
  try {
    r = ParseRecordText(text);
  } catch (const Error& e) {
    if (e.number() != 5 && e.number() != 6) __builtin_trap();
    return;
  }
  if (text.empty()) return;
  check_parsed(r);
  Text again = import::WriteRecordText(r);
  if (again.size() >= 32000) return;  // numbers written out may be longer
  CatalogueRecord r2 = ParseRecordText(again);
  r2.Skráning = r.Skráning;
  if (!(r2 == r)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > 200000) return 0;
  int16_t start = int16_t(data[0] * 129);
  check_text(from_utf8(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1)), start);
  Text units;
  for (size_t i = 1; i + 1 < size; i += 2) units += char16_t(data[i] | (data[i + 1] << 8));
  check_text(units, start);
  return 0;
}
