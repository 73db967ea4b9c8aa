#include "platform/content_stamp.h"

#include <sqlite3.h>

#include <map>
#include <random>
#include <stdexcept>

namespace kvistur::db {
namespace {

void exec(sqlite3* db, const std::string& sql) {
  char* msg = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &msg) != SQLITE_OK) {
    std::string m = msg ? msg : sqlite3_errmsg(db);
    sqlite3_free(msg);
    throw std::runtime_error(m);
  }
}

std::string trigger(const char* name, const char* event, const char* table, const char* counter) {
  return std::string("CREATE TRIGGER ") + name + " AFTER " + event + " ON " + table + " BEGIN UPDATE kv_state SET " +
         counter + " = " + counter + " + 1; END";
}

// Every trigger's SQL as sqlite_master holds it, by name, in one query;
// false when it cannot be read.
bool trigger_sqls(sqlite3* db, std::map<std::string, std::string>& found) {
  sqlite3_stmt* t = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT name, sql FROM sqlite_master WHERE type = 'trigger'", -1, &t, nullptr) != SQLITE_OK) {
    sqlite3_finalize(t);
    return false;
  }
  while (sqlite3_step(t) == SQLITE_ROW) {
    const char* name = reinterpret_cast<const char*>(sqlite3_column_text(t, 0));
    const char* sql = reinterpret_cast<const char*>(sqlite3_column_text(t, 1));
    if (name && sql) found[name] = sql;
  }
  sqlite3_finalize(t);
  return true;
}

// The number of rows of kv_state; 0 when it cannot be read.
int stamp_rows(sqlite3* db) {
  sqlite3_stmt* s = nullptr;
  int rows = 0;
  if (sqlite3_prepare_v2(db, "SELECT count(*) FROM kv_state", -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
    rows = sqlite3_column_int(s, 0);
  sqlite3_finalize(s);
  return rows;
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

const std::vector<std::pair<std::string, std::string>>& stamp_triggers() {
  static const std::vector<std::pair<std::string, std::string>> all = [] {
    struct T {
      const char *name, *event, *table, *counter;
    };
    const T list[] = {
        {"kv_records_insert", "INSERT", "Móðurtafla", "records"},
        {"kv_records_delete", "DELETE", "Móðurtafla", "records"},
        {"kv_records_update", "UPDATE OF ID, Röðunarsvið, Einkennisstrengur, Tag", "Móðurtafla", "records"},
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
  }();
  return all;
}

void InstallContentStamp(sqlite3* db) {
  exec(db, "CREATE TABLE IF NOT EXISTS kv_state (instance INTEGER, records INTEGER, links INTEGER, words INTEGER)");
  // One row; the counters go on from where they are, so that a reader's
  // kept data for an earlier state can never be taken for this one.
  if (stamp_rows(db) != 1) {
    exec(db, "DELETE FROM kv_state");
    exec(db, "INSERT INTO kv_state VALUES (0, 0, 0, 0)");
  }
  std::map<std::string, std::string> found;
  trigger_sqls(db, found);
  for (const auto& [name, sql] : stamp_triggers()) {
    auto it = found.find(name);
    if (it != found.end() && it->second == sql) continue;
    exec(db, "DROP TRIGGER IF EXISTS " + name);
    exec(db, sql);
  }
  std::random_device rd;
  int64_t instance = int64_t((uint64_t(rd()) << 31) ^ rd()) & INT64_MAX;
  exec(db, "UPDATE kv_state SET instance = " + std::to_string(instance));
}

bool ContentStampInstalled(sqlite3* db) {
  std::map<std::string, std::string> found;
  if (!trigger_sqls(db, found)) return false;
  for (const auto& [name, sql] : stamp_triggers()) {
    auto it = found.find(name);
    if (it == found.end() || it->second != sql) return false;
  }
  return stamp_rows(db) == 1;
}

}  // namespace kvistur::db
