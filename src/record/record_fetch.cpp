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

Boolean IsSelected(const Variant& number) {
  auto database = open_catalogue();  // a fault here passes on
  try {
    auto rs = database->OpenRecordset(u"SELECT Valdar FROM ValdarFærslur WHERE Valdar = " +
                                      number_text_blank(number.to_i32()));
    Boolean selected = rs->RecordCount() > 0 ? kTrue : kFalse;
    rs->Close();
    database->Close();
    return selected;
  } catch (const Error&) {
    return kFalse;
  } catch (const std::exception&) {
    return kFalse;
  }
}

void LoadHoldings(CatalogueRecord& record, db::Database& database) {
  bool shown = false;
  auto show = [&](const Error& e) {
    if (!shown) notify_user(e.description(), kProjectName);
    shown = true;
  };
  try {
    int32_t key = record.Tag == 1 ? record.ID : record.Tag == 2 ? record.Upprunafærsla : -1;
    Text sql = u"SELECT a.Aðfanganúmer, a.Athugasemd, a.Staðsetning, a.Móðurbendir, a.Tag, a.Lánþegabendir "
               u"FROM Aðfanganúmer a WHERE ((a.Móðurbendir=" +
               number_text(key) + u"));";
    record.Aðfanganúmer.clear();
    auto rs = database.OpenRecordset(sql, db::kDynaset, db::kReadOnly);
    if (rs->RecordCount() > 0) {
      rs->MoveFirst();
      while (!rs->eof()) {
        HoldingItem item;
        item.Númer = rs->field(u"Aðfanganúmer").to_i32();
        Variant note = rs->field(u"Athugasemd"), place = rs->field(u"Staðsetning");
        item.Athugasemd = note.is_null() ? Text() : note.to_text();
        item.Staðsetning = place.is_null() ? Text() : place.to_text();
        Variant tag = rs->field(u"Tag"), borrower = rs->field(u"Lánþegabendir");
        item.boolTagInnanMarka = !tag.is_null() && tag.to_double() > 1023 ? kFalse : kTrue;
        item.boolÍLáni = !borrower.is_null() && borrower.to_double() > 0 ? kTrue : kFalse;
        record.Aðfanganúmer.append(item);
        rs->MoveNext();
      }
    }
    rs->Close();
  } catch (const Error& e) {
    show(e);
  } catch (const std::exception& e) {
    show(error_from_std(e));
  }
  try {
    record.boolValin = IsSelected(Variant(record.ID));
  } catch (const Error& e) {
    show(e);
  } catch (const std::exception& e) {
    show(error_from_std(e));
  }
}

CatalogueRecord FærslaFráID(int32_t lFærsluID) {
  CatalogueRecord record = EmptyRecord();
  std::unique_ptr<db::Database> database;
  std::unique_ptr<db::Recordset> rs;
  try {
    database = open_catalogue();
    rs = database->OpenRecordset(
        Text(u"SELECT ") + u"m.ID, m.Skráning, m.ISBN, m.[Marktákn1], " + u"m.[Marktákn2],  m.[Marktákn3], m.[Marktákn4], " +
        u"m.[ÖllFærslan], m.[MarkSnið], m.Upprunafærsla, " + u"m.Röðunarsvið, " + u"m.Skráning, " + u"m.Tag, " +
        u"m.Upprunafærsla, " + u"m.Uppruni, " + u"m.Safndeild, " + u"m.UpprunaID " + u"FROM Móðurtafla m " + u"WHERE " +
        u"m.ID = " + number_text_blank(lFærsluID));
    if (rs->RecordCount() > 0) {
      Variant all = rs->field(u"ÖllFærslan");
      Text text = all.is_null() ? Text() : all.to_text();
      record = ParseRecordText(text);
      record.ID = rs->field(u"ID").to_i32();
      record.Tag = rs->field(u"Tag").to_i16();
      record.Skráning = to_datetime(rs->field(u"Skráning"));
      record.Upprunafærsla = rs->field(u"Upprunafærsla").to_i32();
      record.Aðfanganúmer.clear();
      LoadHoldings(record, *database);
      record.ÖllFærslan = text;
      Variant marc = rs->field(u"MarkSnið");
      record.MarkSnið = marc.is_null() ? Text() : marc.to_text();
      record.Uppruni = rs->field(u"Uppruni").to_i32();
      record.Safndeild = rs->field(u"Safndeild").to_i32();
      record.UpprunaID = rs->field(u"UpprunaID").to_i32();
      record.Röðunarsvið = rs->field(u"Röðunarsvið").to_text();
      record.Tag = rs->field(u"Tag").to_i16();
      rs->Close();
    }
  } catch (const Error&) {
    // Clean-up from the failure handler: without a result set, closing it is
    // itself a fault, and that one passes on.
    if (!rs) throw Error(err::kObjectNotSet);
  } catch (const std::exception&) {
    if (!rs) throw Error(err::kObjectNotSet);
  }
  // Clean-up ignores its own faults: on the ordinary path the result set is
  // already closed, and closing it again may fail.
  try {
    if (rs) rs->Close();
  } catch (...) {
  }
  rs.reset();
  try {
    if (database) database->Close();
  } catch (...) {
  }
  database.reset();
  MeldaError(u"FærslaFráID, lFærsluID: ", record.ID, u"", true);
  return record;
}

}  // namespace kvistur
