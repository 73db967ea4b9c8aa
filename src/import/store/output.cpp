#include "import/store/output.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "import/store/catalogue_writer.h"
#include "import/store/folder_ops.h"
#include "import/store/generations.h"
#include "search/word_file.h"
#include "platform/workgroup.h"

namespace kvistur::import {

namespace fs = std::filesystem;

namespace {

constexpr char kStagingPrefix[] = ".kvistur-new-";
constexpr char kLockFile[] = ".kvistur-build.lock";
constexpr char kWorkgroupFile[] = "System.mdw";

// The staging folder of this process, for the signal handler: a fixed
// buffer, since a handler may not allocate.
char g_staging[4096];

// Removes every file of the staging folder and the folder, with system
// calls only (a signal may arrive anywhere, even inside malloc).
void remove_staging_now() {
  if (!g_staging[0]) return;
  int dir = open(g_staging, O_RDONLY | O_DIRECTORY);
  if (dir >= 0) {
    alignas(8) char buf[4096];
    for (;;) {
      long n = syscall(SYS_getdents64, dir, buf, sizeof buf);
      if (n <= 0) break;
      for (long off = 0; off < n;) {
        // struct linux_dirent64: ino (8), off (8), reclen (2), type (1), name.
        unsigned short reclen;
        std::memcpy(&reclen, buf + off + 16, sizeof reclen);
        const char* name = buf + off + 19;
        if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) unlinkat(dir, name, 0);
        off += reclen;
      }
    }
    close(dir);
  }
  rmdir(g_staging);
  g_staging[0] = 0;
}

void on_signal(int sig) {
  remove_staging_now();
  signal(sig, SIG_DFL);
  raise(sig);
}

void watch_signals() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
  }
}

bool process_alive(long pid) { return pid > 0 && (kill(pid_t(pid), 0) == 0 || errno == EPERM); }

}  // namespace

bool is_server_uri(const std::string& s) {
  return s.rfind("postgresql://", 0) == 0 || s.rfind("postgres://", 0) == 0;
}

int RemoveStaleStaging(const std::string& dir) {
  int removed = 0;
  std::error_code ec;
  for (auto& e : fs::directory_iterator(dir, ec)) {
    std::string name = e.path().filename().string();
    if (name.rfind(kStagingPrefix, 0) != 0) continue;
    char* end = nullptr;
    long pid = std::strtol(name.c_str() + sizeof kStagingPrefix - 1, &end, 10);
    if (*end != 0 || process_alive(pid)) continue;
    fs::remove_all(e.path(), ec);
    if (!ec) ++removed;
  }
  return removed;
}

FolderLock::FolderLock(const std::string& dir) {
  fd_ = open((fs::path(dir) / kLockFile).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) throw std::runtime_error("cannot write in " + dir + ": " + std::strerror(errno));
  if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    close(fd_);
    throw std::runtime_error("another command is writing a catalogue into " + dir);
  }
}

FolderLock::~FolderLock() { close(fd_); }

CatalogueOutput::CatalogueOutput(const std::string& out) : server_(is_server_uri(out)) {
  std::error_code ec;
  if (server_) {
    target_ = out;
    char tmpl[] = "/tmp/kvistur-load-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error(std::string("cannot make a temporary folder: ") + std::strerror(errno));
    staging_ = tmpl;
  } else {
    fs::path dir = fs::absolute(out).lexically_normal();
    if (dir.has_filename() == false) dir = dir.parent_path();
    for (fs::path up = dir; !up.empty() && !fs::exists(up, ec); up = up.parent_path()) made_ = up.string();
    fs::create_directories(dir, ec);
    if (!fs::is_directory(dir)) throw std::runtime_error("cannot make the folder " + dir.string());
    target_ = dir.string();
    lock_ = std::make_unique<FolderLock>(target_);
    RemoveStaleStaging(target_);
    staging_ = (dir / (kStagingPrefix + std::to_string(getpid()))).string();
    fs::remove_all(staging_, ec);
    if (!fs::create_directory(staging_, ec)) {
      throw std::runtime_error("cannot write in " + target_ + ": " + ec.message());
    }
  }
  if (staging_.size() < sizeof g_staging) {
    std::memcpy(g_staging, staging_.c_str(), staging_.size() + 1);
    watch_signals();
  }
}

CatalogueOutput::~CatalogueOutput() {
  if (g_staging[0] && staging_ == g_staging) g_staging[0] = 0;
  std::error_code ec;
  fs::remove_all(staging_, ec);
  if (committed_ || made_.empty()) return;
  // Nothing was committed into a folder this output made: it goes again,
  // so that a failed build leaves the disk as it found it.
  lock_.reset();
  fs::remove(fs::path(target_) / kLockFile, ec);
  for (fs::path p = target_;; p = p.parent_path()) {
    if (!fs::remove(p, ec) || p.string() == made_ || p == p.parent_path()) break;
  }
}

void CatalogueOutput::StageWorkgroup() {
  if (server_ || committed_) return;
  fs::path dir(target_), staged(staging_);
  if (!fs::exists(dir / kWorkgroupFile) && !fs::exists(staged / kWorkgroupFile))
    db::workgroup_init((staged / kWorkgroupFile).string());
}

void CatalogueOutput::Commit() {
  if (committed_) return;
  if (server_) {
    LoadIntoServer(staging_, target_);
    committed_ = true;
    return;
  }
  fs::path dir(target_), staged(staging_);
  WriteSettings(staging_, target_, target_);
  if (!fs::exists(dir / kWorkgroupFile) && !fs::exists(staged / kWorkgroupFile))
    db::workgroup_init((staged / kWorkgroupFile).string());
  // The databases become a new generation (generations.h); the settings
  // and the workgroup are renamed into place first, so that once the
  // databases are there, their settings and workgroup are too.
  std::vector<std::string> files, databases;
  for (auto& e : fs::directory_iterator(staged)) {
    if (!e.is_regular_file() || IsSideFile(e.path().filename().string())) continue;
    (e.path().extension() == ".sqlite" ? databases : files).push_back(e.path().string());
  }
  for (auto& d : databases) FinishStagedDatabase(d);
  // Everything staged is made durable before the first rename, so that a
  // crash after it cannot leave a renamed file whose data never reached
  // the disk; all but the search's word file, which the search does not
  // use unless its checksums hold (search/word_file.h).
  for (auto& e : fs::directory_iterator(staged))
    if (e.is_regular_file() && !e.path().filename().string().ends_with(stored::kWordFileSuffix))
      folder_ops::Sync(e.path().string());
  for (auto& f : files) folder_ops::Rename(f, (dir / fs::path(f).filename()).string());
  InstallGeneration(databases, target_);
  folder_ops::Sync(target_);
  committed_ = true;
  RemoveOldGenerations(target_);
}

}  // namespace kvistur::import
