#include "settings/settings_text.h"

#include <cctype>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace kvistur {

namespace {

// Windows-1252 0x80..0x9F; the five it leaves undefined stand for the C1
// character of the same number.
constexpr char16_t kHigh1252[32] = {0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x8D,   0x017D, 0x8F,
                                    0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};

Text from_cp1252(std::string_view s) {
  Text out;
  for (unsigned char c : s) out += (c >= 0x80 && c < 0xA0) ? kHigh1252[c - 0x80] : char16_t(c);
  return out;
}

std::string to_cp1252(TextView t) {
  std::string out;
  for (char16_t c : t) {
    if (c < 0x80 || (c >= 0xA0 && c < 0x100)) {
      out += char(c);
      continue;
    }
    int found = -1;
    for (int i = 0; i < 32 && found < 0; ++i)
      if (kHigh1252[i] == c) found = i;
    if (found < 0)
      throw std::runtime_error("the character U+" + [&] {
        char hex[8];
        std::snprintf(hex, sizeof hex, "%04X", unsigned(c));
        return std::string(hex);
      }() + " cannot be written in a Windows-1252 registry export");
    out += char(0x80 + found);
  }
  return out;
}

// Undoes the quoting rule: "..." with \" and \\ inside.
Text unquote(TextView v) {
  Text out;
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (v[i] == u'\\' && i + 1 < v.size() && (v[i + 1] == u'"' || v[i + 1] == u'\\')) {
      out += v[i + 1];
      ++i;
    } else {
      out += v[i];
    }
  }
  return out;
}

Text quoted(TextView v) {
  Text out = u"\"";
  for (char16_t c : v) {
    if (c == u'"' || c == u'\\') out += u'\\';
    out += c;
  }
  return out + u"\"";
}

// Reads a registry export's value data: "text", dword:XXXXXXXX or hex:..,..
// (the data's bytes read as single-byte text up to the first zero, as a
// reader of text values sees binary data).
Text registry_value(TextView data) {
  if (data.size() >= 2 && data.front() == u'"' && data.back() == u'"') return unquote(data.substr(1, data.size() - 2));
  std::string bytes;
  if (data.substr(0, 6) == u"dword:") {
    unsigned long v = std::strtoul(to_utf8(data.substr(6)).c_str(), nullptr, 16);
    for (int i = 0; i < 4; ++i) bytes += char((v >> (8 * i)) & 0xFF);
  } else {
    std::size_t colon = data.find(u':');
    if (colon == TextView::npos) return Text(data);
    std::string hex = to_utf8(data.substr(colon + 1));
    std::stringstream hs(hex);
    std::string item;
    while (std::getline(hs, item, ',')) {
      std::string h;
      for (char c : item)
        if (std::isxdigit(static_cast<unsigned char>(c))) h += c;
      if (!h.empty()) bytes += char(std::strtoul(h.c_str(), nullptr, 16));
    }
  }
  std::size_t z = bytes.find('\0');
  if (z != std::string::npos) bytes.resize(z);
  return from_cp1252(bytes);
}

}  // namespace

Text DecodeSettings(std::string_view raw, SettingsForm& form) {
  if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF && static_cast<unsigned char>(raw[1]) == 0xFE) {
    form = SettingsForm::kUtf16;
    Text out;
    for (std::size_t i = 2; i + 1 < raw.size(); i += 2)
      out += char16_t(static_cast<unsigned char>(raw[i]) | (static_cast<unsigned char>(raw[i + 1]) << 8));
    return out;
  }
  form = SettingsForm::kUtf8;
  if (raw.substr(0, 3) == "\xEF\xBB\xBF") {
    raw.remove_prefix(3);
    form = SettingsForm::kUtf8WithBom;
  }
  if (raw.substr(0, 8) == "REGEDIT4") {
    form = SettingsForm::kWindows1252;
    return from_cp1252(raw);
  }
  return from_utf8(raw);
}

std::string EncodeSettings(TextView text, SettingsForm form) {
  switch (form) {
    case SettingsForm::kUtf16: {
      std::string out = "\xFF\xFE";
      for (char16_t c : text) out += char(c & 0xFF), out += char(c >> 8);
      return out;
    }
    case SettingsForm::kWindows1252: return to_cp1252(text);
    case SettingsForm::kUtf8WithBom: return "\xEF\xBB\xBF" + to_utf8(text);
    case SettingsForm::kUtf8: break;
  }
  return to_utf8(text);
}

bool IsRegistryExport(TextView first_line) {
  Text t = trim(first_line);
  return t == u"REGEDIT4" || t.rfind(u"Windows Registry Editor", 0) == 0;
}

bool ContinuesOnNextLine(TextView line) {
  return !line.empty() && line.back() == u'\\' && line.find(u'=') != TextView::npos;
}

bool SameSettingName(TextView a, TextView b) { return upper_is(a) == upper_is(b); }

SettingsLine ParseSettingsLine(TextView line, bool registry) {
  SettingsLine out;
  Text t = trim(line);
  if (t.empty() || t[0] == u';' || t[0] == u'#') return out;
  if (t.front() == u'[' && t.back() == u']') {
    Text sec = t.substr(1, t.size() - 2);
    out.kind = SettingsLine::kSection;
    if (registry) {
      TextView key = kRegistryKey;
      if (sec.size() > key.size() && SameSettingName(TextView(sec).substr(0, key.size()), key))
        sec = sec.substr(key.size());
      else
        out.kind = SettingsLine::kOtherKey;
    }
    out.name = trim(sec);
    return out;
  }
  if (registry) {
    // "Name"="value"; the name itself may hold \" and \\.
    if (t[0] != u'"') return out;
    std::size_t i = 1;
    while (i < t.size() && t[i] != u'"') i += (t[i] == u'\\') ? 2 : 1;
    if (i >= t.size()) return out;
    std::size_t eq = t.find(u'=', i);
    if (eq == Text::npos) return out;
    out.kind = SettingsLine::kValue;
    out.name = unquote(TextView(t).substr(1, i - 1));
    out.data = line.find_first_not_of(u' ') + eq + 1;
    return out;
  }
  std::size_t eq = line.find(u'=');
  if (eq == TextView::npos) return out;
  out.kind = SettingsLine::kValue;
  out.name = trim(line.substr(0, eq));
  out.data = eq + 1;
  return out;
}

Text SettingValueText(TextView data, bool registry) {
  if (registry) return registry_value(trim_right(data));
  if (data.size() >= 2 && data.front() == u'"' && data.back() == u'"') return unquote(data.substr(1, data.size() - 2));
  return Text(data);
}

Text SettingValueData(TextView value, bool registry) {
  if (value.find_first_of(u"\r\n") != TextView::npos) throw std::runtime_error("a setting cannot hold a line break");
  auto blank = [](char16_t c) { return c == u' ' || c == u'\t'; };
  bool needs_quotes = !value.empty() && (blank(value.front()) || blank(value.back()) ||
                                         (value.size() >= 2 && value.front() == u'"' && value.back() == u'"'));
  return registry || needs_quotes ? quoted(value) : Text(value);
}

Text RegistryName(TextView name) { return quoted(name); }

}  // namespace kvistur
