#include "record/catalogue_record.h"

#include <ctime>

namespace kvistur {

DateTime now_local() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  return DateTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

CatalogueRecord EmptyRecord() {
  CatalogueRecord r;
  r.Skráning = now_local();
  return r;
}

}  // namespace kvistur
