#include "platform/content_stamp.h"

#include <sqlite3.h>

#include <algorithm>
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

namespace {

// "UPDATE OF" COLUMNS as TABLE spells them in the file.
std::string update_of(sqlite3* db, const char* table, const std::vector<std::string>& columns) {
  std::vector<std::string> spelled = TableColumns(db, table);
  std::string out;
  for (const std::string& c : columns) out += (out.empty() ? "UPDATE OF " : ", ") + sql_name(spelled_as(spelled, c));
  return out;
}

bool has_facts(sqlite3* db) {
  std::vector<std::string> columns = TableColumns(db, kStampTable);
  return std::find(columns.begin(), columns.end(), kFactsColumn) != columns.end();
}

// Whether every trigger of LIST is in the file exactly as it is there.
bool all_there(sqlite3* db, const std::vector<std::pair<std::string, std::string>>& list) {
  std::map<std::string, std::string> found = trigger_sqls(db);
  for (const auto& [name, sql] : list) {
    auto it = found.find(name);
    if (it == found.end() || it->second != sql) return false;
  }
  return true;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> stamp_triggers(sqlite3* db) {
  const std::string updated = update_of(db, "Móðurtafla", stamped_record_columns());
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

const std::vector<FactsSource>& facts_sources() {
  static const std::vector<FactsSource> sources = {
      {"Aðfanganúmer", "copies", true, {"Móðurbendir", "Staðsetning"}},
      {"Frumfærsla", "sources", true, {}},
      {"Móðurtafla", "records", false, {"Upprunafærsla", "ÖllFærslan"}},
  };
  return sources;
}

std::vector<std::pair<std::string, std::string>> facts_triggers(sqlite3* db) {
  std::vector<std::pair<std::string, std::string>> v;
  for (const FactsSource& f : facts_sources()) {
    if (!HasTable(db, f.table)) continue;
    const std::string name = std::string("kv_facts_") + f.name;
    std::vector<std::pair<std::string, std::string>> events;
    if (f.rows) events = {{"_insert", "INSERT"}, {"_delete", "DELETE"}};
    events.emplace_back("_update", f.updated.empty() ? std::string("UPDATE") : update_of(db, f.table, f.updated));
    for (const auto& [suffix, event] : events)
      v.emplace_back(name + suffix, trigger((name + suffix).c_str(), event, f.table, kFactsColumn));
  }
  return v;
}

void InstallContentStamp(sqlite3* db) {
  ExecSql(db, "CREATE TABLE IF NOT EXISTS kv_state (instance INTEGER, records INTEGER, links INTEGER, words INTEGER, "
              "facts INTEGER NOT NULL DEFAULT 0)");
  InstallStampTriggers(db);
  // One row; the counters go on from where they are, so that a reader's
  // kept data for an earlier state can never be taken for this one.
  if (stamp_rows(db) != 1) {
    ExecSql(db, "DELETE FROM kv_state");
    ExecSql(db, "INSERT INTO kv_state (instance, records, links, words, facts) VALUES (0, 0, 0, 0, 0)");
  }
  ExecSql(db, "UPDATE kv_state SET instance = " + std::to_string(RandomInstance()));
}

void InstallStampTriggers(sqlite3* db) {
  // Before facts' triggers, which would fail every change they fire at
  // without it.
  if (!has_facts(db)) ExecSql(db, "ALTER TABLE kv_state ADD COLUMN facts INTEGER NOT NULL DEFAULT 0");
  std::map<std::string, std::string> found = trigger_sqls(db);
  std::vector<std::pair<std::string, std::string>> all = stamp_triggers(db), facts = facts_triggers(db);
  all.insert(all.end(), facts.begin(), facts.end());
  for (const auto& [name, sql] : all) {
    auto it = found.find(name);
    if (it != found.end() && it->second == sql) continue;
    ExecSql(db, "DROP TRIGGER IF EXISTS " + name);
    ExecSql(db, sql);
  }
}

std::optional<StampCounters> ReadStampCounters(sqlite3* db) {
  if (!HasTable(db, kStampTable)) return std::nullopt;
  const bool facts = has_facts(db);
  SqliteStatement s(db, facts ? "SELECT records, links, words, facts FROM kv_state" : "SELECT records, links, words FROM kv_state");
  if (!s.step()) return std::nullopt;
  StampCounters c{s.integer(0), s.integer(1), s.integer(2), std::nullopt};
  if (facts) c.facts = s.integer(3);
  return c;
}

int64_t RandomInstance() {
  std::random_device rd;
  return int64_t((uint64_t(rd()) << 31) ^ rd()) & INT64_MAX;
}

bool ContentStampInstalled(sqlite3* db) {
  try {
    return all_there(db, stamp_triggers(db)) && stamp_rows(db) == 1;
  } catch (const std::runtime_error&) {  // the file cannot be read: no stamp to trust
    return false;
  }
}

bool FactsStampInstalled(sqlite3* db) {
  try {
    return has_facts(db) && all_there(db, facts_triggers(db)) && stamp_rows(db) == 1;
  } catch (const std::runtime_error&) {
    return false;
  }
}

}  // namespace kvistur::db
