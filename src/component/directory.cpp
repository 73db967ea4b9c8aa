// The directory queries: groups, the search fields of a group, the
// databases of a group.
#include "component/methods.h"
#include "component/rows.h"
#include "platform/open_database.h"
#include "settings/frame.h"

namespace kvistur {

int32_t SaekjaHopa(SafeArray<Text>& aHópar, SafeArray<int32_t>& aHópID, SafeArray<Text>& aNames,
                   SafeArray<Text>& aDescriptions) {
  return run_in_frame({u"saekjahopa inn", 0, u"saekjahopa út, normal"}, [&]() -> int32_t {
    auto database = open_directory();
    auto rs = database->OpenRecordset(u"Select g.ID, g.Name, g.Description FROM DBGroups g ORDER BY g.ID");
    int32_t n = read_rows(
        *rs, true,
        [&](int32_t n) {
          aHópar.redim(0, n);
          aHópID.redim(0, n);
          aNames.redim(0, n);
          aDescriptions.redim(0, n);
        },
        [&](int32_t i) {
          Variant name = rs->field(u"Name");
          aHópar(i) = trim(name.to_text());
          aHópID(i) = rs->field(u"ID").to_i32();
          aNames(i) = text_or_empty(name);
          aDescriptions(i) = text_or_empty(rs->field(u"Description"));
        });
    rs->Close();
    database->Close();
    return n;
  });
}

int32_t SaekjaSvid(int32_t& lHópur, SafeArray<Text>& aSvið, SafeArray<int32_t>& aSviðID) {
  return run_in_frame({u"SaekjaSvid inn", 0, u"SaekjaSvid út, normal"}, [&]() -> int32_t {
    auto database = open_directory();
    auto rs = database->OpenRecordset(u"Select q.QueryID, q.QueryTypeName, q.GroupID FROM QueryTypes q WHERE q.GroupID = " +
                                      number_text(lHópur) + u" ORDER BY q.QueryID");
    int32_t n = read_rows(
        *rs, true,
        [&](int32_t n) {
          aSvið.redim(0, n);
          aSviðID.redim(0, n);
        },
        [&](int32_t i) {
          aSvið(i) = trim(rs->field(u"QueryTypeName").to_text());
          aSviðID(i) = rs->field(u"QueryID").to_i32();
        });
    rs->Close();
    database->Close();
    return n;
  });
}

int32_t SaekjaSofn(int32_t& lHópID, SafeArray<int32_t>& aSofnID, SafeArray<Text>& aNames,
                   SafeArray<Text>& aDescriptions) {
  return run_in_frame({u"SaekjaSofn inn", 0, u"SaekjaSofn út, normal"}, [&]() -> int32_t {
    auto database = open_directory();
    auto rs = database->OpenRecordset(
        u"Select r.dbID, d.Name, d.Description FROM relations AS r, Databases AS d WHERE r.GroupID = " +
        number_text(lHópID) + u" AND r.dbID = d.ID");
    int32_t n = read_rows(
        *rs, true,
        [&](int32_t n) {
          aSofnID.redim(0, n);
          aNames.redim(0, n);
          aDescriptions.redim(0, n);
        },
        [&](int32_t i) {
          aSofnID(i) = rs->field(u"dbID").to_i32();
          aNames(i) = text_or_empty(rs->field(u"Name"));
          aDescriptions(i) = text_or_empty(rs->field(u"Description"));
        });
    rs->Close();
    database->Close();
    return n;
  });
}

}  // namespace kvistur
