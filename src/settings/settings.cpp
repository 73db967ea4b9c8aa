#include "settings/settings.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <map>

#include <cstdlib>
#include <fstream>
#include <vector>

#include "kvistur/error.h"
#include "kvistur/number.h"
#include "settings/file_watch.h"
#include "settings/log.h"
#include "settings/settings_text.h"

namespace kvistur {

namespace {

// The file's bytes.
bool read_settings_bytes(const std::string& path, std::string& raw) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  raw.clear();
  char buf[8192];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    raw.append(buf, std::size_t(n));
  }
  ::close(fd);
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

// The settings file as lines, and whether it is a registry export (whose
// long lines are joined already).
struct SettingsLines {
  std::vector<Text> lines;
  bool registry = false;
};

// The lines of a file whose bytes are RAW, decoded by its form
// (settings_text.h).
void settings_lines_of(const std::string& raw, SettingsLines& out) {
  SettingsForm form;
  std::vector<Text> lines = split_lines(DecodeSettings(raw, form));
  bool registry = !lines.empty() && IsRegistryExport(lines[0]);
  // Registry exports continue long lines with a final "\".
  if (registry) {
    std::vector<Text> joined;
    for (auto& l : lines) {
      if (!joined.empty() && ContinuesOnNextLine(joined.back()))
        joined.back() = joined.back().substr(0, joined.back().size() - 1) + trim_left(l);
      else
        joined.push_back(l);
    }
    lines.swap(joined);
  }
  out.lines = std::move(lines);
  out.registry = registry;
}

bool read_settings_lines(const std::string& path, SettingsLines& out) {
  std::string raw;
  if (!read_settings_bytes(path, raw)) return false;
  settings_lines_of(raw, out);
  return true;
}

// A change time is written at the file system's clock granularity (a
// kernel tick, a second on some), so a change made just after a reading
// can carry the change time the reading saw.  A status is trusted to stand
// for the bytes read only when the file had last changed this long before
// its status was looked at.
constexpr int64_t kSettledNs = 2'000'000'000;

// The settings read for the call in progress on this thread.  What the
// last call read is kept after it: a call that reads the same bytes from
// the same file takes its lines and answers instead of decoding them again.
// A call does not read the file again while the kernel's watch on it says
// nothing has happened to it since the last reading (file_watch.h), nor,
// where it cannot be watched, while its status stays what it was at a
// reading made well after its last change: the file's status is one
// system call where reading it is four.
struct Snapshot {
  int depth = 0;
  std::vector<std::function<void()>> at_end;
  bool taken = false;
  bool readable = false;
  std::string path;
  std::string raw;
  SettingsLines lines;
  std::map<std::pair<Text, Text>, SettingLookup> answers;
  uint64_t generation = 1;  // raised whenever the answers are let go
  uint64_t watch = 0;       // the watch taken before `raw` was read or its status looked at
  bool settled = false;     // `status` stands for `raw`
  FileStatus status;
};
thread_local Snapshot snapshot;

// Whether the kept reading of PATH still holds.
bool kept_reading_holds(const std::string& path) {
  if (!snapshot.readable || path != snapshot.path) return false;
  if (FileUnchanged(path, snapshot.watch)) return true;
  if (!snapshot.settled) return false;
  const uint64_t watch = WatchFile(path);
  FileStatus now;
  if (!LookAtFile(path, now) || now != snapshot.status) return false;
  snapshot.watch = watch;
  return true;
}

// Reads PATH for the call in progress; the watch is taken and the status
// looked at first, so that a change made during the reading is seen.
void read_for_call(const std::string& path) {
  // The file system's clock, which change times are written by.
  const int64_t now =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  const uint64_t watch = WatchFile(path);
  FileStatus status;
  bool have_status = LookAtFile(path, status);
  std::string raw;
  bool readable = read_settings_bytes(path, raw);
  if (!readable || !snapshot.readable || path != snapshot.path || raw != snapshot.raw) {
    snapshot.answers.clear();
    ++snapshot.generation;
    snapshot.lines = SettingsLines{};
    if (readable) settings_lines_of(raw, snapshot.lines);
    snapshot.readable = readable;
    snapshot.path = path;
    snapshot.raw = std::move(raw);
  }
  snapshot.watch = readable ? watch : 0;
  snapshot.status = status;
  snapshot.settled = readable && have_status && status.ctime_ns <= now - kSettledNs;
}

// The settings file's lines: read now, or as the call in progress read them.
const SettingsLines* settings_lines(const std::string& path, SettingsLines& fresh) {
  if (snapshot.depth == 0) return read_settings_lines(path, fresh) ? &fresh : nullptr;
  if (!snapshot.taken || snapshot.path != path) {
    if (!kept_reading_holds(path)) read_for_call(path);
    snapshot.taken = true;
  }
  return snapshot.readable ? &snapshot.lines : nullptr;
}

}  // namespace

CallScope::CallScope() { ++snapshot.depth; }

CallScope::~CallScope() {
  if (--snapshot.depth == 0) {
    snapshot.taken = false;
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

namespace {

struct Override {
  Text section, name, value;
};
thread_local std::vector<Override> overrides;

}  // namespace

ScopedSetting::ScopedSetting(Text section, Text name, Text value) {
  overrides.push_back({std::move(section), std::move(name), std::move(value)});
  ++snapshot.generation;
}

ScopedSetting::~ScopedSetting() {
  overrides.pop_back();
  ++snapshot.generation;
}

uint64_t SettingsGeneration() {
  if (snapshot.depth == 0) return 0;
  SettingsLines fresh;
  settings_lines(settings_path(), fresh);  // the call's reading
  return snapshot.generation;
}

SettingLookup lookup_setting(TextView section, TextView name) {
  for (auto it = overrides.rbegin(); it != overrides.rend(); ++it)
    if (SameSettingName(it->section, section) && SameSettingName(it->name, name)) return SettingLookup{LookupStage::Ok, 0, it->value};
  // Within a call the file does not change, so each answer is kept (and
  // kept on while later calls read the same bytes).
  if (snapshot.depth == 0) return look_up(section, name);
  SettingsLines fresh;
  settings_lines(settings_path(), fresh);  // the call's reading; another file read again
  auto key = std::make_pair(Text(section), Text(name));
  auto it = snapshot.answers.find(key);
  if (it != snapshot.answers.end()) return it->second;
  SettingLookup r = look_up(section, name);
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
    SettingsLine l = ParseSettingsLine(line, registry);
    if (l.kind == SettingsLine::kSection || l.kind == SettingsLine::kOtherKey) {
      in_section = l.kind == SettingsLine::kSection && SameSettingName(l.name, section);
      section_found = section_found || in_section;
    } else if (l.kind == SettingsLine::kValue && in_section) {
      if (each(l.name, TextView(line).substr(l.data), registry)) return true;
    }
  }
  return section_found;
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
    if (!SameSettingName(vname, name)) return false;
    r.value = SettingValueText(data, registry);
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
    Text v = SettingValueText(data, registry);
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
