#include "server/result_sets.h"

#include <yaz/diagbib1.h>

#include <algorithm>

#include "kvistur/number.h"
#include "platform/open_database.h"
#include "search/search.h"
#include "search/word_scan.h"
#include "server/evaluate.h"
#include "settings/settings.h"
#include "settings/thread_state.h"

namespace kvistur::server {

IndexTable ServerIndexes() {
  IndexTable t = IndexTable::Standard();
  for (auto& [key, field] : SectionValues(u"Z3950")) t.add(key, field);
  return t;
}

std::vector<std::pair<std::string, int32_t>> Databases(Faersla& faersla) {
  std::vector<std::pair<std::string, int32_t>> out{{"Default", -1}};
  SafeArray<Text> groups, names, descriptions;
  SafeArray<int32_t> ids;
  int32_t n = faersla.SaekjaHopa(groups, ids, names, descriptions);
  for (int32_t i = 1; i <= n; ++i) out.emplace_back(to_utf8(groups(i)), ids(i));
  return out;
}

std::optional<int32_t> GroupOf(Faersla& faersla, const std::string& database) {
  Text wanted = upper_is(trim(from_utf8(database)));
  if (wanted == u"DEFAULT") return -1;
  for (auto& [name, id] : Databases(faersla))
    if (upper_is(from_utf8(name)) == wanted) return id;
  return std::nullopt;
}

std::map<Text, int32_t> FieldsOf(Faersla& faersla, int32_t group) {
  std::vector<int32_t> groups;
  if (group >= 0) {
    groups.push_back(group);
  } else {
    for (auto& [name, id] : Databases(faersla))
      if (id >= 0) groups.push_back(id);
  }
  std::map<Text, int32_t> fields;
  for (int32_t g : groups) {
    SafeArray<Text> names;
    SafeArray<int32_t> ids;
    int32_t n = faersla.SaekjaSvid(g, names, ids);
    for (int32_t i = 1; i <= n; ++i) fields.emplace(upper_is(names(i)), ids(i));
  }
  return fields;
}

Session::Session(std::string peer, const Limits& limits) : peer_(std::move(peer)), limits_(limits) {}

bool Session::LogOn(const std::string& user, const std::string& password) {
  // The log-on belongs to the thread; a refused one leaves no workspace.
  thread_state().workspace.reset();
  Text u = from_utf8(user), p = from_utf8(password);
  faersla_.LogOn(u, p);
  if (!thread_state().workspace) return false;
  user_ = user;
  return true;
}

Diagnostic Session::Search(const std::string& name, bool replace, const std::string& database,
                           const QueryNode& query, RequestBudget& budget, int64_t& hits) {
  CallScope call;
  try {
    std::optional<int32_t> group = GroupOf(faersla_, database);
    if (!group) return {YAZ_BIB1_DATABASE_DOES_NOT_EXIST, database};
    auto existing = sets_.find(name);
    if (existing != sets_.end() && !replace) return {YAZ_BIB1_RESULT_SET_EXISTS_AND_REPLACE_INDICATOR_OFF, name};
    if (existing == sets_.end() && int(sets_.size()) >= limits_.result_sets)
      return {YAZ_BIB1_TOO_MANY_RESULT_SETS_CREATED, std::to_string(limits_.result_sets)};
    std::map<Text, int32_t> fields = FieldsOf(faersla_, *group);
    SafeArray<Text> stop_words;
    faersla_.SaekjaEkkiOrð(stop_words);
    if (!stop_words.allocated()) stop_words = SafeArray<Text>(0, {Text()});
    std::unique_ptr<db::Database> catalogue = open_catalogue();
    SearchScope scope{*catalogue, *group, fields, stop_words, [&](const std::string& set) -> const std::vector<int32_t>* {
                        const ResultSet* s = Find(set);
                        return s ? &s->records : nullptr;
                      }};
    Records found = Evaluate(scope, query, budget);
    const std::size_t n = found.numbers->size();
    int64_t replaced = existing == sets_.end() ? 0 : int64_t(existing->second.records.size());
    if (held_records_ - replaced + int64_t(n) > limits_.session_records)
      return {YAZ_BIB1_TOO_MANY_RECORDS_RETRIEVED,
              std::to_string(limits_.session_records) + " records in a session's result sets at most"};
    // Ordering holds a rank beside each hit and the ordered list.
    Charge ordering(budget, int64_t(n) * int64_t(sizeof(int64_t) + 2 * sizeof(int32_t)));
    budget.check_time();
    ResultSet set{database, LeitaOrder(*catalogue, *found.numbers)};
    catalogue->Close();
    hits = int64_t(n);
    held_records_ += int64_t(n) - replaced;
    sets_[name] = std::move(set);
    return {};
  } catch (const Refusal& r) {
    return r.diagnostic;
  } catch (const Error& e) {
    return {YAZ_BIB1_TEMPORARY_SYSTEM_ERROR, to_utf8(e.description())};
  } catch (const std::exception& e) {
    return {YAZ_BIB1_TEMPORARY_SYSTEM_ERROR, e.what()};
  }
}

Diagnostic Session::Scan(const std::string& database, const ScanStart& start, int position, int count,
                          const RequestBudget& budget, std::vector<ScanEntry>& entries, int& at, bool& partial) {
  CallScope call;
  try {
    std::optional<int32_t> group = GroupOf(faersla_, database);
    if (!group) return {YAZ_BIB1_DATABASE_DOES_NOT_EXIST, database};
    int32_t field = FieldNumber(FieldsOf(faersla_, *group), start.field);
    Text from;
    for (char16_t c : start.word)
      if (c != u'*') from += c;
    count = std::clamp(count, 0, kMaxScanTerms);
    // The client's position may be any number, INT_MIN too.
    std::size_t before = position <= 1 ? 0 : std::size_t(std::min(position - 1, count));
    std::unique_ptr<db::Database> catalogue = open_catalogue();
    auto check = [&] { budget.check_time(); };
    std::vector<ScannedWord> earlier = ScanWords(*catalogue, from, true, before, *group, field, check);
    std::vector<ScannedWord> later = ScanWords(*catalogue, from, false, std::size_t(count) - before, *group, field, check);
    catalogue->Close();
    entries.clear();
    for (auto it = earlier.rbegin(); it != earlier.rend(); ++it) entries.push_back(ScanEntry{to_utf8(it->word), it->records});
    for (const ScannedWord& w : later) entries.push_back(ScanEntry{to_utf8(w.word), w.records});
    at = int(earlier.size()) + 1;
    partial = int(entries.size()) < count;
    return {};
  } catch (const Refusal& r) {
    return r.diagnostic;
  } catch (const Error& e) {
    return {YAZ_BIB1_TEMPORARY_SYSTEM_ERROR, to_utf8(e.description())};
  }
}

const ResultSet* Session::Find(const std::string& name) const {
  auto it = sets_.find(name);
  return it == sets_.end() ? nullptr : &it->second;
}

bool Session::Remove(const std::string& name) {
  auto it = sets_.find(name);
  if (it == sets_.end()) return false;
  held_records_ -= int64_t(it->second.records.size());
  sets_.erase(it);
  return true;
}

void Session::RemoveAll() {
  sets_.clear();
  held_records_ = 0;
}

}  // namespace kvistur::server
