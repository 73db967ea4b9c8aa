#include "settings/settings.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <map>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>
#include <cctype>

#include "kvistur/error.h"
#include "kvistur/number.h"
#include "settings/log.h"

namespace kvistur {

namespace {

// The registry key below which a registry export keeps the sections.
constexpr char16_t kRegistryKey[] = u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vardi\\Lindrit\\1.0\\";

bool same_name(TextView a, TextView b) { return upper_is(a) == upper_is(b); }

// Windows-1252, the code page of single-byte registry exports.
Text from_cp1252(std::string_view s) {
  static const char16_t high[32] = {0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x8D,   0x017D, 0x8F,
                                    0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};
  Text out;
  for (unsigned char c : s) out += (c >= 0x80 && c < 0xA0) ? high[c - 0x80] : char16_t(c);
  return out;
}

// The file as text, decoded by its form: UTF-16LE with BOM, UTF-8 (with or
// without BOM), or single-byte for a REGEDIT4 export.
bool read_settings_text(const std::string& path, Text& out) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string raw;
  char buf[8192];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    raw.append(buf, std::size_t(n));
  }
  ::close(fd);
  if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF && static_cast<unsigned char>(raw[1]) == 0xFE) {
    out.clear();
    for (std::size_t i = 2; i + 1 < raw.size(); i += 2)
      out += char16_t(static_cast<unsigned char>(raw[i]) | (static_cast<unsigned char>(raw[i + 1]) << 8));
    return true;
  }
  if (raw.size() >= 3 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0) raw.erase(0, 3);
  if (raw.compare(0, 8, "REGEDIT4") == 0)
    out = from_cp1252(raw);
  else
    out = from_utf8(raw);
  return true;
}

std::vector<Text> split_lines(const Text& t) {
  std::vector<Text> lines;
  std::size_t start = 0;
  while (start <= t.size()) {
    std::size_t nl = t.find(u'\n', start);
    std::size_t end = nl == Text::npos ? t.size() : nl;
    Text line = t.substr(start, end - start);
    if (!line.empty() && line.back() == u'\r') line.pop_back();
    lines.push_back(std::move(line));
    if (nl == Text::npos) break;
    start = nl + 1;
  }
  return lines;
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

// The settings file as lines, and whether it is a registry export (whose
// long lines are joined already).
struct SettingsLines {
  std::vector<Text> lines;
  bool registry = false;
};

bool read_settings_lines(const std::string& path, SettingsLines& out) {
  Text text;
  if (!read_settings_text(path, text)) return false;
  std::vector<Text> lines = split_lines(text);
  bool registry = !lines.empty() && (trim(lines[0]) == u"REGEDIT4" ||
                                     trim(lines[0]).rfind(u"Windows Registry Editor", 0) == 0);
  // Registry exports continue long lines with a final "\".
  if (registry) {
    std::vector<Text> joined;
    for (auto& l : lines) {
      if (!joined.empty() && !joined.back().empty() && joined.back().back() == u'\\' &&
          joined.back().find(u'=') != Text::npos)
        joined.back() = joined.back().substr(0, joined.back().size() - 1) + trim_left(l);
      else
        joined.push_back(l);
    }
    lines.swap(joined);
  }
  out.lines = std::move(lines);
  out.registry = registry;
  return true;
}

// The settings read for the call in progress on this thread.
struct Snapshot {
  int depth = 0;
  std::vector<std::function<void()>> at_end;
  bool taken = false;
  bool readable = false;
  std::string path;
  SettingsLines lines;
  std::map<std::pair<Text, Text>, SettingLookup> answers;
};
thread_local Snapshot snapshot;

// The settings file's lines: read now, or as the call in progress read them.
const SettingsLines* settings_lines(const std::string& path, SettingsLines& fresh) {
  if (snapshot.depth == 0) return read_settings_lines(path, fresh) ? &fresh : nullptr;
  if (!snapshot.taken || snapshot.path != path) {
    snapshot.answers.clear();
    snapshot.readable = read_settings_lines(path, snapshot.lines);
    snapshot.path = path;
    snapshot.taken = true;
  }
  return snapshot.readable ? &snapshot.lines : nullptr;
}

}  // namespace

CallScope::CallScope() { ++snapshot.depth; }

CallScope::~CallScope() {
  if (--snapshot.depth == 0) {
    snapshot.taken = false;
    snapshot.lines = SettingsLines{};
    snapshot.answers.clear();
    std::vector<std::function<void()>> ends;
    ends.swap(snapshot.at_end);
    for (auto& fn : ends) fn();
  }
}

bool InCall() { return snapshot.depth > 0; }

void AtCallEnd(std::function<void()> fn) {
  if (snapshot.depth == 0) {
    fn();
    return;
  }
  snapshot.at_end.push_back(std::move(fn));
}

std::string settings_path() {
  const char* p = std::getenv("LINDRIT_SETTINGS");
  return (p && *p) ? std::string(p) : std::string(kDefaultSettingsPath);
}

namespace {
SettingLookup look_up(TextView section, TextView name);
}

