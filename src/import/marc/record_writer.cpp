#include "import/marc/record_writer.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "marc21/marc_writer.h"
#include "marc21/punctuation.h"
#include "automation/text_append.h"
#include "kvistur/text.h"
#include "record/record_text.h"

namespace kvistur::import {

using marc21::MarcField;
using marc21::MarcRecord;
using marc21::WriteIso2709;
using marc21::StripIsbd;
using marc21::StripIsbdView;
using marc21::StripDesignation;
using marc21::ShareAreaStops;
using marc21::Nfc;
using marc21::IsNfc;

namespace {

// The whole-record text written into a 16-bit text (WriteRecordText) or,
// with the same characters, straight into UTF-8 (what MapRecord stores).
struct TextSink {
  Text& out;
  void value(const Text& v) {
    // Character 5 ends a value; it cannot be part of one.
    if (v.find(kValueEnd) == Text::npos) {
      out += v;
    } else {
      for (char16_t c : v)
        if (c != kValueEnd) out.push_back(c);
    }
    out.push_back(kValueEnd);
  }
  void mark(char16_t c) { out.push_back(c); }
  void number(long long n) {
    char buf[24];
    auto end = std::to_chars(buf, buf + sizeof buf, n).ptr;
    for (const char* p = buf; p != end; ++p) out.push_back(char16_t(*p));
    out.push_back(kValueEnd);
  }
};

// Bytes written at the end of a string through a pointer: the string is
// grown ahead of them (doubling) and cut to what was written when the
// writer goes.
class ByteWriter {
 public:
  explicit ByteWriter(std::string& s) : s_(s), at_(s.size()) {}
  ~ByteWriter() { s_.resize(at_); }
  ByteWriter(const ByteWriter&) = delete;
  ByteWriter& operator=(const ByteWriter&) = delete;

  // Room for N bytes from the end of what was written; wrote() says where
  // the writing into it ended.
  char* room(std::size_t n) {
    if (s_.size() - at_ < n) grow(n);
    return s_.data() + at_;
  }
  void wrote(char* end) { at_ = std::size_t(end - s_.data()); }
  void put(char c) {
    *room(1) = c;
    ++at_;
  }
  void put(std::string_view v) {
    char* p = room(v.size());
    if (!v.empty()) std::memcpy(p, v.data(), v.size());
    at_ += v.size();
  }

 private:
  [[gnu::noinline]] void grow(std::size_t n) { s_.resize(std::max(at_ + n, 2 * s_.size())); }

