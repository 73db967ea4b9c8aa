#include "settings/access_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>

namespace kvistur {

namespace {

int access_fd = STDOUT_FILENO;

// Bytes of a field written: a client's query or user name can be as long
// as a message, and the log is not to grow by that much a request.
constexpr std::size_t kMaxFieldBytes = 2048;

// A field of the line: blanks, quotes and control characters would break
// it apart, so they are written as in a URL (%20, %22).  A longer field is
// cut at a character's start and ends in "...".
std::string field(const std::string& s, bool quoted) {
  if (s.empty()) return "-";
  std::size_t keep = s.size();
  if (keep > kMaxFieldBytes) {
    keep = kMaxFieldBytes;
    while (keep > 0 && (static_cast<unsigned char>(s[keep]) & 0xC0) == 0x80) --keep;
  }
  std::string out;
  for (unsigned char c : s.substr(0, keep)) {
    if (c < 0x20 || c == 0x7f || c == '"' || c == '\\' || (!quoted && c == ' ')) {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      out += buf;
    } else {
      out += char(c);
    }
  }
  return keep < s.size() ? out + "..." : out;
}

}  // namespace

void OpenAccessLog(const std::string& path) {
  if (path.empty()) {
    access_fd = STDOUT_FILENO;
    return;
  }
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot open the access log " + path + ": " + std::strerror(errno));
  access_fd = fd;
}

std::string AccessLine(const AccessEntry& e) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char when[64];
  static const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char zone[8];
  std::strftime(zone, sizeof zone, "%z", &local);
  std::snprintf(when, sizeof when, "[%02d/%s/%04d:%02d:%02d:%02d %s]", local.tm_mday, months[local.tm_mon],
                local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec, zone);
  char tail[80];
  std::snprintf(tail, sizeof tail, " %d %lld %.3f", e.status, static_cast<long long>(e.hits), e.seconds);
  return field(e.client, false) + " " + field(e.user, false) + " " + when + " \"" + field(e.request, true) + "\"" +
         tail;
}

void WriteAccess(const AccessEntry& entry) {
  std::string line = AccessLine(entry) + "\n";
  // One write: appended whole, never interleaved with another session's.
  ssize_t n;
  do {
    n = ::write(access_fd, line.data(), line.size());
  } while (n < 0 && errno == EINTR);
}

}  // namespace kvistur
