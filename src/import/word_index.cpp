#include "import/word_index.h"

#include <unicode/uchar.h>
#include <unicode/utf16.h>

#include <set>

#include "import/record_writer.h"
#include "kvistur/text.h"

namespace kvistur::import {

const std::vector<NamedNumber>& search_fields() {
  static const std::vector<NamedNumber> v = {
      {kFieldAuthor, "Höfundur", "Höfundar, þýðendur og aðrir sem bera ábyrgð"},
      {kFieldTitle, "Titill", "Titlar, undirtitlar og titlar efnishluta"},
      {kFieldSubject, "Efnisorð", "Efnisorð"},
      {kFieldSeries, "Ritröð", "Heiti ritraða"},
      {kFieldPublisher, "Útgefandi", "Útgefandi og útgáfustaður"},
      {kFieldNotes, "Athugasemdir", "Athugasemdir, efnisyfirlit og útdrættir"},
      {kFieldNumber, "Númer og ár", "ISBN, ISSN, flokkstala og útgáfuár"},
  };
  return v;
}

const std::vector<NamedNumber>& groups() {
  static const std::vector<NamedNumber> v = {
      {kGroupAll, "Allur safnkostur", "Bækur, tímarit og greinar"},
      {kGroupPeriodicals, "Tímarit og greinar", "Tímarit og greinar í þeim"},
  };
  return v;
}

std::vector<std::string> SplitWords(const std::string& utf8) {
  Text t = from_utf8(utf8);
  std::vector<std::string> out;
  Text word;
  int length = 0;
  auto flush = [&] {
    if (!word.empty()) out.push_back(to_utf8(lower_is(word)));
    word.clear();
    length = 0;
  };
  int32_t i = 0, n = int32_t(t.size());
  while (i < n) {
    int32_t start = i;
    UChar32 c;
    U16_NEXT(t.data(), i, n, c);
    if (u_isalnum(c)) {
      if (length < 64) word.append(t, std::size_t(start), std::size_t(i - start));
      ++length;
    } else {
      flush();
    }
  }
  flush();
  return out;
}

namespace {

struct Collector {
  std::vector<WordOccurrence> out;
  std::set<std::pair<std::string, int>> seen;
  void add(const std::string& text, int field) {
    for (auto& w : SplitWords(text))
      if (seen.insert({w, field}).second) out.push_back({w, field});
  }
  void add_whole(const std::string& word, int field) {
    if (!word.empty() && seen.insert({word, field}).second) out.push_back({word, field});
  }
  void subfields(const MarcField& f, const std::string& codes, int field) {
    for (auto& s : f.subfields)
      if (codes.find(s.code) != std::string::npos) add(s.value, field);
  }
};

std::string isbn_word(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c >= '0' && c <= '9') out += c;
    else if (c == 'X' || c == 'x') out += 'x';
    else if (c == '-') continue;
    else break;
  }
  return out;
}

}  // namespace

std::vector<WordOccurrence> RecordWords(const MarcRecord& m) {
  Collector c;
  for (auto& f : m.fields) {
    // A field in vernacular script (880) is searched as the field it is
    // linked to ($6 "245-01/(N").
    std::string linked = f.tag == "880" ? f.sub('6').substr(0, 3) : std::string();
    const std::string& t = f.tag == "880" ? linked : f.tag;
    if (t == "100" || t == "110" || t == "111" || t == "700" || t == "710" || t == "711")
      c.subfields(f, "abcdq", kFieldAuthor);
    else if (t == "245") {
      c.subfields(f, "abnp", kFieldTitle);
      c.subfields(f, "c", kFieldAuthor);
    } else if (t == "246" || t == "740") c.subfields(f, "abnp", kFieldTitle);
    else if (t == "773") c.subfields(f, "t", kFieldTitle);
    else if (t == "505") {
      c.subfields(f, "t", kFieldTitle);
      c.subfields(f, "r", kFieldAuthor);
      c.subfields(f, "a", kFieldNotes);
    } else if (t == "600" || t == "610" || t == "611" || t == "630" || t == "650" || t == "651" || t == "655")
      c.subfields(f, "abcdqtxyzv", kFieldSubject);
    else if (t == "490" || t == "440" || t == "830") c.subfields(f, "anp", kFieldSeries);
    else if (t == "260" || t == "264") {
      c.subfields(f, "ab", kFieldPublisher);
      c.subfields(f, "c", kFieldNumber);
    } else if (t == "500" || t == "520") c.subfields(f, "a", kFieldNotes);
    else if (t == "020" || t == "022") {
      std::string a = f.sub('a');
      std::string w = t == "020" ? isbn_word(a) : a;
      if (t == "022") {
        for (auto& part : SplitWords(a)) c.add_whole(part, kFieldNumber);
        c.add_whole(isbn_word(a), kFieldNumber);
      } else {
        c.add_whole(w, kFieldNumber);
      }
    } else if (t == "090" || t == "082") c.subfields(f, "a", kFieldNumber);
  }
  return c.out;
}

std::vector<int> RecordGroups(int kind) {
  if (kind == kKindPeriodical || kind == kKindArticle) return {kGroupAll, kGroupPeriodicals};
  return {kGroupAll};
}

}  // namespace kvistur::import