  std::string& s_;
  std::size_t at_;
};

struct Utf8Sink {
  ByteWriter& out;
  void value(const Text& v) {
    char* start = out.room(3 * v.size() + 1);
    char* end = write_utf8(v, start);
    // Character 5 is the one byte 5 in UTF-8 (no other character's bytes
    // hold it): a value is written as it is, and again without the
    // character in the rare case it is there.
    if (end != start && std::memchr(start, char(kValueEnd), std::size_t(end - start))) {
      Text kept;
      for (char16_t c : v)
        if (c != kValueEnd) kept.push_back(c);
      end = write_utf8(kept, start);
    }
    *end++ = char(kValueEnd);
    out.wrote(end);
  }
  void mark(char16_t c) { out.put(char(c)); }  // the marks are ASCII
  void number(long long n) {
    char* p = out.room(24);
    p = std::to_chars(p, p + 23, n).ptr;
    *p++ = char(kValueEnd);
    out.wrote(p);
  }
};

template <typename Sink>
void put_titles(Sink& out, const List<TitleElement>& l) {
  for (auto& t : l) {
    out.number(t.iGerð);
    out.value(t.s1);
    out.value(t.s2);
  }
  out.mark(kListEnd);
}
template <typename Sink>
void put_names(Sink& out, const List<NameEntry>& l) {
  for (auto& n : l) {
    out.number(n.iGerð);
    out.value(n.p1);
    out.value(n.p2);
    out.value(n.p3);
    out.value(n.p4);
    out.value(n.p5);
  }
  out.mark(kListEnd);
}
template <typename Sink>
void put_pairs(Sink& out, const List<TermPair>& l) {
  for (auto& p : l) {
    out.value(p.s1);
    out.value(p.s2);
  }
  out.mark(kListEnd);
}

template <typename Sink>
void write_record_text(const CatalogueRecord& r, Sink& out) {
  out.value(r.Aukatexti1);
  out.value(r.Aukatexti2);
  out.value(r.Útgefandi);
  out.value(r.Útgáfutími);
  out.value(r.Útgáfustaður);
  out.value(r.Útgáfa.Texti);
  put_names(out, r.Útgáfa.Nöfn);
  for (const Text* t : {&r.Umfang, &r.Aukatexti3, &r.Fylgiefni, &r.Aukatexti4, &r.Efnistegund, &r.Stærð,
                        &r.AðrarUpplýsingar, &r.Marktákn1, &r.Marktákn2, &r.Marktákn3, &r.Marktákn4})
    out.value(*t);
  put_titles(out, r.Titlar);
  put_names(out, r.Ábyrgðaraðildir);
  put_pairs(out, r.Efnisorð);
  for (auto& h : r.Aðfanganúmer) {
    out.number(h.Númer);
    out.value(h.Athugasemd);
    out.value(h.Staðsetning);
  }
  out.mark(kListEnd);
  for (auto& c : r.Efnisyfirlit) {
    put_titles(out, c.Titlar);
    put_names(out, c.Nöfn);
    put_pairs(out, c.Efnisorð);
  }
  out.mark(kContentsEnd);
  put_titles(out, r.Aukafærslur.Titlar);
  put_names(out, r.Aukafærslur.Nöfn);
  put_titles(out, r.Ritröð.Titlar);
  put_names(out, r.Ritröð.Nöfn);
  out.value(r.Ritröð.Tölumerking);
  out.value(r.Aukatexti5);
  out.number(r.InnlErl);
  out.number(r.boolOpinLokuð);
  out.number(r.boolHeilÓheil);
}

Text u(std::string_view s) { return from_utf8(s); }

std::string_view trim8(std::string_view s) {
  std::size_t a = 0, b = s.size();
  while (a < b && s[a] == ' ') ++a;
  while (b > a && s[b - 1] == ' ') --b;
  return s.substr(a, b - a);
}

// Appends PART to OUT after SEP when OUT has something already; an empty
// PART adds nothing.
void join_to(std::string& out, std::string_view part, std::string_view sep) {
  if (part.empty()) return;
  if (!out.empty()) out += sep;
  out += part;
}

// S without the ISBD punctuation at its ends, in place.
void strip_isbd(std::string& s) {
  std::string_view kept = StripIsbdView(s);
  std::size_t from = std::size_t(kept.data() - s.data());
  s.erase(from + kept.size());
  s.erase(0, from);
}

bool is_one_of(char c, const char* set) { return c && std::strchr(set, c) != nullptr; }

// Subfield values of F whose codes are in CODES, each trimmed, the empty
// ones left out, joined by blanks, the end stripped (JoinStripped).
std::string joined_stripped(const MarcField& f, const char* codes) {
  std::string out;
  for (auto& s : f.subfields)
    if (is_one_of(s.code, codes)) join_to(out, trim8(s.value), " ");
  strip_isbd(out);
  return out;
}

TitleElement title(std::string_view s1, int kind = 0, std::string_view s2 = {}) {
  TitleElement t;
  t.s1 = u(s1);
  t.s2 = u(s2);
  t.iGerð = int16_t(kind);
  return t;
}

bool personal(const MarcField& f) { return f.tag[1] == '0'; }

// A corporate body with its subordinate units, or a meeting with its
// number, date and place, as one name: "United States. Congress. House".
std::string corporate_name(const MarcField& f) { return joined_stripped(f, f.tag[1] == '1' ? "abcdn" : "acdenq"); }

bool empty_name(const NameEntry& n) { return n.p1.empty() && n.p2.empty(); }

// A name as the record text keeps it: forenames in p1, surname (or the last
// word of a name in direct order) in p2, so that it reads in direct order;
// a body's whole name in p1.  Relator terms ($e, $4) and dates stay out.
NameEntry name_entry(const MarcField& f, int kind) {
  NameEntry n;
  n.iGerð = int16_t(kind);
  if (!personal(f)) {
    n.p1 = u(corporate_name(f));
    return n;
  }
  std::string_view a = StripIsbdView(f.sub_view('a'));
  // Numeration and titles ("II", "Queen of Great Britain", "Jr.") follow.
  n.p4 = u(StripIsbdView(f.sub_view('b')));
  n.p5 = u(StripIsbdView(f.sub_view('c')));
  auto comma = a.find(", ");
  if (f.ind1 == '1' && comma != std::string_view::npos) {
    n.p1 = u(StripIsbdView(a.substr(comma + 2)));
    n.p2 = u(StripIsbdView(a.substr(0, comma)));
  } else {
    auto sp = a.rfind(' ');
    if (sp != std::string_view::npos) {
      n.p1 = u(trim8(a.substr(0, sp)));
      n.p2 = u(a.substr(sp + 1));
    } else {
      n.p1 = u(a);
    }
  }
  return n;
}

std::string_view nonfiling(const MarcField* f, std::string_view s) {
  if (f && f->ind2 >= '1' && f->ind2 <= '9') {
    std::size_t k = std::size_t(f->ind2 - '0');
    if (k < s.size()) s = s.substr(k);
  }
  return s;
}

std::string digits_of_isbn(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (c >= '0' && c <= '9') out += c;
    else if ((c == 'X' || c == 'x') && !out.empty()) out += 'X';
    else if (c == ' ' && !out.empty()) break;
  }
  return out;
}

// A whole number that fits a record's 32-bit columns, or -1.
long long small_number(std::string_view s) {
  std::string_view t = trim8(s);
  if (t.empty() || t.size() > 10) return -1;
  long long v = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return -1;
    v = v * 10 + (c - '0');
  }
  return v <= INT32_MAX ? v : -1;
}

