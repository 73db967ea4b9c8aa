// The settings file as text: the forms it comes in (UTF-8, UTF-16LE with a
// BOM, a single-byte Windows-1252 registry export), and what each of its
// lines is (a section, a value, anything else).  The settings store
// (settings.h) reads through it, and the tools that write a settings file
// (settings_edit.h) edit through it, so that both see the same file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "kvistur/text.h"

namespace kvistur {

// The registry key below which a registry export keeps the sections.
inline constexpr char16_t kRegistryKey[] = u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vardi\\Lindrit\\1.0\\";

enum class SettingsForm { kUtf8, kUtf8WithBom, kUtf16, kWindows1252 };

// The bytes of a settings file as text, and the form they were in: UTF-16LE
// after its BOM, single-byte for a REGEDIT4 export, else UTF-8 (a BOM
// dropped).
Text DecodeSettings(std::string_view bytes, SettingsForm& form);
// TEXT in FORM (with the BOM the form has).  Throws std::runtime_error for
// a character a single-byte file cannot hold.
std::string EncodeSettings(TextView text, SettingsForm form);

// Whether the file whose first line is LINE is a registry export.
bool IsRegistryExport(TextView first_line);
// Whether a line of a registry export goes on in the next line (a value
// whose line ends with "\").
bool ContinuesOnNextLine(TextView line);

struct SettingsLine {
  // kOtherKey: a registry key outside ours, whose values are never read.
  enum Kind { kOther, kSection, kOtherKey, kValue };
  Kind kind = kOther;
  Text name;             // the section's or the value's name, as the file writes it
  std::size_t data = 0;  // kValue: where the data after "=" begins in the line
};
// What LINE (one line, or a registry value's lines joined) is.  Blank lines
// and comments (";", "#") are kOther.
SettingsLine ParseSettingsLine(TextView line, bool registry);

// A value's text from its data (what follows "="), undoing the quoting of
// an INI value or reading a registry export's "text", dword: or hex:.
Text SettingValueText(TextView data, bool registry);
// The data that SettingValueText reads back as VALUE.
Text SettingValueData(TextView value, bool registry);
// A value name as a registry export writes it, quoted.
Text RegistryName(TextView name);

// Whether two section or value names are the same name (letter case does
// not matter, Icelandic letters included).
bool SameSettingName(TextView a, TextView b);

}  // namespace kvistur
