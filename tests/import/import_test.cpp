// MARC in, catalogue out: reading, mapping to the record text, the word
// index and the written databases.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "import/store/catalogue_writer.h"
#include "import/marc/generate.h"
#include "import/store/indexes.h"
#include "import/store/ordered_map.h"
#include "marc21/marc_reader.h"
#include "marc21/marc_writer.h"
#include "marc21/punctuation.h"
#include "import/marc/record_writer.h"
#include "import/marc/word_index.h"
#include "import/marc/word_links.h"
#include "marc/description.h"
#include "marc/lists.h"
#include "record/record_text.h"
#include "common/site.h"
#include "tools/run_tool.h"

using namespace kvistur;
using namespace kvistur::import;
using namespace kvistur::marc21;
using kvistur::testing::exec_sql;
using kvistur::testing::sql_rows;
using kvistur::testing::TempDir;

namespace {

std::string xml_record(const std::string& leader7, const std::string& body) {
  return "<record><leader>00000na" + leader7 + " a2200000 a 4500</leader>" + body + "</record>";
}
std::string xml_collection(const std::string& records) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><collection xmlns=\"http://www.loc.gov/MARC21/slim\">" + records +
         "</collection>";
}
std::string df(const std::string& tag, const std::string& ind, const std::vector<std::pair<char, std::string>>& subs) {
  std::string s = "<datafield tag=\"" + tag + "\" ind1=\"" + ind.substr(0, 1) + "\" ind2=\"" + ind.substr(1, 1) + "\">";
  for (auto& [c, v] : subs) s += std::string("<subfield code=\"") + c + "\">" + v + "</subfield>";
  return s + "</datafield>";
}
std::string cf(const std::string& tag, const std::string& v) {
  return "<controlfield tag=\"" + tag + "\">" + v + "</controlfield>";
}

// A full book record: the fields a cataloguer fills in.
std::string book_xml() {
  return xml_record("m", cf("001", "b1") + df("020", "  ", {{'a', "978-9979-3-1234-5"}}) +
                             df("090", "  ", {{'a', "Ísl"}, {'b', "Lax"}}) +
                             df("100", "1 ", {{'a', "Thoroddsen, Jón,"}, {'d', "1818-1868"}}) +
                             df("245", "10", {{'a', "Piltur og stúlka :"}, {'b', "dálítil frásaga /"}, {'c', "Jón Thoroddsen"}}) +
                             df("250", "  ", {{'a', "3. útg."}}) +
                             df("260", "  ", {{'a', "Reykjavík :"}, {'b', "Helgafell,"}, {'c', "1948"}}) +
                             df("300", "  ", {{'a', "240 s. :"}, {'b', "myndir ;"}, {'c', "22 sm"}}) +
                             df("490", "0 ", {{'a', "Sígildar sögur ;"}, {'v', "4"}}) +
                             df("505", "0 ", {{'a', "Fyrri hluti -- Síðari hluti"}}) +
                             df("650", " 4", {{'a', "Íslenskar bókmenntir"}, {'x', "Skáldsögur"}}) +
                             df("700", "0 ", {{'a', "Sigríður Einarsdóttir,"}, {'e', "ritstjóri"}}) +
                             df("852", "  ", {{'a', "2"}, {'b', "Skáldsögur"}, {'p', "1001"}, {'z', "Gjöf"}}) +
                             df("852", "  ", {{'a', "2"}, {'b', "Geymsla"}, {'p', "1002"}, {'9', "17"}}));
}

