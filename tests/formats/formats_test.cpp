// The record forms `kvistur serve` and `kvistur web` hand out, made from
// MARC records written here: the title as ISBD joins it, RIS's lines, and a
// stored source record handed out as it stands.
#include <gtest/gtest.h>

#include "formats/records.h"
#include "formats/ris.h"
#include "formats/source_iso.h"
#include "marc21/marc_writer.h"

using kvistur::formats::StoredRecord;
using kvistur::marc21::MarcField;
using kvistur::marc21::MarcRecord;
using kvistur::marc21::WriteIso2709;

namespace {

MarcField field(const std::string& tag, std::vector<std::pair<char, std::string>> subs) {
  MarcField f;
  f.tag = tag;
  for (auto& [code, value] : subs) f.subfields.push_back({code, value});
  return f;
}

}  // namespace

TEST(Formats, TitleIsJoinedToItsPartsAsIsbdJoinsThem) {
  struct Case {
    std::vector<std::pair<char, std::string>> subfields;
    std::string title;
  } cases[] = {
      {{{'a', "Eyjan í fjörunni :"}, {'b', "sönn saga /"}, {'c', "Árni Einarsson."}}, "Eyjan í fjörunni : sönn saga"},
      {{{'a', "Brennu-Njáls saga"}}, "Brennu-Njáls saga"},
      {{{'a', "Íslensk fornrit."}, {'n', "12. bindi,"}, {'p', "Brennu-Njáls saga :"}, {'b', "með skýringum"}},
       "Íslensk fornrit. 12. bindi, Brennu-Njáls saga : með skýringum"},
      {{{'a', "Saga Íslands."}, {'p', "Landnám"}}, "Saga Íslands. Landnám"},
      {{{'a', ""}, {'b', "undirtitill"}}, "undirtitill"},
  };
  // Dublin Core's and RIS's titles are the same (below).
  for (const Case& c : cases) EXPECT_EQ(kvistur::formats::IsbdTitle(field("245", c.subfields)), c.title);
}

TEST(Formats, RisHasTheTypeFirstOneValueALineAndEndsTheRecord) {
  MarcRecord m;
  m.leader = "00000nam a2200000 a 4500";
  MarcField control;
  control.tag = "008";
  control.data = "150101s2015    ic            000 1 ice d";
  m.fields = {control,
              field("020", {{'a', "978-9970-02-112-3"}}),
              field("100", {{'a', "Árni Einarsson."}}),
              field("245", {{'a', "Eyjan í fjörunni :"}, {'b', "sönn saga /"}}),
              field("260", {{'a', "Reykjavík :"}, {'b', "Vaka-Helgafell,"}, {'c', "c2015."}}),
              field("500", {{'a', "Fyrsta lína\nönnur lína."}}),
              field("650", {{'a', "Ísland"}, {'x', "Saga"}}),
              field("700", {{'a', "Jón Jónsson."}})};
  EXPECT_EQ(kvistur::formats::Ris(m, 87),
            "TY  - BOOK\r\nID  - 87\r\nTI  - Eyjan í fjörunni : sönn saga\r\nAU  - Árni Einarsson\r\n"
            "AU  - Jón Jónsson\r\nPY  - 2015\r\nPB  - Vaka-Helgafell\r\nCY  - Reykjavík\r\n"
            "SN  - 978-9970-02-112-3\r\nN1  - Fyrsta lína önnur lína\r\nKW  - Ísland -- Saga\r\nLA  - ice\r\nER  - \r\n");
  EXPECT_NE(kvistur::formats::DublinCore(m).find("<dc:title>Eyjan í fjörunni : sönn saga</dc:title>"), std::string::npos);
  m.leader[7] = 'b';
  EXPECT_EQ(kvistur::formats::Ris(m, 87).substr(0, 12), "TY  - JOUR\r\n");
  m.leader[7] = 'm';
  m.leader[6] = 'j';
  EXPECT_EQ(kvistur::formats::Ris(m, 87).substr(0, 13), "TY  - MUSIC\r\n");
}

