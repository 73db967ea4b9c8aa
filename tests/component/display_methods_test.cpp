// The four text methods: a whole-record text in, a display string out, and
// the parser's faults thrown to the host unchanged.
#include <gtest/gtest.h>

#include "common/error_number.h"
#include "common/record_text_builder.h"
#include "component/methods.h"
#include "kvistur/faersla.h"

using namespace kvistur;
using kvistur::testing::error_number;
using kvistur::testing::RecordTextBuilder;

namespace {

TEST(DisplayMethods, WorkedExamplesThroughSkilaRSv) {
  RecordTextBuilder b;
  b.Titlar = {RecordTextBuilder::title(u"Titill"), RecordTextBuilder::title(u"undirtitill")};
  b.Ábyrgðaraðildir = {RecordTextBuilder::name(u"Fornafn", u"Eftirnafn")};
  b.ÚtgáfaTexti = u"2. útg.";
  b.Útgáfustaður = u"Staður";
  b.Útgefandi = u"Útgefandi";
  b.Útgáfutími = u"2001";
  b.Umfang = u"120 s.";
  b.AðrarUpplýsingar = u"myndir";
  b.Stærð = u"24 sm";
  b.Marktákn1 = u"B";
  b.Marktákn2 = u"1";
  Variant text(b.text()), marc(u"1004 #$aFornafn$bEftirnafn");
  Faersla f;
  EXPECT_EQ(f.SkilaRSv(text, marc),
            u"Fornafn Eftirnafn: Titill : undirtitill / Fornafn Eftirnafn. - 2. útg.. - Staður : Útgefandi, 2001. - "
            u"120 s. : myndir ; 24 sm [B 1]");
  EXPECT_EQ(text, Variant(b.text())) << "the parameters are left as they were";

  // A record given as text has kind 0, so the periodical example is built by
  // hand: the kind comes from the table row, not from the text.
  RecordTextBuilder p;
  p.Titlar = {RecordTextBuilder::title(u"Titill")};
  Variant ptext(p.text()), pmarc(u"792  $a2. hefti\r\n793  $aRitið$bundirtitill$g5. árg.$c10-12");
  EXPECT_EQ(SkilaRSv(ptext, pmarc), u"Titill") << "kind 0 does not read the citation";
  Variant empty_marc;
  EXPECT_EQ(SkilaRSv(ptext, empty_marc), u"Titill");
}

TEST(DisplayMethods, HoldingsSubjectsContentsAndFaults) {
  RecordTextBuilder b;
  b.Aðfanganúmer = {{u"101", u" Gjöf ", u""}, {u"102", u"", u"Útibú"}};
  b.Efnisorð = {{u"Saga", u"Ísland"}, {u"Ljóð", u""}};
  b.Efnisyfirlit = {{{RecordTextBuilder::title(u"Kafli")}, {RecordTextBuilder::name(u"Höf")}, {{u"Efni", u""}}},
                    {{RecordTextBuilder::title(u"Annar")}, {}, {}}};
  Variant v(b.text());
  EXPECT_EQ(SkilaAN(v), u"101, Gjöf\r\n102, Útibú");
  EXPECT_EQ(SkilaEN(v), u"Saga Ísland ; Ljóð");
  EXPECT_EQ(SkilaGF(v), u"Höf: Kafli. - Efni\r\nAnnar");

  Variant empty_record(RecordTextBuilder{}.text()), empty_text(u""), nothing;
  for (Variant* e : {&empty_record, &empty_text, &nothing}) {
    EXPECT_EQ(SkilaAN(*e), u"");
    EXPECT_EQ(SkilaEN(*e), u"");
    EXPECT_EQ(SkilaGF(*e), u"");
    Variant m(u"1004 #$aX");
    EXPECT_EQ(SkilaRSv(*e, m), u"X: ") << "the main entry alone, before an empty title";
  }
  Variant number(int32_t(7));
  EXPECT_EQ(error_number([&] { SkilaAN(number); }), err::kInvalidArgument) << "the text \"7\" has no terminator";

  // The parser's faults reach the host.
  Text whole = RecordTextBuilder{}.text();
  Variant truncated(whole.substr(0, 20));  // stops inside the call-number values
  Variant null = Variant::null();
  b.Titlar = {{u"99999", u"Titill", u""}};
  Variant overflow(b.text());
  Variant marc(u"");
  for (auto* method : {+[](Variant& v) { SkilaAN(v); }, +[](Variant& v) { SkilaEN(v); },
                       +[](Variant& v) { SkilaGF(v); }}) {
    EXPECT_EQ(error_number([&] { method(truncated); }), err::kInvalidArgument);
    EXPECT_EQ(error_number([&] { method(overflow); }), err::kOverflow);
    EXPECT_EQ(error_number([&] { method(null); }), err::kInvalidNull);
  }
  EXPECT_EQ(error_number([&] { SkilaRSv(truncated, marc); }), err::kInvalidArgument);
  EXPECT_EQ(error_number([&] { SkilaRSv(overflow, marc); }), err::kOverflow);
  Variant good(whole);
  EXPECT_EQ(error_number([&] { SkilaRSv(good, null); }), err::kInvalidNull);
}

}  // namespace
