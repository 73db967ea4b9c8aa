#include "server/result_sets.h"

#include <yaz/diagbib1.h>

#include <algorithm>

#include "kvistur/number.h"
#include "platform/open_database.h"
#include "search/search.h"
#include "server/directory_view.h"
#include "server/evaluate.h"
#include "settings/settings.h"
#include "settings/thread_state.h"

namespace kvistur::server {

namespace {

// S as a text literal of a query: in single quotes, a quote in it doubled.
Text quoted(const Text& s) {
  Text out = u"'";
  for (char16_t c : s) out += c == u'\'' ? Text(u"''") : Text(1, c);
  return out + u"'";
}

// Up to N words of the word index from FROM on (DOWN: before FROM, nearest
// first) that some record has in GROUP and FIELD; fewer when the index
// runs out, or when thousands of words in a row are not in the field.
void list_words(db::Database& database, Text from, bool down, std::size_t n, int32_t group, int32_t field,
                const RequestBudget& budget, std::vector<ScanEntry>& out) {
  constexpr std::size_t kBatch = 50, kMaxLookedAt = 5000;
  std::size_t looked_at = 0;
  Text previous;
  const char16_t* op = down ? u" < " : u" >= ";
  while (out.size() < n) {
    if (looked_at >= kMaxLookedAt) return;
    budget.check_time();
    auto rs = database.OpenRecordset(u"SELECT TOP " + number_text(int32_t(kBatch)) +
                                         u" O.Orð FROM Orð AS O WHERE O.Orð" + op + quoted(from) +
                                         (down ? u" ORDER BY O.Orð DESC" : u" ORDER BY O.Orð"),
                                     db::kSnapshot);
    std::vector<Text> words;
    while (!rs->eof()) {
      Variant w = rs->field(u"Orð");
      words.push_back(w.is_null() ? Text() : w.to_text());
      rs->MoveNext();
    }
    rs->Close();
    if (words.empty()) return;
    for (const Text& w : words) {
      ++looked_at;
      // A word Leita could not search for, or the same word again in
      // another letter case, is not listed.
      if (w.empty() || w.find_first_of(u"'\"*") != Text::npos || upper_is(w) == upper_is(previous)) continue;
      previous = w;
      int32_t count = TermRecordCount(database, w, group, field);
      if (count > 0) out.push_back(ScanEntry{to_utf8(w), count});
      if (out.size() == n) return;
    }
    from = words.back();
    op = down ? u" < " : u" > ";
  }
}

}  // namespace

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
                           const QueryNode& query, RequestBudget& budget, int64_t& hits) {
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
                      [&](const std::string& set) -> const PartlySortedHits* {
                        const ResultSet* s = Find(set);
                        return s ? &s->hits : nullptr;
                      }};
    Records found = Evaluate(scope, query, budget);
    const std::size_t n = found.numbers->size();
    int64_t replaced = existing == sets_.end() ? 0 : int64_t(existing->second.size());
    if (held_records_ - replaced + int64_t(n) > limits_.session_records)
      return {YAZ_BIB1_TOO_MANY_RECORDS_RETRIEVED,
              std::to_string(limits_.session_records) + " records in a session's result sets at most"};
    // Ordering holds a copy of the hits and a rank beside each.
    Charge ordering(budget, int64_t(n) * int64_t(sizeof(RankedHit) + sizeof(int32_t)));
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
    std::vector<ScanEntry> earlier, later;
    list_words(*catalogue, from, true, before, *group, field, budget, earlier);
    list_words(*catalogue, from, false, std::size_t(count) - before, *group, field, budget, later);
    catalogue->Close();
    entries.assign(earlier.rbegin(), earlier.rend());
    entries.insert(entries.end(), later.begin(), later.end());
    at = int(earlier.size()) + 1;
    partial = int(entries.size()) < count;
    return {};
  } catch (const Refusal& r) {
    return r.diagnostic;
  } catch (const Error& e) {
    return {YAZ_BIB1_TEMPORARY_SYSTEM_ERROR, to_utf8(e.description())};
  }
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