// The records of BYTES; read a second time as a build reads them (checked
// first, decoded later, into one record reused), they must be the same
// records with the same problems.
std::vector<MarcRecord> read_all(const std::string& bytes, std::vector<ReadProblem>& problems) {
  std::size_t known = problems.size();
  MarcReader r = MarcReader::from_bytes(bytes);
  std::vector<MarcRecord> out;
  while (auto m = r.next(problems)) out.push_back(*m);
  MarcReader again = MarcReader::from_bytes(bytes);
  std::vector<ReadProblem> kept_problems;
  MarcRecord scratch;
  std::size_t n = 0;
  while (auto k = again.next_kept(kept_problems)) {
    EXPECT_LT(n, out.size());
    if (n >= out.size()) break;
    const MarcRecord& m = k->record(scratch);
    EXPECT_EQ(m, out[n]) << "record " << n + 1;
    EXPECT_EQ(k->level, m.leader_at(7));
    EXPECT_EQ(k->control_number, m.control("001"));
    ++n;
  }
  EXPECT_EQ(n, out.size());
  EXPECT_EQ(kept_problems.size(), problems.size() - known);
  for (std::size_t i = 0; i < kept_problems.size() && known + i < problems.size(); ++i)
    EXPECT_EQ(kept_problems[i].message, problems[known + i].message);

  // A third time with the values checked after the file is cut into
  // records, last record first (threads check them in any order): once the
  // problems are put in the order of the file, the same again.
  MarcReader later = MarcReader::from_bytes(bytes);
  std::vector<ReadProblem> later_problems;
  std::vector<KeptRecord> cut;
  while (auto k = later.next_kept(later_problems, true)) cut.push_back(std::move(*k));
  std::vector<bool> good(cut.size());
  for (std::size_t i = cut.size(); i-- > 0;) {
    std::string bad = cut[i].check();
    good[i] = bad.empty();
    if (!good[i]) later_problems.push_back({cut[i].position, bad});
  }
  std::stable_sort(later_problems.begin(), later_problems.end(),
                   [](const ReadProblem& a, const ReadProblem& b) { return a.position < b.position; });
  n = 0;
  for (std::size_t i = 0; i < cut.size(); ++i) {
    if (!good[i]) continue;
    EXPECT_LT(n, out.size());
    if (n >= out.size()) break;
    EXPECT_EQ(cut[i].record(scratch), out[n]) << "record " << n + 1;
    EXPECT_EQ(cut[i].level, out[n].leader_at(7));
    EXPECT_EQ(cut[i].control_number, out[n].control("001"));
    ++n;
  }
  EXPECT_EQ(n, out.size());
  EXPECT_EQ(later_problems.size(), kept_problems.size());
  for (std::size_t i = 0; i < later_problems.size() && i < kept_problems.size(); ++i)
    EXPECT_EQ(later_problems[i].message, kept_problems[i].message);
  return out;
}

// A minimal ISO 2709 encoder for test input: leader, directory, fields.
std::string iso(const std::vector<std::pair<std::string, std::string>>& fields, char coding = 'a') {
  std::string dir, data;
  for (auto& [tag, body] : fields) {
    std::string f = body + "\x1e";
    char entry[13];
    snprintf(entry, sizeof entry, "%3s%04zu%05zu", tag.c_str(), f.size(), data.size());
    dir += entry;
    data += f;
  }
  dir += "\x1e";
  std::size_t base = 24 + dir.size();
  std::size_t total = base + data.size() + 1;
  char leader[25];
  snprintf(leader, sizeof leader, "%05zunam %c22%05zu a 4500", total, coding, base);
  return std::string(leader) + dir + data + "\x1d";
}

std::string sub(char c, const std::string& v) { return std::string("\x1f") + c + v; }

// The record of a MARCXML collection of RECORD alone, read without a problem.
MarcRecord one_record(const std::string& record) {
  std::vector<ReadProblem> problems;
  auto recs = read_all(xml_collection(record), problems);
  EXPECT_TRUE(problems.empty()) << problems.at(0).message;
  return recs.at(0);
}

}  // namespace

