#include "platform/content_stamp.h"

#include <sqlite3.h>

#include <map>
#include <random>
#include <stdexcept>

#include "platform/sqlite_functions.h"
#include "platform/sqlite_statement.h"

namespace kvistur::db {
namespace {

std::string trigger(const char* name, const std::string& event, const char* table, const char* counter) {
  return std::string("CREATE TRIGGER ") + name + " AFTER " + event + " ON " + table + " BEGIN UPDATE kv_state SET " +
         counter + " = " + counter + " + 1; END";
}

// A name as SQL may write it: bare when it is letters, digits and "_"
// (any byte of a multi-byte character counts as a letter), else quoted.
std::string sql_name(const std::string& name) {
  bool bare = !name.empty() && !(name[0] >= '0' && name[0] <= '9');
  for (unsigned char c : name)
    if (!(c >= 0x80 || c == '_' || (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z'))) bare = false;
  if (bare) return name;
  std::string q = "\"";
  for (char c : name) q += c == '"' ? std::string("\"\"") : std::string(1, c);
  return q + "\"";
}

}  // namespace

std::vector<std::string> TableColumns(sqlite3* db, const char* table) {
  std::vector<std::string> names;
  try {
    SqliteStatement q(db, "SELECT name FROM pragma_table_info(?)");
    q.bind(1, table);
    while (q.step()) names.push_back(q.text(0));
  } catch (const std::runtime_error&) {
  }
  return names;
}

namespace {

// Every trigger's SQL as sqlite_master holds it, by name, in one query.
std::map<std::string, std::string> trigger_sqls(sqlite3* db) {
  std::map<std::string, std::string> found;
  SqliteStatement t(db, "SELECT name, sql FROM sqlite_master WHERE type = 'trigger'");
  while (t.step())
    if (!t.is_null(0) && !t.is_null(1)) found[t.text(0)] = t.text(1);
  return found;
}

// The number of rows of kv_state.
int64_t stamp_rows(sqlite3* db) {
  SqliteStatement s(db, "SELECT count(*) FROM kv_state");
  return s.step() ? s.integer(0) : 0;
}

}  // namespace

std::string StampPlace(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view p : parts) out += std::to_string(p.size()) + ":" + std::string(p) + ";";
  return out;
}

std::string StampToken(const std::string& place, std::string_view reader, const int64_t (&numbers)[4]) {
  std::string out = place + "|" + std::to_string(reader.size()) + ":" + std::string(reader) + "|";
  for (int64_t n : numbers) out += std::to_string(n) + " ";
  return out;
}

const std::vector<std::string>& stamped_record_columns() {
  static const std::vector<std::string> columns = {"ID", "Röðunarsvið", "Einkennisstrengur", "Tag"};
  return columns;
}

std::string spelled_as(const std::vector<std::string>& columns, const std::string& wanted) {
  const std::string key = fold_utf8(wanted);
  for (const std::string& c : columns)
    if (fold_utf8(c) == key) return c;
  return wanted;
}

std::vector<std::pair<std::string, std::string>> stamp_triggers(sqlite3* db) {
  std::vector<std::string> columns = TableColumns(db, "Móðurtafla");
  std::string updated;
  for (const std::string& c : stamped_record_columns())
    updated += (updated.empty() ? "UPDATE OF " : ", ") + sql_name(spelled_as(columns, c));
  struct T {
    const char* name;
    std::string event;
    const char *table, *counter;
  };
  const T list[] = {
      {"kv_records_insert", "INSERT", "Móðurtafla", "records"},
      {"kv_records_delete", "DELETE", "Móðurtafla", "records"},
      {"kv_records_update", updated, "Móðurtafla", "records"},
      {"kv_links_insert", "INSERT", "Tengill", "links"},
      {"kv_links_delete", "DELETE", "Tengill", "links"},
      {"kv_links_update", "UPDATE", "Tengill", "links"},
      {"kv_words_insert", "INSERT", "Orð", "words"},
      {"kv_words_delete", "DELETE", "Orð", "words"},
      {"kv_words_update", "UPDATE", "Orð", "words"},
  };
  std::vector<std::pair<std::string, std::string>> v;
  for (const T& t : list) v.emplace_back(t.name, trigger(t.name, t.event, t.table, t.counter));
  return v;
}

void InstallContentStamp(sqlite3* db) {
  ExecSql(db, "CREATE TABLE IF NOT EXISTS kv_state (instance INTEGER, records INTEGER, links INTEGER, words INTEGER)");
  // One row; the counters go on from where they are, so that a reader's
  // kept data for an earlier state can never be taken for this one.
  if (stamp_rows(db) != 1) {
    ExecSql(db, "DELETE FROM kv_state");
    ExecSql(db, "INSERT INTO kv_state VALUES (0, 0, 0, 0)");
  }
  InstallStampTriggers(db);
  ExecSql(db, "UPDATE kv_state SET instance = " + std::to_string(RandomInstance()));
}

void InstallStampTriggers(sqlite3* db) {
  std::map<std::string, std::string> found = trigger_sqls(db);
  for (const auto& [name, sql] : stamp_triggers(db)) {
    auto it = found.find(name);
    if (it != found.end() && it->second == sql) continue;
    ExecSql(db, "DROP TRIGGER IF EXISTS " + name);
    ExecSql(db, sql);
  }
}

std::optional<StampCounters> ReadStampCounters(sqlite3* db) {
  if (!HasTable(db, kStampTable)) return std::nullopt;
  SqliteStatement s(db, "SELECT records, links FROM kv_state");
  if (!s.step()) return std::nullopt;
  return StampCounters{s.integer(0), s.integer(1)};
}

int64_t RandomInstance() {
  std::random_device rd;
  return int64_t((uint64_t(rd()) << 31) ^ rd()) & INT64_MAX;
}

bool ContentStampInstalled(sqlite3* db) {
  try {
    std::map<std::string, std::string> found = trigger_sqls(db);
    for (const auto& [name, sql] : stamp_triggers(db)) {
      auto it = found.find(name);
      if (it == found.end() || it->second != sql) return false;
    }
    return stamp_rows(db) == 1;
  } catch (const std::runtime_error&) {  // the file cannot be read: no stamp to trust
    return false;
  }
}

}  // namespace kvistur::db
