#include "marc/subfields.h"

#include "marc/trap.h"

namespace kvistur {

namespace {
constexpr char16_t kCR = 13;

bool starts_with(TextView s, TextView prefix) { return s.substr(0, prefix.size()) == prefix; }
}  // namespace

Text FindFieldLine(TextView tag, TextView marc) {
  TextView rest = marc;
  while (!rest.empty()) {
    std::size_t cr = rest.find(kCR);
    TextView line = cr == TextView::npos ? rest : rest.substr(0, cr);
    rest = cr == TextView::npos ? TextView() : rest.substr(std::min(rest.size(), cr + 2));
    if (starts_with(line, tag)) return Text(line);
  }
  return {};
}

std::vector<Text> SplitLines(TextView marc) {
  std::vector<Text> out(1);
  Text all = trim(marc);
  TextView rest = all;
  while (!rest.empty()) {
    std::size_t cr = rest.find(kCR);
    out.emplace_back(cr == TextView::npos ? rest : rest.substr(0, cr));
    rest = cr == TextView::npos ? TextView() : rest.substr(std::min(rest.size(), cr + 2));
  }
  return out;
}

std::vector<Text> SplitSubfields(TextView line) {
  std::vector<Text> out(1);
  Text data = trim(line.size() > 6 ? line.substr(6) : TextView());
  TextView rest = data;
  while (!rest.empty()) {
    std::size_t d = rest.find(u'$');
    out.emplace_back(d == TextView::npos ? rest : rest.substr(0, d));
    rest = d == TextView::npos ? TextView() : rest.substr(d + 1);
  }
  return out;
}

Text GetSubfield(TextView tag, TextView code, TextView marc) {
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