// ISO 2709 in UTF-8 and in MARC-8 (which puts the combining acute before
// its letter) read into UTF-8; kept as ISO 2709 in UTF-8, every record, a
// MARCXML one too, reads back with the same fields.
TEST(MarcWriter, SourceRecordsRoundTrip) {
  std::vector<ReadProblem> problems;
  auto recs = read_all(iso({{"001", "x1"}, {"245", "10" + sub('a', "Sm\xC3\xA1saga")}}) +
                           iso({{"001", "x2"}, {"003", "IS-ReLB"}, {"245", "10" + sub('a', "Sm\xE2" "asaga")}}, ' '),
                       problems);
  ASSERT_EQ(recs.size(), 2u) << (problems.empty() ? "" : problems[0].message);
  EXPECT_EQ(recs[0].sub("245", 'a'), "Smásaga");
  EXPECT_EQ(recs[1].sub("245", 'a'), "Sma\xCC\x81saga") << "the acute after its letter";
  recs.push_back(one_record(book_xml()));
  for (auto& m : recs) {
    std::string bytes = WriteIso2709(m);
    EXPECT_EQ(bytes[9], 'a');
    auto back = read_all(bytes, problems);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].leader, bytes.substr(0, 24));
    ASSERT_EQ(back[0].fields.size(), m.fields.size());
    for (std::size_t i = 0; i < m.fields.size(); ++i) EXPECT_EQ(MarcLine(back[0].fields[i]), MarcLine(m.fields[i]));
  }
  EXPECT_TRUE(problems.empty());
  MarcRecord huge = recs.back();
  huge.fields.push_back(MarcField{"500", ' ', ' ', "", {{'a', std::string(10000, 'x')}}});
  EXPECT_THROW(WriteIso2709(huge), std::runtime_error);
}

// A damaged record, ISO 2709 or MARCXML, is a problem with its position,
// and the records after it are read.  Input that cannot be read to its end
// is refused whole, never taken for the records before the fault: a file
// that ends inside a record, XML that is not well-formed (a broken tail, an
// unescaped "&", a NUL).
TEST(MarcReader, BadRecordsAreSkippedAndInputThatCannotBeReadToItsEndRefusedWhole) {
  std::string good = iso({{"001", "ok"}, {"245", "10" + sub('a', "Gott")}}), n = std::to_string(good.size());
  std::string bad_length = "12x45" + good.substr(5);
  std::string bad_char = iso({{"001", "bc"}, {"245", "10" + sub('a', "Sl\xFF" "mt")}});
  std::vector<ReadProblem> problems;
  auto recs = read_all(good + bad_length + bad_char + good, problems);
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[0].position, 1);
  EXPECT_EQ(recs[1].position, 4);
  ASSERT_EQ(problems.size(), 2u);
  EXPECT_EQ(problems[0].message, "record 2 (byte " + n + "): bad record length");
  EXPECT_EQ(problems[1].position, 3);
  EXPECT_NE(problems[1].message.find("bad character in field 245"), std::string::npos);
  auto field = [](const std::string& ind1, const std::string& code) {
    return xml_record("m", "<datafield tag=\"245\" ind1=\"" + ind1 + "\" ind2=\" \"><subfield code=\"" + code +
                               "\">x</subfield></datafield>");
  };
  std::string xml_good = xml_record("m", df("245", "10", {{'a', "Gott"}}));
  std::string no_leader = "<record>" + df("245", "10", {{'a', "Ekkert"}}) + "</record>";
  problems.clear();
  recs = read_all(xml_collection(xml_good + field("1", "") + field("1", "ab") + field("1", "\xC3\xA9") + field("10", "a") +
                                 no_leader + xml_good),
                  problems);
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[0].position, 1);
  EXPECT_EQ(recs[1].position, 7);
  std::vector<std::string> said;
  for (auto& p : problems) said.push_back(p.message);
  EXPECT_EQ(said, (std::vector<std::string>{
                      "record 2: bad subfield code in field 245", "record 3: bad subfield code in field 245",
                      "record 4: bad subfield code in field 245", "record 5: bad indicator in field 245",
                      "record 6: the record has no leader"}));
  const std::vector<std::pair<std::string, std::string>> cases = {
      {good + "\n00123", "input: byte " + std::to_string(good.size() + 1) +
                             ": the file ends inside record 2 (only 5 bytes of it are there, fewer than a leader)"},
      {xml_collection(xml_good + "<record>"), "input: line 1: not well-formed XML ("},
      {xml_collection(xml_good + xml_record("m", df("245", "10", {{'a', std::string(3, '\0')}}))), "input: line 1: not well-formed XML ("},
  };
  for (auto& [bytes, what] : cases) {
    try {
      read_all(bytes, problems);
      ADD_FAILURE() << what;
    } catch (const UnreadableInput& e) {
      EXPECT_EQ(std::string(e.what()).substr(0, what.size()), what);
    }
  }
  EXPECT_TRUE(read_all("", problems).empty());
}

