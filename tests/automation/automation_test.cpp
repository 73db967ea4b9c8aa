#include <gtest/gtest.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include "common/error_number.h"
#include "kvistur/automation.h"

using namespace kvistur;
using kvistur::testing::error_number;

TEST(Numbers, ReadRoundedAndWritten) {
  // The number at the start of a text; the comma is never a decimal point.
  const std::pair<const char16_t*, double> read[] = {{u"250", 250}, {u"  12.5abc", 12.5}, {u"1 2 3", 123},
      {u"-4", -4}, {u"abc", 0}, {u"", 0}, {u".5", 0.5}, {u"1,5", 1}, {u"2E3x", 2000}, {u"7E", 7}};
  for (auto [text, value] : read) EXPECT_EQ(read_number(text), value) << to_utf8(text);
  EXPECT_EQ(parse_whole_number(u" 42 "), 42);
  for (const char16_t* bad : {u"42x", u"", u"-"}) EXPECT_FALSE(parse_whole_number(bad)) << to_utf8(bad);
  // Half to even, and the overflow error past the type's range.
  EXPECT_EQ(round_to_i32(12.5), 12);
  EXPECT_EQ(round_to_i32(13.5), 14);
  EXPECT_EQ(round_to_i32(-2.5), -2);
  EXPECT_EQ(round_to_i16(32767.4), 32767);
  EXPECT_EQ(round_to_i32(-2147483648.0), INT32_MIN);
  for (double d : {32767.5, -32768.6, 1e10}) EXPECT_EQ(error_number([&] { round_to_i16(d); }), 6) << d;
  EXPECT_EQ(error_number([] { round_to_i32(2147483647.5); }), 6);
  EXPECT_EQ(number_text(-5) + u"|" + number_text(0), u"-5|0");
  EXPECT_EQ(number_text_blank(0) + u"|" + number_text_blank(17) + u"|" + number_text_blank(-17), u" 0| 17|-17");
  EXPECT_EQ(double_text(12.5) + u"|" + double_text(-0.25) + u"|" + double_text(1e20), u"12.5|-0.25|1E+20");
}

TEST(TextOps, TrimCaseCollationAndUtf8) {
  EXPECT_EQ(trim(u"  a b  "), u"a b");
  EXPECT_EQ(trim(u"\ta\t"), u"\ta\t") << "blanks only";
  EXPECT_EQ(trim_left(u"  x "), u"x ");
  EXPECT_EQ(trim_right(u"  x "), u"  x");
  EXPECT_EQ(trim(u"   "), u"");
  EXPECT_EQ(upper_is(u"áðéíóúýþæö"), u"ÁÐÉÍÓÚÝÞÆÖ");
  EXPECT_EQ(lower_is(u"ÞÓR"), u"þór");
  // ASCII on its own (taken without ICU) as beside an Icelandic letter.
  for (char16_t c = 0; c < 0x80; ++c) {
    EXPECT_EQ(upper_is(Text(1, c)) + u"Þ", upper_is(Text(1, c) + u"þ")) << int(c);
    EXPECT_EQ(lower_is(Text(1, c)) + u"þ", lower_is(Text(1, c) + u"Þ")) << int(c);
  }
  EXPECT_TRUE(equals_ci(u"Þór", u"þÓR"));
  EXPECT_FALSE(equals_ci(u"a", u"á"));
  EXPECT_FALSE(equals_ci(u"saga", u"sögu"));
  // Icelandic: á right after a, and þ, æ, ö after z.
  for (auto [a, b] : {std::pair{u"a", u"á"}, {u"á", u"b"}, {u"z", u"þ"}, {u"þ", u"ö"}})
    EXPECT_LT(compare_ci(a, b), 0) << to_utf8(a);
  EXPECT_EQ(sort_key_ci(u"Saga"), sort_key_ci(u"SAGA"));
  EXPECT_NE(sort_key_ci(u"saga"), sort_key_ci(u"sága"));
  Text t = u"Íslensk þýðing \U0001F600";
  EXPECT_EQ(from_utf8(to_utf8(t)), t);
  EXPECT_EQ(from_utf8("\xff" "a"), u"\uFFFDa");
  EXPECT_EQ(from_utf8("\xc3"), u"\uFFFD");  // truncated sequence
}

