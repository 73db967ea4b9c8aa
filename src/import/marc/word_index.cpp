#include "import/marc/word_index.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstring>
#include <string_view>

#include "import/marc/record_writer.h"
#include "kvistur/text.h"

namespace kvistur::import {

using marc21::MarcField;
using marc21::MarcRecord;

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

namespace {

// What a character of the first 2 048 (one or two bytes of UTF-8) is in a
// word: its lower case as UTF-8, or no bytes when it
// is not a letter or digit.  Taken from ICU once, as the other characters
// are taken from it one at a time.
struct WordChar {
  uint8_t length = 0;
  char bytes[4] = {};
};

const WordChar* word_chars() {
  static const std::vector<WordChar> table = [] {
    std::vector<WordChar> t(0x800);
    for (UChar32 c = 0; c < 0x800; ++c) {
      bool letter = c < 0x80 ? (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') : u_isalnum(c);
      if (!letter) continue;
      UChar32 l = c < 0x80 ? (c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c) : u_tolower(c);
      int32_t k = 0;
      U8_APPEND_UNSAFE(t[std::size_t(c)].bytes, k, l);
      t[std::size_t(c)].length = uint8_t(k);
    }
    return t;
  }();
  return table.data();
}

// Calls EACH with every word of the text (as SplitWords defines them), as
// a view of bytes that stay put only until EACH returns.
template <typename Each>
void for_each_word(std::string_view utf8, Each each) {
  const WordChar* chars = word_chars();
  char word[kMaxWordLength * 4 + 4];  // a character's four bytes copied whole
  std::size_t size = 0;  // bytes of the word
  int length = 0;        // characters in the word, also past the cut
  auto flush = [&] {
    if (size) each(std::string_view(word, size));
    size = 0;
    length = 0;
  };
  const auto* p = reinterpret_cast<const uint8_t*>(utf8.data());
  int32_t i = 0, n = int32_t(utf8.size());
  while (i < n) {
    uint8_t b = p[i];
    const WordChar* wc;
    if (b < 0x80) {  // the common case: ASCII, looked up directly
      wc = &chars[b];
      ++i;
    } else if (b >= 0xC2 && b < 0xE0 && i + 1 < n && (p[i + 1] & 0xC0) == 0x80) {  // two bytes
      wc = &chars[((b & 0x1F) << 6) | (p[i + 1] & 0x3F)];
      i += 2;
    } else {
      UChar32 c;
      U8_NEXT(p, i, n, c);
      if (c < 0 || !u_isalnum(c)) {
        flush();
      } else if (length++ < kMaxWordLength) {
        c = u_tolower(c);
        int32_t k = 0;
        char buf[4];
        U8_APPEND_UNSAFE(buf, k, c);
        for (int32_t j = 0; j < k; ++j) word[size++] = buf[j];
      }
      continue;
    }
    if (!wc->length) {
      flush();
    } else if (length++ < kMaxWordLength) {
      std::memcpy(word + size, wc->bytes, 4);
      size += wc->length;
    }
  }
  flush();
}

}  // namespace

std::vector<std::string> SplitWords(const std::string& utf8) {
  std::vector<std::string> out;
  for_each_word(utf8, [&](std::string_view w) { out.emplace_back(w); });
  return out;
}

namespace {

struct Collector {
  std::vector<WordOccurrence> out;
  // A record has a few dozen words: looking through them is quicker than
  // keeping a set.
  void add_whole(std::string_view word, int field) {
    if (word.empty()) return;
    for (auto& o : out)
      if (o.field == field && o.word.size() == word.size() && std::memcmp(o.word.data(), word.data(), word.size()) == 0)
        return;
    out.push_back({std::string(word), field});
  }
  void add(std::string_view text, int field) {
    for_each_word(text, [&](std::string_view w) { add_whole(w, field); });
  }
  void subfields(const MarcField& f, const char* codes, int field) {
    for (auto& s : f.subfields)
      if (s.code && std::strchr(codes, s.code)) add(s.value, field);
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

// A numeric tag as a number, -1 for any other.
int tag_number(std::string_view t) {
  if (t.size() < 3 || t[0] < '0' || t[0] > '9' || t[1] < '0' || t[1] > '9' || t[2] < '0' || t[2] > '9') return -1;
  return (t[0] - '0') * 100 + (t[1] - '0') * 10 + (t[2] - '0');
}

std::vector<WordOccurrence> RecordWords(const MarcRecord& m) {
  Collector c;
  c.out.reserve(24);
  for (auto& f : m.fields) {
    int tag = tag_number(f.tag);
    // A field in vernacular script (880) is searched as the field it is
    // linked to ($6 "245-01/(N").
    if (tag == 880) tag = tag_number(f.sub('6'));
    switch (tag) {
      case 100: case 110: case 111: case 700: case 710: case 711:
        c.subfields(f, "abcdq", kFieldAuthor);
        break;
      case 245:
        c.subfields(f, "abnp", kFieldTitle);
        c.subfields(f, "c", kFieldAuthor);
        break;
      case 246: case 740:
        c.subfields(f, "abnp", kFieldTitle);
        break;
      case 773:
        c.subfields(f, "t", kFieldTitle);
        break;
      case 505:
        c.subfields(f, "t", kFieldTitle);
        c.subfields(f, "r", kFieldAuthor);
        c.subfields(f, "a", kFieldNotes);
        break;
      case 600: case 610: case 611: case 630: case 650: case 651: case 655:
        c.subfields(f, "abcdqtxyzv", kFieldSubject);
        break;
      case 490: case 440: case 830:
        c.subfields(f, "anp", kFieldSeries);
        break;
      case 260: case 264:
        c.subfields(f, "ab", kFieldPublisher);
        c.subfields(f, "c", kFieldNumber);
        break;
      case 500: case 520:
        c.subfields(f, "a", kFieldNotes);
        break;
      case 20:
        c.add_whole(isbn_word(f.sub('a')), kFieldNumber);
        break;
      case 22:
        for (auto& part : SplitWords(f.sub('a'))) c.add_whole(part, kFieldNumber);
        c.add_whole(isbn_word(f.sub('a')), kFieldNumber);
        break;
      case 82: case 90:
        c.subfields(f, "a", kFieldNumber);
        break;
      default:
        break;
    }
  }
  return std::move(c.out);
}

std::vector<int> RecordGroups(int kind) {
  if (kind == kKindPeriodical || kind == kKindArticle) return {kGroupAll, kGroupPeriodicals};
  return {kGroupAll};
}

}  // namespace kvistur::import
