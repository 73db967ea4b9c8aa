#include "import/marc/record_writer.h"

#include <climits>
#include <optional>
#include <cstring>
#include <stdexcept>

#include "marc21/marc_writer.h"
#include "marc21/punctuation.h"
#include "kvistur/text.h"
#include "record/record_text.h"

namespace kvistur::import {

using marc21::MarcField;
using marc21::MarcRecord;
using marc21::WriteIso2709;
using marc21::StripIsbd;
using marc21::JoinStripped;
using marc21::StripDesignation;
using marc21::ShareAreaStops;
using marc21::Nfc;
using marc21::IsNfc;

namespace {

void put(Text& out, const Text& value) {
  // Character 5 ends a value; it cannot be part of one.
  if (value.find(kValueEnd) == Text::npos) {
    out += value;
  } else {
    for (char16_t c : value)
      if (c != kValueEnd) out.push_back(c);
  }
  out.push_back(kValueEnd);
}
void put_number(Text& out, long long n) { put(out, from_utf8(std::to_string(n))); }

void put_titles(Text& out, const List<TitleElement>& l) {
  for (auto& t : l) {
    put_number(out, t.iGerð);
    put(out, t.s1);
    put(out, t.s2);
  }
  out.push_back(kListEnd);
}
void put_names(Text& out, const List<NameEntry>& l) {
  for (auto& n : l) {
    put_number(out, n.iGerð);
    put(out, n.p1);
    put(out, n.p2);
    put(out, n.p3);
    put(out, n.p4);
    put(out, n.p5);
  }
  out.push_back(kListEnd);
}
void put_pairs(Text& out, const List<TermPair>& l) {
  for (auto& p : l) {
    put(out, p.s1);
    put(out, p.s2);
  }
  out.push_back(kListEnd);
}

Text u(const std::string& s) { return from_utf8(s); }

std::string trim8(const std::string& s) {
  std::size_t a = 0, b = s.size();
  while (a < b && s[a] == ' ') ++a;
  while (b > a && s[b - 1] == ' ') --b;
  return s.substr(a, b - a);
}

std::string join(const std::vector<std::string>& parts, const std::string& sep) {
  std::string out;
  for (auto& p : parts) {
    if (p.empty()) continue;
    if (!out.empty()) out += sep;
    out += p;
  }
  return out;
}

bool is_one_of(char c, const char* set) { return c && std::strchr(set, c) != nullptr; }

// Subfield values of F whose codes are in CODES, in the field's order.
std::vector<std::string> values(const MarcField& f, const char* codes) {
  std::vector<std::string> out;
  for (auto& s : f.subfields)
    if (is_one_of(s.code, codes)) out.push_back(s.value);
  return out;
}

TitleElement title(const std::string& s1, int kind = 0, const std::string& s2 = {}) {
  TitleElement t;
  t.s1 = u(s1);
  t.s2 = u(s2);
  t.iGerð = int16_t(kind);
  return t;
}

bool personal(const MarcField& f) { return f.tag[1] == '0'; }

// A corporate body with its subordinate units, or a meeting with its
// number, date and place, as one name: "United States. Congress. House".
std::string corporate_name(const MarcField& f) {
  return JoinStripped(values(f, f.tag[1] == '1' ? "abcdn" : "acdenq"));
}

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
  std::string a = StripIsbd(f.sub('a'));
  // Numeration and titles ("II", "Queen of Great Britain", "Jr.") follow.
  n.p4 = u(StripIsbd(f.sub('b')));
  n.p5 = u(StripIsbd(f.sub('c')));
  auto comma = a.find(", ");
  if (f.ind1 == '1' && comma != std::string::npos) {
    n.p1 = u(StripIsbd(a.substr(comma + 2)));
    n.p2 = u(StripIsbd(a.substr(0, comma)));
  } else {
    auto sp = a.rfind(' ');
    if (sp != std::string::npos) {
      n.p1 = u(trim8(a.substr(0, sp)));
      n.p2 = u(a.substr(sp + 1));
    } else {
      n.p1 = u(a);
    }
  }
  return n;
}

std::string nonfiling(const MarcField* f, std::string s) {
  if (f && f->ind2 >= '1' && f->ind2 <= '9') {
    std::size_t k = std::size_t(f->ind2 - '0');
    if (k < s.size()) s = s.substr(k);
  }
  return s;
}

std::string digits_of_isbn(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c >= '0' && c <= '9') out += c;
    else if ((c == 'X' || c == 'x') && !out.empty()) out += 'X';
    else if (c == ' ' && !out.empty()) break;
  }
  return out;
}

