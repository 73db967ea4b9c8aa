// Fuzzes the settings reader: any bytes as the settings file (INI or a
// registry export, UTF-8 or UTF-16) must give a value or a failure code,
// never a crash, a hang or a value longer than the limit allows.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "settings/settings.h"

using namespace kvistur;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = [] {
    std::string p = "/tmp/kvistur-fuzz-settings-" + std::to_string(getpid()) + ".ini";
    setenv("LINDRIT_SETTINGS", p.c_str(), 1);
    setenv("KVISTUR_LOG", "/dev/null", 1);
    return p;
  }();
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  static const char16_t* names[][2] = {{u"Grunnur", u"Slóð"}, {u"grunnur", u"GRUNNNAFN"}, {u"Debug", u"NoDebug"},
                                       {u"Leit", u"Fjöldi"}, {u"", u""}, {u"Prentun", u"x"}};
  for (auto& n : names) {
    SettingLookup r = lookup_setting(n[0], n[1]);
    if (r.failed_at == LookupStage::Ok && r.value.size() > kMaxSettingLength) __builtin_trap();
  }
  return 0;
}
