// The record forms `kvistur serve` and `kvistur web` hand out, made from
// MARC records written here: the title as ISBD joins it and RIS's lines.
#include <gtest/gtest.h>

#include "formats/records.h"
#include "formats/ris.h"

using kvistur::marc21::MarcField;
using kvistur::marc21::MarcRecord;

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