// A whole number that fits a record's 32-bit columns, or -1.
long long small_number(const std::string& s) {
  std::string t = trim8(s);
  if (t.empty() || t.size() > 10 || t.find_first_not_of("0123456789") != std::string::npos) return -1;
  long long v = std::stoll(t);
  return v <= INT32_MAX ? v : -1;
}

// The MARC text lines of the main-entry fields, in the forms the main-entry
// rules read: forename order under indicator 4 ($a the whole name), surname
// order under indicator 1 ($a surname, $h forenames), a body's whole name in
// $a; values without their ISBD punctuation.  Other fields as they are.
std::string marc_line_for(const MarcField& f) {
  if (!f.is("100") && !f.is("110") && !f.is("111")) return MarcLine(f);
  MarcField g = f;
  g.subfields.clear();
  if (!f.is("100")) {
    g.subfields.push_back({'a', corporate_name(f)});
    const char* folded = f.is("110") ? "abcdn" : "acdenq";
    for (auto& s : f.subfields)
      if (!is_one_of(s.code, folded)) g.subfields.push_back({s.code, StripIsbd(s.value)});
    return MarcLine(g);
  }
  std::string a = StripIsbd(f.sub('a'));
  auto comma = a.find(", ");
  if (f.ind1 == '1' && comma != std::string::npos) {
    g.subfields.push_back({'a', StripIsbd(a.substr(0, comma))});
    g.subfields.push_back({'h', StripIsbd(a.substr(comma + 2))});
  } else {
    // A name in direct order, a family name and a surname alone read as
    // they stand.
    g.subfields.push_back({'a', a});
    if (f.ind1 == '0' || f.ind1 == '1' || f.ind1 == '3') g.ind1 = '4';
  }
  for (auto& s : f.subfields)
    if (s.code != 'a') g.subfields.push_back({s.code, StripIsbd(s.value)});
  return MarcLine(g);
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

// 245: title proper ($a with its parts $n and $p), designation ($h), other
// title information ($b), or a parallel title ($b after "=") kept with the
// title proper as "Title = Titre".
void map_title(const MarcField& f, CatalogueRecord& r, std::string& proper) {
  std::string raw, last, parallel;
  char previous = 0;
  std::vector<std::string> others;
  for (auto& s : f.subfields) {
    std::string v = trim8(s.value);
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
      if (!last.empty() && last.back() == '=' && parallel.empty() && others.empty()) parallel = StripIsbd(v);
      else others.push_back(StripIsbd(v));
    } else {
      continue;
    }
    last = v;
  }
  proper = StripIsbd(raw);
  r.Titlar.append(title(proper, 0, parallel.empty() ? "" : "= " + parallel));
  for (auto& b : others)
    if (!b.empty()) r.Titlar.append(title(b, 1));
}

// Place, publisher and date: the 264 of publication (second indicator 1),
// else 260, else another 264; the copyright date (264, indicator 4) when
// there is no other.  "New York : Wiley ; London : Chapman" keeps its
// marks inside the publisher.
void map_publication(const MarcRecord& m, CatalogueRecord& r) {
  const MarcField* pub = nullptr;
  const MarcField* copyright = nullptr;
  for (auto* f : m.all("264")) {
    if (f->ind2 == '1' && !pub) pub = f;
    if (f->ind2 == '4' && !copyright) copyright = f;
  }
  if (!pub) pub = m.first("260");
  if (!pub)
    for (auto* f : m.all("264"))
      if (f->ind2 != '4') {
        pub = f;
        break;
      }
  std::vector<std::string> places, dates;
  std::string publisher;
  if (pub) {
    for (auto& s : pub->subfields) {
      std::string v = StripIsbd(s.value);
      if (v.empty()) continue;
      if (s.code == 'a' && publisher.empty()) places.push_back(v);
      else if (s.code == 'a') publisher += " ; " + v;
      else if (s.code == 'b') publisher += (publisher.empty() ? "" : " : ") + v;
      else if (s.code == 'c') dates.push_back(v);
    }
  }
  if (dates.empty() && copyright)
    for (auto& c : copyright->subs('c')) dates.push_back(StripIsbd(c));
  r.Útgáfustaður = u(join(places, " ; "));
  r.Útgefandi = u(publisher);
  r.Útgáfutími = u(join(dates, ", "));
}

