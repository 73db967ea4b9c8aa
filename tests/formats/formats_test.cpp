// The record forms `kvistur serve` and `kvistur web` hand out, made from
// MARC records written here: the title as ISBD joins it (in Dublin Core and
// RIS alike) and RIS's lines.
#include <gtest/gtest.h>

#include "formats/records.h"
#include "formats/ris.h"

using kvistur::import::MarcField;
using kvistur::import::MarcRecord;

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
  for (const Case& c : cases) {
    MarcRecord m;
    m.leader = "00000nam a2200000 a 4500";
    m.fields.push_back(field("245", c.subfields));
    EXPECT_EQ(kvistur::formats::IsbdTitle(m.fields[0]), c.title);
    EXPECT_NE(kvistur::formats::DublinCore(m).find("<dc:title>" + c.title + "</dc:title>"), std::string::npos);
    EXPECT_NE(kvistur::formats::Ris(m, 1).find("TI  - " + c.title + "\r\n"), std::string::npos);
  }
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
  m.leader[7] = 'b';
  EXPECT_EQ(kvistur::formats::Ris(m, 87).substr(0, 12), "TY  - JOUR\r\n");
  m.leader[7] = 'm';
  m.leader[6] = 'j';
  EXPECT_EQ(kvistur::formats::Ris(m, 87).substr(0, 13), "TY  - MUSIC\r\n");
}
