#include "settings/file_watch.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace kvistur {

namespace {

// File systems whose every change is made through this machine's kernel,
// and so is told to its watches.
bool local_file_system(const std::string& path) {
  struct statfs fs {};
  if (::statfs(path.c_str(), &fs) != 0) return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case EXT4_SUPER_MAGIC:  // ext2, ext3 and ext4 alike
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
    case F2FS_SUPER_MAGIC:
      return true;
    default:
      return false;
  }
}

// The names of PATH, in order.
std::deque<std::string> names(const std::string& path) {
  std::deque<std::string> out;
  for (std::size_t at = 0; at <= path.size();) {
    std::size_t slash = path.find('/', at);
    if (slash == std::string::npos) slash = path.size();
    if (slash > at) out.push_back(path.substr(at, slash - at));
    at = slash + 1;
  }
  return out;
}

// What happens to a directory on the path that matters: its next name
// made, removed or renamed; its own mode changed, the directory itself
// moved or removed.  Writes to the files in it are not asked for (the
// file at the end has a watch of its own): a busy folder, a catalogue's
// folder while its log is written, would tell of every write.
constexpr uint32_t kDirectoryEvents =
    IN_ATTRIB | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// The file itself, through whatever name it is changed.
constexpr uint32_t kFileEvents = IN_ATTRIB | IN_MODIFY | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF;

// A path's interest in one watch: NAME within a watched directory, or
// empty for the watched file itself.
struct Interest {
  std::string path;
  std::string name;
};

struct Watches {
  std::mutex mutex;
  bool on = true;
  bool started = false;
  int fd = -1;      // the inotify instance; -1 when there is none
  int mounts = -1;  // /proc/self/mountinfo, which polls ready when a mount changes
  uint64_t next_token = 1;
  std::unordered_map<std::string, uint64_t> tokens;       // each watched path's token
  std::unordered_map<std::string, std::vector<int>> of;   // each watched path's watches
  std::unordered_map<int, std::vector<Interest>> by_watch;

  // PATH no longer watched: its token is let go and the watches no other
  // path needs are removed.
  void forget(const std::string& path) {
    tokens.erase(path);
    auto it = of.find(path);
    if (it == of.end()) return;
    for (int wd : it->second) {
      auto w = by_watch.find(wd);
      if (w == by_watch.end()) continue;
      std::erase_if(w->second, [&](const Interest& i) { return i.path == path; });
      if (w->second.empty()) {
        ::inotify_rm_watch(fd, wd);
        by_watch.erase(w);
      }
    }
    of.erase(it);
  }
  void forget_all() {
    for (auto& [wd, interests] : by_watch) ::inotify_rm_watch(fd, wd);
    let_go();
  }
  // Every path's token and watch let go of here, the kernel's watches left
  // as they are (a child of fork shares them with its parent).
  void let_go() {
    tokens.clear();
    of.clear();
    by_watch.clear();
  }

  void start() {
    started = true;
    fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    mounts = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (fd < 0 || mounts < 0) stop();
  }
  void stop() {
    let_go();
    if (fd >= 0) ::close(fd);
    if (mounts >= 0) ::close(mounts);
    fd = mounts = -1;
  }
  // Stopped, to start again at the next watch (a failed start stays
  // stopped instead: it is not tried at every call).
  void reset() {
    stop();
    started = false;
  }

  // Takes in what the kernel has said since the last time: each path
  // something happened to is forgotten, and every path when a mount
  // changed or the kernel's queue overflowed.  False when the watching
  // can no longer be trusted (it is then stopped).
  bool take_in() {
    struct pollfd p[2] = {{fd, POLLIN, 0}, {mounts, POLLPRI, 0}};
    int n = ::poll(p, 2, 0);
    if (n < 0) return errno == EINTR ? take_in() : (stop(), false);
    if (n == 0) return true;
    if (p[1].revents & (POLLPRI | POLLERR)) {
      // Read through, so that the next poll waits for the next change.
      char buffer[4096];
      ::lseek(mounts, 0, SEEK_SET);
      while (::read(mounts, buffer, sizeof buffer) > 0) {
      }
      forget_all();
    }
    if (!(p[0].revents & POLLIN)) return true;
    alignas(struct inotify_event) char buffer[16384];
    for (;;) {
      ssize_t got = ::read(fd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0 && errno == EAGAIN) return true;
      if (got <= 0) return stop(), false;
      for (ssize_t at = 0; at < got;) {
        const auto* e = reinterpret_cast<const struct inotify_event*>(buffer + at);
        at += ssize_t(sizeof(struct inotify_event) + e->len);
        if (e->mask & IN_Q_OVERFLOW) {
          forget_all();
          continue;
        }
        auto w = by_watch.find(e->wd);
        if (w == by_watch.end()) continue;
        const std::string_view name = e->len ? std::string_view(e->name) : std::string_view();
        std::vector<std::string> touched;
        for (const Interest& i : w->second)
          if (i.name.empty() || name.empty() || name == i.name) touched.push_back(i.path);
        for (const std::string& path : touched) forget(path);
      }
    }
  }

