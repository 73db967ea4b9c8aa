// The word index of a catalogue: every word of a record, with the search
// field it occurs in, and the database groups the record belongs to.  Each
// (record, word, group, field) becomes one Tengill row; each distinct word
// (letter case ignored) one Orð row.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "marc21/marc_reader.h"

namespace kvistur::import {

using marc21::MarcRecord;

// Search fields (column Orðtag, QueryTypes.QueryID).
enum SearchField : int {
  kFieldAuthor = 1,     // 100, 110, 111, 700, 710, 711, 245 $c, 505 $r
  kFieldTitle = 2,      // 245 $a $b $n $p, 246, 740, 505 $t, 773 $t
  kFieldSubject = 3,    // 600, 610, 611, 630, 650, 651, 655
  kFieldSeries = 4,     // 490, 440, 830
  kFieldPublisher = 5,  // 260/264 $a $b
  kFieldNotes = 6,      // 500, 505 $a, 520
  kFieldNumber = 7,     // 020 $a (without hyphens), 022 $a, 090, 260/264 $c
};

// Database groups (column HópID, DBGroups.ID).
inline constexpr int kGroupAll = 1;          // every record
inline constexpr int kGroupPeriodicals = 2;  // periodicals and their articles

struct NamedNumber {
  int id;
  const char* name;
  const char* description;
};
const std::vector<NamedNumber>& search_fields();
const std::vector<NamedNumber>& groups();

struct WordOccurrence {
  std::string word;  // lower case, UTF-8
  int field = 0;
  friend bool operator==(const WordOccurrence&, const WordOccurrence&) = default;
};

// The words of a text (in normal form C): runs of letters and digits, in
// lower case.  Words longer than kMaxWordLength characters are cut there.
inline constexpr int kMaxWordLength = 64;
std::vector<std::string> SplitWords(const std::string& utf8);

// Every distinct (word, field) of a record, in the order first met; a field
// in vernacular script (880) counts as the field it is linked to.
std::vector<WordOccurrence> RecordWords(const MarcRecord& m);

// The groups a record of this kind belongs to.
std::vector<int> RecordGroups(int kind);

}  // namespace kvistur::import
