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
  bool has_group(int32_t id) const;
  bool has_field(int32_t id) const;
};
Directory ReadDirectory(Faersla& faersla);

struct Hit {
  int32_t id = 0;
  std::string description, call_number;
  int copies = 0, available = 0;  // copies in all, and those not on loan
};

struct HitPage {
  int64_t count = 0;       // every hit
  std::vector<Hit> hits;   // the page's, in the catalogue's order
  bool only_stop_words = false;
};

// The hits of WORDS in GROUP and FIELD (-1: every one), page PAGE (from 1)
// of PAGE_SIZE hits; a page past the last has none.
HitPage Search(Faersla& faersla, int32_t group, int32_t field, const std::string& words, int page, int page_size);

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
