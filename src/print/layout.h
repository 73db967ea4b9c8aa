// The print layout: a list of catalogue records laid out for printing.
//
// For each record number the layout fetches the record and writes one entry
// through the rich-text operations (rich_text.h): the call number, a tab,
// then names, the underlined title and further areas chosen by the record's
// kind and the print-list type (setting Prentun/ListaTegund); print-list
// type 3 adds a line of subject headings.  Every line it produces is
// reported in four parallel arrays, which grow one line at a time:
//
//   iTag  the line's kind: -1 a record of a kind that is not printed,
//         2 the entry of a record, 4 the subject line after an entry
//   szA1  the call number of the line
//   szA2  what the operations returned for the line (the marked-up text in
//         text mode, empty in control mode unless a control call failed)
//   szA3  always empty
#pragma once

#include <functional>

#include "kvistur/automation.h"
#include "record/catalogue_record.h"

namespace kvistur {

inline constexpr int16_t kLineNotPrinted = -1;
inline constexpr int16_t kLineEntry = 2;
inline constexpr int16_t kLineSubjects = 4;

// How the layout obtains a record by number (FærslaFráID in the component;
// tests give records of their own).
using RecordSource = std::function<CatalogueRecord(int32_t)>;

// The four output arrays.  Each must be unallocated or have lower bound 0:
// extending one with another lower bound fails with error 9.
struct PrintLines {
  SafeArray<int16_t>& iTag;
  SafeArray<Text>& szA1;
  SafeArray<Text>& szA2;
  SafeArray<Text>& szA3;
};

// The print-list type: the number at the start of Prentun/ListaTegund,
// rounded half to even (0 when missing); overflow (6) outside 16 bits.
int16_t PrintListType();

// The upper bound of lID as the layout sees it: -1 for an unallocated array.
int32_t RecordListBound(const SafeArray<int32_t>& lID);

// Lays out lID(1..upper bound) into the control or text and the arrays, and
// returns the upper bound (0 when below 1).  Faults pass on; the lines laid
// out before a fault stay where they are.
int32_t LayOutRecords(const Variant& vCtrl, const SafeArray<int32_t>& lID, int16_t list_type,
                      const RecordSource& fetch, PrintLines& out);

// The whole method with its frame: entry line with the upper bound of lID,
// the print-list type, the layout, exit line; any fault gives -1 and a
// failure line (debug only).
int32_t PrintLayout(const Variant& vCtrl, const SafeArray<int32_t>& lID, PrintLines& out,
                    const RecordSource& fetch);

}  // namespace kvistur
