// The print layout: every record kind and print-list type in text mode, the
// same layout in a control, the array rules, and the frame over the
// catalogue database; and the rich-text operations it writes with, in their
// two modes and their failures.
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "common/error_number.h"
#include "common/site.h"
#include "print/layout.h"
#include "print/rich_text.h"
#include "record/record_fetch.h"
#include "settings/thread_state.h"

using namespace kvistur;
using kvistur::testing::error_number;

namespace {

// A rich-text control: records every write as "U+", "U-" or "T:" + text,
// and can be told to refuse a member.
class RecordingControl : public Dispatch {
 public:
  std::vector<Text> calls;
  bool fail_underline = false;
  bool fail_text = false;

  Variant invoke(TextView member, std::vector<Variant>&) override { throw no_such_member(member); }
  Variant get(TextView member) override { throw no_such_member(member); }
  void put(TextView member, const Variant& value) override {
    if (member == u"SelUnderline" && !fail_underline) {
      calls.push_back(value.to_bool() ? u"U+" : u"U-");
    } else if (member == u"SelText" && !fail_text) {
      calls.push_back(u"T:" + value.to_text());
    } else {
      throw no_such_member(member);
    }
  }
  // The calls joined, with underlined text between "<U>" and "</U>" and the
  // writes that carry no text left out: what text mode would have given.
  Text as_marked() const {
    Text t;
    for (auto& c : calls) t += c == u"U+" ? Text(u"<U>") : c == u"U-" ? Text(u"</U>") : c.substr(2);
    return t;
  }
};

NameEntry name(Text first, Text last) { return {0, std::move(first), std::move(last), u"", u"", u"", 0}; }

TitleElement title(Text s1, Text s2 = u"") { return TitleElement{std::move(s1), std::move(s2), 0}; }

// A record of KIND numbered ID, its call number, first title and MARC text.
CatalogueRecord record(int32_t id, int16_t kind, Text call, Text first_title, Text marc = u"") {
  CatalogueRecord r = EmptyRecord();
  r.ID = id;
  r.Tag = kind;
  r.Marktákn1 = std::move(call);
  r.Titlar.append(title(std::move(first_title)));
  r.MarkSnið = std::move(marc);
  return r;
}

// A book: main entry Jón Jónsson, title with subtitle, edition, publication,
// extent, call number B 1, two subject headings.
CatalogueRecord book() {
  CatalogueRecord r = record(10, 1, u" B ", u"Saga", u"1004  $aJón$bJónsson\r\n");
  r.Titlar.append(title(u"undirtitill"));
  r.Ábyrgðaraðildir.append(name(u"Jón", u"Jónsson"));
  r.Útgáfa.Texti = u"2. útg.";
  r.Útgáfustaður = u"Reykjavík";
  r.Útgefandi = u"Forlagið";
  r.Útgáfutími = u"2001";
  r.Umfang = u"120 s.";
  r.Marktákn2 = u"1";
  r.Efnisorð.append(TermPair{u"Saga", u"Ísland"});
  r.Efnisorð.append(TermPair{u"Ferðir", u""});
  return r;
}

// A component part of the book with two names, whose own call number is not
// printed.
CatalogueRecord component_part() {
  CatalogueRecord r = record(20, 2, u"ekki", u"Kafli");
  r.Upprunafærsla = 10;
  r.Ábyrgðaraðildir.append(name(u"Anna", u"Jónsdóttir"));
  r.Ábyrgðaraðildir.append(name(u"Bjarni", u"Ólafsson"));
  return r;
}

CatalogueRecord periodical() {
  CatalogueRecord r = record(30, 100, u"05", u"Skírnir", u"255   $a1. árg. $bx\r\n");
  r.Titlar.append(title(u"ekki prentað"));
  return r;
}

CatalogueRecord article() {
  CatalogueRecord r = record(40, 200, u"G", u"Grein", u"792   $a2. hefti\r\n793   $aRitið$g5. árg.$c10-12\r\n");
  r.Ábyrgðaraðildir.append(name(u"Anna", u"Jónsdóttir"));
  r.Ábyrgðaraðildir.append(name(u"Bjarni", u"Ólafsson"));
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

  // A missing number fetches an empty record, as the catalogue's fetch does.
  RecordSource source() {
    return [this](int32_t id) { return records_.count(id) ? records_[id] : EmptyRecord(); };
  }

  Printed lay_out(const Variant& mode, std::vector<int32_t> ids, int16_t type, Printed p = {}) {
    ids.insert(ids.begin(), 0);
    SafeArray<int32_t> lID(0, ids);
    PrintLines out{p.iTag, p.szA1, p.szA2, p.szA3};
    p.result = LayOutRecords(mode, lID, type, source(), out);
    return p;
  }

  const Variant kText{int16_t(1)};
  std::map<int32_t, CatalogueRecord> records_;
};

// One record of each kind in text mode, changed or not, under each
// print-list type given: its line's text and call number; and the lines of
// kinds that are not printed.
TEST_F(PrintLayoutTest, EachKindByPrintListType) {
  for (auto r : {book(), component_part(), periodical(), article()}) add(r);
  const Text item = u"Jón Jónsson: <U>Saga : undirtitill</U>", publication = u". - Reykjavík : Forlagið, 2001";
  const Text host = u"<U>Saga : undirtitill</U>" + publication;
  const Text names = u"Anna Jónsdóttir ; Bjarni Ólafsson: <U>Grein</U>", citation = u"2. hefti, 5. árg.(Ritið), s. 10-12";
  using Change = std::function<void(CatalogueRecord&)>;
  Change none = [](CatalogueRecord&) {};
  Change blank_areas = [](CatalogueRecord& r) {  // no publication area, and a tail of blanks only
    r = EmptyRecord();
    r.ID = 10;
    r.Tag = 1;
    r.Útgáfutími = u"   ";
  };
  Change bare_part = [](CatalogueRecord& r) {  // no title or names of its own
    r.Titlar.clear();
    r.Ábyrgðaraðildir.clear();
    r.MarkSnið = u"1004  $aPáll$bPálsson\r\n";
  };
  Change lost_host = [&](CatalogueRecord& r) {  // a host that cannot be found gives an empty host record
    bare_part(r);
    r.Upprunafærsla = 999;
  };
  Change untitled = [](CatalogueRecord& r) { r.Titlar.clear(); };
  Change no_volumes = [](CatalogueRecord& r) { r.MarkSnið.clear(); };
  Change bare_periodical = [](CatalogueRecord& r) {
    r.Titlar.clear();
    r.MarkSnið.clear();
  };
  Change blank_citation = [](CatalogueRecord& r) {  // kept by type 0, dropped by the others
    r.MarkSnið = u"792   $a  $z\r\n";
    r.Ábyrgðaraðildir.clear();
  };
  const struct {
    int32_t id;
    Change change;
    std::vector<int16_t> types;
    Text text, call;
  } cases[] = {
      {10, none, {0}, item + publication, u"B"},
      {10, none, {1, 2, 4}, item + u". - 2. útg.. - Reykjavík : Forlagið, 2001. - 120 s.  [B  1]", u"B"},
      {10, none, {7, -1}, item, u"B"},
      {10, blank_areas, {0, 1}, u"", u""},
      {20, none, {0, 1, 3, 7}, u"Anna Jónsdóttir: \"Kafli\".  Í: " + host, u"B"},  // the host's call number
      {20, bare_part, {0}, u".  Í: Páll Pálsson: " + host, u"B"},
      {20, lost_host, {0}, u".  Í: Páll Pálsson: ", u""},
      {30, none, {0, 3, 9}, u"<U>Skírnir</U>. - 1. árg. [tímarit]", u"05"},
      {30, untitled, {0}, u"1. árg. [tímarit]", u"05"},
      {30, no_volumes, {0}, u"<U>Skírnir</U> [tímarit]", u"05"},
      {30, bare_periodical, {0}, u" [tímarit]", u"05"},
      {40, none, {0, 1, 2}, names + u". - " + citation, u"G"},
      {40, none, {4}, names + citation, u"G"},
      {40, none, {5}, names, u"G"},
      {40, blank_citation, {0}, u"<U>Grein</U>. -   ", u"G"},
      {40, blank_citation, {1, 4}, u"<U>Grein</U>", u"G"},
  };
  for (auto& c : cases) {
    CatalogueRecord original = records_[c.id], changed = original;
    c.change(changed);
    add(changed);
    for (int16_t type : c.types) {
      Printed p = lay_out(kText, {c.id}, type);
      EXPECT_EQ(p.result, 1);
      EXPECT_EQ(p.iTag.items(), (std::vector<int16_t>{0, 2})) << c.id << " " << type;
      EXPECT_EQ(p.szA1.items(), (std::vector<Text>{u"", c.call})) << c.id << " " << type;
      EXPECT_EQ(p.szA2(1), c.text) << c.id << " " << type;
      EXPECT_EQ(p.szA3.items(), (std::vector<Text>{u"", u""}));
    }
    add(original);
  }
  // Kinds that are not printed, and numbers without a record, keep their line.
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

// Type 3 adds a line of subject headings, written into a control like the
// rest (the same lines as text: tools/print_tool_test.cpp), its texts left
// empty.
TEST_F(PrintLayoutTest, SubjectLinesInAControl) {
  add(book());
  add(article());
  auto control = std::make_shared<RecordingControl>();
  Printed p = lay_out(Variant(std::static_pointer_cast<Dispatch>(control)), {10, 40}, 3);
  EXPECT_EQ(p.result, 2);
  EXPECT_EQ(p.iTag.items(), (std::vector<int16_t>{0, 2, 4, 2, 4}));
  EXPECT_EQ(p.szA1.items(), (std::vector<Text>{u"", u"B", u"", u"G", u""}));
  EXPECT_EQ(p.szA2.items(), (std::vector<Text>(5)));
  EXPECT_EQ(control->as_marked(),
            u"\r\n\r\nB\tJón Jónsson: <U>Saga : undirtitill</U>. - 2. útg.. - Reykjavík : Forlagið, 2001. - 120 s.  "
            u"[B  1]\r\n\tEfnisorð: Saga Ísland ; Ferðir"
            u"\r\n\r\nG\tAnna Jónsdóttir ; Bjarni Ólafsson: <U>Grein</U>. - 2. hefti, 5. árg.(Ritið), s. 10-12"
            u"\r\n\tEfnisorð: Jarðfræði");
  // No subject headings: no second line.
  CatalogueRecord r = book();
  r.Efnisorð.clear();
  add(r);
  EXPECT_EQ(lay_out(kText, {10}, 3).iTag.items(), (std::vector<int16_t>{0, 2}));
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

// The frame, with the catalogue database behind the fetch: its entry and
// exit lines, and the failures that end the layout with -1, keeping what
// was laid out before them.
TEST(PrintFrame, LinesAndFailures) {
  thread_state() = ThreadState{};
  thread_state().bDebug = true;
  kvistur::testing::Site site;
  SafeArray<int32_t> ids(0, {0, 10, 11});
  auto print = [&](const char* type, RecordSource fetch) {
    site.set("Prentun", "ListaTegund", type);
    site.clear_log();
    Printed p;
    PrintLines out{p.iTag, p.szA1, p.szA2, p.szA3};
    p.result = PrintLayout(Variant(int16_t(1)), ids, out, fetch);
    return p;
  };
  Printed p = print("1", [](int32_t) { return EmptyRecord(); });
  EXPECT_EQ(p.result, 2);
  EXPECT_EQ(site.log_lines(), (std::vector<std::string>{"MeldaError: FormaFyrirPrentun inn.  UBound(lID):,  2, ",
                                                        "MeldaError: FormaFyrirPrentun út, normal,  0, "}));
  EXPECT_EQ(p.iTag.items(), (std::vector<int16_t>{0, -1, -1}));

  RecordSource failing = [](int32_t id) {
    if (id == 11) throw Error(91);
    CatalogueRecord r = EmptyRecord();
    r.Tag = 1;
    r.Marktákn1 = u"A";
    return r;
  };
  p = print("0", failing);
  EXPECT_EQ(p.result, -1);
  EXPECT_EQ(p.iTag.items(), (std::vector<int16_t>{0, 2, -1})) << "what was laid out before the fault stays";
  EXPECT_EQ(p.szA1(1), u"A");
  auto lines = site.log_lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].rfind("MeldaError: Kvistur,  91, ", 0), 0u) << lines[1];
  // A print-list type outside 16 bits.
  EXPECT_EQ(print("40000", failing).result, -1);
  lines = site.log_lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].rfind("MeldaError: Kvistur,  6, ", 0), 0u) << lines[1];
  // Without a log-on the fetch fails.
  ids = SafeArray<int32_t>(0, {0, 10});
  p = print("0", [](int32_t id) { return FærslaFráID(id); });
  EXPECT_EQ(p.result, -1);
  EXPECT_EQ(p.iTag.items(), (std::vector<int16_t>{0, -1}));
  thread_state() = ThreadState{};
}

