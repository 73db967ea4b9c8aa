#include "platform/engine.h"

#include <algorithm>

#include "platform/postgres_sql.h"

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
  NotSupported(u"DAO.Recordset");
}

void NotSupported(const char16_t* source) {
  throw Error(3251, source, u"Operation is not supported for this type of object.");
}

std::shared_ptr<void>& Database::Derived(std::string_view) {
  // Emptied at every call: nothing is ever kept.
  thread_local std::shared_ptr<void> none;
  none.reset();
  return none;
}

void Cursor::Again(const std::vector<Literal>&) {
  NotSupported(u"DAO.Recordset");
}

ContentStamp Database::Stamp() { return {}; }

std::unique_ptr<Cursor> Database::OpenCursor(TextView) {
  NotSupported(u"DAO.Database");
}

std::unique_ptr<Cursor> Database::OpenCursorWith(TextView sql, const std::vector<Literal>& literals) {
  std::unique_ptr<Cursor> c = OpenCursor(sql);
  c->Again(literals);
  return c;
}

namespace {

// Chooses the backend where a workspace is made, by the path of the system
// database (the database folder followed by "System.mdw").
class ChoosingEngine : public Engine {
 public:
  void set_system_db(TextView path) override {
    system_db_ = Text(path);
    files_->set_system_db(path);
    server_->set_system_db(path);
  }
  Text system_db() const override { return system_db_; }
  std::shared_ptr<Workspace> CreateWorkspace(TextView name, TextView user, TextView password) override {
    return (pg::is_server_path(system_db_) ? server_ : files_)->CreateWorkspace(name, user, password);
  }

 private:
  Text system_db_;
  std::shared_ptr<Engine> files_ = create_sqlite_engine(), server_ = create_postgres_engine();
};

}  // namespace

std::shared_ptr<Engine> create_engine() { return std::make_shared<ChoosingEngine>(); }

}  // namespace kvistur::db