// Whether V holds a "$", a CR or an LF (eight bytes a step: a byte of V
// equal to one of them makes a zero byte in V xor that byte repeated).
bool has_marc_special(std::string_view v) {
  constexpr uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
  auto has_zero = [](uint64_t x) { return ((x - kOnes) & ~x & kHigh) != 0; };
  std::size_t i = 0;
  for (; i + 8 <= v.size(); i += 8) {
    uint64_t x;
    std::memcpy(&x, v.data() + i, 8);
    if (has_zero(x ^ (kOnes * '$')) || has_zero(x ^ (kOnes * '\r')) || has_zero(x ^ (kOnes * '\n'))) return true;
  }
  for (; i < v.size(); ++i)
    if (v[i] == '$' || v[i] == '\r' || v[i] == '\n') return true;
  return false;
}

// A value in a MARC text line: a "$" inside it would start a new subfield
// when read back, so it is written as the full-width sign "＄"; CR and LF
// would end the line and are written as blanks.
void append_marc_value(ByteWriter& out, std::string_view v) {
  if (!has_marc_special(v)) {
    out.put(v);
    return;
  }
  std::size_t from = 0;
  for (std::size_t i = 0; i < v.size(); ++i) {
    char c = v[i];
    if (c != '$' && c != '\r' && c != '\n') continue;
    out.put(v.substr(from, i - from));
    out.put(c == '$' ? std::string_view("\xEF\xBC\x84") : std::string_view(" "));
    from = i + 1;
  }
  out.put(v.substr(from));
}

void append_marc_head(ByteWriter& out, std::string_view tag, char ind1, char ind2) {
  char* p = out.room(tag.size() + 3);
  if (!tag.empty()) std::memcpy(p, tag.data(), tag.size());
  p += tag.size();
  *p++ = ind1;
  *p++ = ind2;
  *p++ = ' ';
  out.wrote(p);
}

void append_marc_subfield(ByteWriter& out, char code, std::string_view value) {
  char* p = out.room(2);
  p[0] = '$';
  p[1] = code;
  out.wrote(p + 2);
  append_marc_value(out, value);
}

void append_marc_line(ByteWriter& out, const MarcField& f) {
  if (f.is_control()) {
    out.put(f.tag);
    out.put("   ");
    out.put(f.data);
    return;
  }
  append_marc_head(out, f.tag, f.ind1, f.ind2);
  for (auto& s : f.subfields) append_marc_subfield(out, s.code, s.value);
}

// The MARC text lines of the main-entry fields, in the forms the main-entry
// rules read: forename order under indicator 4 ($a the whole name), surname
// order under indicator 1 ($a surname, $h forenames), a body's whole name in
// $a; values without their ISBD punctuation.  Other fields as they are.
void append_marc_line_for(ByteWriter& out, const MarcField& f, int tag) {
  if (tag != 100 && tag != 110 && tag != 111) return append_marc_line(out, f);
  if (tag != 100) {
    append_marc_head(out, f.tag, f.ind1, f.ind2);
    append_marc_subfield(out, 'a', corporate_name(f));
    const char* folded = tag == 110 ? "abcdn" : "acdenq";
    for (auto& s : f.subfields)
      if (!is_one_of(s.code, folded)) append_marc_subfield(out, s.code, StripIsbdView(s.value));
    return;
  }
  std::string_view a = StripIsbdView(f.sub_view('a'));
  auto comma = a.find(", ");
  bool inverted = f.ind1 == '1' && comma != std::string_view::npos;
  char ind1 = f.ind1;
  // A name in direct order, a family name and a surname alone read as they
  // stand.
  if (!inverted && (ind1 == '0' || ind1 == '1' || ind1 == '3')) ind1 = '4';
  append_marc_head(out, f.tag, ind1, f.ind2);
  if (inverted) {
    append_marc_subfield(out, 'a', StripIsbdView(a.substr(0, comma)));
    append_marc_subfield(out, 'h', StripIsbdView(a.substr(comma + 2)));
  } else {
    append_marc_subfield(out, 'a', a);
  }
  for (auto& s : f.subfields)
    if (s.code != 'a') append_marc_subfield(out, s.code, StripIsbdView(s.value));
}