TEST(Formats, ASourceRecordHandedOutAsItStandsIsTheRecordReadAndWrittenAgain) {
  // Every record of the sample as the catalogue stores it, and records of
  // other shapes made from the first: each handed out with three copies,
  // spliced where it may be, must give the bytes the record gives read into
  // fields and written again (a source that does not read: its MARC lines).
  std::vector<MarcRecord> sample;
  kvistur::marc21::MarcReader reader(std::string(KVISTUR_SOURCE_DIR) + "/data/sample/sample.xml");
  std::vector<kvistur::marc21::ReadProblem> problems;
  while (auto m = reader.next(problems)) sample.push_back(*m);
  ASSERT_GT(sample.size(), 100u);
  struct Case {
    std::string name, source;
    bool as_stored;
  };
  std::vector<Case> cases;
  for (const MarcRecord& m : sample) cases.push_back({"sample " + m.control("001"), WriteIso2709(m), true});
  const MarcRecord first = sample.front();
  auto with = [&](std::vector<MarcField> added, const char* leader = nullptr) {
    MarcRecord m = first;
    m.fields.insert(m.fields.end(), added.begin(), added.end());
    std::string iso = WriteIso2709(m);
    if (leader) iso.replace(5, 5, leader);
    return iso;
  };
  auto data = [](const std::string& tag, const std::string& bytes) {
    MarcField f = field(tag, {});
    f.ind1 = bytes[0];
    f.ind2 = bytes[1];
    f.subfields.push_back({bytes[2], bytes.substr(3)});
    return f;
  };
  std::string swapped = cases.front().source;  // the directory's first two entries in the other order
  std::swap_ranges(swapped.begin() + 24, swapped.begin() + 36, swapped.begin() + 36);
  std::string gap = cases.front().source;  // two bytes after the last field
  gap.insert(gap.size() - 1, "xx");
  gap.replace(0, 5, std::to_string(gap.size() + 100000).substr(1));
  MarcRecord unheld = first;
  std::erase_if(unheld.fields, [](const MarcField& f) { return f.tag == "852"; });
  unheld.fields.push_back(field("856", {{'u', "http://x"}}));
  MarcRecord big = first;
  for (int i = 0; i < 10; ++i) big.fields.push_back(field("500", {{'a', std::string(9700, 'y')}}));
  cases.insert(cases.end(), {
      {"its own holdings between", with({field("852", {{'a', "1"}}), field("999", {{'a', "x"}}), field("952", {})}), true},
      {"no holdings of its own, fields on either side of 852", WriteIso2709(unheld), true},
      {"bytes between the fields and the record's end", gap, false},
      {"no subfields, empty and tabbed values", with({field("500", {}), field("590", {{'a', ""}, {'b', "a\tb"}})}), true},
      {"an indicator that is a mark", with({data("500", "\x1f a" "x")}), false},
      {"a line break in a value", with({field("500", {{'a', "a\nb"}})}), false},
      {"a control character in a value", with({field("500", {{'a', "a\x01" "b"}})}), false},
      {"a subfield code that is not printable", with({data("500", "  \x02x")}), false},
      {"bytes that are not UTF-8", with({field("500", {{'a', "\xc3("}})}), false},
      {"MARC-8", with({}, "nam  "), false},
      {"an odd entry map", [&] { std::string s = with({}); s.replace(20, 4, "3300"); return s; }(), false},
      {"fields out of directory order", swapped, false},
      {"bytes after the record", cases.front().source + "xyz", false},
      {"a record that the copies make too long", WriteIso2709(big), true},
  });
  int spliced = 0;
  for (const Case& c : cases) {
    EXPECT_EQ(kvistur::formats::HandedOutAsStored(c.source), c.as_stored) << c.name;
    StoredRecord read, stored;
    read.id = stored.id = 7;
    read.copies = stored.copies = {{1, "Aðalsafn", "Í viðgerð\x01"}, {2, "", ""}, {3, "Útibú", std::string(300, 'n')}};
    read.marc = kvistur::formats::SourceMarc(c.source, 7);
    if (kvistur::formats::HandedOutAsStored(c.source)) {
      stored.source = c.source;
      ++spliced;
    } else {
      stored.marc = read.marc;
    }
    EXPECT_EQ(kvistur::formats::Iso2709Of(stored), kvistur::formats::Iso2709(kvistur::formats::MarcOf(read))) << c.name;
    EXPECT_EQ(kvistur::formats::MarcOf(stored), kvistur::formats::MarcOf(read)) << c.name;
  }
  EXPECT_EQ(spliced, int(sample.size()) + 4);
}
