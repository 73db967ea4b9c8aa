#include "platform/engine.h"

#include <algorithm>

namespace kvistur::db {

// The plain forms of the bulk reads, walking the rows one at a time; an
// engine overrides them to skip building a row per value.
void Recordset::ReadIntegers(TextView name, std::vector<int32_t>& out) {
  while (!eof()) {
    out.push_back(field(name).to_i32());
    MoveNext();
  }
}

void Recordset::ReadSortedIntegers(TextView name, std::vector<int32_t>& out, std::size_t from) {
  ReadIntegers(name, out);
  if (from > out.size()) from = out.size();
  auto first = out.begin() + std::ptrdiff_t(from);
  if (!std::is_sorted(first, out.end())) std::sort(first, out.end());
}

void Recordset::ForEachRow(const std::function<void(std::vector<Variant>&)>&) {
  throw Error(3251, u"DAO.Recordset", u"Operation is not supported for this type of object.");
}

std::shared_ptr<void>& Database::Derived(std::string_view) {
  // Emptied at every call: nothing is ever kept.
  thread_local std::shared_ptr<void> none;
  none.reset();
  return none;
}

void Cursor::Again(const std::vector<int64_t>&) {
  throw Error(3251, u"DAO.Recordset", u"Operation is not supported for this type of object.");
}

ContentStamp Database::Stamp() { return {}; }

std::unique_ptr<Cursor> Database::OpenCursor(TextView) {
  throw Error(3251, u"DAO.Database", u"Operation is not supported for this type of object.");
}

}  // namespace kvistur::db