SettingLookup lookup_setting(TextView section, TextView name) {
  // Within a call the file does not change, so each answer is kept.
  if (snapshot.depth == 0) return look_up(section, name);
  auto key = std::make_pair(Text(section), Text(name));
  if (snapshot.taken && snapshot.path == settings_path()) {
    auto it = snapshot.answers.find(key);
    if (it != snapshot.answers.end()) return it->second;
  }
  SettingLookup r = look_up(section, name);  // reads the file again when it is another file
  snapshot.answers[key] = r;
  return r;
}

namespace {

// Calls EACH(name, data, registry) for every value line of SECTION in FILE,
// in the file's order, until it returns true; DATA is the raw text after
// the "=".  Returns whether the section was there.
template <typename Each>
bool for_each_value(const SettingsLines& file, TextView section, Each&& each) {
  const bool registry = file.registry;
  bool in_section = false, section_found = false;
  for (const Text& line : file.lines) {
    Text t = trim(line);
    if (t.empty() || t[0] == u';' || t[0] == u'#') continue;
    if (t.front() == u'[' && t.back() == u']') {
      Text sec = t.substr(1, t.size() - 2);
      if (registry) {
        TextView key = kRegistryKey;
        if (sec.size() > key.size() && same_name(TextView(sec).substr(0, key.size()), key))
          sec = sec.substr(key.size());
        else
          sec = u"\x01";  // a key outside ours: never matches
      }
      in_section = same_name(trim(sec), section);
      section_found = section_found || in_section;
      continue;
    }
    if (!in_section) continue;
    if (registry) {
      // "Name"="value"; the name itself may hold \" and \\.
      if (t[0] != u'"') continue;
      std::size_t i = 1;
      while (i < t.size() && t[i] != u'"') i += (t[i] == u'\\') ? 2 : 1;
      if (i >= t.size()) continue;
      std::size_t eq = t.find(u'=', i);
      if (eq == Text::npos) continue;
      if (each(unquote(TextView(t).substr(1, i - 1)), TextView(t).substr(eq + 1), true)) return true;
    } else {
      std::size_t eq = line.find(u'=');
      if (eq == Text::npos) continue;
      if (each(trim(TextView(line).substr(0, eq)), TextView(line).substr(eq + 1), false)) return true;
    }
  }
  return section_found;
}

// A value's text from the raw data after its "=".
Text value_text(TextView data, bool registry) {
  if (registry) return registry_value(data);
  if (data.size() >= 2 && data.front() == u'"' && data.back() == u'"') return unquote(data.substr(1, data.size() - 2));
  return Text(data);
}

SettingLookup look_up(TextView section, TextView name) {
  SettingLookup r;
  SettingsLines fresh;
  const SettingsLines* file = settings_lines(settings_path(), fresh);
  if (!file) {
    r.failed_at = LookupStage::OpenKey;
    r.code = kCodeNotFound;
    return r;
  }
  bool found = false;
  bool section_found = for_each_value(*file, section, [&](const Text& vname, TextView data, bool registry) {
    if (!same_name(vname, name)) return false;
    r.value = value_text(data, registry);
    found = true;
    return true;
  });
  if (found) {
    if (r.value.size() > kMaxSettingLength) {
      r.failed_at = LookupStage::QueryValue;
      r.code = kCodeMoreData;
      r.value.clear();
    }
    return r;
  }
  r.failed_at = section_found ? LookupStage::QueryValue : LookupStage::OpenKey;
  r.code = kCodeNotFound;
  return r;
}

}  // namespace

std::vector<std::pair<Text, Text>> SectionValues(TextView section) {
  std::vector<std::pair<Text, Text>> out;
  SettingsLines fresh;
  const SettingsLines* file = settings_lines(settings_path(), fresh);
  if (!file) return out;
  for_each_value(*file, trim(section), [&](const Text& vname, TextView data, bool registry) {
    Text v = value_text(data, registry);
    if (v.size() <= kMaxSettingLength) out.emplace_back(vname, std::move(v));
    return false;
  });
  return out;
}

Text RegLesa(TextView section, TextView name) {
  auto fail_line = [&](TextView kind) {
    return Text(kProjectName) + u" " + Text(kind) + u", " + Text(section) + u", " + Text(name);
  };
  try {
    SettingLookup r = lookup_setting(trim(section), trim(name));
    switch (r.failed_at) {
      case LookupStage::Ok: return r.value;
      case LookupStage::OpenKey:
        MeldaError(fail_line(u"rmOpenError"), r.code, u": error returned by RegOpenKeyEx", true);
        return Text();
      case LookupStage::QueryValue:
        MeldaError(fail_line(u"rmQueryError"), r.code, u": error returned by RegQueryValueEx", true);
        return Text();
    }
  } catch (const Error& e) {
    MeldaError(fail_line(u"rmErrorExit"), e.number(), e.description(), true);
  } catch (const std::exception& e) {
    Error k = error_from_std(e);
    MeldaError(fail_line(u"rmErrorExit"), k.number(), k.description(), true);
  }
  return Text();
}

Text DatabaseFolder() {
  Text folder = RegLesa(u"Grunnur", u"Slóð");
  if (!folder.empty() && folder.back() != u'\\') folder += u'\\';
  return folder;
}

std::string file_path(TextView path) {
  Text p(path);
  for (auto& c : p)
    if (c == u'\\') c = u'/';
  return to_utf8(p);
}

}  // namespace kvistur