  uint64_t watch(const std::string& path) {
    if (!on) return 0;
    if (!started) start();
    if (fd < 0 || !take_in()) return 0;
    if (auto t = tokens.find(path); t != tokens.end()) return t->second;
    if (path.empty() || path[0] != '/') return 0;
    // The path walked as the kernel walks it, name by name and through
    // symbolic links (a catalogue's name is a link to its generation): each
    // directory on the way is watched for the name looked up in it, and the
    // file at the end for itself.  A link cannot be changed, only replaced,
    // which its directory tells.
    struct Look {
      std::string dir, name;
    };
    std::vector<Look> wanted;
    std::string file;
    std::string dir = "/";
    std::deque<std::string> rest = names(path);
    for (int links = 0; !rest.empty();) {
      std::string name = std::move(rest.front());
      rest.pop_front();
      if (name == ".") continue;
      if (name == "..") {
        dir = dir.substr(0, std::max<std::size_t>(dir.rfind('/'), 1));
        continue;
      }
      if (!local_file_system(dir)) return 0;
      wanted.push_back({dir, name});
      const std::string at = dir == "/" ? "/" + name : dir + "/" + name;
      struct stat st {};
      if (::lstat(at.c_str(), &st) != 0) {
        if (errno != ENOENT || !rest.empty()) return 0;
        break;  // not there (yet): its name is watched
      }
      if (S_ISLNK(st.st_mode)) {
        char target[4096];
        const ssize_t n = ::readlink(at.c_str(), target, sizeof target);
        if (++links > 16 || n <= 0 || n >= ssize_t(sizeof target)) return 0;
        std::deque<std::string> more = names(std::string(target, std::size_t(n)));
        rest.insert(rest.begin(), more.begin(), more.end());
        if (target[0] == '/') dir.assign(1, '/');
      } else if (S_ISDIR(st.st_mode) && !rest.empty()) {
        dir = at;
      } else if (rest.empty() && !S_ISDIR(st.st_mode)) {
        file = at;
      } else {
        return 0;
      }
    }
    if (!file.empty() && !local_file_system(file)) return 0;
    std::vector<int>& mine = of[path];
    auto add = [&](const std::string& at, uint32_t events, std::string name) {
      int wd = ::inotify_add_watch(fd, at.c_str(), events);
      if (wd < 0) return false;
      by_watch[wd].push_back({path, std::move(name)});
      mine.push_back(wd);
      return true;
    };
    bool ok = !wanted.empty();
    for (const Look& l : wanted) ok = ok && add(l.dir, kDirectoryEvents, l.name);
    if (ok && !file.empty()) ok = add(file, kFileEvents, "");
    if (!ok) {
      forget(path);
      return 0;
    }
    const uint64_t token = next_token++;
    tokens[path] = token;
    return token;
  }

  bool unchanged(const std::string& path, uint64_t token) {
    if (token == 0 || fd < 0 || !take_in()) return false;
    auto t = tokens.find(path);
    return t != tokens.end() && t->second == token;
  }
};

Watches& watches() {
  // Never destroyed: threads may look after the statics are gone.  A child
  // of fork starts its own watching (the instance would be shared with the
  // parent, each taking in what the other should see).
  static Watches* w = [] {
    auto* made = new Watches;
    ::pthread_atfork([] { watches().mutex.lock(); }, [] { watches().mutex.unlock(); },
                     [] {
                       Watches& c = watches();
                       c.mutex.unlock();
                       c.reset();
                     });
    return made;
  }();
  return *w;
}

}  // namespace

FileStatus StatusOf(const struct stat& st) {
  auto ns = [](const struct timespec& t) { return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec; };
  return FileStatus{st.st_dev, st.st_ino, st.st_size, ns(st.st_mtim), ns(st.st_ctim)};
}

bool LookAtFile(const std::string& path, FileStatus& out) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  out = StatusOf(st);
  return true;
}

uint64_t WatchFile(const std::string& path) {
  Watches& w = watches();
  std::lock_guard<std::mutex> lock(w.mutex);
  return w.watch(path);
}

bool FileUnchanged(const std::string& path, uint64_t token) {
  if (token == 0) return false;
  Watches& w = watches();
  std::lock_guard<std::mutex> lock(w.mutex);
  return w.unchanged(path, token);
}

void SetFileWatching(bool on) {
  Watches& w = watches();
  std::lock_guard<std::mutex> lock(w.mutex);
  w.on = on;
  if (!on) w.reset();
}

}  // namespace kvistur
