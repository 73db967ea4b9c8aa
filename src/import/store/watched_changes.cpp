#include "import/store/watched_changes.h"

#include <stdexcept>

#include "import/store/sqlite_statement.h"
#include "platform/content_stamp.h"

namespace kvistur::import {

bool WatchedChanges::read_stamp() {
  std::optional<db::StampCounters> stamp = db::ReadStampCounters(db_);
  if (!stamp) return false;
  records_ = stamp->records;
  links_ = stamp->links;
  facts_ = stamp->facts;
  return true;
}

void WatchedChanges::watch(const std::string& sql, std::vector<std::string> triggers, std::vector<std::string> tables) {
  ExecSql(db_, sql.c_str());
  triggers_ = std::move(triggers);
  tables_ = std::move(tables);
  watching_ = true;
}

void WatchedChanges::stop() {
  if (!watching_) return;
  std::string sql;
  for (const std::string& t : triggers_) sql += "DROP TRIGGER IF EXISTS temp." + t + ";";
  ExecSql(db_, sql.c_str());
}

WatchedChanges::~WatchedChanges() {
  try {
    stop();
    std::string sql;
    for (const std::string& t : tables_) sql += "DROP TABLE IF EXISTS temp." + t + ";";
    if (watching_) ExecSql(db_, sql.c_str());
  } catch (const std::exception&) {
    // The connection is closing with the transaction rolled back: the
    // temporary triggers and tables go with it.
  }
}

}  // namespace kvistur::import