// 505: enhanced contents (an entry per $t, its $r as names, a $g before a
// title numbering it, after it adding to it) or basic ($a, entries between
// "--").
void map_contents(const MarcField& f, CatalogueRecord& r) {
  if (!f.has('t')) {
    for (auto& a : f.subs('a')) {
      std::size_t start = 0;
      while (start <= a.size()) {
        auto sep = a.find("--", start);
        // Only the last entry ends the field: a stop before "--" is data.
        std::string raw = a.substr(start, sep == std::string::npos ? std::string::npos : sep - start);
        std::string piece = sep == std::string::npos ? StripIsbd(raw) : trim8(raw);
        if (!piece.empty()) {
          ContentsEntry e;
          e.Titlar.append(title(piece, 0));
          r.Efnisyfirlit.append(e);
        }
        if (sep == std::string::npos) break;
        start = sep + 2;
      }
    }
    return;
  }
  std::vector<ContentsEntry> entries;
  std::string number;
  bool open = false;  // the last entry takes further $g and $r
  for (auto& s : f.subfields) {
    std::string v = trim8(s.value);
    if (s.code == 't') {
      entries.emplace_back();
      std::string t = StripIsbd(v);
      entries.back().Titlar.append(title(number.empty() ? t : number + " " + t, 0));
      number.clear();
      open = true;
    } else if (s.code == 'r' && open) {
      NameEntry n;
      n.p1 = u(StripIsbd(v));
      if (!n.p1.empty()) entries.back().Nöfn.append(n);
    } else if (s.code == 'g' && open) {
      TitleElement& t = entries.back().Titlar[0];
      t.s2 = u(trim8(to_utf8(t.s2) + " " + StripIsbd(v)));
    } else if (s.code == 'g') {
      number = StripIsbd(v);
    }
    if (v.size() >= 2 && v.compare(v.size() - 2, 2, "--") == 0) open = false;
  }
  for (auto& e : entries) r.Efnisyfirlit.append(e);
}

// Subject headings: the heading (its subfields as the cataloguer punctuated
// them) and the subdivisions $v $x $y $z, each after "-- ".
void map_subject(const MarcField& f, CatalogueRecord& r) {
  std::vector<std::string> head, subdivisions;
  for (auto& s : f.subfields) {
    if (is_one_of(s.code, "vxyz")) subdivisions.push_back(StripIsbd(s.value));
    else if (is_one_of(s.code, "abcdfghklmnopqrstu") || (s.code == 'e' && f.is("611"))) head.push_back(s.value);
  }
  TermPair p;
  p.s1 = u(JoinStripped(head));
  std::string sub = join(subdivisions, " -- ");
  if (!sub.empty()) p.s2 = u("-- " + sub);
  if (!p.s1.empty()) r.Efnisorð.append(p);
}

bool is_subject(const MarcField& f) {
  if (f.tag.size() != 3 || f.tag[0] != '6') return false;
  return f.is("600") || f.is("610") || f.is("611") || f.is("630") || f.is("650") || f.is("651") || f.is("655");
}

void add_copy(ImportedRecord& out, CopyRow c) {
  HoldingItem h;
  h.Númer = c.number;
  h.Athugasemd = u(c.note);
  h.Staðsetning = u(c.location);
  out.record.Aðfanganúmer.append(h);
  out.copies.push_back(std::move(c));
}

