// A fault-injecting layer under a kvistur command, for tests/fault/fault_test.cpp.
//
// Loaded with LD_PRELOAD, it needs no hooks in the program: a constructor
// registers an SQLite VFS that wraps the default one as the new default, and
// the library's own definitions of the file-system calls of libc (rename,
// unlink, fsync, write, ...) come before libc's, so that it sees every call
// our code makes outside SQLite, whether from std::filesystem, an ofstream or
// a system call wrapper of our own.  Calls that the wrapped VFS makes on
// SQLite's behalf are told apart by a per-thread flag set around it.
//
// The environment says what to do:
//   KV_FAULT_MODE     io     the Nth call of the chosen kinds fails (an I/O
//                            error code from the VFS, -1 with EIO from libc)
//                     power  the power goes at the Nth sync: every byte
//                            written since its file's last sync is lost, and
//                            every folder entry made, renamed or removed since
//                            its folder's last sync is undone; then _exit.
//                            With N past the last sync, the power goes as the
//                            process ends.
//                     torn   as power, but a random part of the unsynced
//                            sectors (and of the size changes) reaches the disk
//                     (none) only counts
//   KV_FAULT_KINDS    for io: a comma-separated list of write, sync, truncate,
//                     delete (SQLite's calls through the VFS), rename, fsync,
//                     unlink, oswrite (ours through libc; oswrite is a write,
//                     writev, pwrite or ftruncate of a file other than the
//                     standard streams, and fails with ENOSPC, a full disk),
//                     or sqlite / os for the four
//   KV_FAULT_N        which call, from 1 (0 or unset: none)
//   KV_FAULT_PERSIST  1: that call and every later one of the kinds fail
//   KV_FAULT_SEED     for torn: the seed of the random choice
//   KV_FAULT_ROOT     the folder whose files and entries lose power; the
//                     undo keeps removed files in the sibling ROOT.attic
//   KV_FAULT_REPORT   a file the shim appends its lines to: "fault KIND N",
//                     "power KIND N" or "power end" when it strikes, and at
//                     exit "calls write=.. sync=.. truncate=.. delete=..
//                     rename=.. fsync=.. unlink=.. oswrite=.."
//
// The power model writes through at once and keeps what each write replaced
// (per file, per sector, since the file's last sync) rather than holding the
// writes back until the sync: the process reads its own writes without any
// help, and the moment the power goes the old bytes are put back, which
// leaves the disk exactly as if the writes had never left memory.
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <sqlite3.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <map>
#include <new>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

enum Kind { kWrite, kSync, kTruncate, kDelete, kRename, kFsync, kUnlink, kOsWrite, kKinds };
constexpr const char* kKindNames[kKinds] = {"write",  "sync",  "truncate", "delete",
                                            "rename", "fsync", "unlink",   "oswrite"};
constexpr unsigned kSqliteKinds = 1u << kWrite | 1u << kSync | 1u << kTruncate | 1u << kDelete;
constexpr unsigned kOsKinds = 1u << kRename | 1u << kFsync | 1u << kUnlink | 1u << kOsWrite;
// The unit that a power loss keeps or loses whole.
constexpr off_t kSectorBytes = 512;
// The exit status of a process whose power went.
constexpr int kPowerLostExit = 86;

// The definition of FN that ours hides: libc's.
#define REAL(fn) static const auto real_##fn = reinterpret_cast<decltype(&::fn)>(dlsym(RTLD_NEXT, #fn))

// Set while the wrapped VFS runs: the libc calls it makes are SQLite's.
thread_local int t_in_sqlite = 0;
struct InSqlite {
  InSqlite() { ++t_in_sqlite; }
  ~InSqlite() { --t_in_sqlite; }
};

struct Config {
  std::string mode, root, attic, report;
  unsigned kinds = 0;
  long n = 0;
  bool persist = false;
  unsigned seed = 0;
  bool power() const { return mode == "power" || mode == "torn"; }
};

std::string env(const char* name) {
  const char* v = getenv(name);
  return v ? v : "";
}

