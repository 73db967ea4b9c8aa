// From a MARC record to the columns of one catalogue row: the whole-record
// text, the MARC text in the catalogue's own line form, the record kind, the
// sort key, the identifying string of the edition, the collection, and the
// holdings, volumes and issues that go to their own tables.
#pragma once

#include <string>
#include <vector>

#include "marc21/marc_reader.h"
#include "import/marc/word_index.h"
#include "record/catalogue_record.h"

namespace kvistur::import {

using marc21::MarcField;
using marc21::MarcRecord;

// Record kinds as the catalogue stores them (column Tag).
inline constexpr int kKindItem = 1;
inline constexpr int kKindComponent = 2;
inline constexpr int kKindPeriodical = 100;
inline constexpr int kKindArticle = 200;

struct CopyRow {
  int32_t number = 0;  // accession number
  std::string note, location;
  int32_t borrower = 0;  // > 0: on loan
  int collection = 0;
};

struct IssueRow {
  int number = 0;
  std::string designation;
};

struct VolumeRow {
  int number = 0;
  std::string designation, year;
  std::vector<IssueRow> issues;
};

struct ImportedRecord {
  CatalogueRecord record;      // the members the whole-record text carries
  std::string whole_text;      // ÖllFærslan (UTF-8)
  std::string marc_text;       // MarkSnið (UTF-8, lines joined by CR LF)
  std::string sort_key;        // Röðunarsvið
  std::string identity;        // Einkennisstrengur
  std::string isbn;
  int kind = kKindItem;
  int collection = 1;          // Safndeild
  std::string control_number;  // 001
  std::string agency;          // 003: whose control number it is
  std::string source;          // the MARC record as read, ISO 2709 in UTF-8 (Frumfærsla)
  std::string record_date;     // 005: when the record was last changed
  std::string host_control;    // 773 $w: the host's 001 (component parts, articles)
  std::vector<CopyRow> copies;
  std::vector<VolumeRow> volumes;
  std::vector<WordOccurrence> words;  // the word index's words of the record
};

// The whole-record text of a record: its members in their stored order,
// values ended by character 5, lists by character 1 (contents by 2).
Text WriteRecordText(const CatalogueRecord& r);

// Maps one MARC record: values in normal form C without the ISBD
// punctuation cataloguing left at their ends (punctuation.h), a field in
// vernacular script (880) standing in for its linked field when the record
// has no romanised form of it.  Throws std::runtime_error with a short
// reason when the record cannot be catalogued (no 245 $a, or too long to
// keep as ISO 2709).  `host_is_serial` says
// whether the record named in 773 $w is a periodical (kind 200 rather than
// 2 for a component part).
ImportedRecord MapRecord(const MarcRecord& m, bool host_is_serial);

// The words a record of SOURCE (as read) has in the word index: those of
// RecordWords on the record in normal form C.
std::vector<WordOccurrence> IndexedWords(const MarcRecord& source);

// The MARC text line of one field: tag, two indicators, a blank, then the
// subfields each as "$" + code + value.  A "$" inside a value would start a
// new subfield when read back, so it is written as the full-width sign "＄".
std::string MarcLine(const MarcField& f);

}  // namespace kvistur::import
