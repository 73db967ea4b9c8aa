#include "web/limits.h"

#include <cmath>

#include "kvistur/number.h"
#include "settings/settings.h"

namespace kvistur::web {

namespace {

constexpr const char16_t* kSection = u"Vefur";

bool text_setting(const char16_t* name, std::string& value) {
  SettingLookup r = lookup_setting(kSection, name);
  if (r.failed_at != LookupStage::Ok || trim(r.value).empty()) return false;
  value = to_utf8(trim(r.value));
  return true;
}

// A whole number from 1 to CEILING under NAME; otherwise LIMIT is kept.
void number_setting(const char16_t* name, int& limit, int ceiling) {
  SettingLookup r = lookup_setting(kSection, name);
  if (r.failed_at != LookupStage::Ok) return;
  double v = read_number(r.value);
  if (v >= 1 && v <= double(ceiling) && v == std::floor(v)) limit = int(v);
}

}  // namespace

WebSettings ReadWebSettings() {
  WebSettings s;
  text_setting(u"Hlustun", s.listener);
  text_setting(u"Nafn", s.library_name);
  text_setting(u"Sniðmát", s.templates);
  text_setting(u"Slóð", s.public_address);
  number_setting(u"Síðustærð", s.page_size, kMaxPageSize);
  number_setting(u"Tengingar", s.connections, 100000);
  number_setting(u"Biðtími", s.timeout_seconds, 86400);
  // Each worker holds a log-on and its connections to the catalogue.
  number_setting(u"Þræðir", s.threads, 256);
  return s;
}

}  // namespace kvistur::web
