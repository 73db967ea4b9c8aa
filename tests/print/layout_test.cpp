// The print layout: every record kind and print-list type in text mode, the
// same layout in a control, the array rules, and the frame over the
// catalogue database.
#include <gtest/gtest.h>

#include <map>

#include "common/site.h"
#include "print/layout.h"
#include "print/recording_control.h"
#include "record/record_fetch.h"
#include "settings/thread_state.h"

using namespace kvistur;
using kvistur::testing::RecordingControl;

namespace {

NameEntry name(Text first, Text last) {
  NameEntry n;
  n.p1 = std::move(first);
  n.p2 = std::move(last);
  return n;
}

TitleElement title(Text s1, Text s2 = u"") { return TitleElement{std::move(s1), std::move(s2), 0}; }

// A book: main entry Jón Jónsson, title with subtitle, edition, publication,
// extent, call number B 1, two subject headings.
CatalogueRecord book() {
  CatalogueRecord r = EmptyRecord();
  r.ID = 10;
  r.Tag = 1;
  r.MarkSnið = u"1004  $aJón$bJónsson\r\n";
  r.Titlar.append(title(u"Saga", u""));
  r.Titlar.append(title(u"undirtitill"));
  r.Ábyrgðaraðildir.append(name(u"Jón", u"Jónsson"));
  r.Útgáfa.Texti = u"2. útg.";
  r.Útgáfustaður = u"Reykjavík";
  r.Útgefandi = u"Forlagið";
  r.Útgáfutími = u"2001";
  r.Umfang = u"120 s.";
  r.Marktákn1 = u" B ";
  r.Marktákn2 = u"1";
  r.Efnisorð.append(TermPair{u"Saga", u"Ísland"});
  r.Efnisorð.append(TermPair{u"Ferðir", u""});
  return r;
}

CatalogueRecord component_part() {
  CatalogueRecord r = EmptyRecord();
  r.ID = 20;
  r.Tag = 2;
  r.Upprunafærsla = 10;
  r.Marktákn1 = u"ekki";
  r.Titlar.append(title(u"Kafli"));
  r.Ábyrgðaraðildir.append(name(u"Anna", u"Jónsdóttir"));
  r.Ábyrgðaraðildir.append(name(u"Bjarni", u"Ólafsson"));
  return r;
}

CatalogueRecord periodical() {
  CatalogueRecord r = EmptyRecord();
  r.ID = 30;
  r.Tag = 100;
  r.Marktákn1 = u"05";
  r.Titlar.append(title(u"Skírnir"));
  r.Titlar.append(title(u"ekki prentað"));
  r.MarkSnið = u"255   $a1. árg. $bx\r\n";
  return r;
}

CatalogueRecord article() {
  CatalogueRecord r = EmptyRecord();
  r.ID = 40;
  r.Tag = 200;
  r.Marktákn1 = u"G";
  r.Titlar.append(title(u"Grein"));
  r.Ábyrgðaraðildir.append(name(u"Anna", u"Jónsdóttir"));
  r.Ábyrgðaraðildir.append(name(u"Bjarni", u"Ólafsson"));
  r.MarkSnið = u"792   $a2. hefti\r\n793   $aRitið$g5. árg.$c10-12\r\n";
  r.Efnisorð.append(TermPair{u"Jarðfræði", u""});
  return r;
}

struct Printed {
  int32_t result = 0;
  SafeArray<int16_t> iTag;
  SafeArray<Text> szA1, szA2, szA3;
};

class PrintLayoutTest : public ::testing::Test {
 protected:
  void add(CatalogueRecord r) { records_[r.ID] = std::move(r); }

  RecordSource source() {
    return [this](int32_t id) {
      auto it = records_.find(id);
      if (it != records_.end()) return it->second;
      CatalogueRecord none = EmptyRecord();  // what a fetch of a missing number gives
      return none;
    };
  }

  Printed lay_out(const Variant& mode, std::vector<int32_t> ids, int16_t type, Printed p = {}) {
    ids.insert(ids.begin(), 0);
    SafeArray<int32_t> lID(0, ids);
    PrintLines out{p.iTag, p.szA1, p.szA2, p.szA3};
    p.result = LayOutRecords(mode, lID, type, source(), out);
    return p;
  }

  // Text mode, one record: its line's szA2.
  Text text_of(int32_t id, int16_t type) {
    Printed p = lay_out(kText, {id}, type);
    EXPECT_EQ(p.iTag.ubound(), 1);
    return p.szA2(1);
  }