// The rules of docs/import.md, a case each that the corpus's records do
// not already show end to end.
TEST(Punctuation, IsbdMarksComeOffDataStays) {
  const std::pair<const char*, const char*> cases[] = {
      {"Sígildar sögur ;", "Sígildar sögur"}, {"Title =", "Title"},  // a mark before the next element
      {"+ 1 CD-ROM", "1 CD-ROM"}, {"/ revised by Jane Doe.", "revised by Jane Doe"},  // a mark keyed at the start
      {"Reykjavík:", "Reykjavík"}, {"Chapter one --", "Chapter one"}, {"c1999.", "c1999"},  // on the value; a final stop
      {"Who killed Kennedy?.", "Who killed Kennedy?"}, {"Tolkien, J.R.R.", "Tolkien, J.R.R."},  // after a quote; an initial
      {"[S.l. :", "[S.l."}, {"xxiv, 321 p. :", "xxiv, 321 p."}, {"3. útg.", "3. útg."}, {"o.fl.", "o.fl."},  // abbreviations
      {"And then...", "And then..."}, {"[1957?]", "[1957?]"}, {"1950-", "1950-"},  // an ellipsis; brackets are data
      {"C++", "C++"}, {" : ", ""},
  };
  for (auto& [in, out] : cases) EXPECT_EQ(StripIsbd(in), out) << in;
  EXPECT_EQ(Nfc("Sma\xCC\x81saga"), "Smásaga");
}

// The description pins every area the mapping fills (the end-to-end build
// test pins the sort key, identity, holdings rows, subjects and contents of
// the same book, and that a record without a title is skipped; the writer's
// test below its kind and collection).
TEST(RecordText, MappedBookRoundTripsAndCarriesNamesInMainEntryForm) {
  MarcRecord m = one_record(book_xml());
  ImportedRecord row = MapRecord(m, false);
  CatalogueRecord p = ParseRecordText(from_utf8(row.whole_text));
  CatalogueRecord expected = row.record;
  expected.Skráning = p.Skráning;
  EXPECT_EQ(p, expected);
  ASSERT_EQ(p.Aðfanganúmer.count(), 2);  // what SkilaAN shows of the text a host fetches
  EXPECT_EQ(p.Aðfanganúmer[0].Númer, 1001);
  EXPECT_EQ(p.Aðfanganúmer[0].Athugasemd, u"Gjöf");
  EXPECT_EQ(p.Aðfanganúmer[1].Staðsetning, u"Geymsla");
  EXPECT_NE(row.marc_text.find("\r\n1001  $aThoroddsen$hJón$d1818-1868\r\n"), std::string::npos) << row.marc_text;
  EXPECT_EQ(row.marc_text.substr(0, 9), "001   b1\r");
  p.MarkSnið = from_utf8(row.marc_text);
  p.Tag = int16_t(row.kind);
  EXPECT_EQ(BuildDescription(p, 0),
            u"Thoroddsen, Jón: Piltur og stúlka : dálítil frásaga / Jón Thoroddsen ; Sigríður Einarsdóttir. - "
            u"3. útg. - Reykjavík : Helgafell, 1948. - 240 s. : myndir ; 22 sm. - (Sígildar sögur ; 4) [Ísl Lax]");
  MarcRecord direct = one_record(xml_record("m", df("100", "0 ", {{'a', "Snorri Sturluson,"}}) + df("245", "10", {{'a', "Edda"}})));
  EXPECT_EQ(MapRecord(direct, false).marc_text, "1004  $aSnorri Sturluson\r\n24510 $aEdda");
  // A "$" in a value cannot start a subfield.
  MarcField f{"500", ' ', ' ', "", {{'a', "Verð $5"}}};
  EXPECT_EQ(MarcLine(f), "500   $aVerð \xEF\xBC\x84" "5");
  // An empty record writes the shortest text.
  CatalogueRecord empty = EmptyRecord();
  empty.InnlErl = empty.boolOpinLokuð = empty.boolHeilÓheil = 0;
  Text t = WriteRecordText(empty);
  EXPECT_EQ(t, u"\5\5\5\5\5\5\1\5\5\5\5\5\5\5\5\5\5\5\1\1\1\1\2\1\1\1\1\5\5" u"0\5" u"0\5" u"0\5");
  EXPECT_EQ(ParseRecordText(t).Titlar.count(), 0);
}

