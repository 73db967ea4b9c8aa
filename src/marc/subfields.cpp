#include "marc/subfields.h"

#include "marc/trap.h"

namespace kvistur {

namespace {
constexpr char16_t kCR = 13;

bool starts_with(TextView s, TextView prefix) { return s.substr(0, prefix.size()) == prefix; }

TextView trim_view(TextView s) {
  std::size_t b = s.find_first_not_of(u' ');
  if (b == TextView::npos) return {};
  return s.substr(b, s.find_last_not_of(u' ') - b + 1);
}

// Takes the next line off `rest`: the text up to the first carriage return;
// the character after the carriage return (the line feed) is skipped unread.
TextView next_line(TextView& rest) {
  std::size_t cr = rest.find(kCR);
  TextView line = cr == TextView::npos ? rest : rest.substr(0, cr);
  rest = cr == TextView::npos ? TextView() : rest.substr(std::min(rest.size(), cr + 2));
  return line;
}

// The subfield data of a line: from its 7th character on, trimmed.
TextView subfield_data(TextView line) { return trim_view(line.size() > 6 ? line.substr(6) : TextView()); }

// Takes the next piece off `rest`: the text before the first "$".
TextView next_piece(TextView& rest) {
  std::size_t d = rest.find(u'$');
  TextView piece = d == TextView::npos ? rest : rest.substr(0, d);
  rest = d == TextView::npos ? TextView() : rest.substr(d + 1);
  return piece;
}
}  // namespace

Text FindFieldLine(TextView tag, TextView marc) {
  TextView rest = marc;
  while (!rest.empty()) {
    TextView line = next_line(rest);
    if (starts_with(line, tag)) return Text(line);
  }
  return {};
}

std::vector<Text> SplitLines(TextView marc) {
  std::vector<Text> out(1);
  TextView rest = trim_view(marc);
  while (!rest.empty()) out.emplace_back(next_line(rest));
  return out;
}

std::vector<Text> SplitSubfields(TextView line) {
  std::vector<Text> out(1);
  TextView rest = subfield_data(line);
  while (!rest.empty()) out.emplace_back(next_piece(rest));
  return out;
}

// The same walk as SplitLines and SplitSubfields, on views of the text: a
// description reads five subfields, and a MARC text may be long.
Text GetSubfield(TextView tag, TextView code, TextView marc) {
  if (tag.size() != 3 || code.empty()) return {};
  TextView lines = trim_view(marc);
  while (!lines.empty()) {
    TextView line = next_line(lines);
    if (line.substr(0, 3) != tag) continue;
    TextView pieces = subfield_data(line);
    while (!pieces.empty()) {
      TextView piece = next_piece(pieces);
      if (!piece.empty() && piece[0] == code[0]) return Text(piece.substr(1));
    }
    return {};
  }
  return {};
}

Text SubfieldValue(TextView marker, TextView line) {
  if (marker.empty()) return {};
  std::size_t at = line.find(marker);
  if (at == TextView::npos) return {};
  TextView rest = line.substr(at + marker.size());
  std::size_t d = rest.find(u'$');
  return trim(d == TextView::npos ? rest : rest.substr(0, d));
}

MainEntry BuildMainEntry(TextView marc) {
  MainEntry m = EmptyMainEntry();
  NameEntry& n = m.name;
  Text line = FindFieldLine(u"100", marc);
  if (!line.empty()) {
    m.kind = 0;
    char16_t ind = line.size() >= 4 ? line[3] : u'\0';
    if (ind == u'0' || ind == u'4') {
      n.p2 = SubfieldValue(u"$a", line);
      n.p3 = SubfieldValue(u"$i", line);
      n.p4 = SubfieldValue(u"$b", line);
      n.p5 = SubfieldValue(u"$c", line);
      n.iRöð = ind == u'0' ? 1 : 0;
    } else if (ind == u'1') {
      Text h = SubfieldValue(u"$h", line);
      std::size_t blank = h.find(u' ');
      n.p2 = blank == Text::npos ? h : h.substr(0, blank);
      n.p3 = blank == Text::npos ? Text() : h.substr(blank + 1);
      n.p4 = SubfieldValue(u"$a", line);
      n.p5 = SubfieldValue(u"$c", line);
      n.iRöð = 1;
    } else if (ind == u'2' || ind == u'3') {
      n.iRöð = 1;
    }
    return m;
  }
  line = FindFieldLine(u"110", marc);
  if (!line.empty()) {
    n.p2 = SubfieldValue(u"$a", line);
    m.kind = 3;
    return m;
  }
  line = FindFieldLine(u"111", marc);
  if (!line.empty()) {
    n.p2 = SubfieldValue(u"$a", line);
    m.kind = 2;
    return m;
  }
  m.kind = 1;
  return m;
}

Text FormatName(const NameEntry& e) {
  // A name without any part is no name: not even the inverted form's comma.
  if (e.p1.empty() && e.p2.empty() && e.p3.empty() && e.p4.empty() && e.p5.empty()) return {};
  if (e.iRöð == 0) return trim(trim(e.p1 + u" " + e.p2) + u" " + trim(e.p3 + u" " + e.p4 + u" " + e.p5));
  if (e.iRöð == 1) return trim(trim(trim(e.p1 + u" " + e.p4) + u", " + e.p2 + u" " + e.p3) + u" " + e.p5);
  return {};
}

Text FormatPair(const TermPair& p) { return trim(p.s1 + u" " + p.s2); }

Text FormatTitleElement(const TitleElement& t) {
  return marc_detail::trap_faults([&] { return trim(t.s1 + u" " + t.s2); });
}

}  // namespace kvistur
