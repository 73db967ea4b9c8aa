// Fuzzes the record-text parser and every display builder on arbitrary
// input.  The input is read as:
//
//   byte 0          the record kind (one of 0, 1, 2, 100, 200, 7)
//   bytes 1..NUL    the whole-record text (UTF-8)
//   after the NUL   the MARC text (UTF-8)
//
// The parser may fail with an Error; nothing else may: the builders trap
// their own faults, and the text methods let only an Error through.  No
// crash, no hang, no sanitizer report.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "component/methods.h"
#include "marc/description.h"
#include "marc/lists.h"
#include "marc/subfields.h"
#include "record/record_text.h"

using namespace kvistur;

namespace {

// GetSubfield walks the text without splitting it; it must agree with the
// split it stands for.
Text split_subfield(TextView tag, TextView code, const Text& marc) {
  if (tag.size() != 3 || code.empty()) return {};
  std::vector<Text> lines = SplitLines(marc);
  for (std::size_t i = 1; i < lines.size(); ++i) {
    if (lines[i].substr(0, 3) != tag) continue;
    std::vector<Text> pieces = SplitSubfields(lines[i]);
    for (std::size_t k = 1; k < pieces.size(); ++k)
      if (!pieces[k].empty() && pieces[k][0] == code[0]) return pieces[k].substr(1);
    return {};
  }
  return {};
}

void subfields(const Text& marc) {
  static const char16_t* tags[] = {u"100", u"110", u"111", u"245", u"792", u"793", u"79", u"", u"1000"};
  static const char16_t* codes[] = {u"a", u"b", u"c", u"g", u"h", u"$", u""};
  for (const char16_t* tag : tags) {
    Text line = FindFieldLine(tag, marc);
    for (const char16_t* code : codes) {
      if (GetSubfield(tag, code, marc) != split_subfield(tag, code, marc)) __builtin_trap();
      SubfieldValue(Text(u"$") + code, line);
    }
    SplitSubfields(line);
  }
  SplitLines(marc);
  MainEntry m = BuildMainEntry(marc);
  if (m.kind < 0 || m.kind > 3) __builtin_trap();
  FormatName(m.name);
}

void builders(CatalogueRecord& r) {
  BuildDescription(r, 0);
  BuildDescription(r, 1);
  BuildAreaTail(r);
  BuildHostPart(r);
  BuildCallNumber(r);
  HoldingsText(r);
  SubjectsText(r);
  ContentsText(r);
  BuildTitle(r.Titlar, r.Efnistegund);
  JoinNames(r.Ábyrgðaraðildir);
  for (const NameEntry& n : r.Ábyrgðaraðildir) {
    NameEntry inverted = n;
    inverted.iRöð = 1;
    FormatName(inverted);
  }
}

}  // namespace

// A component part looks its host record up; with no log-on on this thread
// that fails at once, and nothing may be written anywhere.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("KVISTUR_LOG", "/dev/null", 1);
  setenv("LINDRIT_SETTINGS", "/nonexistent/kvistur-fuzz.ini", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const int16_t kinds[] = {0, 1, 2, 100, 200, 7};
  int16_t kind = kinds[data[0] % 6];
  std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::size_t nul = rest.find('\0');
  Text whole = from_utf8(rest.substr(0, nul));
  Text marc = nul == std::string::npos ? Text() : from_utf8(rest.substr(nul + 1));

  subfields(marc);
  // Each call on its own: an Error is an answer, and one does not hide the next call.
  auto allowing_error = [](auto call) {
    try {
      call();
    } catch (const Error&) {
    }
  };
  allowing_error([&] {
    CatalogueRecord r = ParseRecordText(whole);
    r.MarkSnið = marc;
    r.Tag = kind;
    builders(r);
  });
  Variant v(whole), m(marc);
  allowing_error([&] { SkilaRSv(v, m); });
  allowing_error([&] { SkilaAN(v); });
  allowing_error([&] { SkilaEN(v); });
  allowing_error([&] { SkilaGF(v); });
  return 0;
}
