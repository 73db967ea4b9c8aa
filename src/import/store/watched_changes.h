// A transaction's changes watched through temporary triggers on its
// connection, with the content stamp's counters before it: what the stored
// index's delta and the facet data's patch are written from.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kvistur::import {

class WatchedChanges {
 public:
  WatchedChanges(const WatchedChanges&) = delete;
  WatchedChanges& operator=(const WatchedChanges&) = delete;

  bool watching() const { return watching_; }
  int64_t records_before() const { return records_; }
  int64_t links_before() const { return links_; }
  // Null when the stamp had no facts.
  std::optional<int64_t> facts_before() const { return facts_; }
  // Drops the triggers: nothing after this is watched.
  void stop();

 protected:
  explicit WatchedChanges(sqlite3* db) : db_(db) {}
  ~WatchedChanges();
  // Notes the stamp's counters; false when the catalogue has no stamp.
  bool read_stamp();
  // Runs SQL, which makes the log TABLES and the TRIGGERS that fill them,
  // and watches from then on: stop() drops the triggers, the end the
  // tables.  Throws std::runtime_error on an SQLite error.
  void watch(const std::string& sql, std::vector<std::string> triggers, std::vector<std::string> tables);

  sqlite3* db_;

 private:
  bool watching_ = false;
  int64_t records_ = -1, links_ = -1;
  std::optional<int64_t> facts_;
  std::vector<std::string> triggers_, tables_;
};

}  // namespace kvistur::import