// (A book's, a serial's and a part's kinds, and the part's host, are the
// catalogue writer's rows below.)
TEST(RecordText, KindsOfRecords) {
  auto kind_of = [&](const std::string& leader7, const std::string& body, bool host_serial) {
    return MapRecord(one_record(xml_record(leader7, df("245", "10", {{'a', "T"}}) + body)), host_serial);
  };
  ImportedRecord serial = kind_of("s", df("362", "0 ", {{'a', "1. árg. (1987)-"}}), false);
  EXPECT_NE(serial.marc_text.find("792   $a1. árg. (1987)-"), std::string::npos);
  ImportedRecord article =
      kind_of("b", df("773", "0 ", {{'t', "Ritið"}, {'g', "5. árg."}, {'h', "2. hefti"}, {'q', "10-12"}, {'w', "j"}}), true);
  EXPECT_EQ(article.kind, kKindArticle);
  CatalogueRecord p = ParseRecordText(from_utf8(article.whole_text));
  p.MarkSnið = from_utf8(article.marc_text);
  EXPECT_EQ(BuildHostPart(p), u"2. hefti, 5. árg.(Ritið), s. 10-12");
}

// A record's words, each (word, field) once, and the links of a build
// sorted into key order, each row once.
TEST(WordIndex, WordsAndTheirFieldsAndLinksInKeyOrder) {
  EXPECT_EQ(SplitWords("Brennu-Njáls saga, 2. ÚTG."), (std::vector<std::string>{"brennu", "njáls", "saga", "2", "útg"}));
  EXPECT_TRUE(SplitWords(" -- ; ").empty());
  auto words = RecordWords(one_record(book_xml()));
  auto count = [&](const std::string& w, int field) {
    return std::count_if(words.begin(), words.end(), [&](auto& o) { return o.word == w && o.field == field; });
  };
  for (auto [w, field] : {std::pair{"thoroddsen", kFieldAuthor}, {"jón", kFieldAuthor}, {"stúlka", kFieldTitle},
                          {"frásaga", kFieldTitle}, {"skáldsögur", kFieldSubject}, {"sígildar", kFieldSeries},
                          {"helgafell", kFieldPublisher}, {"9789979312345", kFieldNumber}, {"1948", kFieldNumber},
                          {"hluti", kFieldNotes}})
    EXPECT_EQ(count(w, field), 1) << w;
  EXPECT_EQ(count("stúlka", kFieldAuthor), 0);
  // Added record by record: word 2 twice in one field of record 1, rows of
  // one record out of order.
  std::vector<WordLink> links = {{2, 1, 3, 5}, {1, 1, 1, 2}, {2, 1, 3, 5}, {2, 1, 1, 5}, {1, 1, 1, 1},
                                 {3, 2, 1, 1}, {1, 2, 1, 1}, {2, 3, 1, 1}, {2, 3, 1, 1}};
  std::vector<WordLink> expected = links;
  std::sort(expected.begin(), expected.end());
  expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
  SortWordLinks(links, 3);
  EXPECT_EQ(links, expected);
  std::vector<WordLink> backwards = {{1, 2, 1, 1}, {1, 1, 1, 1}}, unnumbered = {{4, 1, 1, 1}};
  EXPECT_THROW(SortWordLinks(backwards, 3), std::logic_error);
  EXPECT_THROW(SortWordLinks(unnumbered, 3), std::logic_error);
}