// Copies: 852 as this catalogue writes it ($p accession number, $b location,
// $z note, $9 borrower, $a collection), 952 as library systems export items
// ($p barcode, else $9 the system's item number; $b holding branch, else $a
// home branch; $y item type and $z note; $q date due: on loan).
void map_copies(const MarcRecord& m, ImportedRecord& out) {
  bool first_copy = true;
  for (auto* f : m.all("852")) {
    std::string col = trim8(f->sub('a'));
    int collection = (col.size() == 1 && col[0] >= '1' && col[0] <= '9') ? col[0] - '0' : 1;
    if (first_copy) out.collection = collection, first_copy = false;
    long long number = small_number(f->sub('p'));
    if (number < 0) continue;
    long long borrower = small_number(f->sub('9'));
    add_copy(out, {int32_t(number), StripIsbd(f->sub('z')), StripIsbd(f->sub('b')), int32_t(std::max(0LL, borrower)),
                   collection});
  }
  for (auto* f : m.all("952")) {
    long long number = small_number(f->sub('p'));
    if (number < 0) number = small_number(f->sub('9'));
    if (number < 0) continue;
    std::string branch = StripIsbd(f->sub('b'));
    if (branch.empty()) branch = StripIsbd(f->sub('a'));
    std::string note = join({StripIsbd(f->sub('y')), StripIsbd(f->sub('z'))}, ", ");
    add_copy(out, {int32_t(number), note, branch, trim8(f->sub('q')).empty() ? 0 : 1, 1});
  }
}

