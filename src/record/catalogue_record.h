// The catalogue record: the one in-memory value that every display, print
// and search operation reads.
//
// The record text parser (record_text.h) builds it from a whole-record text;
// the record fetch (record_fetch.h) does that and completes it from the rest
// of the table row and from the holdings.  Everything is a value: copying a
// record copies every text and every list element.
//
// Lists carry a 16-bit count, as the catalogue's records always have: a list
// holds at most 32767 elements and appending one more is an overflow (6).
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "kvistur/error.h"
#include "kvistur/text.h"
#include "kvistur/variant.h"

namespace kvistur {

// Booleans of the record are 16-bit integers: -1 true, 0 false.
using Boolean = int16_t;
inline constexpr Boolean kTrue = -1;
inline constexpr Boolean kFalse = 0;

inline constexpr int32_t kMaxListCount = 32767;

template <typename T>
class List {
 public:
  int16_t count() const { return int16_t(items_.size()); }
  bool empty() const { return items_.empty(); }
  const T& operator[](std::size_t i) const { return items_[i]; }
  T& operator[](std::size_t i) { return items_[i]; }
  // Appends ITEM (a copy, or the item itself when it is handed over);
  // overflow (6) when the list already holds 32767.
  void append(T item) {
    if (int32_t(items_.size()) >= kMaxListCount) throw Error(err::kOverflow);
    items_.push_back(std::move(item));
  }
  void clear() { items_.clear(); }
  void reserve(std::size_t n) { items_.reserve(n); }
  typename std::vector<T>::const_iterator begin() const { return items_.begin(); }
  typename std::vector<T>::const_iterator end() const { return items_.end(); }
  friend bool operator==(const List&, const List&) = default;

 private:
  std::vector<T> items_;
};

struct NameEntry {
  int16_t iGerð = 0;
  Text p1, p2, p3, p4, p5;
  int16_t iRöð = 0;  // 0 direct order, 1 inverted; set by BuildMainEntry only
  friend bool operator==(const NameEntry&, const NameEntry&) = default;
};

struct TitleElement {
  Text s1, s2;
  int16_t iGerð = 0;
  friend bool operator==(const TitleElement&, const TitleElement&) = default;
};

struct TermPair {
  Text s1, s2;
  friend bool operator==(const TermPair&, const TermPair&) = default;
};

struct HoldingItem {
  Boolean boolTagInnanMarka = kFalse;
  Boolean boolÍLáni = kFalse;
  int32_t Númer = 0;
  Text Athugasemd, Staðsetning;
  friend bool operator==(const HoldingItem&, const HoldingItem&) = default;
};

struct ContentsEntry {
  List<TitleElement> Titlar;
  List<NameEntry> Nöfn;
  List<TermPair> Efnisorð;
  friend bool operator==(const ContentsEntry&, const ContentsEntry&) = default;
};

struct EditionGroup {
  Text Texti;
  List<NameEntry> Nöfn;
  friend bool operator==(const EditionGroup&, const EditionGroup&) = default;
};

struct AddedEntries {
  List<NameEntry> Nöfn;
  List<TitleElement> Titlar;
  friend bool operator==(const AddedEntries&, const AddedEntries&) = default;
};

struct SeriesGroup {
  List<TitleElement> Titlar;
  List<NameEntry> Nöfn;
  Text Tölumerking;
  friend bool operator==(const SeriesGroup&, const SeriesGroup&) = default;
};

struct CatalogueRecord {
  Boolean boolValin = kFalse;
  int32_t ID = -1;
  Text Aukatexti1, Aukatexti2;
  Text Útgefandi, Útgáfutími, Útgáfustaður;
  EditionGroup Útgáfa;
  Text Umfang, Aukatexti3, Fylgiefni, Aukatexti4, Efnistegund, Stærð, AðrarUpplýsingar;
  Boolean InnlErl = kTrue;
  Boolean boolHeilÓheil = kTrue;
  Boolean boolOpinLokuð = kTrue;
  Text Aukatexti5;
  Text Marktákn1, Marktákn2, Marktákn3, Marktákn4;
  Text MarkSnið;
  DateTime Skráning;
  int16_t Tag = 0;
  AddedEntries Aukafærslur;
  SeriesGroup Ritröð;
  List<TitleElement> Titlar;
  List<NameEntry> Ábyrgðaraðildir;
  List<TermPair> Efnisorð;
  List<HoldingItem> Aðfanganúmer;
  List<ContentsEntry> Efnisyfirlit;
  Text ÖllFærslan;
  Text Röðunarsvið;
  int32_t Upprunafærsla = 0;
  int32_t Uppruni = 0;
  int32_t UpprunaID = 0;
  int32_t Safndeild = -1;
  friend bool operator==(const CatalogueRecord&, const CatalogueRecord&) = default;
};

// The empty values every parse and fetch starts from.  EmptyRecord sets
// Skráning to the current local date and time.
CatalogueRecord EmptyRecord();
inline EditionGroup EmptyEditionGroup() { return {}; }
inline AddedEntries EmptyAddedEntries() { return {}; }
inline SeriesGroup EmptySeriesGroup() { return {}; }
inline ContentsEntry EmptyContentsEntry() { return {}; }
inline NameEntry EmptyNameEntry() { return {}; }

// The current local date and time.
DateTime now_local();

}  // namespace kvistur
