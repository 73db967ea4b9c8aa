// Every change a writer makes to the names in a catalogue folder goes
// through these few calls: moving a file, making a symbolic link, removing a
// file, and making a file's data or a folder's names durable.  They are one
// seam, so that a test can make any one of them fail (or stop the process
// there) and see what a crash at that point leaves behind.
//
//   folder_ops::Rename(staged, dir + "/katalogur.sqlite");
//   folder_ops::Sync(dir);
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace kvistur::import::folder_ops {

// Throw std::runtime_error ("cannot move A to B: reason") when they fail.
void Rename(const std::string& from, const std::string& to);
void Symlink(const std::string& target, const std::string& link);
// Data and size of a file, or the names in a folder, made durable.
void Sync(const std::string& path);

// Removes a file; false when it could not be removed (a missing file is
// removed already).  Used where a leftover costs only space.
bool Remove(const std::string& path);

// Called before each of the calls above with its name ("rename", "symlink",
// "sync", "remove") and the path it works on; a non-zero errno value makes
// the call fail with it, as if the system had.  Empty by default.
using Hook = std::function<int(std::string_view op, const std::string& path)>;
void SetHook(Hook hook);

}  // namespace kvistur::import::folder_ops