// The record as the mapping reads it: every value in normal form C, and a
// field in vernacular script (880) standing in for the field it is linked
// to when the record has no romanised form of that field.  SOURCE itself
// when that changes nothing (most records), else a copy kept in STORE.
const MarcRecord& prepared(const MarcRecord& source, std::optional<MarcRecord>& store) {
  auto needs_change = [&](const MarcField& f) {
    if (f.is("880")) return true;
    if (!IsNfc(f.data)) return true;
    for (auto& s : f.subfields)
      if (!IsNfc(s.value)) return true;
    return false;
  };
  bool change = false;
  for (auto& f : source.fields) change = change || needs_change(f);
  if (!change) return source;
  MarcRecord& m = store.emplace(source);
  for (auto& f : m.fields) {
    f.data = Nfc(f.data);
    for (auto& s : f.subfields) s.value = Nfc(s.value);
  }
  for (auto& f : m.fields) {
    if (!f.is("880")) continue;
    std::string link = f.sub('6');
    if (link.size() < 3 || m.first(link.substr(0, 3))) continue;
    f.tag = link.substr(0, 3);
  }
  return m;
}

// The fields of a record with their tags as numbers (-1 for a tag that is
// not three digits): the mapping looks fields up by tag many times over.
// The numbers are kept in memory of the thread's own, so one at a time on a
// thread.
class Tagged {
 public:
  explicit Tagged(const MarcRecord& m) : m_(m) {
    thread_local std::vector<int> scratch;
    scratch.clear();
    for (auto& f : m.fields) {
      const std::string& t = f.tag;
      bool digits = t.size() == 3 && t[0] >= '0' && t[0] <= '9' && t[1] >= '0' && t[1] <= '9' && t[2] >= '0' && t[2] <= '9';
      scratch.push_back(digits ? (t[0] - '0') * 100 + (t[1] - '0') * 10 + (t[2] - '0') : -1);
    }
    tags_ = scratch.data();
  }
  std::size_t size() const { return m_.fields.size(); }
  int tag(std::size_t i) const { return tags_[i]; }
  const MarcField& operator[](std::size_t i) const { return m_.fields[i]; }
  const MarcField* first(int tag) const {
    for (std::size_t i = 0; i < size(); ++i)
      if (tags_[i] == tag) return &m_.fields[i];
    return nullptr;
  }

 private:
  const MarcRecord& m_;
  const int* tags_;
};

// 245: title proper ($a with its parts $n and $p), designation ($h), other
// title information ($b), or a parallel title ($b after "=") kept with the
// title proper as "Title = Titre".
void map_title(const MarcField& f, CatalogueRecord& r, std::string& proper) {
  std::string& raw = proper;
  std::string_view last, parallel;
  char previous = 0;
  std::vector<std::string_view> others;
  for (auto& s : f.subfields) {
    std::string_view v = trim8(s.value);
    if (s.code == 'a' || s.code == 'n' || s.code == 'p') {
      if (!raw.empty()) {
        // The stop or comma before a part, when the cataloguer left it out.
        if (!is_one_of(raw.back(), ".,:;=/")) raw += s.code == 'p' && previous == 'n' ? "," : ".";
        raw += ' ';
      }
      raw += v;
      previous = s.code;
    } else if (s.code == 'h') {
      r.Efnistegund = u(StripDesignation(v));
    } else if (s.code == 'b') {
      if (!last.empty() && last.back() == '=' && parallel.empty() && others.empty()) parallel = StripIsbdView(v);
      else others.push_back(StripIsbdView(v));
    } else {
      continue;
    }
    last = v;
  }
  strip_isbd(proper);
  if (parallel.empty()) {
    r.Titlar.append(title(proper, 0));
  } else {
    std::string s2 = "= ";
    s2 += parallel;
    r.Titlar.append(title(proper, 0, s2));
  }
  for (auto& b : others)
    if (!b.empty()) r.Titlar.append(title(b, 1));
}

