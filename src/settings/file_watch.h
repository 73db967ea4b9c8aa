// Whether a file a call looks at may have changed since the last call
// looked, told without looking at it.  Every call reads the settings
// file's status and the catalogue's (a settings change, a catalogue put in
// place of another, is the next call's), and each look is a walk of the
// file's path in the kernel: two of them were a third of a call that finds
// nothing.  The kernel can say instead when something happens to a path:
// each directory on it is watched for its next name being created, removed,
// renamed or changed in mode, the file for any change of its bytes or
// attributes, and the mounts for any change; while none of that has
// happened, the last look stands.
//
// The watch is only used where it sees every change: an absolute path,
// followed through its symbolic links (each link's own folder is watched
// too), on local file systems (a file on a network share can be changed by
// another machine without a word to this one).  Anywhere else, and when
// the kernel runs out of watches, WatchFile gives 0 and the caller looks
// at the file every time, as before.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace kvistur {

// What a look at a file tells of it: which file a name gives (device and
// inode), and whether its bytes or attributes may have changed.  Any change
// of the bytes gives the file a new change time, as does a change of its
// owner, mode or access list, and no program can set it back.
struct FileStatus {
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  int64_t mtime_ns = 0, ctime_ns = 0;
  friend bool operator==(const FileStatus&, const FileStatus&) = default;
  bool same_file(const FileStatus& o) const { return dev == o.dev && ino == o.ino; }
};
FileStatus StatusOf(const struct stat& st);
// The status of the file PATH names; false when it cannot be looked at.
bool LookAtFile(const std::string& path, FileStatus& out);

// A token that stays good while nothing has happened to PATH: to take
// BEFORE looking at the file, so that a change made after the look is
// seen.  0 when PATH cannot be watched.
uint64_t WatchFile(const std::string& path);

// Whether nothing has happened to PATH since WatchFile gave TOKEN (false
// for 0).  Costs one system call when nothing has.
bool FileUnchanged(const std::string& path, uint64_t token);

// Turns the watching off (every WatchFile gives 0) or on again: for tests
// of the looks themselves.
void SetFileWatching(bool on);

}  // namespace kvistur