// The shelf mark: 090 $a-$d, else an item's call number (952 $o), else the
// Dewey number (082 $a), else the Library of Congress one (050 $a $b).
void map_call_number(const MarcRecord& m, CatalogueRecord& r) {
  if (const MarcField* f = m.first("090")) {
    r.Marktákn1 = u(trim8(f->sub('a')));
    r.Marktákn2 = u(trim8(f->sub('b')));
    r.Marktákn3 = u(trim8(f->sub('c')));
    r.Marktákn4 = u(trim8(f->sub('d')));
    return;
  }
  for (auto* f : m.all("952"))
    if (!trim8(f->sub('o')).empty()) {
      r.Marktákn1 = u(trim8(f->sub('o')));
      return;
    }
  if (const MarcField* f = m.first("082")) {
    r.Marktákn1 = u(trim8(f->sub('a')));
  } else if (const MarcField* f = m.first("050")) {
    r.Marktákn1 = u(trim8(f->sub('a')));
    r.Marktákn2 = u(trim8(f->sub('b')));
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
  std::string line = f.tag;
  if (f.is_control()) {
    line += "   ";
    line += f.data;
    return line;
  }
  line += f.ind1;
  line += f.ind2;
  line += ' ';
  for (auto& s : f.subfields) {
    line += '$';
    line += s.code;
    std::size_t from = 0, at;
    while ((at = s.value.find_first_of("$\r\n", from)) != std::string::npos) {
      line.append(s.value, from, at - from);
      line += s.value[at] == '$' ? "\xEF\xBC\x84" : " ";
      from = at + 1;
    }
    line.append(s.value, from, std::string::npos);
  }
  return line;
}

Text WriteRecordText(const CatalogueRecord& r) {
  Text out;
  put(out, r.Aukatexti1);
  put(out, r.Aukatexti2);
  put(out, r.Útgefandi);
  put(out, r.Útgáfutími);
  put(out, r.Útgáfustaður);
  put(out, r.Útgáfa.Texti);
  put_names(out, r.Útgáfa.Nöfn);
  for (const Text* t : {&r.Umfang, &r.Aukatexti3, &r.Fylgiefni, &r.Aukatexti4, &r.Efnistegund, &r.Stærð,
                        &r.AðrarUpplýsingar, &r.Marktákn1, &r.Marktákn2, &r.Marktákn3, &r.Marktákn4})
    put(out, *t);
  put_titles(out, r.Titlar);
  put_names(out, r.Ábyrgðaraðildir);
  put_pairs(out, r.Efnisorð);
  for (auto& h : r.Aðfanganúmer) {
    put_number(out, h.Númer);
    put(out, h.Athugasemd);
    put(out, h.Staðsetning);
  }
  out.push_back(kListEnd);
  for (auto& c : r.Efnisyfirlit) {
    put_titles(out, c.Titlar);
    put_names(out, c.Nöfn);
    put_pairs(out, c.Efnisorð);
  }
  out.push_back(kContentsEnd);
  put_titles(out, r.Aukafærslur.Titlar);
  put_names(out, r.Aukafærslur.Nöfn);
  put_titles(out, r.Ritröð.Titlar);
  put_names(out, r.Ritröð.Nöfn);
  put(out, r.Ritröð.Tölumerking);
  put(out, r.Aukatexti5);
  put_number(out, r.InnlErl);
  put_number(out, r.boolOpinLokuð);
  put_number(out, r.boolHeilÓheil);
  return out;
}

ImportedRecord MapRecord(const MarcRecord& source, bool host_is_serial) {
  std::optional<MarcRecord> store;
  const MarcRecord& m = prepared(source, store);
  const MarcField* f245 = m.first("245");
  if (!f245 || StripIsbd(f245->sub('a')).empty()) throw std::runtime_error("no title (245 $a)");
  ImportedRecord out;
  CatalogueRecord& r = out.record;
  r = EmptyRecord();
  out.control_number = trim8(m.control("001"));
  out.agency = trim8(m.control("003"));
  out.source = WriteIso2709(source);
  out.record_date = trim8(m.control("005"));

  // Kind.
  char level = m.leader_at(7);
  const MarcField* f773 = m.first("773");
  if (level == 's') out.kind = kKindPeriodical;
  else if (level == 'b') out.kind = kKindArticle;
  else if ((level == 'a' || level == 'd' || level == 'm') && f773 && f773->has('w')) out.kind = host_is_serial ? kKindArticle : kKindComponent;
  else out.kind = kKindItem;
  if (f773) out.host_control = trim8(f773->sub('w'));

  std::string proper;
  map_title(*f245, r, proper);

  // Names: the main entry first, then the added names (a name-title entry,
  // with $t, names a related work, not a responsibility).
  for (auto& f : m.fields)
    if (f.is("100") || f.is("110") || f.is("111")) {
      NameEntry n = name_entry(f, f.is("100") ? 0 : 2);
      if (!empty_name(n)) r.Ábyrgðaraðildir.append(n);
    }
  for (auto& f : m.fields) {
    if (f.is("700") || f.is("710") || f.is("711")) {
      NameEntry n = name_entry(f, f.is("700") ? 1 : 2);
      if (empty_name(n)) continue;
      if (!f.has('t')) r.Ábyrgðaraðildir.append(n);
      r.Aukafærslur.Nöfn.append(n);
    }
    if (f.is("246") || f.is("740")) r.Aukafærslur.Titlar.append(title(JoinStripped(values(f, "anp")), 2));
  }
  // A record without name headings shows its statement of responsibility
  // as transcribed (245 $c), each part between " ; " as one name.
  if (r.Ábyrgðaraðildir.empty()) {
    std::string c = StripIsbd(f245->sub('c'));
    for (std::size_t from = 0; from <= c.size();) {
      std::size_t at = c.find(" ; ", from);
      NameEntry n;
      n.p1 = u(StripIsbd(c.substr(from, at == std::string::npos ? std::string::npos : at - from)));
      if (!n.p1.empty()) r.Ábyrgðaraðildir.append(n);
      if (at == std::string::npos) break;
      from = at + 3;
    }
  }

  if (const MarcField* f = m.first("250")) {
    r.Útgáfa.Texti = u(StripIsbd(f->sub('a')));
    NameEntry n;
    n.p1 = u(StripIsbd(f->sub('b')));
    if (!n.p1.empty()) r.Útgáfa.Nöfn.append(n);
  }

  map_publication(m, r);

  if (const MarcField* f = m.first("300")) {
    r.Umfang = u(StripIsbd(f->sub('a')));
    r.AðrarUpplýsingar = u(StripIsbd(f->sub('b')));
    r.Stærð = u(StripIsbd(f->sub('c')));
    r.Fylgiefni = u(StripIsbd(f->sub('e')));
  }

  map_call_number(m, r);

  // Series: as transcribed (490), else the older traced form (440), else
  // the authorised form (830).
  const MarcField* series = m.first("490");
  if (!series) series = m.first("440");
  if (!series) series = m.first("830");
  if (series) {
    r.Ritröð.Titlar.append(title(JoinStripped(values(*series, "anp")), 0));
    r.Ritröð.Tölumerking = u(StripIsbd(series->sub('v')));
  }

  for (auto& f : m.fields)
    if (is_subject(f)) map_subject(f, r);
  for (auto* f : m.all("505")) map_contents(*f, r);
  map_copies(m, out);

  // Volumes and issues of a periodical: one 863 per volume.
  int vol_no = 0;
  for (auto* f : m.all("863")) {
    VolumeRow v;
    ++vol_no;
    long long n = small_number(f->sub('8'));
    v.number = n >= 0 && n < 100000000 ? int(n) : vol_no;
    v.designation = trim8(f->sub('a'));
    v.year = trim8(f->sub('i'));
    int issue_no = 0;
    for (auto& b : f->subs('b')) v.issues.push_back({++issue_no, trim8(b)});
    out.volumes.push_back(std::move(v));
  }

  // The MARC text, with the citation lines of periodicals (792 from 362)
  // and articles (793 from 773, 792 from 773 $h).
  std::vector<std::string> lines;
  for (auto& f : m.fields) lines.push_back(marc_line_for(f));
  if (out.kind == kKindPeriodical) {
    std::string dates = StripIsbd(m.sub("362", 'a'));
    if (!dates.empty()) lines.push_back("792   $a" + dates);
  }
  if (out.kind == kKindArticle && f773) {
    std::string g = StripIsbd(f773->sub('g')), pages = StripIsbd(f773->sub('q'));
    if (pages.empty()) article_pages(g, pages);
    MarcField h;
    h.tag = "793";
    h.subfields.push_back({'a', StripIsbd(f773->sub('t'))});
    if (f773->has('b')) h.subfields.push_back({'b', StripIsbd(f773->sub('b'))});
    if (!g.empty()) h.subfields.push_back({'g', g});
    if (!pages.empty()) h.subfields.push_back({'c', pages});
    lines.push_back(MarcLine(h));
    std::string issue = StripIsbd(f773->sub('h'));
    if (!issue.empty()) lines.push_back("792   $a" + issue);
  }
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i) out.marc_text += "\r\n";
    out.marc_text += lines[i];
  }

  // ISBN, the identifying string and the sort key.
  out.isbn = trim8(m.sub("020", 'a'));
  std::string isbn = digits_of_isbn(out.isbn);
  std::string year = to_utf8(r.Útgáfutími);
  std::string issn = digits_of_isbn(m.sub("022", 'a'));
  if (!isbn.empty()) {
    out.identity = "ISBN" + isbn;
  } else if (!issn.empty()) {
    out.identity = "ISSN" + issn;
  } else {
    std::string id = to_utf8(lower_is(u(nonfiling(f245, proper) + "|" + to_utf8(r.Útgáfa.Texti) + "|" + year + "|" +
                                        to_utf8(r.Útgefandi))));
    for (char& c : id)
      if (c == '\'' || c == '"') c = ' ';
    out.identity = id;
  }
  std::string main;
  if (const MarcField* f = m.first("100")) main = StripIsbd(f->sub('a'));
  else if (const MarcField* f = m.first("110")) main = corporate_name(*f);
  else if (const MarcField* f = m.first("111")) main = corporate_name(*f);
  std::string key = join({main, nonfiling(f245, proper), year}, " ");
  out.sort_key = to_utf8(lower_is(u(key)));
  out.words = RecordWords(m);
  ShareAreaStops(r, out.kind);
  out.whole_text = to_utf8(WriteRecordText(r));
  return out;
}

}  // namespace kvistur::import
