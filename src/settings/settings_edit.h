// Writing values into a settings file that a library may have edited by
// hand: the values a tool owns are set, defaults are added only where the
// file has no value of that name, and every other line, section and
// comment stays as it was, byte for byte, in the file's own form (INI or a
// registry export, UTF-8, UTF-16 or Windows-1252; settings_text.h).
//
//   std::string now = EditSettings(old_bytes, {{u"Grunnur", u"Slóð", dir}}, {{u"Leit", u"Fjöldi", u"250"}});
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "kvistur/text.h"

namespace kvistur {

struct SettingValue {
  Text section, name, value;
};

// BYTES (a settings file's, empty for a new file) with every OWNED value
// set and every value of DEFAULTS the file lacks added.  A value is set
// where the file has it (its first occurrence, the one a reader sees; the
// name keeps the file's spelling), a new one goes after the last value of
// its section, a new section at the end.  Throws std::runtime_error when a
// value cannot be written in the file's form.
std::string EditSettings(std::string_view bytes, const std::vector<SettingValue>& owned,
                         const std::vector<SettingValue>& defaults);

}  // namespace kvistur
