// What the pages read of the catalogue: the groups and search fields of
// the directory (the lists a host gets from SaekjaHopa and SaekjaSvid), a
// search's hits one page at a time, one record with its copies, and print
// lists laid out by FormaFyrirPrentun.
//
// A search is Leita's search (FindRecords, LeitaOrder: the same terms, stop
// words and order), but only the page's records are fetched and described,
// so a page costs the same whichever page it is.  Each worker thread logs
// on once (WorkerLogOn) and every call here runs on it; the catalogue's
// faults come out as kvistur::Error.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "formats/records.h"
#include "kvistur/faersla.h"
#include "print/rtf_document.h"
#include "record/catalogue_record.h"
#include "search/facets.h"

namespace kvistur::web {

// The log-on of the calling thread as USER, made at its first request and
// again after one that failed; null while the catalogue cannot be logged
// on to (the settings or the workgroup missing or refusing).
Faersla* WorkerLogOn(const std::string& user, const std::string& password);

struct Choice {
  int32_t id = -1;
  std::string name, description;
};

struct Directory {
  std::vector<Choice> groups;  // DBGroups
  std::vector<Choice> fields;  // the search fields of every group, each name once
  int32_t subject_field = -1;  // the field named Efnisorð, -1 when none
  int32_t series_field = -1;   // Ritröð
  int32_t title_field = -1;    // Titill
  int32_t author_field = -1;   // Höfundur
  bool has_group(int32_t id) const;
  bool has_field(int32_t id) const;
};
Directory ReadDirectory(Faersla& faersla);

struct Hit {
  int32_t id = 0;
  std::string description, call_number;
  int copies = 0, available = 0;  // copies in all, and those not on loan
};

// The orders a result page offers: the catalogue's own (Leita's), by
// year (newest or oldest first, records of no known year last), and the
// known item's: records whose title holds every word first.  Each keeps
// the catalogue's order among records it puts level.
enum class Order { kCatalogue, kNewest, kOldest, kTitle };

struct SearchAsk {
  int32_t group = -1, field = -1;
  std::string words;
  facets::Filter filter;
  Order order = Order::kCatalogue;
  int32_t title_field = -1;  // the field "title holds every word" is asked in
  int page = 1, page_size = 20;
};

struct HitPage {
  int64_t count = 0;       // every hit (after the narrowing)
  std::vector<Hit> hits;   // the page's, in the order asked for
  bool only_stop_words = false;
  // The facets of every hit counted (when there were hits to count), and
  // the names of the catalogue's locations by their ids in it.
  std::optional<facets::Counts> facets;
  std::vector<std::string> places;
  // Better searches, for one with few hits or none: the words and their hits.
  std::vector<std::pair<std::string, int64_t>> suggestions;
};

// The hits of ASK: page ASK.page (from 1) of ASK.page_size hits; a page
// past the last has none.
HitPage Search(Faersla& faersla, const SearchAsk& ask);

// Headings of a word index for browsing: up to N from FROM on (DOWN:
// before it, nearest first) in FIELD.
struct Heading {
  std::string word;
  int64_t records = 0;
};
std::vector<Heading> Headings(int32_t field, const std::string& from, bool down, std::size_t n);

// Copies of a record as the record page lists them.
struct Holding {
  int32_t number = 0;
  std::string location, note;
  bool on_loan = false;
};

struct RecordView {
  CatalogueRecord record;
  std::string title, description, call_number;
  std::vector<Holding> holdings;
  std::vector<std::string> subjects, contents, series;
};
// The record numbered ID, or nullopt when there is none.
std::optional<RecordView> ReadRecord(int32_t id);

// The record as the catalogue keeps it, for MARC 21, MARCXML and RIS.
std::optional<formats::StoredRecord> ReadStored(int32_t id);

struct PrintList {
  std::shared_ptr<RtfControl> control;  // what the layout wrote
  std::vector<int32_t> not_printed;     // records that gave no entry
};
// The records laid out by FormaFyrirPrentun, with the print-list type
// LIST_TYPE in place of the setting when given.
PrintList LayOut(Faersla& faersla, const std::vector<int32_t>& ids, std::optional<int> list_type);

}  // namespace kvistur::web
