#include "import/record_writer.h"

#include <climits>
#include <cstring>
#include <stdexcept>

#include "import/marc_writer.h"
#include "kvistur/text.h"
#include "record/record_text.h"

namespace kvistur::import {

namespace {

void put(Text& out, const Text& value) {
  // Character 5 ends a value; it cannot be part of one.
  for (char16_t c : value)
    if (c != kValueEnd) out.push_back(c);
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

TitleElement title(const std::string& s1, int kind = 0) {
  TitleElement t;
  t.s1 = u(s1);
  t.iGerð = int16_t(kind);
  return t;
}

// A name as the record text keeps it: forenames in p1, surname (or the last
// word of a name in direct order) in p2, so that it reads in direct order.
NameEntry name_entry(const MarcField& f, int kind) {
  NameEntry n;
  n.iGerð = int16_t(kind);
  std::string a = StripEnd(f.sub('a'));
  if (f.tag[1] == '0' && f.ind1 == '1') {
    auto comma = a.find(", ");
    if (comma != std::string::npos) {
      n.p1 = u(trim8(a.substr(comma + 2)));
      n.p2 = u(trim8(a.substr(0, comma)));
    } else {
      n.p2 = u(a);
    }
  } else if (f.tag[1] == '0') {
    auto sp = a.rfind(' ');
    if (sp != std::string::npos) {
      n.p1 = u(a.substr(0, sp));
      n.p2 = u(a.substr(sp + 1));
    } else {
      n.p1 = u(a);
    }
  } else {
    n.p1 = u(a);
    n.p2 = u(StripEnd(f.sub('b')));
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

// The lines of the MARC text for one field, with names in the forms the
// main-entry rules read: forename order under indicator 4 ($a the whole
// name), surname order under indicator 1 ($a surname, $h forenames).
std::string marc_line_for(const MarcField& f) {
  if (f.tag != "100" || f.ind1 == '3') return MarcLine(f);
  MarcField g = f;
  if (f.ind1 == '1') {
    std::string a = StripEnd(f.sub('a'));
    auto comma = a.find(", ");
    g.subfields.clear();
    if (comma != std::string::npos) {
      g.subfields.push_back({'a', trim8(a.substr(0, comma))});
      g.subfields.push_back({'h', trim8(a.substr(comma + 2))});
    } else {
      g.subfields.push_back({'a', a});
    }
    for (auto& s : f.subfields)
      if (s.code != 'a') g.subfields.push_back({s.code, StripEnd(s.value)});
    return MarcLine(g);
  }
  g.ind1 = '4';
  for (auto& s : g.subfields) s.value = StripEnd(s.value);
  return MarcLine(g);
}

}  // namespace

std::string StripEnd(std::string s) {
  s = trim8(s);
  for (;;) {
    bool changed = false;
    for (const char* tail : {" /", " :", " ;", " =", ",", " ."}) {
      std::size_t n = std::strlen(tail);
      if (s.size() >= n && s.compare(s.size() - n, n, tail) == 0) {
        s = trim8(s.substr(0, s.size() - n));
        changed = true;
      }
    }
    if (!changed) break;
  }
  return s;
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
    for (char c : s.value) {
      if (c == '$') line += "\xEF\xBC\x84";
      else if (c == '\r' || c == '\n') line += ' ';
      else line += c;
    }
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

ImportedRecord MapRecord(const MarcRecord& m, bool host_is_serial) {
  const MarcField* f245 = m.first("245");
  if (!f245 || StripEnd(f245->sub('a')).empty()) throw std::runtime_error("no title (245 $a)");
  ImportedRecord out;
  CatalogueRecord& r = out.record;
  r = EmptyRecord();
  out.control_number = trim8(m.control("001"));
  out.agency = trim8(m.control("003"));
  out.source = WriteIso2709(m);
  out.record_date = trim8(m.control("005"));

  // Kind.
  char level = m.leader_at(7);
  const MarcField* f773 = m.first("773");
  if (level == 's') out.kind = kKindPeriodical;
  else if (level == 'b') out.kind = kKindArticle;
  else if ((level == 'a' || level == 'd' || level == 'm') && f773 && f773->has('w')) out.kind = host_is_serial ? kKindArticle : kKindComponent;
  else out.kind = kKindItem;
  if (f773) out.host_control = trim8(f773->sub('w'));

  // Title, other title information, general material designation.
  std::string proper = StripEnd(f245->sub('a'));
  for (auto& part : f245->subs('n')) proper += ". " + StripEnd(part);
  for (auto& part : f245->subs('p')) proper += ". " + StripEnd(part);
  r.Titlar.append(title(proper, 0));
  for (auto& b : f245->subs('b')) r.Titlar.append(title(StripEnd(b), 1));
  std::string gmd = StripEnd(f245->sub('h'));
  if (gmd.size() >= 2 && gmd.front() == '[' && gmd.back() == ']') gmd = gmd.substr(1, gmd.size() - 2);
  r.Efnistegund = u(gmd);

  // Names: the main entry first, then the added names.
  for (auto& f : m.fields) {
    if (f.tag == "100" || f.tag == "110" || f.tag == "111") r.Ábyrgðaraðildir.append(name_entry(f, f.tag == "100" ? 0 : 2));
  }
  for (auto& f : m.fields) {
    if (f.tag == "700" || f.tag == "710" || f.tag == "711") {
      NameEntry n = name_entry(f, f.tag == "700" ? 1 : 2);
      r.Ábyrgðaraðildir.append(n);
      r.Aukafærslur.Nöfn.append(n);
    }
    if (f.tag == "246" || f.tag == "740") r.Aukafærslur.Titlar.append(title(StripEnd(f.sub('a')), 2));
  }

  // Edition.
  if (const MarcField* f = m.first("250")) {
    r.Útgáfa.Texti = u(StripEnd(f->sub('a')));
    if (f->has('b')) {
      NameEntry n;
      n.p1 = u(StripEnd(f->sub('b')));
      r.Útgáfa.Nöfn.append(n);
    }
  }

  // Publication.
  const MarcField* pub = m.first("260");
  if (!pub) pub = m.first("264");
  if (pub) {
    r.Útgáfustaður = u(StripEnd(pub->sub('a')));
    r.Útgefandi = u(StripEnd(pub->sub('b')));
    r.Útgáfutími = u(StripEnd(pub->sub('c')));
  }

  // Physical description.
  if (const MarcField* f = m.first("300")) {
    r.Umfang = u(StripEnd(f->sub('a')));
    r.AðrarUpplýsingar = u(StripEnd(f->sub('b')));
    r.Stærð = u(StripEnd(f->sub('c')));
    r.Fylgiefni = u(StripEnd(f->sub('e')));
  }

  // Call number.
  if (const MarcField* f = m.first("090")) {
    r.Marktákn1 = u(trim8(f->sub('a')));
    r.Marktákn2 = u(trim8(f->sub('b')));
    r.Marktákn3 = u(trim8(f->sub('c')));
    r.Marktákn4 = u(trim8(f->sub('d')));
  } else if (const MarcField* f = m.first("082")) {
    r.Marktákn1 = u(trim8(f->sub('a')));
  }

  // Series.
  const MarcField* series = m.first("490");
  if (!series) series = m.first("830");
  if (series) {
    r.Ritröð.Titlar.append(title(StripEnd(series->sub('a')), 0));
    r.Ritröð.Tölumerking = u(StripEnd(series->sub('v')));
  }

  // Subjects.
  for (auto& f : m.fields) {
    if (f.tag.size() != 3 || f.tag[0] != '6') continue;
    if (f.tag != "600" && f.tag != "610" && f.tag != "611" && f.tag != "630" && f.tag != "650" && f.tag != "651" &&
        f.tag != "655")
      continue;
    std::vector<std::string> head, subdivisions;
    for (auto& s : f.subfields) {
      if (s.code == 'a' || s.code == 'b' || s.code == 'c' || s.code == 'd' || s.code == 'q' || s.code == 't')
        head.push_back(StripEnd(s.value));
      else if (s.code == 'x' || s.code == 'y' || s.code == 'z' || s.code == 'v')
        subdivisions.push_back(StripEnd(s.value));
    }
    TermPair p;
    p.s1 = u(join(head, " "));
    std::string sub = join(subdivisions, " -- ");
    if (!sub.empty()) p.s2 = u("-- " + sub);
    if (!p.s1.empty()) r.Efnisorð.append(p);
  }

  // Contents.
  for (auto* f : m.all("505")) {
    if (f->has('t')) {
      ContentsEntry* cur = nullptr;
      std::vector<ContentsEntry> entries;
      for (auto& s : f->subfields) {
        if (s.code == 't') {
          entries.emplace_back();
          entries.back().Titlar.append(title(StripEnd(s.value), 0));
          cur = &entries.back();
        } else if (s.code == 'r' && cur) {
          NameEntry n;
          n.p1 = u(StripEnd(s.value));
          cur->Nöfn.append(n);
        }
      }
      for (auto& e : entries) r.Efnisyfirlit.append(e);
    } else {
      std::string a = f->sub('a');
      std::size_t start = 0;
      while (start <= a.size()) {
        auto sep = a.find("--", start);
        std::string piece = StripEnd(a.substr(start, sep == std::string::npos ? std::string::npos : sep - start));
        if (!piece.empty()) {
          ContentsEntry e;
          e.Titlar.append(title(piece, 0));
          r.Efnisyfirlit.append(e);
        }
        if (sep == std::string::npos) break;
        start = sep + 2;
      }
    }
  }

  // Holdings: one 852 per copy.
  bool first_copy = true;
  for (auto* f : m.all("852")) {
    CopyRow c;
    std::string number = trim8(f->sub('p'));
    if (number.empty()) continue;
    try {
      std::size_t used = 0;
      long long v = std::stoll(number, &used);
      if (used != number.size() || v < 0 || v > INT32_MAX) continue;
      c.number = int32_t(v);
    } catch (...) {
      continue;
    }
    c.location = StripEnd(f->sub('b'));
    c.note = StripEnd(f->sub('z'));
    std::string col = trim8(f->sub('a'));
    c.collection = (col.size() == 1 && col[0] >= '1' && col[0] <= '9') ? col[0] - '0' : 1;
    std::string borrower = trim8(f->sub('9'));
    if (!borrower.empty() && borrower.size() < 9 && borrower.find_first_not_of("0123456789") == std::string::npos)
      c.borrower = std::stoi(borrower);
    if (first_copy) out.collection = c.collection, first_copy = false;
    HoldingItem h;
    h.Númer = c.number;
    h.Athugasemd = u(c.note);
    h.Staðsetning = u(c.location);
    r.Aðfanganúmer.append(h);
    out.copies.push_back(std::move(c));
  }
  if (first_copy) {
    if (const MarcField* f = m.first("852")) {
      std::string col = trim8(f->sub('a'));
      if (col.size() == 1 && col[0] >= '1' && col[0] <= '9') out.collection = col[0] - '0';
    }
  }

  // Volumes and issues of a periodical: one 863 per volume.
  int vol_no = 0;
  for (auto* f : m.all("863")) {
    VolumeRow v;
    ++vol_no;
    std::string n = trim8(f->sub('8'));
    v.number = (!n.empty() && n.size() < 9 && n.find_first_not_of("0123456789") == std::string::npos) ? std::stoi(n) : vol_no;
    v.designation = trim8(f->sub('a'));
    v.year = trim8(f->sub('i'));
    int issue_no = 0;
    for (auto& b : f->subs('b')) v.issues.push_back({++issue_no, trim8(b)});
    out.volumes.push_back(std::move(v));
  }

  // The MARC text.
  std::vector<std::string> lines;
  for (auto& f : m.fields) lines.push_back(marc_line_for(f));
  if (out.kind == kKindPeriodical) {
    std::string dates = StripEnd(m.sub("362", 'a'));
    if (!dates.empty()) lines.push_back("792   $a" + dates);
  }
  if (out.kind == kKindArticle && f773) {
    MarcField h;
    h.tag = "793";
    h.subfields.push_back({'a', StripEnd(f773->sub('t'))});
    if (f773->has('b')) h.subfields.push_back({'b', StripEnd(f773->sub('b'))});
    if (f773->has('g')) h.subfields.push_back({'g', StripEnd(f773->sub('g'))});
    if (f773->has('q')) h.subfields.push_back({'c', StripEnd(f773->sub('q'))});
    lines.push_back(MarcLine(h));
    std::string issue = StripEnd(f773->sub('h'));
    if (!issue.empty()) lines.push_back("792   $a" + issue);
  }
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i) out.marc_text += "\r\n";
    out.marc_text += lines[i];
  }

  // ISBN, the identifying string and the sort key.
  out.isbn = trim8(m.sub("020", 'a'));
  std::string isbn = digits_of_isbn(out.isbn);
  std::string year = StripEnd(pub ? pub->sub('c') : "");
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
  if (const MarcField* f = m.first("100")) main = StripEnd(f->sub('a'));
  else if (const MarcField* f = m.first("110")) main = StripEnd(f->sub('a'));
  else if (const MarcField* f = m.first("111")) main = StripEnd(f->sub('a'));
  std::string key = join({main, nonfiling(f245, proper), year}, " ");
  out.sort_key = to_utf8(lower_is(u(key)));
  out.whole_text = to_utf8(WriteRecordText(r));
  return out;
}

}  // namespace kvistur::import
