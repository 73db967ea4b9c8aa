#include "settings/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "kvistur/number.h"
#include "settings/frame.h"
#include "settings/thread_state.h"

namespace kvistur {

std::string log_path() {
  const char* p = std::getenv("KVISTUR_LOG");
  return (p && *p) ? std::string(p) : std::string(kDefaultLogPath);
}

Text log_line_body(TextView text, int32_t number, TextView description) {
  return u"MeldaError: " + Text(text) + u", " + number_text_blank(number) + u", " + Text(description);
}

int32_t MeldaError(TextView text, int32_t number, TextView description, bool force) {
  if (!force && !thread_state().bDebug) return 0;
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%d.%d.%04d %02d:%02d:%02d", tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900,
                tm.tm_hour, tm.tm_min, tm.tm_sec);
  std::string line = stamp + to_utf8(log_line_body(text, number, description)) + "\r\n";
  // One write of the whole line, appended, keeps lines of different threads
  // and processes apart.  A log that cannot be opened loses the line.
  int fd = ::open(log_path().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd >= 0) {
    ssize_t n = ::write(fd, line.data(), line.size());
    (void)n;
    ::close(fd);
  }
  return 0;
}

void log_frame_failure(const Error& e) { MeldaError(e.source(), e.number(), e.description(), false); }

}  // namespace kvistur
