#include "import/store/folder_ops.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace kvistur::import::folder_ops {

namespace {

Hook& hook() {
  static Hook h;
  return h;
}

// The hook's errno for OP on PATH, 0 to go on.
int injected(std::string_view op, const std::string& path) { return hook() ? hook()(op, path) : 0; }

[[noreturn]] void failed(const std::string& what, int err) {
  throw std::runtime_error("cannot " + what + ": " + std::strerror(err));
}

}  // namespace

void SetHook(Hook h) { hook() = std::move(h); }

void Rename(const std::string& from, const std::string& to) {
  int err = injected("rename", to);
  if (!err && std::rename(from.c_str(), to.c_str()) != 0) err = errno;
  if (err) failed("move " + from + " to " + to, err);
}

void Symlink(const std::string& target, const std::string& link) {
  int err = injected("symlink", link);
  if (!err && ::symlink(target.c_str(), link.c_str()) != 0) err = errno;
  if (err) failed("link " + link + " to " + target, err);
}

void Sync(const std::string& path) {
  int err = injected("sync", path);
  if (!err) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      err = errno;
    } else {
      if (::fsync(fd) != 0) err = errno;
      ::close(fd);
    }
  }
  if (err) failed("sync " + path, err);
}

bool Remove(const std::string& path) {
  int err = injected("remove", path);
  if (!err && ::unlink(path.c_str()) != 0 && errno != ENOENT) err = errno;
  return err == 0;
}

}  // namespace kvistur::import::folder_ops