  const Variant kText{int16_t(1)};
  std::map<int32_t, CatalogueRecord> records_;
};

TEST_F(PrintLayoutTest, OrdinaryItemByPrintListType) {
  add(book());
  const Text head = u"Jón Jónsson: <U>Saga : undirtitill</U>";
  EXPECT_EQ(text_of(10, 0), head + u". - Reykjavík : Forlagið, 2001");
  const Text tail = u". - 2. útg.. - Reykjavík : Forlagið, 2001. - 120 s.  [B  1]";
  EXPECT_EQ(text_of(10, 1), head + tail);
  EXPECT_EQ(text_of(10, 2), head + tail);
  EXPECT_EQ(text_of(10, 4), head + tail);
  EXPECT_EQ(text_of(10, 7), head);
  EXPECT_EQ(text_of(10, -1), head);

  Printed p = lay_out(kText, {10}, 0);
  EXPECT_EQ(p.result, 1);
  EXPECT_EQ(p.iTag.items(), (std::vector<int16_t>{0, 2}));
  EXPECT_EQ(p.szA1.items(), (std::vector<Text>{u"", u"B"}));
  EXPECT_EQ(p.szA3.items(), (std::vector<Text>{u"", u""}));
}

TEST_F(PrintLayoutTest, OrdinaryItemWithBlankAreas) {
  CatalogueRecord r = EmptyRecord();
  r.ID = 11;
  r.Tag = 1;
  r.Útgáfutími = u"   ";  // no publication area, and a tail of blanks only
  add(r);
  EXPECT_EQ(text_of(11, 0), u"");
  EXPECT_EQ(text_of(11, 1), u"");
}

TEST_F(PrintLayoutTest, SubjectLineForListType3) {
  add(book());
  add(article());
  Printed p = lay_out(kText, {10, 40}, 3);
  EXPECT_EQ(p.result, 2);
  EXPECT_EQ(p.iTag.items(), (std::vector<int16_t>{0, 2, 4, 2, 4}));
  EXPECT_EQ(p.szA2(1), u"Jón Jónsson: <U>Saga : undirtitill</U>. - 2. útg.. - Reykjavík : Forlagið, 2001. - 120 s.  [B  1]");
  EXPECT_EQ(p.szA2(2), u"Efnisorð: Saga Ísland ; Ferðir");
  EXPECT_EQ(p.szA2(4), u"Efnisorð: Jarðfræði");
  EXPECT_EQ(p.szA1.items(), (std::vector<Text>{u"", u"B", u"", u"G", u""}));
  EXPECT_EQ(p.szA3.items(), (std::vector<Text>(5)));

  // No subject headings: no second line.
  CatalogueRecord r = book();
  r.Efnisorð.clear();
  add(r);
  EXPECT_EQ(lay_out(kText, {10}, 3).iTag.items(), (std::vector<int16_t>{0, 2}));
}

TEST_F(PrintLayoutTest, ComponentPartShowsItsHost) {
  add(book());
  add(component_part());
  Text expected = u"Anna Jónsdóttir: \"Kafli\".  Í: <U>Saga : undirtitill</U>. - Reykjavík : Forlagið, 2001";
  for (int16_t type : {0, 1, 3, 7}) EXPECT_EQ(text_of(20, type), expected) << type;
  Printed p = lay_out(kText, {20}, 3);
  EXPECT_EQ(p.szA1(1), u"B");  // the host's call number
  EXPECT_EQ(p.iTag.ubound(), 1);

  // A part without title or names, whose host has a title.
  CatalogueRecord r = component_part();
  r.Titlar.clear();
  r.Ábyrgðaraðildir.clear();
  r.MarkSnið = u"1004  $aPáll$bPálsson\r\n";
  add(r);
  EXPECT_EQ(text_of(20, 0), u".  Í: Páll Pálsson: <U>Saga : undirtitill</U>. - Reykjavík : Forlagið, 2001");

  // A host that cannot be found gives an empty host record.
  r.Upprunafærsla = 999;
  add(r);
  EXPECT_EQ(text_of(20, 0), u".  Í: Páll Pálsson: ");
  EXPECT_EQ(lay_out(kText, {20}, 0).szA1(1), u"");
}

TEST_F(PrintLayoutTest, Periodical) {
  add(periodical());
  for (int16_t type : {0, 3, 9}) EXPECT_EQ(text_of(30, type), u"<U>Skírnir</U>. - 1. árg. [tímarit]");
  EXPECT_EQ(lay_out(kText, {30}, 0).szA1(1), u"05");
  CatalogueRecord r = periodical();
  r.Titlar.clear();
  add(r);
  EXPECT_EQ(text_of(30, 0), u"1. árg. [tímarit]");
  r.MarkSnið.clear();
  add(r);
  EXPECT_EQ(text_of(30, 0), u" [tímarit]");
}

TEST_F(PrintLayoutTest, ArticleByPrintListType) {
  add(article());
  const Text head = u"Anna Jónsdóttir ; Bjarni Ólafsson: <U>Grein</U>";
  const Text citation = u"2. hefti, 5. árg.(Ritið), s. 10-12";
  EXPECT_EQ(text_of(40, 0), head + u". - " + citation);
  EXPECT_EQ(text_of(40, 1), head + u". - " + citation);
  EXPECT_EQ(text_of(40, 2), head + u". - " + citation);
  EXPECT_EQ(text_of(40, 4), head + citation);
  EXPECT_EQ(text_of(40, 5), head);

  // A citation of blanks only: kept by type 0, dropped by the others.
  CatalogueRecord r = article();
  r.MarkSnið = u"792   $a  $z\r\n";
  r.Ábyrgðaraðildir.clear();
  add(r);
  EXPECT_EQ(text_of(40, 0), u"<U>Grein</U>. -   ");
  EXPECT_EQ(text_of(40, 1), u"<U>Grein</U>");
  EXPECT_EQ(text_of(40, 4), u"<U>Grein</U>");
}

TEST_F(PrintLayoutTest, KindsThatAreNotPrintedKeepTheirLine) {
  add(book());
  add(periodical());
  CatalogueRecord other = book();
  other.ID = 50;
  other.Tag = 0;
  add(other);
  Printed p = lay_out(kText, {10, 50, 30, 12345}, 1);
  EXPECT_EQ(p.result, 4);
  EXPECT_EQ(p.iTag.items(), (std::vector<int16_t>{0, 2, -1, 2, -1}));
  EXPECT_EQ(p.szA1.items(), (std::vector<Text>{u"", u"B", u"", u"05", u""}));
  EXPECT_EQ(p.szA2(2), u"");
  EXPECT_EQ(p.szA2(4), u"");
}

TEST_F(PrintLayoutTest, ArrayRules) {
  add(book());
  // Nothing to lay out: the arrays stay as they were.
  Printed before;
  before.szA2 = SafeArray<Text>(0, {u"x"});
  for (auto ids : {SafeArray<int32_t>(0, {7}), SafeArray<int32_t>(), SafeArray<int32_t>(0, {})}) {
    Printed p = before;
    PrintLines out{p.iTag, p.szA1, p.szA2, p.szA3};
    EXPECT_EQ(LayOutRecords(kText, ids, 0, source(), out), 0);
    EXPECT_EQ(p.szA2, before.szA2);
    EXPECT_FALSE(p.iTag.allocated());
  }
  // Index 0 keeps what the caller had; longer arrays end at the last line.
  Printed p;
  p.szA1 = SafeArray<Text>(0, {u"null", u"a", u"b", u"c"});
  p.iTag = SafeArray<int16_t>(0, {9, 9, 9, 9});
  p = lay_out(kText, {10}, 0, p);
  EXPECT_EQ(p.szA1.items(), (std::vector<Text>{u"null", u"B"}));
  EXPECT_EQ(p.iTag.items(), (std::vector<int16_t>{9, 2}));
  EXPECT_EQ(p.szA3.lbound(), 0);
  // An output array with another lower bound fails.
  Printed bad;
  bad.szA3 = SafeArray<Text>(1, {u"a"});
  EXPECT_THROW(lay_out(kText, {10}, 0, bad), Error);
  // The numbers of lID are read from index 1 whatever its lower bound.
  SafeArray<int32_t> low(-2, {10, 10, 10, 99, 10});
  Printed q;
  PrintLines out{q.iTag, q.szA1, q.szA2, q.szA3};
  EXPECT_EQ(LayOutRecords(kText, low, 0, source(), out), 2);
  EXPECT_EQ(q.iTag.items(), (std::vector<int16_t>{0, -1, 2}));
  // lID(1) does not exist when lID starts above 1: the line begun for it
  // stays (kind -1, empty texts) when the failure ends the layout.
  SafeArray<int32_t> high(2, {10, 10});
  Printed h;
  PrintLines hout{h.iTag, h.szA1, h.szA2, h.szA3};
  EXPECT_THROW(LayOutRecords(kText, high, 0, source(), hout), Error);
  EXPECT_EQ(h.iTag.items(), (std::vector<int16_t>{0, -1}));
  EXPECT_EQ(h.szA2.items(), (std::vector<Text>{u"", u""}));
}

TEST_F(PrintLayoutTest, ControlModeWritesTheSameLayout) {
  add(book());
  add(article());
  auto control = std::make_shared<RecordingControl>();
  Variant v(std::static_pointer_cast<Dispatch>(control));
  Printed p = lay_out(v, {10, 40}, 3);
  EXPECT_EQ(p.iTag.items(), (std::vector<int16_t>{0, 2, 4, 2, 4}));
  EXPECT_EQ(p.szA1.items(), (std::vector<Text>{u"", u"B", u"", u"G", u""}));
  EXPECT_EQ(p.szA2.items(), (std::vector<Text>(5)));
  EXPECT_EQ(control->as_marked(),
            u"\r\n\r\nB\tJón Jónsson: <U>Saga : undirtitill</U>. - 2. útg.. - Reykjavík : Forlagið, 2001. - 120 s.  "
            u"[B  1]\r\n\tEfnisorð: Saga Ísland ; Ferðir"
            u"\r\n\r\nG\tAnna Jónsdóttir ; Bjarni Ólafsson: <U>Grein</U>. - 2. hefti, 5. árg.(Ritið), s. 10-12"
            u"\r\n\tEfnisorð: Jarðfræði");
  // The title is underlined on its own.
  auto first = std::find(control->calls.begin(), control->calls.end(), Text(u"U+"));
  ASSERT_NE(first, control->calls.end());
  EXPECT_EQ(*(first + 1), u"T:Saga : undirtitill");
  EXPECT_EQ(*(first + 2), u"U-");
}

TEST_F(PrintLayoutTest, FailedControlCallsLeaveVillaInTheText) {
  add(book());
  auto control = std::make_shared<RecordingControl>();
  control->fail_underline = true;
  Variant v(std::static_pointer_cast<Dispatch>(control));
  Printed p = lay_out(v, {10}, 0);
  EXPECT_EQ(p.szA2(1), u"VillaVilla");
  EXPECT_EQ(p.szA1(1), u"B");
  // A mode that writes nothing still reports the lines; a text that is no
  // number fails at the call number.
  p = lay_out(Variant(int16_t(2)), {10}, 0);
  EXPECT_EQ(p.iTag.items(), (std::vector<int16_t>{0, 2}));
  EXPECT_EQ(p.szA1.items(), (std::vector<Text>{u"", u""}));
  EXPECT_EQ(p.szA2.items(), (std::vector<Text>{u"", u""}));
  EXPECT_THROW(lay_out(Variant(Text(u"abc")), {10}, 0), Error);
}

// The frame, with the catalogue database behind the fetch.
class PrintFrameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    thread_state() = ThreadState{};
    thread_state().bDebug = true;
    site_.clear_log();
  }
  void TearDown() override { thread_state() = ThreadState{}; }
  kvistur::testing::Site site_;
};

