#include "record/catalogue_record.h"

#include <ctime>

namespace kvistur {

DateTime now_local() {
  // The local time is worked out once a second on each thread: a build
  // asks for it once per record, and localtime_r takes a lock and reads
  // the time zone every time.
  thread_local std::time_t last = -1;
  thread_local DateTime local;
  std::time_t t = std::time(nullptr);
  if (t != last) {
    std::tm tm{};
    localtime_r(&t, &tm);
    local = DateTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
    last = t;
  }
  return local;
}

CatalogueRecord EmptyRecord() {
  CatalogueRecord r;
  r.Skráning = now_local();
  return r;
}

}  // namespace kvistur