CatalogueRecord with_call_number(Text m1) {
  CatalogueRecord r = EmptyRecord();
  r.Marktákn1 = std::move(m1);
  return r;
}

TEST(RichText, TextModeNeitherModeAndBadModes) {
  // Each operation's text after the mode's: the call number traps nothing
  // (the host's eval test).
  auto written = [](const Variant& mode) {
    return PrintText(mode, u"abc") + u"|" + PrintUnderlineOn(mode) + u"|" + PrintUnderlineOff(mode) + u"|" +
           PrintNewLine(mode);
  };
  for (Variant mode : {Variant(int16_t(1)), Variant(1.4), Variant(Text(u" 1"))}) {
    EXPECT_EQ(written(mode), u"abc|<U>|</U>|");
    EXPECT_EQ(PrintCallNumber(mode, with_call_number(u"  629.1 ")), u"629.1");
  }
  for (Variant mode : {Variant(int16_t(2)), Variant(), Variant(-1.0)}) {
    EXPECT_EQ(written(mode), u"|||");
    EXPECT_EQ(PrintCallNumber(mode, with_call_number(u"629.1")), u"");
  }
  for (Variant mode : {Variant(Text(u"abc")), Variant::null(), Variant(70000.0)})
    EXPECT_EQ(written(mode), u"Villa|Villa|Villa|Villa");
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
