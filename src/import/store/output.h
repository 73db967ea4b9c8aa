// Where a command that makes a catalogue writes: `--out DIR` or
// `--out postgresql://...`.
//
// Nothing that hosts read changes until Commit.  The new files are written
// into a staging folder beside the old ones (DIR/.kvistur-new-PID), and
// Commit syncs each one, renames the settings and the workgroup into DIR,
// and makes the databases a new generation (generations.h: DIR/katalogur.sqlite
// becomes a link to it).  A rename is atomic, so a host opening a file sees
// the old file or the new one, never a half; a build that fails or is
// interrupted leaves DIR as it was.  A build killed outright leaves its
// staging folder behind; the next build into the same DIR removes it.
//
//   CatalogueOutput out(target);
//   CatalogueWriter w(out.folder());
//   ... w.Finish();
//   out.Commit();          // settings, workgroup, then the databases
//
// For a server URI the staging folder is a temporary one, and Commit loads
// the staged databases into the server's schemas instead of renaming.
#pragma once

#include <memory>
#include <string>

namespace kvistur::import {

// One writer at a time in a catalogue folder: build, generate, update and
// index hold an exclusive lock on DIR/.kvistur-build.lock while they write,
// so that two of them never mix their files or their changes.
class FolderLock {
 public:
  // Throws std::runtime_error when DIR cannot be written or another command
  // holds the lock.
  explicit FolderLock(const std::string& dir);
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

 private:
  int fd_ = -1;
};

class CatalogueOutput {
 public:
  // Makes DIR when it does not exist and a staging folder in it (a DIR it
  // made is removed again unless committed, with its lock file).  Throws
  // std::runtime_error when DIR cannot be written, or when another command
  // is writing a catalogue into DIR at the same time.
  explicit CatalogueOutput(const std::string& out);
  // Removes the staging folder and everything in it unless committed.
  ~CatalogueOutput();
  CatalogueOutput(const CatalogueOutput&) = delete;
  CatalogueOutput& operator=(const CatalogueOutput&) = delete;

  // The folder to write the new files into.
  const std::string& folder() const { return staging_; }
  // Where the catalogue is found once committed: DIR as an absolute path,
  // or the server URI.
  const std::string& target() const { return target_; }
  bool server() const { return server_; }

  // Writes the settings files pointing at the target and, when the target
  // has no workgroup yet, a new one; then makes every staged file durable
  // and moves it into place, the databases as a new generation, and
  // removes the generations replaced.  Throws std::runtime_error when it
  // cannot; a file already moved stays moved (each file is whole, old or
  // new).
  void Commit();
  // Writes the new workgroup into the staging folder now, when the target
  // has none, instead of in Commit: its password hash takes a while, which
  // a build spends on an idle core beside its last stages.  Touches nothing
  // else, so it may run beside the writing of the databases.  Throws as
  // Commit would.
  void StageWorkgroup();

 private:
  std::string target_, staging_;
  // The highest folder of DIR's path that this output made ("" when DIR
  // was there already).
  std::string made_;
  bool server_ = false, committed_ = false;
  std::unique_ptr<FolderLock> lock_;
};

// True for a `postgresql://` or `postgres://` URI.
bool is_server_uri(const std::string& s);

// Removes staging folders that killed builds left in DIR (their process is
// gone).  Returns how many it removed.
int RemoveStaleStaging(const std::string& dir);

// Loads the databases staged in FOLDER into the server named by URI, one
// transaction per schema, replacing the schemas there.
void LoadIntoServer(const std::string& folder, const std::string& uri);

}  // namespace kvistur::import
