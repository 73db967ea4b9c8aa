// The settings store and the settings reader.
//
// Settings are text values looked up by (section, value name) in the INI file
// named by LINDRIT_SETTINGS (default /etc/vardi/lindrit-1.0.ini), read afresh
// at every lookup, or once for the whole of one call of a public method
// (CallScope), so that a change to the file takes effect at the next
// call and one call never sees two versions of it.  Names match without regard to letter
// case.  A Windows registry export is accepted as the same file.  The
// lookup's codes are those the catalogue program's settings always had:
// 2 when the section or value is missing, 234 when the value is longer than
// kMaxSettingLength characters.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "kvistur/text.h"

namespace kvistur {

inline constexpr std::size_t kMaxSettingLength = 1023;
inline constexpr char kDefaultSettingsPath[] = "/etc/vardi/lindrit-1.0.ini";
inline constexpr int32_t kCodeNotFound = 2;
inline constexpr int32_t kCodeMoreData = 234;

// Where the settings file is now (the environment is read at every call).
std::string settings_path();

enum class LookupStage { Ok, OpenKey, QueryValue };
struct SettingLookup {
  LookupStage failed_at = LookupStage::Ok;
  int32_t code = 0;  // 0, or 2 / 234
  Text value;
};

// One call of a public method on this thread, from its start to its end
// (the outermost of several that nest).  While it lives, every lookup on
// the thread reads the settings file as it was at the first lookup, and
// what other layers keep for the length of the call (see AtCallEnd) is let
// go when it ends.
class CallScope {
 public:
  CallScope();
  ~CallScope();
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;
};

// Whether a call is in progress on this thread.
bool InCall();
// Runs FN when the call in progress on this thread ends (at once when there
// is none).  FN must not throw.
void AtCallEnd(std::function<void()> fn);

// A value this thread reads in place of the settings file's, for as long
// as the object lives: a program that serves many requests from one
// settings file lets one request choose a setting of its own (the print
// list type of one print list) without touching the file or the
// environment, which the other threads share.  Objects nest; the newest
// counts.
class ScopedSetting {
 public:
  ScopedSetting(Text section, Text name, Text value);
  ~ScopedSetting();
  ScopedSetting(const ScopedSetting&) = delete;
  ScopedSetting& operator=(const ScopedSetting&) = delete;
};

// One lookup in the store; section and name are used as given (the caller
// trims them).
SettingLookup lookup_setting(TextView section, TextView name);

// Within a call: a number that stays the same exactly while every lookup
// gives the same answer (the call's reading of the file is made first, so
// a later call that reads other bytes, or a setting given in code, changes
// it); data worked out from the settings may be kept with it.  0 outside a
// call, where nothing is to be kept.
uint64_t SettingsGeneration();

// Every value of a section, in the file's order, as (name, value); empty
// when the file or the section is missing.  Writes nothing to the log.
std::vector<std::pair<Text, Text>> SectionValues(TextView section);

// Reads one setting.  Surrounding blanks of section and name are ignored.
// On failure returns an empty text and writes the forced log line
// "Kvistur rmOpenError, SECTION, NAME" (or rmQueryError / rmErrorExit).
Text RegLesa(TextView section, TextView name);

// The database folder: Grunnur/Slóð with a final "\" added when it is not
// empty and lacks one.
Text DatabaseFolder();

// A path as the component builds it (folder + "\" + file name) made into a
// path of this system: every "\" read as "/".  UTF-8.
std::string file_path(TextView path);

}  // namespace kvistur