// Place, publisher and date: the 264 of publication (second indicator 1),
// else 260, else another 264; the copyright date (264, indicator 4) when
// there is no other.  "New York : Wiley ; London : Chapman" keeps its
// marks inside the publisher.
void map_publication(const Tagged& m, CatalogueRecord& r) {
  const MarcField* pub = nullptr;
  const MarcField* copyright = nullptr;
  const MarcField* f260 = nullptr;
  const MarcField* other = nullptr;
  for (std::size_t i = 0; i < m.size(); ++i) {
    const MarcField& f = m[i];
    if (m.tag(i) == 264) {
      if (f.ind2 == '1' && !pub) pub = &f;
      if (f.ind2 == '4' && !copyright) copyright = &f;
      if (f.ind2 != '4' && !other) other = &f;
    } else if (!f260 && m.tag(i) == 260) {
      f260 = &f;
    }
  }
  if (!pub) pub = f260;
  if (!pub) pub = other;
  std::string places, publisher, dates;
  if (pub) {
    for (auto& s : pub->subfields) {
      std::string_view v = StripIsbdView(s.value);
      if (v.empty()) continue;
      if (s.code == 'a' && publisher.empty()) {
        join_to(places, v, " ; ");
      } else if (s.code == 'a') {
        publisher += " ; ";
        publisher += v;
      } else if (s.code == 'b') {
        join_to(publisher, v, " : ");
      } else if (s.code == 'c') {
        join_to(dates, v, ", ");
      }
    }
  }
  if (dates.empty() && copyright)
    for (auto& s : copyright->subfields)
      if (s.code == 'c') join_to(dates, StripIsbdView(s.value), ", ");
  r.Útgáfustaður = u(places);
  r.Útgefandi = u(publisher);
  r.Útgáfutími = u(dates);
}

// 505: enhanced contents (an entry per $t, its $r as names, a $g before a
// title numbering it, after it adding to it) or basic ($a, entries between
// "--").
void map_contents(const MarcField& f, CatalogueRecord& r) {
  if (!f.has('t')) {
    for (auto& s : f.subfields) {
      if (s.code != 'a') continue;
      std::string_view a = s.value;
      std::size_t start = 0;
      while (start <= a.size()) {
        auto sep = a.find("--", start);
        // Only the last entry ends the field: a stop before "--" is data.
        std::string_view raw = a.substr(start, sep == std::string_view::npos ? std::string_view::npos : sep - start);
        std::string_view piece = sep == std::string_view::npos ? StripIsbdView(raw) : trim8(raw);
        if (!piece.empty()) {
          ContentsEntry e;
          e.Titlar.append(title(piece, 0));
          r.Efnisyfirlit.append(std::move(e));
        }
        if (sep == std::string_view::npos) break;
        start = sep + 2;
      }
    }
    return;
  }
  std::vector<ContentsEntry> entries;
  std::string number;
  bool open = false;  // the last entry takes further $g and $r
  for (auto& s : f.subfields) {
    std::string_view v = trim8(s.value);
    if (s.code == 't') {
      entries.emplace_back();
      std::string_view t = StripIsbdView(v);
      if (number.empty()) {
        entries.back().Titlar.append(title(t, 0));
      } else {
        number += ' ';
        number += t;
        entries.back().Titlar.append(title(number, 0));
      }
      number.clear();
      open = true;
    } else if (s.code == 'r' && open) {
      NameEntry n;
      n.p1 = u(StripIsbdView(v));
      if (!n.p1.empty()) entries.back().Nöfn.append(std::move(n));
    } else if (s.code == 'g' && open) {
      TitleElement& t = entries.back().Titlar[0];
      std::string s2 = to_utf8(t.s2);
      s2 += ' ';
      s2 += StripIsbdView(v);
      t.s2 = u(trim8(s2));
    } else if (s.code == 'g') {
      number = StripIsbdView(v);
    }
    if (v.size() >= 2 && v.compare(v.size() - 2, 2, "--") == 0) open = false;
  }
  for (auto& e : entries) r.Efnisyfirlit.append(std::move(e));
}

// Subject headings: the heading (its subfields as the cataloguer punctuated
// them) and the subdivisions $v $x $y $z, each after "-- ".
void map_subject(const MarcField& f, int tag, CatalogueRecord& r) {
  std::string head, subdivisions;
  for (auto& s : f.subfields) {
    if (is_one_of(s.code, "vxyz")) join_to(subdivisions, StripIsbdView(s.value), " -- ");
    else if (is_one_of(s.code, "abcdfghklmnopqrstu") || (s.code == 'e' && tag == 611)) join_to(head, trim8(s.value), " ");
  }
  strip_isbd(head);
  TermPair p;
  p.s1 = u(head);
  if (!subdivisions.empty()) p.s2 = u("-- " + subdivisions);
  if (!p.s1.empty()) r.Efnisorð.append(std::move(p));
}