// Every item mapped once and handed over in order, and the caller maps
// while the chunk it hands over next is still on a helper: here the helper
// holds the first chunk it takes until the caller has mapped a later one
// (a caller that only waited would leave it there until the time runs out).
TEST(MapInOrder, EachItemOnceInOrderAndTheCallerMapsWhileItWaits) {
  const std::thread::id caller = std::this_thread::get_id();
  const std::size_t chunks = 40, n = chunks * kItemsPerChunk;
  std::atomic<long> caller_latest{-1}, helper_first{-1};
  std::atomic<bool> helper_gave_up{false};
  std::vector<int> times_mapped(n, 0);
  std::size_t handed = 0;
  MapInOrder<std::size_t>(
      n, 1,
      [&](std::size_t i, std::size_t& out) {
        const long chunk = long(i / kItemsPerChunk);
        // A few microseconds an item, so that the helper starts before
        // the caller is through.
        for (auto t = std::chrono::steady_clock::now(); std::chrono::steady_clock::now() - t < std::chrono::microseconds(3);) {
        }
        if (std::this_thread::get_id() == caller) {
          caller_latest = std::max(caller_latest.load(), chunk);
        } else if (helper_first < 0) {
          helper_first = chunk;
          for (int ms = 0; ms < 5000 && caller_latest <= chunk && chunk + 1 < long(chunks); ++ms)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
          helper_gave_up = caller_latest <= chunk && chunk + 1 < long(chunks);
        }
        ++times_mapped[i];
        out = i * 2;
      },
      [&](std::size_t i, std::size_t& row) {
        EXPECT_EQ(i, handed++);
        EXPECT_EQ(row, i * 2);
      });
  EXPECT_EQ(handed, n);
  EXPECT_TRUE(std::all_of(times_mapped.begin(), times_mapped.end(), [](int t) { return t == 1; }));
  EXPECT_GE(helper_first, 0) << "the helper mapped nothing";
  EXPECT_FALSE(helper_gave_up);
}

TEST(CatalogueWriter, WritesRecordsHoldingsWordsHostsAndDirectory) {
  TempDir dir;
  std::string records =
      xml_record("a", cf("001", "p1") + df("100", "0 ", {{'a', "Anna Jónsdóttir"}}) + df("245", "10", {{'a', "Hlutinn"}}) +
                          df("773", "0 ", {{'t', "Safnið"}, {'w', "h1"}})) +
      book_xml() + xml_record("m", cf("001", "h1") + df("245", "10", {{'a', "Safnið"}})) +
      xml_record("s", cf("001", "j1") + df("245", "00", {{'a', "Tímaritið"}}) +
                          df("863", "  ", {{'8', "1"}, {'a', "1. árg."}, {'i', "2020"}, {'b', "1. hefti"}, {'b', "2. hefti"}}));
  std::vector<ReadProblem> problems;
  auto recs = read_all(xml_collection(records), problems);
  ASSERT_EQ(recs.size(), 4u);
  {
    CatalogueWriter w(dir.path);
    for (auto& m : recs) w.Add(MapRecord(m, false));
    EXPECT_EQ(w.Finish(), 0);
  }
  using Rows = std::vector<std::string>;
  const std::tuple<const char*, const char*, Rows> cases[] = {
      {"katalogur", "SELECT ID, Tag, Upprunafærsla, Safndeild FROM Móðurtafla ORDER BY ID",
       {"1|2|3|1", "2|1|0|2", "3|1|0|1", "4|100|0|1"}},
      {"katalogur", "SELECT Aðfanganúmer, Athugasemd, Staðsetning, Móðurbendir, Tag, Lánþegabendir FROM Aðfanganúmer",
       {"1001|Gjöf|Skáldsögur|2|1|0", "1002||Geymsla|2|1|17"}},
      {"katalogur", "SELECT t.HópID, t.Orðtag FROM Tengill t JOIN Orð o ON o.ID = t.OrðID WHERE o.Orð = 'tímaritið'",
       {"1|2", "2|2"}},
      {"katalogur", "SELECT t.FærsluID FROM Tengill t JOIN Orð o ON o.ID = t.OrðID WHERE o.Orð = 'safnið' ORDER BY 1",
       {"1", "3"}},
      {"katalogur", "SELECT count(*) FROM Orð WHERE Orð = 'jón'", {"1"}},
      // The word index is its own table in key order, each row once, with no
      // second copy in an index.
      {"katalogur", "SELECT (SELECT count(*) FROM Tengill) = (SELECT count(*) FROM (SELECT DISTINCT * FROM Tengill))", {"1"}},
      {"katalogur", "SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name IN ('Tengill', 'Orð')", {"kv_ord_fold"}},
      {"katalogur", "SELECT a.Árgangur, a.Útgáfuár, t.Númer, t.Tölublað FROM Árgangur a JOIN Tölublað t ON t.MóðurID = a.ID "
                    "WHERE a.MóðurID = 4 ORDER BY t.Númer",
       {"1. árg.|2020|1|1. hefti", "1. árg.|2020|2|2. hefti"}},
      {"katalogur", "SELECT count(*) FROM EkkiOrð WHERE EkkiOrð = 'og'", {"1"}},
      {"katalogur", "SELECT ID, Stjórnnúmer, Stofnun, substr(Færsla, 10, 1) FROM Frumfærsla ORDER BY ID",
       {"1|p1|NULL|a", "2|b1|NULL|a", "3|h1|NULL|a", "4|j1|NULL|a"}},
      {"skra", "SELECT ID, Name FROM DBGroups ORDER BY ID", {"1|Allur safnkostur", "2|Tímarit og greinar"}},
      {"skra", "SELECT ID, Name FROM databases ORDER BY ID", {"1|Aðalsafn", "2|Útibú"}},
      {"skra", "SELECT count(*) FROM QueryTypes WHERE GroupID = 1", {"7"}},
      {"skra", "SELECT dbID, GroupID FROM relations ORDER BY GroupID, dbID", {"1|1", "2|1", "1|2"}},
  };
  for (auto& [file, sql, rows] : cases) EXPECT_EQ(sql_rows(dir.path + "/" + file + ".sqlite", sql), rows) << sql;
  // A catalogue is only ever written new: never over one that hosts may read.
  EXPECT_THROW(CatalogueWriter{dir.path}, std::runtime_error);
}

