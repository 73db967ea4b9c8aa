// Synthetic catalogues for benchmarks: records with Icelandic-looking words
// drawn from a Zipf-like distribution (a few words very common, most rare),
// written by the same mapping and writer as real imports, so they have
// realistic record texts, sort keys, holdings, groups and search fields.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace kvistur::marc21 {
struct MarcRecord;
}

namespace kvistur::import {

using marc21::MarcRecord;

struct GenerateOptions {
  long records = 10000;
  unsigned seed = 1;
  // A word list, one word per line (a hunspell .dic file works: the count
  // line and "/FLAGS" endings are dropped).  Empty: words are made from
  // Icelandic syllables.
  std::string word_list;
  long vocabulary = 60000;  // distinct words when made from syllables
  // (kvistur generate uses /usr/share/hunspell/is.dic when it exists)
};

// The vocabulary, most common first.
std::vector<std::string> GenerateVocabulary(const GenerateOptions& options);

// Makes the records one by one (the same records for the same options).
// Throws std::runtime_error on bad options.
void GenerateRecords(const GenerateOptions& options, const std::function<void(const MarcRecord&)>& each);

// Writes the records to FILE as ISO 2709 in UTF-8; `progress` as below.
void GenerateMarcFile(const std::string& file, const GenerateOptions& options,
                      const std::function<void(long done)>& progress);

// Writes DIR/katalogur.sqlite and DIR/skra.sqlite.  `progress` is called
// with the number of records written so far, every 10 000 records and at
// the end.  Throws std::runtime_error on bad options or a write error.
void GenerateCatalogue(const std::string& dir, const GenerateOptions& options,
                       const std::function<void(long done)>& progress);

}  // namespace kvistur::import
