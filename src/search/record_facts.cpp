#include "search/record_facts.h"

#include <cstring>

namespace kvistur::facets {

namespace {

constexpr char kFieldEnd = '\x1e';
constexpr char kSubfield = '\x1f';
constexpr std::size_t kLeader = 24, kEntry = 12;

bool digit(char c) { return c >= '0' && c <= '9'; }

// N digits at S, or -1 when they are not all digits.
long digits(std::string_view s, std::size_t at, std::size_t n) {
  if (at + n > s.size()) return -1;
  long v = 0;
  for (std::size_t i = at; i < at + n; ++i) {
    if (!digit(s[i])) return -1;
    v = v * 10 + (s[i] - '0');
  }
  return v;
}

// The data of the first field tagged TAG, without its end; empty when
// there is none or the directory does not hold together.
std::string_view field(std::string_view rec, const char* tag) {
  long base = digits(rec, 12, 5);
  if (base < long(kLeader) || std::size_t(base) > rec.size()) return {};
  for (std::size_t at = kLeader; at + kEntry <= std::size_t(base) && rec[at] != kFieldEnd; at += kEntry) {
    if (std::memcmp(rec.data() + at, tag, 3) != 0) continue;
    long len = digits(rec, at + 3, 4), start = digits(rec, at + 7, 5);
    if (len < 0 || start < 0 || std::size_t(base + start + len) > rec.size()) return {};
    std::string_view f = rec.substr(std::size_t(base + start), std::size_t(len));
    if (!f.empty() && f.back() == kFieldEnd) f.remove_suffix(1);
    return f;
  }
  return {};
}

// The first year in the $c subfields of F.
int year_in_c(std::string_view f) {
  for (std::size_t at = f.find(kSubfield); at != std::string_view::npos; at = f.find(kSubfield, at + 1)) {
    if (at + 1 >= f.size() || f[at + 1] != 'c') continue;
    std::size_t end = f.find(kSubfield, at + 1);
    if (int y = FirstYear(f.substr(at + 2, end == std::string_view::npos ? std::string_view::npos : end - at - 2)))
      return y;
  }
  return 0;
}

Kind kind_of(char type, char level) {
  if (level == 's') return kPeriodical;
  if (level == 'a' || level == 'b') return kArticle;
  switch (type) {
    case 'a': case 't': return kBook;
    case 'i': return kSound;
    case 'c': case 'd': case 'j': return kMusic;
    case 'g': return kFilm;
    case 'e': case 'f': return kMap;
    case 'm': return kElectronic;
    default: return kOther;
  }
}

}  // namespace

int KindNamed(std::string_view name) {
  for (int k = 0; k < kKinds; ++k)
    if (name == kKindNames[k]) return k;
  return -1;
}

int FirstYear(std::string_view text) {
  for (std::size_t i = 0; i + 4 <= text.size(); ++i) {
    if ((i > 0 && digit(text[i - 1])) || (i + 4 < text.size() && digit(text[i + 4]))) continue;
    long y = digits(text, i, 4);
    if (y >= kFirstYear && y <= kLastYear) return int(y);
  }
  return 0;
}

Facts FactsFromSource(std::string_view rec) {
  Facts f;
  if (rec.size() < kLeader) return f;
  f.kind = kind_of(rec[6], rec[7]);
  std::string_view fixed = field(rec, "008");
  long y = digits(fixed, 7, 4);
  if (y >= kFirstYear && y <= kLastYear) f.year = int(y);
  if (!f.year) f.year = year_in_c(field(rec, "264"));
  if (!f.year) f.year = year_in_c(field(rec, "260"));
  return f;
}

Facts FactsFromEntry(int tag, const Text& publication_date) {
  Facts f;
  f.kind = tag == 100 ? kPeriodical : tag == 2 || tag == 200 ? kArticle : kBook;
  f.year = FirstYear(to_utf8(publication_date));
  return f;
}

}  // namespace kvistur::facets