TEST(Indexes, AddedToAForeignCatalogueAndRefusedElsewhere) {
  TempDir dir;
  std::string file = dir.path + "/annad.sqlite", other = dir.path + "/other.sqlite";
  exec_sql(file, "CREATE TABLE Orð (ID INTEGER PRIMARY KEY, Orð TEXT); CREATE TABLE Tengill (FærsluID, OrðID, HópID, Orðtag);");
  IndexCatalogue(file);
  IndexCatalogue(file);  // a second time changes nothing
  EXPECT_EQ(sql_rows(file, "SELECT name FROM sqlite_master WHERE type='index' ORDER BY name"),
            (std::vector<std::string>{"kv_ord_fold", "kv_tengill_ord"}));
  EXPECT_THROW(IndexCatalogue(dir.path + "/missing.sqlite"), std::runtime_error);
  exec_sql(other, "CREATE TABLE x (a);");
  EXPECT_THROW(IndexCatalogue(other), std::runtime_error);
}

TEST(Generate, SmallCatalogueWithSkewedWords) {
  TempDir dir;
  GenerateOptions o;
  o.records = 300;
  o.vocabulary = 2000;
  long last = 0;
  GenerateCatalogue(dir.path, o, [&](long done) { last = done; });
  EXPECT_EQ(last, 300);
  std::string cat = dir.path + "/katalogur.sqlite";
  EXPECT_EQ(sql_rows(cat, "SELECT count(*), min(ID), max(ID) FROM Móðurtafla"), (std::vector<std::string>{"300|1|300"}));
  // The commonest word is in far more records than the median word.
  EXPECT_GT(std::stol(sql_rows(cat, "SELECT count(DISTINCT FærsluID) c FROM Tengill GROUP BY OrðID ORDER BY c DESC").at(0)), 30);
  EXPECT_GT(std::stol(sql_rows(cat, "SELECT count(*) FROM Orð").at(0)), 300);
  for (auto& t : sql_rows(cat, "SELECT ÖllFærslan FROM Móðurtafla WHERE ID IN (1, 150, 300)"))
    EXPECT_GE(ParseRecordText(from_utf8(t)).Titlar.count(), 1);
  GenerateOptions bad;
  bad.records = 0;
  EXPECT_THROW(GenerateCatalogue(dir.path, bad, [](long) {}), std::runtime_error);
  bad.records = 5;
  bad.word_list = "/nonexistent/words.dic";
  EXPECT_THROW(GenerateCatalogue(dir.path, bad, [](long) {}), std::runtime_error);
}
