// The mapping's quick ways beside the plain ways they stand in for: each
// must give what the plain way gives, on the awkward inputs as well.
#include <gtest/gtest.h>

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unorm2.h>
#include <unicode/utf8.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "import/marc/record_writer.h"
#include "import/marc/word_index.h"
#include "marc/description.h"
#include "marc/lists.h"
#include "marc21/marc_reader.h"
#include "marc21/marc_writer.h"
#include "marc21/punctuation.h"

using namespace kvistur;
using namespace kvistur::marc21;

namespace {

std::string utf8_of(UChar32 c) {
  char buf[4];
  int32_t k = 0;
  U8_APPEND_UNSAFE(buf, k, c);
  return std::string(buf, std::size_t(k));
}

}  // namespace

// A text of characters before U+0300 is taken to be in normal form C
// without ICU: every one of them is a starter that composes with nothing.
// Anything else, ill-formed bytes too, is left to ICU.
TEST(QuickPaths, NormalFormCOfTheCharactersBeforeTheCombiningMarks) {
  for (UChar32 c = 0; c < 0x300; ++c) {
    EXPECT_EQ(u_getCombiningClass(c), 0) << c;
    EXPECT_EQ(u_getIntPropertyValue(c, UCHAR_NFC_QUICK_CHECK), UNORM_YES) << c;
  }
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
  for (std::string s : {"Sma\xCC\x81saga", "12345678e\xCC\x81", "\xC3\xA1\xC3", "\xC2", "\xC2" "A", "\x80", "\xC0\x80",
                        "\xCB\xBF\xCC\x80", "A\xCC\x8A", "\xE1\xBA\xA0", "\xF0\x9F\x98\x80", "abcdefghij\xC3\xB0"}) {
    UErrorCode st = U_ZERO_ERROR;
    EXPECT_EQ(IsNfc(s), bool(nfc->isNormalizedUTF8(icu::StringPiece(s.data(), int32_t(s.size())), st))) << s;
  }
}

// Words split by a table of the first 2 048 characters, built from ICU,
// as ICU classifies and lowers each character.
TEST(QuickPaths, WordsAsICUSplitsThemCharacterByCharacter) {
  auto plain = [](const std::string& utf8) {
    std::vector<std::string> out;
    std::string word;
    int length = 0;
    const auto* p = reinterpret_cast<const uint8_t*>(utf8.data());
    int32_t i = 0, n = int32_t(utf8.size());
    while (i < n) {
      UChar32 c;
      U8_NEXT(p, i, n, c);
      if (c < 0 || !u_isalnum(c)) {
        if (!word.empty()) out.push_back(word);
        word.clear();
        length = 0;
      } else if (length++ < import::kMaxWordLength) {
        word += utf8_of(u_tolower(c));
      }
    }
    if (!word.empty()) out.push_back(word);
    return out;
  };
  std::string all;
  for (UChar32 c = 1; c < 0x800; ++c) all += utf8_of(c) + (c % 3 ? "" : "a");
  std::string longest;
  for (int i = 0; i < 70; ++i) longest += i % 2 ? "\xC3\x96" : "\xE1\xBA\xA0";
  for (const std::string& s : {all, longest, std::string(70, 'Q') + " " + longest + "\xF0\x9F\x98\x80x",
                               std::string("Ab\xC3\xC3\x96\xC2 \xE1\xBA x\xCC\x81y \xED\xA0\x80z \xC0\x80\xF4\x90\x80\x80")})
    EXPECT_EQ(import::SplitWords(s), plain(s)) << s;
}

