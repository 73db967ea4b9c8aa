// Fetching catalogue records from the catalogue database.
//
// FærslaFráID is the one way to obtain a complete record by number: it reads
// the row of Móðurtafla, parses its whole-record text, completes the record
// from the row's other columns and loads its holdings and selected flag.
// Every fetch leaves one forced line in the diagnostic log.
#pragma once

#include "platform/engine.h"
#include "record/catalogue_record.h"

namespace kvistur {

// The record with number `lFærsluID`.  When no row has that number, the
// empty record (ID -1).  A fault while the row is being read returns the
// record as it stood at the fault; a fault before there is a row (no log-on,
// no file, a failing query) passes on as error 91.
CatalogueRecord FærslaFráID(int32_t lFærsluID);
// A record's identifying string and kind as a search's result table reads
// them (Einkennisstrengur as text, Tag as a 16-bit number), from the row
// the fetch reads; READ false when the row was not there or they could not
// be read so.
struct RecordKeys {
  Text Einkennisstrengur;
  int16_t Tag = -1;
  bool read = false;
};
// The same fetch through DATABASE, the catalogue the caller opened in this
// method call (opening it again within the call would give the same
// connection), which is left open.  With KEYS, the row's identifying
// string and kind are read into it too.
CatalogueRecord FærslaFráID(db::Database& database, int32_t lFærsluID, RecordKeys* keys = nullptr);

// Replaces the record's holdings (by its kind: its own for kind 1, its host
// item's for kind 2, none otherwise) and its selected flag.  A fault is shown
// to the user once (notify_user) and the fetch goes on.
void LoadHoldings(CatalogueRecord& record, db::Database& database);

// True when the number is listed in ValdarFærslur.  A fault in opening the
// database passes on; any later fault gives false.
Boolean IsSelected(const Variant& number);

// A column value as a date and time: a "YYYY-MM-DD HH:MM:SS" text or a serial
// day number; Null is error 94, anything else 13.
DateTime to_datetime(const Variant& v);

}  // namespace kvistur
