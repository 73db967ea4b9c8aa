#include "record/record_fetch.h"

#include <cmath>

#include "kvistur/number.h"
#include "platform/open_database.h"
#include "record/record_text.h"
#include "settings/log.h"
#include "settings/thread_state.h"

namespace kvistur {

DateTime to_datetime(const Variant& v) {
  switch (v.type()) {
    case VarType::Null:
      throw Error(err::kInvalidNull);
    case VarType::Date:
      return v.as_date();
    case VarType::String:
      if (auto d = parse_datetime(trim(v.as_string()))) return *d;
      throw Error(err::kTypeMismatch);
    case VarType::Integer:
    case VarType::Long:
    case VarType::Double: {
      // A serial day number: days since 30.12.1899, the fraction the time.
      double serial = v.to_double();
      if (!(serial > -657435.0 && serial < 2958466.0)) throw Error(err::kOverflow);
      double days = std::floor(serial);
      long long secs = std::llround((serial - days) * 86400.0);
      // Civil from days (proleptic Gregorian): serial 25569 is 1.1.1970.
      long long d = (long long)days - 25569 + 719468;  // days since 1.3.0000
      long long era = (d >= 0 ? d : d - 146096) / 146097;
      long long doe = d - era * 146097;
      long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
      long long y = yoe + era * 400;
      long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
      long long mp = (5 * doy + 2) / 153;
      long long dd = doy - (153 * mp + 2) / 5 + 1;
      long long mm = mp < 10 ? mp + 3 : mp - 9;
      if (secs >= 86400) secs = 86399;
      return DateTime{int(y + (mm <= 2)), int(mm), int(dd), int(secs / 3600), int(secs / 60 % 60), int(secs % 60)};
    }
    default:
      throw Error(err::kTypeMismatch);
  }
}

namespace {

// The rows of SHAPE, a query whose one literal (a whole number, written 0)
// is NUMBER, read through a cursor: the text is the same for every
// number, so it is read and prepared once per connection rather than once
// per record.  The cursor stands before its first row.
std::unique_ptr<db::Cursor> first_row(db::Database& database, TextView shape, int32_t number) {
  return database.OpenCursorWith(shape, {db::Literal(int64_t(number))});
}

// Whether NUMBER is listed in ValdarFærslur, read through DATABASE; any
// fault gives false.
Boolean selected_in(db::Database& database, const Variant& number) {
  try {
    auto rows = first_row(database, u"SELECT Valdar FROM ValdarFærslur WHERE Valdar = 0", number.to_i32());
    return rows->Next() ? kTrue : kFalse;
  } catch (const Error&) {
    return kFalse;
  } catch (const std::exception&) {
    return kFalse;
  }
}

}  // namespace

Boolean IsSelected(const Variant& number) {
  auto database = open_catalogue();  // a fault here passes on
  Boolean selected = selected_in(*database, number);
  try {
    database->Close();
  } catch (const Error&) {
    return kFalse;
  } catch (const std::exception&) {
    return kFalse;
  }
  return selected;
}

void LoadHoldings(CatalogueRecord& record, db::Database& database) {
  bool shown = false;
  auto show = [&](const Error& e) {
    if (!shown) notify_user(e.description(), kProjectName);
    shown = true;
  };
  try {
    int32_t key = record.Tag == 1 ? record.ID : record.Tag == 2 ? record.Upprunafærsla : -1;
    enum Column { kNúmer, kAthugasemd, kStaðsetning, kTag = 4, kLánþegabendir };
    record.Aðfanganúmer.clear();
    auto rows = first_row(database,
                          u"SELECT a.Aðfanganúmer, a.Athugasemd, a.Staðsetning, a.Móðurbendir, a.Tag, a.Lánþegabendir "
                          u"FROM Aðfanganúmer a WHERE ((a.Móðurbendir=0));",
                          key);
    while (rows->Next()) {
      HoldingItem item;
      item.Númer = rows->Value(kNúmer).to_i32();
      Variant note = rows->Value(kAthugasemd), place = rows->Value(kStaðsetning);
      item.Athugasemd = note.is_null() ? Text() : note.to_text();
      item.Staðsetning = place.is_null() ? Text() : place.to_text();
      Variant tag = rows->Value(kTag), borrower = rows->Value(kLánþegabendir);
      item.boolTagInnanMarka = !tag.is_null() && tag.to_double() > 1023 ? kFalse : kTrue;
      item.boolÍLáni = !borrower.is_null() && borrower.to_double() > 0 ? kTrue : kFalse;
      record.Aðfanganúmer.append(item);
    }
  } catch (const Error& e) {
    show(e);
  } catch (const std::exception& e) {
    show(error_from_std(e));
  }
  try {
    // Through the catalogue the holdings were read from, open in this
    // call: opening it again would give the same connection.
    record.boolValin = selected_in(database, Variant(record.ID));
  } catch (const Error& e) {
    show(e);
  } catch (const std::exception& e) {
    show(error_from_std(e));
  }
}

namespace {

// The fetch of FærslaFráID through DATABASE (OPEN: the caller's, null:
// the catalogue opened here and closed after).
CatalogueRecord fetch_record(db::Database* open, int32_t lFærsluID, RecordKeys* keys) {
  // The row's columns, in the order of the query.
  enum Column { kID, kSkráning, kÖllFærslan = 7, kMarkSnið, kUpprunafærsla, kRöðunarsvið, kTag = 12, kUppruni = 14,
                kSafndeild, kUpprunaID, kEinkennisstrengur };
  CatalogueRecord record = EmptyRecord();
  std::unique_ptr<db::Database> database;
  std::unique_ptr<db::Cursor> row;
  try {
    if (!open) {
      database = open_catalogue();
      open = database.get();
    }
    // The record's columns, and with KEYS its identifying string after them.
#define KV_RECORD_COLUMNS                                                                                   \
  u"SELECT m.ID, m.Skráning, m.ISBN, m.[Marktákn1], m.[Marktákn2],  m.[Marktákn3], m.[Marktákn4], "         \
  u"m.[ÖllFærslan], m.[MarkSnið], m.Upprunafærsla, m.Röðunarsvið, m.Skráning, m.Tag, "                      \
  u"m.Upprunafærsla, m.Uppruni, m.Safndeild, m.UpprunaID"
    auto rows = first_row(*open,
                          keys ? KV_RECORD_COLUMNS u", m.Einkennisstrengur FROM Móðurtafla m WHERE m.ID = 0"
                               : KV_RECORD_COLUMNS u" FROM Móðurtafla m WHERE m.ID = 0",
                          lFærsluID);
#undef KV_RECORD_COLUMNS
    // The first row is read as the query opens: a fault there is a fault
    // before there is a row.
    const bool found = rows->Next();
    row = std::move(rows);
    if (found && keys) {
      // Apart from the record: a fault here leaves the record as it is.
      try {
        keys->Einkennisstrengur = row->Value(kEinkennisstrengur).to_text();
        keys->Tag = row->Value(kTag).to_i16();
        keys->read = true;
      } catch (const Error&) {
      } catch (const std::exception&) {
      }
    }
    if (found) {
      Variant all = row->Value(kÖllFærslan);
      Text text = all.is_null() ? Text() : all.to_text();
      record = ParseRecordText(text);
      record.ID = row->Value(kID).to_i32();
      record.Tag = row->Value(kTag).to_i16();
      record.Skráning = to_datetime(row->Value(kSkráning));
      record.Upprunafærsla = row->Value(kUpprunafærsla).to_i32();
      record.Aðfanganúmer.clear();
      LoadHoldings(record, *open);
      record.ÖllFærslan = text;
      Variant marc = row->Value(kMarkSnið);
      record.MarkSnið = marc.is_null() ? Text() : marc.to_text();
      record.Uppruni = row->Value(kUppruni).to_i32();
      record.Safndeild = row->Value(kSafndeild).to_i32();
      record.UpprunaID = row->Value(kUpprunaID).to_i32();
      record.Röðunarsvið = row->Value(kRöðunarsvið).to_text();
      record.Tag = row->Value(kTag).to_i16();
    }
  } catch (const Error&) {
    // Without the query's first row read there is no record to return
    // as it stood: that fault passes on.
    if (!row) throw Error(err::kObjectNotSet);
  } catch (const std::exception&) {
    if (!row) throw Error(err::kObjectNotSet);
  }
  row.reset();
  try {
    if (database) database->Close();
  } catch (...) {
  }
  database.reset();
  MeldaError(u"FærslaFráID, lFærsluID: ", record.ID, u"", true);
  return record;
}

}  // namespace

CatalogueRecord FærslaFráID(int32_t lFærsluID) { return fetch_record(nullptr, lFærsluID, nullptr); }

CatalogueRecord FærslaFráID(db::Database& database, int32_t lFærsluID, RecordKeys* keys) {
  return fetch_record(&database, lFærsluID, keys);
}

}  // namespace kvistur
