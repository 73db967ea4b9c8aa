// The rich-text operations in their two modes and their failures.
#include <gtest/gtest.h>

#include "print/recording_control.h"
#include "print/rich_text.h"

using namespace kvistur;
using kvistur::testing::RecordingControl;

namespace {

TEST(RichTextModes, TextModeReturnsTheMarkUp) {
  for (Variant mode : {Variant(int16_t(1)), Variant(1.4), Variant(Text(u" 1"))}) {
    EXPECT_EQ(PrintText(mode, u"abc"), u"abc");
    EXPECT_EQ(PrintUnderlineOn(mode), u"<U>");
    EXPECT_EQ(PrintUnderlineOff(mode), u"</U>");
    EXPECT_EQ(PrintNewLine(mode), u"");
  }
}

TEST(RichTextModes, NeitherModeDoesNothing) {
  CatalogueRecord r = EmptyRecord();
  r.Marktákn1 = u"629.1";
  for (Variant mode : {Variant(int16_t(2)), Variant(), Variant(int16_t(0)), Variant(-1.0)}) {
    EXPECT_EQ(PrintText(mode, u"abc"), u"");
    EXPECT_EQ(PrintUnderlineOn(mode), u"");
    EXPECT_EQ(PrintUnderlineOff(mode), u"");
    EXPECT_EQ(PrintNewLine(mode), u"");
    EXPECT_EQ(PrintCallNumber(mode, r), u"");
  }
}

TEST(RichTextModes, BadModeValuesGiveVilla) {
  for (Variant mode : {Variant(Text(u"abc")), Variant::null(), Variant(70000.0)}) {
    EXPECT_EQ(PrintText(mode, u"abc"), u"Villa");
    EXPECT_EQ(PrintUnderlineOn(mode), u"Villa");
    EXPECT_EQ(PrintUnderlineOff(mode), u"Villa");
    EXPECT_EQ(PrintNewLine(mode), u"Villa");
  }
  // The call number traps nothing: the conversion error passes on.
  CatalogueRecord r = EmptyRecord();
  try {
    PrintCallNumber(Variant(Text(u"abc")), r);
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), err::kTypeMismatch);
  }
  EXPECT_THROW(PrintCallNumber(Variant::null(), r), Error);
}

TEST(RichTextControl, WritesIntoTheControlAndReturnsNothing) {
  auto control = std::make_shared<RecordingControl>();
  Variant v(std::static_pointer_cast<Dispatch>(control));
  EXPECT_EQ(PrintUnderlineOn(v), u"");
  EXPECT_EQ(PrintText(v, u"Íslenskt"), u"");
  EXPECT_EQ(PrintUnderlineOff(v), u"");
  EXPECT_EQ(PrintNewLine(v), u"");
  EXPECT_EQ(control->calls, (std::vector<Text>{u"U+", u"T:Íslenskt", u"U-", u"T:\r\n"}));
}

TEST(RichTextControl, FailedMemberGivesVillaAndNothingMore) {
  auto control = std::make_shared<RecordingControl>();
  control->fail_underline = true;
  Variant v(std::static_pointer_cast<Dispatch>(control));
  EXPECT_EQ(PrintUnderlineOn(v), u"Villa");
  EXPECT_EQ(PrintText(v, u"a"), u"");
  control->fail_text = true;
  EXPECT_EQ(PrintText(v, u"b"), u"Villa");
  EXPECT_EQ(PrintNewLine(v), u"Villa");
  EXPECT_EQ(control->calls, (std::vector<Text>{u"T:a"}));
  // An object variant that holds no object at all.
  Variant nothing{std::shared_ptr<Dispatch>()};
  EXPECT_EQ(PrintText(nothing, u"a"), u"Villa");
}

TEST(RichTextControl, CallNumberIsTrimmedInBothModes) {
  CatalogueRecord r = EmptyRecord();
  r.Marktákn1 = u"  629.1 ";
  r.Marktákn2 = u"Jón";
  auto control = std::make_shared<RecordingControl>();
  Variant v(std::static_pointer_cast<Dispatch>(control));
  EXPECT_EQ(PrintCallNumber(v, r), u"629.1");
  EXPECT_EQ(control->calls, (std::vector<Text>{u"T:629.1"}));
  EXPECT_EQ(PrintCallNumber(Variant(int16_t(1)), r), u"629.1");
  // A failing control still gives the call number back.
  control->fail_text = true;
  EXPECT_EQ(PrintCallNumber(v, r), u"629.1");
}

}  // namespace