TEST_F(PrintFrameTest, WritesEntryAndExitLines) {
  Printed p;
  PrintLines out{p.iTag, p.szA1, p.szA2, p.szA3};
  SafeArray<int32_t> ids(0, {0, 10, 11});
  RecordSource fetch = [](int32_t) { return EmptyRecord(); };
  site_.set("Prentun", "ListaTegund", "1");
  EXPECT_EQ(PrintLayout(Variant(int16_t(1)), ids, out, fetch), 2);
  auto lines = site_.log_lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "MeldaError: FormaFyrirPrentun inn.  UBound(lID):,  2, ");
  EXPECT_EQ(lines[1], "MeldaError: FormaFyrirPrentun út, normal,  0, ");
  EXPECT_EQ(p.iTag.items(), (std::vector<int16_t>{0, -1, -1}));
}

TEST_F(PrintFrameTest, FailuresEndTheLayoutWithMinusOne) {
  SafeArray<int32_t> ids(0, {0, 10, 11});
  RecordSource fetch = [](int32_t id) {
    if (id == 11) throw Error(91);
    CatalogueRecord r = EmptyRecord();
    r.Tag = 1;
    r.Marktákn1 = u"A";
    return r;
  };
  site_.set("Prentun", "ListaTegund", "0");
  Printed p;
  PrintLines out{p.iTag, p.szA1, p.szA2, p.szA3};
  EXPECT_EQ(PrintLayout(Variant(int16_t(1)), ids, out, fetch), -1);
  // What was laid out before the fault stays.
  EXPECT_EQ(p.iTag.items(), (std::vector<int16_t>{0, 2, -1}));
  EXPECT_EQ(p.szA1(1), u"A");
  auto lines = site_.log_lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].rfind("MeldaError: Kvistur,  91, ", 0), 0u) << lines[1];

  // A print-list type outside 16 bits.
  site_.set("Prentun", "ListaTegund", "40000");
  site_.clear_log();
  EXPECT_EQ(PrintLayout(Variant(int16_t(1)), ids, out, fetch), -1);
  lines = site_.log_lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].rfind("MeldaError: Kvistur,  6, ", 0), 0u) << lines[1];
}

TEST_F(PrintFrameTest, WithoutLogOnTheFetchFails) {
  Printed p;
  PrintLines out{p.iTag, p.szA1, p.szA2, p.szA3};
  SafeArray<int32_t> ids(0, {0, 10});
  EXPECT_EQ(PrintLayout(Variant(int16_t(1)), ids, out, [](int32_t id) { return FærslaFráID(id); }), -1);
  EXPECT_EQ(p.iTag.items(), (std::vector<int16_t>{0, -1}));
}

}  // namespace
