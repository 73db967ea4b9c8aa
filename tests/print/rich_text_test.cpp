// The rich-text operations in their two modes and their failures.
#include <gtest/gtest.h>

#include "print/recording_control.h"
#include "print/rich_text.h"

using namespace kvistur;
using kvistur::testing::RecordingControl;

namespace {

CatalogueRecord with_call_number(Text m1) {
  CatalogueRecord r = EmptyRecord();
  r.Marktákn1 = std::move(m1);
  return r;
}

TEST(RichText, TextModeNeitherModeAndBadModes) {
  for (Variant mode : {Variant(int16_t(1)), Variant(1.4), Variant(Text(u" 1"))}) {
    EXPECT_EQ(PrintText(mode, u"abc"), u"abc");
    EXPECT_EQ(PrintUnderlineOn(mode), u"<U>");
    EXPECT_EQ(PrintUnderlineOff(mode), u"</U>");
    EXPECT_EQ(PrintNewLine(mode), u"");
    EXPECT_EQ(PrintCallNumber(mode, with_call_number(u"  629.1 ")), u"629.1");
  }
  for (Variant mode : {Variant(int16_t(2)), Variant(), Variant(-1.0)}) {
    EXPECT_EQ(PrintText(mode, u"abc") + PrintUnderlineOn(mode) + PrintUnderlineOff(mode) + PrintNewLine(mode), u"");
    EXPECT_EQ(PrintCallNumber(mode, with_call_number(u"629.1")), u"");
  }
  for (Variant mode : {Variant(Text(u"abc")), Variant::null(), Variant(70000.0)}) {
    EXPECT_EQ(PrintText(mode, u"abc"), u"Villa");
    EXPECT_EQ(PrintUnderlineOn(mode), u"Villa");
    EXPECT_EQ(PrintUnderlineOff(mode), u"Villa");
    EXPECT_EQ(PrintNewLine(mode), u"Villa");
  }
  // The call number traps nothing: the conversion error passes on.
  try {
    PrintCallNumber(Variant(Text(u"abc")), with_call_number(u"1"));
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), err::kTypeMismatch);
  }
}

TEST(RichText, ControlModeWritesAndFailedMembersGiveVilla) {
  auto control = std::make_shared<RecordingControl>();
  Variant v(std::static_pointer_cast<Dispatch>(control));
  EXPECT_EQ(PrintUnderlineOn(v), u"");
  EXPECT_EQ(PrintText(v, u"Íslenskt"), u"");
  EXPECT_EQ(PrintUnderlineOff(v), u"");
  EXPECT_EQ(PrintNewLine(v), u"");
  EXPECT_EQ(PrintCallNumber(v, with_call_number(u"  629.1 ")), u"629.1");
  EXPECT_EQ(control->calls, (std::vector<Text>{u"U+", u"T:Íslenskt", u"U-", u"T:\r\n", u"T:629.1"}));

  control->calls.clear();
  control->fail_underline = true;
  EXPECT_EQ(PrintUnderlineOn(v), u"Villa");
  EXPECT_EQ(PrintText(v, u"a"), u"");
  control->fail_text = true;
  EXPECT_EQ(PrintText(v, u"b"), u"Villa");
  EXPECT_EQ(PrintNewLine(v), u"Villa");
  EXPECT_EQ(PrintCallNumber(v, with_call_number(u"B")), u"B") << "still returned when the write fails";
  EXPECT_EQ(control->calls, (std::vector<Text>{u"T:a"}));
  // An object variant that holds no object at all.
  EXPECT_EQ(PrintText(Variant{std::shared_ptr<Dispatch>()}, u"a"), u"Villa");
}

}  // namespace