// The quick ways of the conversions: Latin text lowered through a table
// made from ICU; a character of two UTF-8 bytes taken in one step, beside
// the bytes that only look like one.
TEST(TextOps, QuickPathsGiveWhatICUAndTheWholeConversionGive) {
  auto icu_lower = [](const Text& s) {
    icu::UnicodeString u(reinterpret_cast<const UChar*>(s.data()), int32_t(s.size()));
    u.toLower(icu::Locale("is", "IS"));
    return Text(reinterpret_cast<const char16_t*>(u.getBuffer()), std::size_t(u.length()));
  };
  Text latin;
  for (char16_t c = 0x80; c < 0x250; ++c) {
    for (const Text& s : {Text(1, c), u"AÞ" + Text(1, c) + u"I", Text(2, c)}) EXPECT_EQ(lower_is(s), icu_lower(s)) << int(c);
    latin += c;
  }
  EXPECT_EQ(lower_is(latin), icu_lower(latin));
  // An ASCII start converts on its own, whatever follows it.
  const std::string tails[] = {"\xC3\xA1", "\xC3", "\xC1\xA1", "\xDF\xBF\xDF", "\xE2\x82", "\xF0\x9F\x98\x80", "\xED\xA0\x80", "\xFF", "\x80" "abc"};
  for (std::size_t n = 0; n < 18; ++n) {
    std::string ascii(n, 'k');
    for (const std::string& tail : tails) {
      EXPECT_EQ(from_utf8(ascii + tail), from_utf8(ascii) + from_utf8(tail)) << n << tail;
      EXPECT_EQ(from_utf8(tail + ascii), from_utf8(tail) + from_utf8(ascii)) << n << tail;
    }
    Text units(n, u'k');
    for (const Text& tail : {Text(u"\u00E1"), Text(u"\u20AC"), Text(u"\U0001F600"), Text(1, u'\xD800'), Text(1, u'\xDC00')}) {
      EXPECT_EQ(to_utf8(units + tail), to_utf8(units) + to_utf8(tail)) << n;
      EXPECT_EQ(to_utf8(tail + units), to_utf8(tail) + to_utf8(units)) << n;
    }
  }
}

TEST(Variants, ConversionsAndDates) {
  EXPECT_EQ(Variant().to_i32(), 0);
  EXPECT_EQ(Variant().to_text(), u"");
  EXPECT_EQ(Variant(u"12.5").to_i32(), 12);
  EXPECT_EQ(Variant(true).to_i32(), -1);
  EXPECT_EQ(Variant(int32_t(7)).to_text(), u"7");
  EXPECT_EQ(Variant(-3.5).to_i16(), -4);
  EXPECT_EQ(Variant(false).to_text(), u"False");
  EXPECT_EQ(error_number([] { Variant::null().to_i32(); }), 94);
  EXPECT_EQ(error_number([] { Variant::null().to_text(); }), 94);
  EXPECT_EQ(error_number([] { Variant(u"abc").to_i32(); }), 13);
  EXPECT_EQ(error_number([] { Variant(40000.0).to_i16(); }), 6);
  EXPECT_EQ(error_number([] { Variant(std::shared_ptr<Dispatch>()).to_text(); }), 13);
  auto d = parse_datetime(u"2026-12-05 14:03:07");
  ASSERT_TRUE(d);
  EXPECT_EQ(iso_text(*d), u"2026-12-05 14:03:07");
  EXPECT_EQ(general_text(*d), u"5.12.2026 14:03:07");
  EXPECT_FALSE(parse_datetime(u"2026-02-30"));
  EXPECT_EQ(Variant(DateTime{1900, 1, 1}).to_double(), 2);
}

TEST(SafeArrayTest, BoundsAndRedim) {
  SafeArray<Text> a;
  EXPECT_FALSE(a.allocated());
  EXPECT_THROW(a.ubound(), Error);
  a.redim(0, 2);
  a(1) = u"x";
  a(2) = u"y";
  a.redim_preserve(0, 3);
  EXPECT_EQ(a(1), u"x");
  EXPECT_EQ(a(3), u"");
  a.redim(0, 1);
  EXPECT_EQ(a(1), u"");
  EXPECT_EQ(error_number([&] { a(2); }), 9);
  SafeArray<int32_t> b(5, {1, 2});
  EXPECT_EQ(b.lbound(), 5);
  EXPECT_EQ(b.ubound(), 6);
  EXPECT_THROW(b.redim_preserve(0, 3), Error);
  b.redim(0, -1);  // allocated, no elements
  EXPECT_TRUE(b.allocated());
  EXPECT_EQ(b.ubound(), -1);
}