// Which area's stop goes to the separator after it, told from the members
// without writing the areas, as the display's texts of the areas tell it.
TEST(QuickPaths, AreaStopsAsTheWrittenAreasDecide) {
  auto plain = [](CatalogueRecord& r, int kind) {
    auto blank = [](const Text& t) { return trim(t).empty(); };
    auto drop = [](Text* t) {
      if (!t) return;
      Text v = trim(*t);
      if (v.empty() || v.back() != u'.') return;
      v.pop_back();
      *t = trim(v);
    };
    auto end_of_name = [&](NameEntry& n) -> Text* {
      for (Text* p : {&n.p5, &n.p4, &n.p3, &n.p2, &n.p1})
        if (!blank(*p)) return p;
      return nullptr;
    };
    auto end_of_names = [&](List<NameEntry>& l) { return l.empty() ? nullptr : end_of_name(l[std::size_t(l.count() - 1)]); };
    auto end_of_title = [&](CatalogueRecord& c) -> Text* {
      if (c.Titlar.empty() || (c.Titlar.count() == 1 && !c.Efnistegund.empty())) return nullptr;
      TitleElement& t = c.Titlar[std::size_t(c.Titlar.count() - 1)];
      return blank(t.s2) ? &t.s1 : &t.s2;
    };
    Text* edition = !JoinNames(r.Útgáfa.Nöfn).empty() ? end_of_names(r.Útgáfa.Nöfn) : &r.Útgáfa.Texti;
    Text* publication = !blank(r.Útgáfutími) ? &r.Útgáfutími : !blank(r.Útgefandi) ? &r.Útgefandi : &r.Útgáfustaður;
    Text* physical = !r.Fylgiefni.empty() ? &r.Fylgiefni
                     : !r.Stærð.empty()   ? &r.Stærð
                     : !r.AðrarUpplýsingar.empty() ? &r.AðrarUpplýsingar
                                                    : &r.Umfang;
    std::pair<Text, Text*> areas[] = {
        {BuildEdition(r), edition}, {BuildPublication(r), publication}, {BuildPhysical(r), physical}, {BuildSeries(r), nullptr}};
    bool later = false;
    for (int i = 3; i >= 0; --i) {
      if (areas[i].first.empty()) continue;
      if (later) drop(areas[i].second);
      later = true;
    }
    if (kind == 100 || kind == 200) drop(end_of_title(r));
    else if ((kind == 0 || kind == 1) && later)
      drop(!JoinNames(r.Ábyrgðaraðildir).empty() ? end_of_names(r.Ábyrgðaraðildir) : end_of_title(r));
  };
  std::mt19937 random(7);
  const Text values[] = {u"", u" ", u"  ", u"a", u"a.", u" a. ", u".", u" . ", u"b ..", u"x y."};
  auto value = [&] { return values[random() % std::size(values)]; };
  auto names = [&] {
    List<NameEntry> l;
    for (unsigned k = random() % 3; k > 0; --k) {
      NameEntry n;
      n.p1 = value(), n.p2 = value(), n.p3 = value(), n.p4 = value(), n.p5 = value();
      n.iRöð = int16_t(random() % 3);
      l.append(n);
    }
    return l;
  };
  auto titles = [&] {
    List<TitleElement> l;
    for (unsigned k = random() % 3; k > 0; --k) l.append(TitleElement{value(), value(), 0});
    return l;
  };
  for (int i = 0; i < 20000; ++i) {
    CatalogueRecord r;
    r.Útgáfa.Texti = value(), r.Útgáfa.Nöfn = names();
    r.Útgefandi = value(), r.Útgáfutími = value(), r.Útgáfustaður = value();
    r.Umfang = value(), r.AðrarUpplýsingar = value(), r.Stærð = value(), r.Fylgiefni = value();
    r.Ritröð.Titlar = titles(), r.Ritröð.Nöfn = names(), r.Ritröð.Tölumerking = value();
    r.Titlar = titles(), r.Efnistegund = value(), r.Ábyrgðaraðildir = names();
    int kind = std::vector<int>{0, 1, 2, 100, 200}[random() % 5];
    CatalogueRecord expected = r;
    plain(expected, kind);
    ShareAreaStops(r, kind);
    ASSERT_EQ(r, expected) << "case " << i;
  }
}

// A record written whole into its final size is what the field-by-field
// writer writes, and fails where it fails, with the same reason.
TEST(QuickPaths, Iso2709WrittenWholeAsFieldByField) {
  auto plain = [](const MarcRecord& r) {
    Iso2709Writer w;
    for (auto& f : r.fields) w.add(f);
    return w.finish(r.leader);
  };
  auto outcome = [](auto write, const MarcRecord& r) {
    try {
      return write(r);
    } catch (const std::runtime_error& e) {
      return std::string("error: ") + e.what();
    }
  };
  MarcRecord r;
  r.leader = "01234nam\x01" "a22000000a\x7f" "4500xyz";
  r.fields = {{"001", ' ', ' ', "id1", {}}, {"245", '1', '0', "", {{'a', "Titill"}, {'b', ""}}}, {"500", ' ', ' ', "", {}}};
  std::vector<MarcRecord> cases = {r, MarcRecord{}};
  cases.back().leader = "short";
  for (std::size_t size : {9995, 9996, 10000}) {  // a field of 9 999 bytes is the longest
    cases.push_back(r);
    cases.back().fields.push_back({"520", ' ', ' ', "", {{'a', std::string(size, 'x')}}});
  }
  cases.push_back(r);
  for (int i = 0; i < 11; ++i) cases.back().fields.push_back({"520", ' ', ' ', "", {{'a', std::string(9000, 'y')}}});
  cases.push_back(r);
  cases.back().fields.push_back({"52", ' ', ' ', "", {{'a', "x"}}});
  for (auto& c : cases) EXPECT_EQ(outcome(WriteIso2709, c), outcome(plain, c));
  EXPECT_EQ(outcome(WriteIso2709, cases[4]).substr(0, 7), "error: ");
}

// Values scanned eight bytes at a time: a character that matters is found
// at every place in a value.
TEST(QuickPaths, MarcLinesAndUtf8ChecksFindACharacterAnywhere) {
  for (std::size_t at = 0; at < 20; ++at) {
    std::string value(20, 'v');
    for (auto [c, written] : {std::pair{'$', "\xEF\xBC\x84"}, {'\r', " "}, {'\n', " "}}) {
      value[at] = c;
      std::string expected = "500   $a" + value.substr(0, at) + written + value.substr(at + 1);
      EXPECT_EQ(import::MarcLine(MarcField{"500", ' ', ' ', "", {{'a', value}}}), expected) << at;
    }
    for (auto [bytes, valid] : {std::pair{"\x01", false}, {"\x1f", false}, {"\x7f", false}, {"\xFF", false},
                                {"\xC3\xA1", true}, {"\t", true}, {"\r", true}, {"\n", true}, {" ", true}, {"~", true}}) {
      std::string text(20, 't');
      text.replace(at, 1, bytes);
      EXPECT_EQ(valid_utf8_text(text), valid) << at << " " << int((unsigned char)bytes[0]);
    }
  }
}
