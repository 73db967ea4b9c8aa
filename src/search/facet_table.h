// What the facets need of every record, in memory: its kind, its year, the
// copies its holdings hold and the locations of those copies, found by
// record number in constant time, so that counting the facets of 200 000
// hits costs a pass over them and nothing else.
//
// kvistur's tools write it beside the stored search index
// (import/store/facet_writer.h), in rows of the stored index's codec
// (stored_codec.h; their format in docs/stored-index.md), and the search
// reads it once per state of the catalogue (FacetTable::Open), when it was
// written or last updated at the state the content stamp says the
// catalogue has now.  Otherwise it is worked out from the tables
// (FacetTable::FromTables), which reads every record once.
//
// The copies of a record are those of its holder, as the record page shows
// them: the record itself for an entry of its own (Tag 1), the record it
// is a part of for a part (Tag 2, Upprunafærsla), none for other entries.
// Whether a copy is on loan is not kept here: it changes all day, and is
// read when the facets are counted (facets.h, Shelf).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/engine.h"
#include "platform/kept_memory.h"
#include "search/stored_codec.h"
#include "search/record_facts.h"

namespace kvistur::facets {

// Locations a catalogue's facet lists; copies elsewhere beyond that many
// distinct names are counted as copies but give no location.
inline constexpr std::size_t kMaxPlaces = std::size_t(stored::kMaxFacetPlaces);
inline constexpr int32_t kNoSlot = -1;

// What the facet tables hold: the locations numbered, each record's entry
// and each holder's copies, ascending by number.
struct FacetRows {
  std::vector<std::string> places;
  std::vector<stored::FacetRecord> records;
  std::vector<stored::FacetHolder> holders;
};

// The facet data as stored: its summary and rows.
struct StoredFacets {
  stored::FacetSummary meta;
  FacetRows rows;
};
enum class Stored { kNone, kOtherFormat, kRead };
// Reads every row through OPEN (which runs a query and gives its rows),
// each checked; kNone when there is no summary row, kOtherFormat for a
// version this reader does not know (nothing else is read).  Throws
// stored::Damaged on a row that does not hold, the engine's Error when the
// tables are not there.
Stored ReadStoredFacets(const std::function<std::unique_ptr<db::Cursor>(const std::u16string&)>& open,
                        StoredFacets& out);
// The summary and the places alone (OUT's records and holders left empty).
Stored ReadFacetHead(const std::function<std::unique_ptr<db::Cursor>(const std::u16string&)>& open,
                     StoredFacets& out);

class FacetTable {
 public:
  // Collects the rows of the tables in any order, then makes the rows or
  // the table.
  class Builder {
   public:
    Builder() = default;
    // Numbering locations on from PLACES (those of the data kept already).
    explicit Builder(std::vector<std::string> places);
    // A Móðurtafla row: its number, kind of entry and Upprunafærsla, and
    // its facts.
    void record(int32_t id, int tag, int32_t origin, const Facts& facts);
    // An Aðfanganúmer row: the record it belongs to and its location.
    void copy(int32_t holder, std::string_view place);
    // The rows by number (a number given twice: its first), holders with
    // copies only.
    FacetRows rows();
    std::unique_ptr<FacetTable> finish() { return Make(rows()); }

   private:
    std::vector<stored::FacetRecord> records_;
    std::unordered_map<int32_t, stored::FacetHolder> copies_;
    std::unordered_map<std::string, uint16_t> place_ids_;
    std::vector<std::string> places_;
  };

  // The table of ROWS, each record with its holder's copies.
  static std::unique_ptr<FacetTable> Make(const FacetRows& rows);
  // The table written at STAMP in DATABASE, or null when there is none
  // written at this state or it does not read back.
  static std::shared_ptr<FacetTable> Open(db::Database& database, const db::ContentStamp& stamp);
  // The table worked out from Móðurtafla, Frumfærsla and Aðfanganúmer as
  // DATABASE reads them now.
  static std::shared_ptr<FacetTable> FromTables(db::Database& database);

  std::size_t records() const { return ids_.size(); }
  const std::vector<std::string>& places() const { return place_names_; }
  // The slot of record ID, kNoSlot when there is no such record.
  int32_t slot(int32_t id) const {
    if (dense_) {
      int64_t i = int64_t(id) - first_;
      return i >= 0 && i < int64_t(slot_of_.size()) ? slot_of_[std::size_t(i)] : kNoSlot;
    }
    return sparse_slot(id);
  }
  int32_t id(int32_t s) const { return ids_[std::size_t(s)]; }
  Kind kind(int32_t s) const { return Kind(kind_[std::size_t(s)]); }
  int year(int32_t s) const { return year_[std::size_t(s)]; }
  int copies(int32_t s) const { return copies_[std::size_t(s)]; }
  // The places of slot S: [begin, end) of place ids.
  const uint16_t* places_begin(int32_t s) const { return places_.data() + place_start_[std::size_t(s)]; }
  const uint16_t* places_end(int32_t s) const { return places_.data() + place_start_[std::size_t(s) + 1]; }
  // The holder of slot S as an index (the holder's slot when it is a
  // record, records() and on otherwise), -1 when it has none; and the
  // holder index of the copies of record number ID (-1: none known).
  int32_t holder(int32_t s) const { return holder_[std::size_t(s)]; }
  int32_t holder_index(int32_t id) const;
  std::size_t holders() const { return ids_.size() + extra_holders_.size(); }
  // Bytes it holds, for the budget.
  std::size_t memory() const;

 private:
  int32_t sparse_slot(int32_t id) const;
  void add(const stored::FacetRecord& r, const stored::FacetHolder* copies);
  void Seal();

  std::vector<int32_t> ids_;
  std::vector<uint8_t> kind_;
  std::vector<uint16_t> year_, copies_;
  std::vector<int32_t> holder_id_;      // the holder's number, while reading
  std::vector<uint8_t> has_holder_;     // while reading
  std::vector<int32_t> holder_;         // after Seal
  std::vector<uint32_t> place_start_{0};
  std::vector<uint16_t> places_;
  std::vector<std::string> place_names_;
  std::vector<std::pair<int32_t, int32_t>> extra_holders_;  // holder number, index; by number
  bool dense_ = false;
  int32_t first_ = 0;
  std::vector<int32_t> slot_of_;
};

}  // namespace kvistur::facets
