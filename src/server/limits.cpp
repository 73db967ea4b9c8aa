#include "server/limits.h"

#include <cmath>

#include "kvistur/number.h"
#include "settings/settings.h"

namespace kvistur::server {

namespace {

// The sections that hold the limits, the first to have a name counting.
constexpr const char16_t* kSections[] = {u"Þjónn", u"Z39.50"};

// A whole number from 1 to CEILING under NAME, or FALLBACK.
int64_t setting(const char16_t* name, int64_t fallback, int64_t ceiling) {
  for (const char16_t* section : kSections) {
    SettingLookup r = lookup_setting(section, name);
    if (r.failed_at != LookupStage::Ok) continue;
    double v = read_number(r.value);
    return v >= 1 && v <= double(ceiling) && v == std::floor(v) ? int64_t(v) : fallback;
  }
  return fallback;
}

template <typename T>
void read(T& limit, const char16_t* name, int64_t ceiling) {
  limit = T(setting(name, limit, ceiling));
}

}  // namespace

Limits ReadLimits() {
  Limits l;
  read(l.connections, u"Tengingar", 100000);
  read(l.sessions, u"Lotur", 100000);
  read(l.idle_seconds, u"Biðtími", 86400 * 365);
  // YAZ keeps the message size in bytes in an int.
  read(l.message_kib, u"Skeytastærð", 1 << 20);
  read(l.request_seconds, u"Tímamörk", 86400);
  read(l.request_mib, u"Beiðnaminni", 1 << 20);
  read(l.all_requests_mib, u"Vinnsluminni", 1 << 20);
  read(l.query.terms, u"Liðir", 1000000);
  // Mapping and evaluating a query recurse once a level.
  read(l.query.depth, u"Dýpt", 1000);
  read(l.query.term_bytes, u"Liðlengd", 1 << 20);
  read(l.result_sets, u"Niðurstöður", 1000000);
  read(l.session_records, u"Færslur", int64_t(1) << 40);
  return l;
}

}  // namespace kvistur::server
