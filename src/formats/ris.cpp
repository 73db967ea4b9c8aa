#include "formats/ris.h"

#include <cctype>
#include <cstring>

#include "formats/records.h"
#include "import/punctuation.h"

namespace kvistur::formats {

namespace {

using import::MarcField;
using import::MarcRecord;

// The RIS type of the record, from its leader: the type of material
// (06) and the bibliographic level (07).
const char* ris_type(const MarcRecord& m) {
  char type = m.leader_at(6), level = m.leader_at(7);
  if (level == 'a' || level == 'b') return "JOUR";
  if (level == 's') return "JFULL";
  switch (type) {
    case 'c': case 'd': case 'j': return "MUSIC";
    case 'e': case 'f': return "MAP";
    case 'g': return "VIDEO";
    case 'i': return "SOUND";
    case 'k': return "ART";
    case 'm': return "ELEC";
    case 'a': case 't': return "BOOK";
    default: return "GEN";
  }
}

// A value on one line: line breaks and other control characters become
// blanks, since a line ends the value.
std::string one_line(const std::string& s) {
  std::string out;
  for (char c : s) out += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
  return out;
}

void line(std::string& out, const char* tag, const std::string& value) {
  std::string v = one_line(import::StripIsbd(value));
  if (!v.empty()) out += std::string(tag) + "  - " + v + "\r\n";
}

// The first four digits in a row: the year of "c2003." or "[1998?]".
std::string year_of(const std::string& date) {
  for (std::size_t i = 0; i + 4 <= date.size(); ++i) {
    bool digits = true;
    for (std::size_t k = i; k < i + 4; ++k) digits = digits && std::isdigit(static_cast<unsigned char>(date[k]));
    if (digits) return date.substr(i, 4);
  }
  return "";
}

std::string heading(const MarcField& f) {
  std::string h;
  for (auto& s : f.subfields) {
    if (!std::strchr("abcdqtxyzv", s.code)) continue;
    std::string v = import::StripIsbd(s.value);
    if (v.empty()) continue;
    if (!h.empty()) h += std::strchr("xyzv", s.code) ? " -- " : " ";
    h += v;
  }
  return h;
}

}  // namespace

std::string Ris(const MarcRecord& m, int32_t id) {
  std::string out = std::string("TY  - ") + ris_type(m) + "\r\n";
  line(out, "ID", std::to_string(id));
  if (const MarcField* f = m.first("245")) line(out, "TI", IsbdTitle(*f));
  for (auto& f : m.fields)
    if (f.is("100") || f.is("110") || f.is("111") || f.is("700") || f.is("710") || f.is("711")) line(out, "AU", f.sub('a'));
  const MarcField* pub = m.first("260");
  if (!pub) pub = m.first("264");
  if (pub) {
    line(out, "PY", year_of(pub->sub('c')));
    line(out, "PB", pub->sub('b'));
    line(out, "CY", pub->sub('a'));
  }
  line(out, "ET", m.sub("250", 'a'));
  for (auto& f : m.fields) {
    if (f.is("020") || f.is("022")) line(out, "SN", f.sub('a'));
    if (f.tag.size() == 3 && f.tag[0] == '6' && f.tag != "653") line(out, "KW", heading(f));
    if (f.is("490") || f.is("830")) line(out, "T3", f.sub('a'));
    if (f.is("500")) line(out, "N1", f.sub('a'));
    if (f.is("520")) line(out, "AB", f.sub('a'));
    if (f.is("856")) line(out, "UR", f.sub('u'));
  }
  if (const MarcField* f = m.first("008"); f && f->data.size() >= 38) line(out, "LA", f->data.substr(35, 3));
  return out + "ER  - \r\n";
}

}  // namespace kvistur::formats