// State that outlives every exit handler, since the power may go in the
// last of them (a function-local static would be destroyed before).
template <typename T>
class NoDestructor {
 public:
  template <typename... A>
  explicit NoDestructor(A&&... a) {
    new (storage_) T(std::forward<A>(a)...);
  }
  T& operator*() { return *std::launder(reinterpret_cast<T*>(storage_)); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

Config load_config() {
  Config c;
  c.mode = env("KV_FAULT_MODE");
  c.report = env("KV_FAULT_REPORT");
  c.n = atol(env("KV_FAULT_N").c_str());
  c.persist = env("KV_FAULT_PERSIST") == "1";
  c.seed = unsigned(atol(env("KV_FAULT_SEED").c_str()));
  char buf[PATH_MAX];
  if (!env("KV_FAULT_ROOT").empty() && realpath(env("KV_FAULT_ROOT").c_str(), buf)) c.root = buf;
  c.attic = c.root + ".attic";
  std::istringstream kinds(c.power() ? "sync,fsync" : env("KV_FAULT_KINDS"));
  for (std::string k; std::getline(kinds, k, ',');) {
    if (k == "sqlite") c.kinds |= kSqliteKinds;
    if (k == "os") c.kinds |= kOsKinds;
    for (int i = 0; i < kKinds; ++i)
      if (k == kKindNames[i]) c.kinds |= 1u << i;
  }
  return c;
}

const Config& config() {
  static NoDestructor<Config> c(load_config());
  return *c;
}

void report(const std::string& line) {
  REAL(open);
  REAL(write);
  if (config().report.empty()) return;
  int fd = real_open(config().report.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  std::string l = line + "\n";
  (void)!real_write(fd, l.data(), l.size());
  close(fd);
}

// What a power loss would undo: the bytes each file held at its last sync,
// and the folder entries changed since their folder's last sync.
struct Disk {
  struct Unsynced {
    int fd = -1;  // our own descriptor, to put the bytes back
    off_t synced_size = 0;
    std::map<off_t, std::string> old_sectors;  // by sector number; short at the end of the file
  };
  struct EntryChange {
    enum { kCreate, kRemove, kRename } what;
    std::string path, from, attic;  // attic: the removed or replaced file, kept by a hard link
    bool folder = false;
    long seq = 0;
  };
  std::map<std::pair<dev_t, ino_t>, Unsynced> files;
  std::vector<EntryChange> entries;
  std::map<std::string, long> folder_synced;
  long seq = 0;
};

std::recursive_mutex& mu() {
  static NoDestructor<std::recursive_mutex> m;
  return *m;
}
Disk& disk() {
  static NoDestructor<Disk> d;
  return *d;
}
long g_calls[kKinds], g_seen = 0;
bool g_struck = false;

std::string fd_path(int fd) {
  char link[64], buf[PATH_MAX];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, std::size_t(n)) : "";
}

// PATH (relative to DIRFD) made absolute with its folder's symbolic links resolved.
std::string full_path(int dirfd, const char* path) {
  std::string p = path ? path : "";
  if (p.empty()) return p;
  if (p[0] != '/') {
    char cwd[PATH_MAX];
    std::string base = dirfd == AT_FDCWD ? (getcwd(cwd, sizeof cwd) ? cwd : "") : fd_path(dirfd);
    p = base + "/" + p;
  }
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  std::size_t slash = p.rfind('/');
  char buf[PATH_MAX];
  std::string folder = slash == 0 ? "/" : p.substr(0, slash);
  if (!realpath(folder.c_str(), buf)) return p;
  return std::string(buf) + (buf[1] ? "/" : "") + p.substr(slash + 1);
}

bool watched(const std::string& path) {
  const std::string& root = config().root;
  return config().power() && !root.empty() && (path == root || path.rfind(root + "/", 0) == 0);
}

std::string folder_of(const std::string& path) { return path.substr(0, std::max<std::size_t>(path.rfind('/'), 1)); }

// Whether this call of kind K is the one to fail (in io mode) or where the
// power goes (in the power modes).
bool strikes(Kind k) {
  std::lock_guard lock(mu());
  ++g_calls[k];
  const Config& c = config();
  if (!(c.kinds & (1u << k)) || c.n <= 0) return false;
  ++g_seen;
  if (g_seen != c.n && !(c.persist && g_seen > c.n)) return false;
  if (!g_struck) report(std::string(c.power() ? "power " : "fault ") + kKindNames[k] + " " + std::to_string(c.n));
  g_struck = true;
  return true;
}

// Before a write or a truncation of [FROM, TO) in the file open as FD: keep
// the sectors it changes as they were at the last sync.
void before_change(int fd, off_t from, off_t to) {
  if (!config().power() || to <= from) return;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return;
  std::lock_guard lock(mu());
  auto key = std::make_pair(st.st_dev, st.st_ino);
  auto it = disk().files.find(key);
  if (it == disk().files.end()) {
    std::string path = fd_path(fd);
    if (!watched(path)) return;
    REAL(open);
    Disk::Unsynced u;
    u.fd = real_open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDWR | O_CLOEXEC);
    if (u.fd < 0) return;
    u.synced_size = st.st_size;
    it = disk().files.emplace(key, std::move(u)).first;
  }
  for (off_t s = from / kSectorBytes; s <= (to - 1) / kSectorBytes; ++s) {
    if (it->second.old_sectors.count(s)) continue;
    std::string old(std::size_t(kSectorBytes), '\0');
    ssize_t n = pread(it->second.fd, old.data(), old.size(), s * kSectorBytes);
    old.resize(std::size_t(std::max<ssize_t>(n, 0)));
    it->second.old_sectors.emplace(s, std::move(old));
  }
}

void before_truncate(int fd, off_t size) {
  struct stat st;
  if (config().power() && fstat(fd, &st) == 0) before_change(fd, size, st.st_size);
}

// After a sync of FD: its bytes are on the disk, or, for a folder, its entries.
void synced(int fd) {
  if (!config().power()) return;
  struct stat st;
  if (fstat(fd, &st) != 0) return;
  std::lock_guard lock(mu());
  if (S_ISDIR(st.st_mode)) {
    std::string path = fd_path(fd);
    if (watched(path)) disk().folder_synced[path] = ++disk().seq;
    return;
  }
  auto it = disk().files.find({st.st_dev, st.st_ino});
  if (it == disk().files.end()) return;
  close(it->second.fd);
  disk().files.erase(it);
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// Keeps the file or link at PATH by a hard link in the attic; "" when there is none.
std::string keep_in_attic(const std::string& path) {
  REAL(mkdir);
  REAL(linkat);
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return "";
  real_mkdir(config().attic.c_str(), 0755);
  // Named by process as well, so that an attic left by another run is no hindrance.
  std::string kept = config().attic + "/" + std::to_string(getpid()) + "-" + std::to_string(++disk().seq);
  return real_linkat(AT_FDCWD, path.c_str(), AT_FDCWD, kept.c_str(), 0) == 0 ? kept : "";
}

void entry_changed(Disk::EntryChange e) {
  e.seq = ++disk().seq;
  disk().entries.push_back(std::move(e));
}

// The power goes: the disk is left as the last syncs made it.
void lose_power() {
  REAL(pwrite);
  REAL(ftruncate);
  REAL(unlink);
  REAL(rmdir);
  REAL(rename);
  REAL(mkdir);
  REAL(linkat);
  std::lock_guard lock(mu());
  std::mt19937 random(config().seed);
  bool torn = config().mode == "torn";
  for (auto& [key, f] : disk().files) {
    struct stat st;
    if (fstat(f.fd, &st) != 0) continue;
    for (auto& [sector, old] : f.old_sectors) {
      if (torn && random() % 2) continue;  // this sector reached the disk
      std::string bytes = old;
      bytes.resize(std::size_t(kSectorBytes), '\0');
      (void)!real_pwrite(f.fd, bytes.data(), bytes.size(), sector * kSectorBytes);
    }
    (void)!real_ftruncate(f.fd, torn && random() % 2 ? st.st_size : f.synced_size);
  }
  // Folder entries reach the disk in the order they were made (a
  // journalling file system commits them so): the changes not made durable
  // are lost, or for a torn loss those after a random point.
  std::vector<Disk::EntryChange*> lost;
  for (auto& e : disk().entries) {
    auto durable = disk().folder_synced.find(folder_of(e.path));
    if (durable == disk().folder_synced.end() || durable->second < e.seq) lost.push_back(&e);
  }
  if (torn) lost.erase(lost.begin(), lost.begin() + long(random() % (lost.size() + 1)));
  for (auto e = lost.rbegin(); e != lost.rend(); ++e) {
    const Disk::EntryChange& c = **e;
    if (c.what == Disk::EntryChange::kCreate) {
      c.folder ? real_rmdir(c.path.c_str()) : real_unlink(c.path.c_str());
    } else if (c.what == Disk::EntryChange::kRemove) {
      if (c.folder) real_mkdir(c.path.c_str(), 0755);
      else if (!c.attic.empty()) real_linkat(AT_FDCWD, c.attic.c_str(), AT_FDCWD, c.path.c_str(), 0);
    } else {
      real_rename(c.path.c_str(), c.from.c_str());
      if (!c.attic.empty()) real_linkat(AT_FDCWD, c.attic.c_str(), AT_FDCWD, c.path.c_str(), 0);
    }
  }
  disk() = Disk{};
}

[[noreturn]] void power_goes() {
  lose_power();
  _exit(kPowerLostExit);
}

// A folder entry made by CALL at PATH (relative to DIRFD): an open with
// O_CREAT, mkdir, symlink, link.  TRUNCATE: CALL empties the file first.
template <typename Call>
auto creating(int dirfd, const char* p, bool folder, bool truncate, Call call) {
  if (!config().power()) return call();
  std::lock_guard lock(mu());
  std::string path = full_path(dirfd, p);
  if (!watched(path)) return call();
  REAL(open);
  if (int old = truncate ? real_open(path.c_str(), O_RDONLY | O_CLOEXEC) : -1; old >= 0) {
    before_truncate(old, 0);
    close(old);
  }
  bool was = exists(path);
  auto r = call();
  if (!was && exists(path)) entry_changed({Disk::EntryChange::kCreate, path, "", "", folder});
  return r;
}

template <typename Call>
auto opening(int dirfd, const char* path, int flags, Call call) {
  if (!(flags & (O_CREAT | O_TRUNC))) return call();
  return creating(dirfd, path, false, flags & O_TRUNC, call);
}

int removing(int dirfd, const char* p, int flags) {
  REAL(unlinkat);
  if (!t_in_sqlite && strikes(kUnlink)) return errno = EIO, -1;
  if (!config().power()) return real_unlinkat(dirfd, p, flags);
  std::lock_guard lock(mu());
  std::string path = full_path(dirfd, p);
  if (!watched(path)) return real_unlinkat(dirfd, p, flags);
  bool folder = flags & AT_REMOVEDIR;
  std::string kept = folder ? "" : keep_in_attic(path);
  int r = real_unlinkat(dirfd, p, flags);
  if (r == 0) entry_changed({Disk::EntryChange::kRemove, path, "", kept, folder});
  else if (!kept.empty()) real_unlinkat(AT_FDCWD, kept.c_str(), 0);
  return r;
}

int renaming(int olddir, const char* from, int newdir, const char* to, unsigned flags) {
  REAL(renameat2);
  if (!t_in_sqlite && strikes(kRename)) return errno = EIO, -1;
  if (!config().power()) return real_renameat2(olddir, from, newdir, to, flags);
  std::lock_guard lock(mu());
  std::string f = full_path(olddir, from), t = full_path(newdir, to);
  if (!watched(t) && !watched(f)) return real_renameat2(olddir, from, newdir, to, flags);
  std::string kept = keep_in_attic(t);
  int r = real_renameat2(olddir, from, newdir, to, flags);
  REAL(unlinkat);
  if (r == 0) entry_changed({Disk::EntryChange::kRename, t, f, kept, false});
  else if (!kept.empty()) real_unlinkat(AT_FDCWD, kept.c_str(), 0);
  return r;
}

int syncing(int fd, int (*call)(int)) {
  if (!t_in_sqlite && strikes(kFsync)) {
    if (config().power()) power_goes();
    return errno = EIO, -1;
  }
  int r = call(fd);
  if (r == 0) synced(fd);
  return r;
}

// Whether our own write to FD (outside SQLite) is the one to fail: the
// disk is full.  Only files count, and not the standard streams: a message
// that cannot be written is not what the harness looks at.
bool write_fails(int fd) {
  struct stat st;
  if (t_in_sqlite || fd <= 2 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (!strikes(kOsWrite) || config().mode != "io") return false;
  errno = ENOSPC;
  return true;
}

void before_write(int fd, off_t n) {
  if (!config().power()) return;
  struct stat st;
  off_t at = (fcntl(fd, F_GETFL) & O_APPEND) && fstat(fd, &st) == 0 ? st.st_size : lseek(fd, 0, SEEK_CUR);
  before_change(fd, at, at + n);
}

// ---- The VFS: SQLite's writes, syncs, truncations and deletions ----

sqlite3_vfs* g_real_vfs = nullptr;
sqlite3_vfs g_vfs;

struct ShimFile {
  sqlite3_file base;
  sqlite3_file* real;
};
sqlite3_file* real_of(sqlite3_file* f) { return reinterpret_cast<ShimFile*>(f)->real; }

template <auto Method, typename... A>
int forward(sqlite3_file* f, A... a) {
  InSqlite in;
  return (real_of(f)->pMethods->*Method)(real_of(f), a...);
}

int shim_write(sqlite3_file* f, const void* p, int n, sqlite3_int64 off) {
  if (strikes(kWrite) && config().mode == "io") return SQLITE_IOERR_WRITE;
  return forward<&sqlite3_io_methods::xWrite>(f, p, n, off);
}
int shim_truncate(sqlite3_file* f, sqlite3_int64 size) {
  if (strikes(kTruncate) && config().mode == "io") return SQLITE_IOERR_TRUNCATE;
  return forward<&sqlite3_io_methods::xTruncate>(f, size);
}
int shim_sync(sqlite3_file* f, int flags) {
  if (strikes(kSync)) {
    if (config().power()) power_goes();
    return SQLITE_IOERR_FSYNC;
  }
  return forward<&sqlite3_io_methods::xSync>(f, flags);
}
int shim_close(sqlite3_file* f) {
  int rc = forward<&sqlite3_io_methods::xClose>(f);
  f->pMethods = nullptr;
  return rc;
}
void shim_shm_barrier(sqlite3_file* f) {
  InSqlite in;
  real_of(f)->pMethods->xShmBarrier(real_of(f));
}

const sqlite3_io_methods g_methods = {
    3,
    shim_close,
    forward<&sqlite3_io_methods::xRead, void*, int, sqlite3_int64>,
    shim_write,
    shim_truncate,
    shim_sync,
    forward<&sqlite3_io_methods::xFileSize, sqlite3_int64*>,
    forward<&sqlite3_io_methods::xLock, int>,
    forward<&sqlite3_io_methods::xUnlock, int>,
    forward<&sqlite3_io_methods::xCheckReservedLock, int*>,
    forward<&sqlite3_io_methods::xFileControl, int, void*>,
    forward<&sqlite3_io_methods::xSectorSize>,
    forward<&sqlite3_io_methods::xDeviceCharacteristics>,
    forward<&sqlite3_io_methods::xShmMap, int, int, int, void volatile**>,
    forward<&sqlite3_io_methods::xShmLock, int, int, int>,
    shim_shm_barrier,
    forward<&sqlite3_io_methods::xShmUnmap, int>,
    forward<&sqlite3_io_methods::xFetch, sqlite3_int64, int, void**>,
    forward<&sqlite3_io_methods::xUnfetch, sqlite3_int64, void*>,
};

int shim_open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* f, int flags, int* out) {
  auto* s = reinterpret_cast<ShimFile*>(f);
  s->real = reinterpret_cast<sqlite3_file*>(s + 1);
  InSqlite in;
  int rc = g_real_vfs->xOpen(g_real_vfs, name, s->real, flags, out);
  f->pMethods = rc == SQLITE_OK && s->real->pMethods ? &g_methods : nullptr;
  return rc;
}

int shim_delete(sqlite3_vfs*, const char* name, int sync_dir) {
  if (strikes(kDelete) && config().mode == "io") return SQLITE_IOERR_DELETE;
  InSqlite in;
  return g_real_vfs->xDelete(g_real_vfs, name, sync_dir);
}

__attribute__((constructor)) void install() {
  g_real_vfs = sqlite3_vfs_find(nullptr);
  if (!g_real_vfs) return;
  g_vfs = *g_real_vfs;
  g_vfs.zName = "kvistur-fault";
  g_vfs.szOsFile = int(sizeof(ShimFile)) + g_real_vfs->szOsFile;
  g_vfs.xOpen = shim_open;
  g_vfs.xDelete = shim_delete;
  sqlite3_vfs_register(&g_vfs, 1);
}

__attribute__((destructor)) void finish() {
  std::lock_guard lock(mu());
  if (config().power() && !g_struck && config().n > 0) {
    g_struck = true;
    report("power end");
    lose_power();
  }
  std::string line = "calls";
  for (int k = 0; k < kKinds; ++k) line += std::string(" ") + kKindNames[k] + "=" + std::to_string(g_calls[k]);
  report(line);
}

}  // namespace

// ---- libc: the calls our own code makes ----

extern "C" {

int openat(int dirfd, const char* path, int flags, ...) {
  REAL(openat);
  va_list ap;
  va_start(ap, flags);
  mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? mode_t(va_arg(ap, int)) : 0;
  va_end(ap);
  return opening(dirfd, path, flags, [&] { return real_openat(dirfd, path, flags, mode); });
}

int open(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? mode_t(va_arg(ap, int)) : 0;
  va_end(ap);
  return openat(AT_FDCWD, path, flags, mode);
}

FILE* fopen(const char* path, const char* mode) {
  REAL(fopen);
  int flags = (strpbrk(mode, "wa") ? O_CREAT : 0) | (strchr(mode, 'w') ? O_TRUNC : 0);
  return opening(AT_FDCWD, path, flags, [&] { return real_fopen(path, mode); });
}

int mkdir(const char* path, mode_t mode) {
  REAL(mkdir);
  return creating(AT_FDCWD, path, true, false, [&] { return real_mkdir(path, mode); });
}

int symlinkat(const char* target, int dirfd, const char* path) {
  REAL(symlinkat);
  return creating(dirfd, path, false, false, [&] { return real_symlinkat(target, dirfd, path); });
}
int symlink(const char* target, const char* path) { return symlinkat(target, AT_FDCWD, path); }

int link(const char* from, const char* path) {
  REAL(link);
  return creating(AT_FDCWD, path, false, false, [&] { return real_link(from, path); });
}

int unlink(const char* path) { return removing(AT_FDCWD, path, 0); }
int unlinkat(int dirfd, const char* path, int flags) { return removing(dirfd, path, flags); }
int rmdir(const char* path) { return removing(AT_FDCWD, path, AT_REMOVEDIR); }
int remove(const char* path) {
  struct stat st;
  return removing(AT_FDCWD, path, lstat(path, &st) == 0 && S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0);
}

int rename(const char* from, const char* to) { return renaming(AT_FDCWD, from, AT_FDCWD, to, 0); }
int renameat(int olddir, const char* from, int newdir, const char* to) { return renaming(olddir, from, newdir, to, 0); }
int renameat2(int olddir, const char* from, int newdir, const char* to, unsigned flags) {
  return renaming(olddir, from, newdir, to, flags);
}

int fsync(int fd) {
  REAL(fsync);
  return syncing(fd, real_fsync);
}
int fdatasync(int fd) {
  REAL(fdatasync);
  return syncing(fd, real_fdatasync);
}

ssize_t write(int fd, const void* buf, size_t n) {
  REAL(write);
  if (write_fails(fd)) return -1;
  before_write(fd, off_t(n));
  return real_write(fd, buf, n);
}
ssize_t writev(int fd, const struct iovec* iov, int count) {
  REAL(writev);
  if (write_fails(fd)) return -1;
  off_t n = 0;
  for (int i = 0; i < count; ++i) n += off_t(iov[i].iov_len);
  before_write(fd, n);
  return real_writev(fd, iov, count);
}
ssize_t pwrite(int fd, const void* buf, size_t n, off_t off) {
  REAL(pwrite);
  if (write_fails(fd)) return -1;
  before_change(fd, off, off + off_t(n));
  return real_pwrite(fd, buf, n, off);
}
int ftruncate(int fd, off_t size) {
  REAL(ftruncate);
  if (write_fails(fd)) return -1;
  before_truncate(fd, size);
  return real_ftruncate(fd, size);
}

// With a 64-bit off_t the large-file names are the same calls.
static_assert(sizeof(off_t) == sizeof(off64_t));
int open64(const char* path, int flags, ...) __attribute__((alias("open")));
FILE* fopen64(const char* path, const char* mode) __attribute__((alias("fopen")));
ssize_t pwrite64(int fd, const void* buf, size_t n, off64_t off) __attribute__((alias("pwrite")));
int ftruncate64(int fd, off64_t size) __attribute__((alias("ftruncate")));

}  // extern "C"
