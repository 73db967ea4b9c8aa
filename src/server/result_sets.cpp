#include "server/result_sets.h"

#include <yaz/diagbib1.h>

#include <algorithm>

#include "kvistur/number.h"
#include "platform/open_database.h"
#include "search/search.h"
#include "search/word_scan.h"
#include "server/directory_view.h"
#include "server/evaluate.h"
#include "settings/settings.h"
#include "settings/thread_state.h"

namespace kvistur::server {

IndexTable ServerIndexes() {
  IndexTable t = IndexTable::Standard();
  for (auto& [key, field] : SectionValues(u"Z3950")) t.add(key, field);
  return t;
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
                           const QueryNode& query, RequestBudget& budget, int64_t& hits, int64_t present) {
  CallScope call;
  try {
    std::shared_ptr<const DirectoryView> directory = ViewDirectory(faersla_);
    std::optional<int32_t> group = directory->group_of(database);
    if (!group) return {YAZ_BIB1_DATABASE_DOES_NOT_EXIST, database};
    auto existing = sets_.find(name);
    if (existing != sets_.end() && !replace) return {YAZ_BIB1_RESULT_SET_EXISTS_AND_REPLACE_INDICATOR_OFF, name};
    if (existing == sets_.end() && int(sets_.size()) >= limits_.result_sets)
      return {YAZ_BIB1_TOO_MANY_RESULT_SETS_CREATED, std::to_string(limits_.result_sets)};
    std::unique_ptr<db::Database> catalogue = open_catalogue();
    std::shared_ptr<const SafeArray<Text>> stop_words = StopWords(faersla_, *catalogue);
    SearchScope scope{*catalogue, *group, directory->fields_of(*group), *stop_words,
                      [&](const std::string& set) -> const ResultSet* { return Find(set); }};
    // The state the hits are found at, which their first places must be of.
    const std::string state = catalogue->Stamp().token;
    Records found = Evaluate(scope, query, budget);
    const std::size_t n = found.numbers.size();
    int64_t replaced = existing == sets_.end() ? 0 : int64_t(existing->second.size());
    if (held_records_ - replaced + int64_t(n) > limits_.session_records)
      return {YAZ_BIB1_TOO_MANY_RECORDS_RETRIEVED,
              std::to_string(limits_.session_records) + " records in a session's result sets at most"};
    // Ordering holds a copy of the hits and a rank beside each.
    Charge ordering(budget, int64_t(n) * int64_t(sizeof(RankedHit) + sizeof(int32_t)));
    budget.check_time();
    std::optional<FirstPlaces> first;
    if (found.search && n >= kFirstPlacesFrom)
      first = LeitaFirstPlaces(*catalogue, state, *group, found.search->field, found.search->words, *stop_words, n,
                               std::size_t(std::clamp(present, kFirstPlaces, kMostFirstPlaces)));
    ResultSet set = first ? ResultSet(database, found.numbers, std::move(first->ids), std::move(first->order), state)
                          : ResultSet(database, LeitaOrder(*catalogue, found.numbers.span()));
    catalogue->Close();
    hits = int64_t(n);
    held_records_ += int64_t(n) - replaced;
    sets_[name] = std::move(set);
    // Sets holding an earlier state's order (the catalogue was updated
    // since their search) are ranked by it now and let it go: a session
    // keeps at most one state's order of all records alive, the state of
    // its last search, however many updates its sets have lived through.
    for (auto& [other, kept] : sets_) kept.RankUnlessOf(state);
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
    std::shared_ptr<const DirectoryView> directory = ViewDirectory(faersla_);
    std::optional<int32_t> group = directory->group_of(database);
    if (!group) return {YAZ_BIB1_DATABASE_DOES_NOT_EXIST, database};
    int32_t field = FieldNumber(directory->fields_of(*group), start.field);
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

std::vector<int32_t> ResultSet::records(int32_t first, int32_t last) {
  last = std::min(last, size_);
  // Asked beyond the first places: every hit ranked by the order the
  // search saw, as the search would have ranked them.
  if (order_ && last > int32_t(first_.size())) rank_all();
  if (!order_) return ranked_.sorted_ids(first, last);
  first = std::max(first, 1);
  if (first > last) return {};
  return std::vector<int32_t>(first_.begin() + (first - 1), first_.begin() + last);
}

void ResultSet::rank_all() {
  ranked_ = LeitaOrderBy(*order_, numbers_.span());
  numbers_ = {};
  first_ = {};
  order_.reset();
  state_.clear();
}

RecordList ResultSet::ascending() const {
  if (order_) return numbers_;
  auto sorted = std::make_shared<std::vector<int32_t>>(ranked_.ids(1, ranked_.size()));
  std::sort(sorted->begin(), sorted->end());
  return RecordList{std::move(sorted), 0};
}

RecordList ResultSet::unordered() const {
  if (order_) return numbers_;
  return RecordList{std::make_shared<const std::vector<int32_t>>(ranked_.ids(1, ranked_.size())), 0};
}

ResultSet* Session::Find(const std::string& name) {
  auto it = sets_.find(name);
  return it == sets_.end() ? nullptr : &it->second;
}

bool Session::Remove(const std::string& name) {
  auto it = sets_.find(name);
  if (it == sets_.end()) return false;
  held_records_ -= int64_t(it->second.size());
  sets_.erase(it);
  return true;
}

void Session::RemoveAll() {
  sets_.clear();
  held_records_ = 0;
}

}  // namespace kvistur::server
