#include "marc21/punctuation.h"

#include "automation/nfc.h"

#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>

#include <unordered_set>

#include "kvistur/text.h"

namespace kvistur::marc21 {

namespace {

// Abbreviations whose full stop is part of the data, in lower case: those
// of cataloguing (English, German, Scandinavian and Icelandic practice),
// titles and forms of names, and places as cataloguers abbreviate them.
// A single letter (an initial, "p.", "v.", "s.") needs no entry.
const std::unordered_set<std::string_view>& abbreviations() {
  static const std::unordered_set<std::string_view> set = {
      // description
      "abt", "acad", "anal", "approx", "assoc", "aufl", "bd", "bde", "bibl", "bk", "bl", "bros", "ca", "cf", "ch",
      "cm", "co", "col", "comp", "comps", "cop", "corp", "dept", "diagr", "diagrs", "dig", "ed", "eds", "edn", "enl",
      "etc", "facsim", "facsims", "fig", "figs", "fol", "ft", "geneal", "govt", "hbk", "hrsg", "hr", "ill", "illus",
      "impr", "in", "inc", "inst", "introd", "jahrg", "jr", "ltd", "min", "mm", "mono", "ms", "mss", "natl", "no",
      "nos", "nr", "off", "op", "orig", "pbk", "pl", "port", "ports", "pp", "pref", "pr", "print", "pseud", "pt",
      "pts", "publ", "ref", "repr", "rev", "rpm", "sd", "sec", "ser", "si", "soc", "sr", "st", "ste", "stereo",
      "suppl", "tr", "trans", "univ", "vol", "vols", "al", "dr", "mr", "mrs", "mt", "bros",
      // Scandinavian and Icelandic
      "bls", "árg", "útg", "útgef", "ritstj", "þýð", "umsj", "ljósm", "teikn", "myndskr", "endursk", "fl", "frv",
      "ofl", "tbl", "tölubl", "litpr", "ísl", "sbr", "skv", "uppl", "sid", "udg", "opl", "årg", "hft",
      // places
      "ala", "alta", "ariz", "ark", "calif", "colo", "conn", "del", "fla", "ga", "ill", "ind", "kan", "kans", "ky",
      "la", "mass", "md", "me", "mich", "minn", "miss", "mont", "neb", "nebr", "nev", "okla", "ont", "ore", "pa",
      "que", "sask", "tenn", "tex", "va", "vt", "wash", "wis", "wyo", "eng"};
  return set;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

bool ends_with(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

// Bytes of the UTF-8 character that starts with C.
std::size_t char_length(unsigned char c) { return c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2; }

// Marks that introduce the next element, written with a blank before them.
constexpr std::string_view kSpacedMarks[] = {" /", " :", " ;", " =", " +"};

// Marks that may open a value whose introducing mark was keyed into it.
bool opening_mark(char c) { return c == '=' || c == '/' || c == ':' || c == ';' || c == '+'; }

}  // namespace

bool KeepsFinalStop(std::string_view s) {
  s = trim(s);
  if (!ends_with(s, ".")) return false;
  if (ends_with(s, "...")) return !ends_with(s, "....");
  std::string_view body = s.substr(0, s.size() - 1);
  if (body.empty()) return false;
  // After a closing bracket, a quotation mark or a question or exclamation
  // mark, the stop is the field's own.
  if (std::string_view(")]\"'?!").find(body.back()) != std::string_view::npos) return false;
  if (ends_with(body, "\xE2\x80\x9D") || ends_with(body, "\xE2\x80\x99") || ends_with(body, "\xC2\xBB")) return false;
  std::size_t start = body.find_last_of(" ([-/\"'");
  std::string_view word = body.substr(start == std::string_view::npos ? 0 : start + 1);
  std::size_t dot = word.rfind('.');
  std::string_view last = dot == std::string_view::npos ? word : word.substr(dot + 1);
  if (last.empty()) return false;
  if (char_length((unsigned char)last[0]) == last.size()) return !(last[0] >= '0' && last[0] <= '9');
  // No abbreviation is longer than this: a longer word is looked up nowhere.
  char lower[16];
  if (last.size() > sizeof lower) return false;
  for (std::size_t i = 0; i < last.size(); ++i) {
    char c = last[i];
    lower[i] = c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
  }
  return abbreviations().count(std::string_view(lower, last.size())) > 0;
}

std::string_view StripIsbdView(std::string_view value) {
  std::string_view s = trim(value);
  while (s.size() >= 2 && opening_mark(s[0]) && s[1] == ' ') s = trim(s.substr(2));
  for (;;) {
    s = trim(s);
    if (s.empty()) break;
    // Every mark that comes off is one of these characters: a value ending
    // in anything else (most values) is as it stands.
    char c = s.back();
    if (c != '/' && c != ':' && c != ';' && c != '=' && c != '+' && c != '-' && c != ',' && c != '.') break;
    bool cut = false;
    for (std::string_view mark : kSpacedMarks)
      if (s == mark.substr(1) || ends_with(s, mark)) {
        s.remove_suffix(std::min(s.size(), mark.size()));
        cut = true;
        break;
      }
    if (cut) continue;
    if (ends_with(s, "--")) {  // between contents entries
      s.remove_suffix(2);
      continue;
    }
    if (c == ',' || c == ';' || c == ':' || (c == '.' && !KeepsFinalStop(s))) {
      s.remove_suffix(1);
      continue;
    }
    break;
  }
  return s;
}

std::string StripIsbd(std::string_view value) { return std::string(StripIsbdView(value)); }

std::string JoinStripped(const std::vector<std::string>& values) {
  std::string out;
  for (auto& v : values) {
    std::string_view t = trim(v);
    if (t.empty()) continue;
    if (!out.empty()) out += ' ';
    out += t;
  }
  return StripIsbd(out);
}

std::string StripDesignation(std::string_view value) {
  std::string s = StripIsbd(value);
  if (!s.empty() && s.front() == '[') s.erase(0, 1);
  if (!s.empty() && s.back() == ']') s.pop_back();
  return StripIsbd(s);
}

namespace {

// Whether T holds nothing but blanks (the display's trim leaves nothing).
bool blank(const Text& t) {
  for (char16_t c : t)
    if (c != u' ') return false;
  return true;
}

void drop_stop(Text* t) {
  if (!t) return;
  std::size_t e = t->size();
  while (e > 0 && (*t)[e - 1] == u' ') --e;
  if (e == 0 || (*t)[e - 1] != u'.') return;
  Text v = kvistur::trim(TextView(*t).substr(0, e - 1));
  *t = std::move(v);
}

// The part of a name that ends its one-line form (direct order).
Text* end_of(NameEntry& n) {
  for (Text* p : {&n.p5, &n.p4, &n.p3, &n.p2, &n.p1})
    if (!blank(*p)) return p;
  return nullptr;
}

Text* end_of(List<NameEntry>& names) { return names.empty() ? nullptr : end_of(names[std::size_t(names.count() - 1)]); }

Text* end_of(TitleElement& t) { return blank(t.s2) ? &t.s1 : &t.s2; }

// The member that ends the title (title proper, designation, other title
// information), nullptr when the designation's bracket ends it.
Text* end_of_title(CatalogueRecord& r) {
  if (r.Titlar.empty()) return nullptr;
  if (r.Titlar.count() == 1 && !r.Efnistegund.empty()) return nullptr;
  return end_of(r.Titlar[std::size_t(r.Titlar.count() - 1)]);
}

// Whether the display's texts of the areas (description.h) and of a list of
// names (lists.h) are empty, told without writing them: the builders join
// their parts with separators that are never blank, so a text is empty
// exactly when it has no part, or one part of blanks only.
bool names_shown(const List<NameEntry>& names) {
  if (names.count() != 1) return names.count() > 1;
  const NameEntry& n = names[0];
  if (n.p1.empty() && n.p2.empty() && n.p3.empty() && n.p4.empty() && n.p5.empty()) return false;
  if (n.iRöð == 1) return true;  // the inverted form's comma
  if (n.iRöð != 0) return false;
  return !blank(n.p1) || !blank(n.p2) || !blank(n.p3) || !blank(n.p4) || !blank(n.p5);
}

bool edition_shown(const CatalogueRecord& r) { return !r.Útgáfa.Texti.empty() || names_shown(r.Útgáfa.Nöfn); }

bool publication_shown(const CatalogueRecord& r) {
  return !blank(r.Útgáfutími) || !blank(r.Útgefandi) || !blank(r.Útgáfustaður);
}

bool physical_shown(const CatalogueRecord& r) {
  return !r.Fylgiefni.empty() || !blank(r.Stærð) || !blank(r.AðrarUpplýsingar) || !blank(r.Umfang);
}

bool series_shown(const CatalogueRecord& r) {
  const List<TitleElement>& titles = r.Ritröð.Titlar;
  if (titles.count() > 1) return true;
  if (titles.count() == 1 && (!blank(titles[0].s1) || !blank(titles[0].s2))) return true;
  return names_shown(r.Ritröð.Nöfn) || !blank(r.Ritröð.Tölumerking);
}

}  // namespace

void ShareAreaStops(CatalogueRecord& r, int kind) {
  Text* edition = names_shown(r.Útgáfa.Nöfn) ? end_of(r.Útgáfa.Nöfn) : &r.Útgáfa.Texti;
  Text* publication = !blank(r.Útgáfutími) ? &r.Útgáfutími : !blank(r.Útgefandi) ? &r.Útgefandi : &r.Útgáfustaður;
  Text* physical = !r.Fylgiefni.empty()           ? &r.Fylgiefni
                   : !r.Stærð.empty()             ? &r.Stærð
                   : !r.AðrarUpplýsingar.empty() ? &r.AðrarUpplýsingar
                                                  : &r.Umfang;
  std::pair<bool, Text*> areas[] = {{edition_shown(r), edition},
                                    {publication_shown(r), publication},
                                    {physical_shown(r), physical},
                                    {series_shown(r), nullptr}};
  bool later = false;  // an area follows
  for (int i = 3; i >= 0; --i) {
    if (!areas[i].first) continue;
    if (later) drop_stop(areas[i].second);
    later = true;
  }
  // The first part: the title (and names) of an ordinary item before its
  // areas; the title of a periodical or an article before ". " and its
  // citation.  A component part's own title stands before its host's.
  if (kind == 100 || kind == 200) {
    drop_stop(end_of_title(r));
  } else if ((kind == 0 || kind == 1) && later) {
    drop_stop(names_shown(r.Ábyrgðaraðildir) ? end_of(r.Ábyrgðaraðildir) : end_of_title(r));
  }
}

bool IsNfc(std::string_view utf8) {
  // Every character before U+0300 (ASCII, Latin-1, the Latin extensions and
  // the spacing modifiers) is a starter that never composes with its
  // neighbours, so a text of them alone is in normal form C.  In UTF-8 they
  // are the single bytes and the pairs led by C2-CB; a text with any other
  // byte goes to ICU.
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  std::size_t n = utf8.size(), i = 0;
  while (i < n) {
    unsigned char b = p[i];
    if (b < 0x80) {
      ++i;
    } else if (b >= 0xC2 && b <= 0xCB && i + 1 < n && (p[i + 1] & 0xC0) == 0x80) {
      i += 2;
    } else {
      UErrorCode status = U_ZERO_ERROR;
      const icu::Normalizer2* nfc = NfcNormalizer();
      return !nfc || nfc->isNormalizedUTF8(icu::StringPiece(utf8.data(), int32_t(utf8.size())), status);
    }
  }
  return true;
}

std::string Nfc(std::string_view utf8) {
  if (IsNfc(utf8)) return std::string(utf8);
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = NfcNormalizer();
  if (!nfc) return std::string(utf8);
  std::string out;
  icu::StringByteSink<std::string> sink(&out);
  nfc->normalizeUTF8(0, icu::StringPiece(utf8.data(), int32_t(utf8.size())), sink, nullptr, status);
  return U_SUCCESS(status) ? out : std::string(utf8);
}

}  // namespace kvistur::marc21