bool is_subject(int tag) {
  return tag == 600 || tag == 610 || tag == 611 || tag == 630 || tag == 650 || tag == 651 || tag == 655;
}

void add_copy(ImportedRecord& out, CopyRow c) {
  HoldingItem h;
  h.Númer = c.number;
  h.Athugasemd = u(c.note);
  h.Staðsetning = u(c.location);
  out.record.Aðfanganúmer.append(std::move(h));
  out.copies.push_back(std::move(c));
}

// Copies: 852 as this catalogue writes it ($p accession number, $b location,
// $z note, $9 borrower, $a collection), 952 as library systems export items
// ($p barcode, else $9 the system's item number; $b holding branch, else $a
// home branch; $y item type and $z note; $q date due: on loan).
void map_copies(const Tagged& m, ImportedRecord& out) {
  std::size_t fields = 0;
  for (std::size_t i = 0; i < m.size(); ++i) fields += m.tag(i) == 852 || m.tag(i) == 952;
  if (!fields) return;
  out.copies.reserve(fields);
  out.record.Aðfanganúmer.reserve(fields);
  bool first_copy = true;
  for (std::size_t i = 0; i < m.size(); ++i) {
    if (m.tag(i) != 852) continue;
    const MarcField& f = m[i];
    std::string_view col = trim8(f.sub_view('a'));
    int collection = (col.size() == 1 && col[0] >= '1' && col[0] <= '9') ? col[0] - '0' : 1;
    if (first_copy) out.collection = collection, first_copy = false;
    long long number = small_number(f.sub_view('p'));
    if (number < 0) continue;
    long long borrower = small_number(f.sub_view('9'));
    add_copy(out, {int32_t(number), std::string(StripIsbdView(f.sub_view('z'))), std::string(StripIsbdView(f.sub_view('b'))),
                   int32_t(std::max(0LL, borrower)), collection});
  }
  for (std::size_t i = 0; i < m.size(); ++i) {
    if (m.tag(i) != 952) continue;
    const MarcField& f = m[i];
    long long number = small_number(f.sub_view('p'));
    if (number < 0) number = small_number(f.sub_view('9'));
    if (number < 0) continue;
    std::string_view branch = StripIsbdView(f.sub_view('b'));
    if (branch.empty()) branch = StripIsbdView(f.sub_view('a'));
    std::string note;
    join_to(note, StripIsbdView(f.sub_view('y')), ", ");
    join_to(note, StripIsbdView(f.sub_view('z')), ", ");
    add_copy(out, {int32_t(number), std::move(note), std::string(branch), trim8(f.sub_view('q')).empty() ? 0 : 1, 1});
  }
}

// The shelf mark: 090 $a-$d, else an item's call number (952 $o), else the
// Dewey number (082 $a), else the Library of Congress one (050 $a $b).
void map_call_number(const Tagged& m, CatalogueRecord& r) {
  if (const MarcField* f = m.first(90)) {
    r.Marktákn1 = u(trim8(f->sub_view('a')));
    r.Marktákn2 = u(trim8(f->sub_view('b')));
    r.Marktákn3 = u(trim8(f->sub_view('c')));
    r.Marktákn4 = u(trim8(f->sub_view('d')));
    return;
  }
  for (std::size_t i = 0; i < m.size(); ++i)
    if (m.tag(i) == 952 && !trim8(m[i].sub_view('o')).empty()) {
      r.Marktákn1 = u(trim8(m[i].sub_view('o')));
      return;
    }
  if (const MarcField* f = m.first(82)) {
    r.Marktákn1 = u(trim8(f->sub_view('a')));
  } else if (const MarcField* f = m.first(50)) {
    r.Marktákn1 = u(trim8(f->sub_view('a')));
    r.Marktákn2 = u(trim8(f->sub_view('b')));
  }
}

// The pages of an article from its 773: $q, else what follows "p." or "s."
// at the end of $g ("Vol. 12, no. 3 (2001), p. 45-67"), which then leaves $g.
void article_pages(std::string& g, std::string& pages) {
  for (const char* mark : {", p. ", ", s. ", ", pp. "}) {
    auto at = g.rfind(mark);
    if (at == std::string::npos) continue;
    std::string rest = StripIsbd(g.substr(at + std::strlen(mark)));
    if (rest.empty() || rest.find_first_not_of("0123456789-, ") != std::string::npos) continue;
    pages = rest;
    g = StripIsbd(g.substr(0, at));
    return;
  }
}

}  // namespace

