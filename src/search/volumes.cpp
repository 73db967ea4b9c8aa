#include "search/volumes.h"

#include "kvistur/number.h"

namespace kvistur {

namespace {
Text trimmed(db::Recordset& rs, TextView column) {
  Variant v = rs.field(column);
  return v.is_null() ? Text() : trim(v.to_text());
}
}  // namespace

bool BuildVolumeList(db::Database& database, const CatalogueRecord& record, Text& text) {
  try {
    auto volumes = database.OpenRecordset(u"SELECT * FROM Árgangur WHERE Árgangur.MóðurID = " +
                                          number_text_blank(record.ID) + u" ORDER BY Númer DESC");
    Text out;
    if (volumes->RecordCount() > 0) {
      volumes->MoveFirst();
      while (!volumes->eof()) {
        Text line = u"\r\n";
        Text a = trimmed(*volumes, u"Árgangur"), y = trimmed(*volumes, u"Útgáfuár");
        if (!a.empty()) {
          line += a;
          if (!y.empty()) line += u",(" + y + u")";
        } else if (!y.empty()) {
          line += u"(" + y + u")";
        }
        auto issues = database.OpenRecordset(u"SELECT * FROM Tölublað WHERE Tölublað.MóðurID = " +
                                             number_text_blank(volumes->field(u"ID").to_i32()) + u" ORDER BY Númer");
        if (issues->RecordCount() > 0) {
          issues->MoveFirst();
          bool first = true;
          while (!issues->eof()) {
            Text t = trimmed(*issues, u"Tölublað");
            if (!t.empty()) line += (first ? u" " : u",") + t;
            first = false;
            issues->MoveNext();
          }
        }
        issues->Close();
        out += line;
        volumes->MoveNext();
      }
    }
    volumes->Close();
    text = out;
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace kvistur