std::vector<WordOccurrence> IndexedWords(const MarcRecord& source) {
  std::optional<MarcRecord> store;
  return RecordWords(prepared(source, store));
}

std::string MarcLine(const MarcField& f) {
  std::string line;
  {
    ByteWriter out(line);
    append_marc_line(out, f);
  }
  return line;
}

Text WriteRecordText(const CatalogueRecord& r) {
  Text out;
  TextSink sink{out};
  write_record_text(r, sink);
  return out;
}

ImportedRecord MapRecord(const MarcRecord& source, bool host_is_serial) {
  std::optional<MarcRecord> store;
  const MarcRecord& rec = prepared(source, store);
  const Tagged m(rec);
  const MarcField* f245 = m.first(245);
  if (!f245 || StripIsbdView(f245->sub_view('a')).empty()) throw std::runtime_error("no title (245 $a)");
  ImportedRecord out;
  CatalogueRecord& r = out.record;  // as EmptyRecord() makes it, without a second record to move from
  r.Skráning = now_local();
  if (const MarcField* f = m.first(1)) out.control_number = trim8(f->data);
  if (const MarcField* f = m.first(3)) out.agency = trim8(f->data);
  out.source = WriteIso2709(source);
  if (const MarcField* f = m.first(5)) out.record_date = trim8(f->data);

  // Kind.
  char level = rec.leader_at(7);
  const MarcField* f773 = m.first(773);
  if (level == 's') out.kind = kKindPeriodical;
  else if (level == 'b') out.kind = kKindArticle;
  else if ((level == 'a' || level == 'd' || level == 'm') && f773 && f773->has('w')) out.kind = host_is_serial ? kKindArticle : kKindComponent;
  else out.kind = kKindItem;
  if (f773) out.host_control = trim8(f773->sub_view('w'));

  std::string proper;
  map_title(*f245, r, proper);

  // Names: the main entry first, then the added names (a name-title entry,
  // with $t, names a related work, not a responsibility).
  for (std::size_t i = 0; i < m.size(); ++i)
    if (m.tag(i) == 100 || m.tag(i) == 110 || m.tag(i) == 111) {
      NameEntry n = name_entry(m[i], m.tag(i) == 100 ? 0 : 2);
      if (!empty_name(n)) r.Ábyrgðaraðildir.append(std::move(n));
    }
  for (std::size_t i = 0; i < m.size(); ++i) {
    const MarcField& f = m[i];
    int tag = m.tag(i);
    if (tag == 700 || tag == 710 || tag == 711) {
      NameEntry n = name_entry(f, tag == 700 ? 1 : 2);
      if (empty_name(n)) continue;
      if (!f.has('t')) r.Ábyrgðaraðildir.append(n);
      r.Aukafærslur.Nöfn.append(std::move(n));
    }
    if (tag == 246 || tag == 740) r.Aukafærslur.Titlar.append(title(joined_stripped(f, "anp"), 2));
  }
  // A record without name headings shows its statement of responsibility
  // as transcribed (245 $c), each part between " ; " as one name.
  if (r.Ábyrgðaraðildir.empty()) {
    std::string_view c = StripIsbdView(f245->sub_view('c'));
    for (std::size_t from = 0; from <= c.size();) {
      std::size_t at = c.find(" ; ", from);
      NameEntry n;
      n.p1 = u(StripIsbdView(c.substr(from, at == std::string_view::npos ? std::string_view::npos : at - from)));
      if (!n.p1.empty()) r.Ábyrgðaraðildir.append(std::move(n));
      if (at == std::string_view::npos) break;
      from = at + 3;
    }
  }

  if (const MarcField* f = m.first(250)) {
    r.Útgáfa.Texti = u(StripIsbdView(f->sub_view('a')));
    NameEntry n;
    n.p1 = u(StripIsbdView(f->sub_view('b')));
    if (!n.p1.empty()) r.Útgáfa.Nöfn.append(std::move(n));
  }

  map_publication(m, r);

  if (const MarcField* f = m.first(300)) {
    r.Umfang = u(StripIsbdView(f->sub_view('a')));
    r.AðrarUpplýsingar = u(StripIsbdView(f->sub_view('b')));
    r.Stærð = u(StripIsbdView(f->sub_view('c')));
    r.Fylgiefni = u(StripIsbdView(f->sub_view('e')));
  }

  map_call_number(m, r);

  // Series: as transcribed (490), else the older traced form (440), else
  // the authorised form (830).
  const MarcField* series = m.first(490);
  if (!series) series = m.first(440);
  if (!series) series = m.first(830);
  if (series) {
    r.Ritröð.Titlar.append(title(joined_stripped(*series, "anp"), 0));
    r.Ritröð.Tölumerking = u(StripIsbdView(series->sub_view('v')));
  }

  for (std::size_t i = 0; i < m.size(); ++i) {
    if (is_subject(m.tag(i))) map_subject(m[i], m.tag(i), r);
    else if (m.tag(i) == 505) map_contents(m[i], r);
  }
  map_copies(m, out);

  // Volumes and issues of a periodical: one 863 per volume.
  int vol_no = 0;
  for (std::size_t i = 0; i < m.size(); ++i) {
    if (m.tag(i) != 863) continue;
    const MarcField& f = m[i];
    VolumeRow v;
    ++vol_no;
    long long n = small_number(f.sub_view('8'));
    v.number = n >= 0 && n < 100000000 ? int(n) : vol_no;
    v.designation = trim8(f.sub_view('a'));
    v.year = trim8(f.sub_view('i'));
    int issue_no = 0;
    for (auto& s : f.subfields)
      if (s.code == 'b') v.issues.push_back({++issue_no, std::string(trim8(s.value))});
    out.volumes.push_back(std::move(v));
  }

  // The MARC text, with the citation lines of periodicals (792 from 362)
  // and articles (793 from 773, 792 from 773 $h), lines joined by CR LF.
  out.marc_text.reserve(rec.fields.size() * 64);
  {
    ByteWriter text(out.marc_text);
    bool first_line = true;
    auto new_line = [&]() -> ByteWriter& {
      if (!first_line) text.put("\r\n");
      first_line = false;
      return text;
    };
    for (std::size_t i = 0; i < m.size(); ++i) append_marc_line_for(new_line(), m[i], m.tag(i));
    if (out.kind == kKindPeriodical) {
      const MarcField* f362 = m.first(362);
      std::string_view dates = f362 ? StripIsbdView(f362->sub_view('a')) : std::string_view();
      if (!dates.empty()) {
        new_line().put("792   $a");
        text.put(dates);
      }
    }
    if (out.kind == kKindArticle && f773) {
      std::string g = StripIsbd(f773->sub_view('g')), pages = StripIsbd(f773->sub_view('q'));
      if (pages.empty()) article_pages(g, pages);
      new_line().put("793   ");
      append_marc_subfield(text, 'a', StripIsbdView(f773->sub_view('t')));
      if (f773->has('b')) append_marc_subfield(text, 'b', StripIsbdView(f773->sub_view('b')));
      if (!g.empty()) append_marc_subfield(text, 'g', g);
      if (!pages.empty()) append_marc_subfield(text, 'c', pages);
      std::string_view issue = StripIsbdView(f773->sub_view('h'));
      if (!issue.empty()) {
        new_line().put("792   $a");
        text.put(issue);
      }
    }
  }

  // ISBN, the identifying string and the sort key.
  const MarcField* f020 = m.first(20);
  out.isbn = trim8(f020 ? f020->sub_view('a') : std::string_view());
  std::string isbn = digits_of_isbn(out.isbn);
  std::string year = to_utf8(r.Útgáfutími);
  const MarcField* f022 = m.first(22);
  std::string issn = digits_of_isbn(f022 ? f022->sub_view('a') : std::string_view());
  std::string_view filed = nonfiling(f245, proper);
  if (!isbn.empty()) {
    out.identity = "ISBN" + isbn;
  } else if (!issn.empty()) {
    out.identity = "ISSN" + issn;
  } else {
    Text id = u(filed);
    id += u'|';
    id += r.Útgáfa.Texti;
    id += u'|';
    id += r.Útgáfutími;
    id += u'|';
    id += r.Útgefandi;
    id = lower_is(id);
    for (char16_t& c : id)
      if (c == u'\'' || c == u'"') c = u' ';
    out.identity = to_utf8(id);
  }
  std::string key;
  if (const MarcField* f = m.first(100)) key = StripIsbdView(f->sub_view('a'));
  else if (const MarcField* f = m.first(110)) key = corporate_name(*f);
  else if (const MarcField* f = m.first(111)) key = corporate_name(*f);
  join_to(key, filed, " ");
  join_to(key, year, " ");
  out.sort_key = to_utf8(lower_is(u(key)));
  out.words = RecordWords(rec);
  ShareAreaStops(r, out.kind);
  {
    out.whole_text.reserve(out.marc_text.size());
    ByteWriter bytes(out.whole_text);
    Utf8Sink whole{bytes};
    write_record_text(r, whole);
  }
  return out;
}

}  // namespace kvistur::import
