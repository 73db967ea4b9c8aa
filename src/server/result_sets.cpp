#include "server/result_sets.h"

#include <yaz/diagbib1.h>

#include <algorithm>
#include <iterator>

#include "kvistur/number.h"
#include "platform/open_database.h"
#include "search/search.h"
#include "settings/settings.h"
#include "settings/thread_state.h"

namespace kvistur::server {

namespace {

struct Failure {
  Diagnostic d;
};

int positive_setting(TextView name, int fallback) {
  SettingLookup r = lookup_setting(u"Þjónn", name);
  if (r.failed_at != LookupStage::Ok) return fallback;
  double v = read_number(r.value);
  return v >= 1 && v <= 1e6 ? int(v) : fallback;
}

// What a search needs from the catalogue and the session.
struct Context {
  db::Database& database;
  int32_t group;
  const std::map<Text, int32_t>& fields;
  const SafeArray<Text>& stop_words;
  const std::map<std::string, ResultSet>& sets;
};

int32_t field_number(const std::map<Text, int32_t>& fields, const Text& name) {
  if (name.empty()) return -1;
  auto it = fields.find(upper_is(name));
  if (it == fields.end()) throw Failure{{YAZ_BIB1_UNSUPP_USE_ATTRIBUTE, to_utf8(name)}};
  return it->second;
}

using Numbers = std::vector<int32_t>;  // ascending, each once

Numbers find(const Context& c, const Text& field, const Text& words) {
  try {
    return FindRecords(c.database, c.group, field_number(c.fields, field), words, c.stop_words);
  } catch (const OnlyStopWords&) {
    throw Failure{{YAZ_BIB1_TERMS_ONLY_EXCLUSION_STOP_WORDS, to_utf8(words)}};
  }
}

template <typename Op>
Numbers combine(const Numbers& a, const Numbers& b, Op op) {
  Numbers out;
  op(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
  return out;
}

Numbers evaluate(const Context& c, const QueryNode& n);

// The terms of an AND, and of the ANDs under it, that search one field are
// one search of Leita, as if their words had been written together.
void gather_and(const QueryNode& n, std::map<Text, Text>& by_field, std::vector<const QueryNode*>& others) {
  for (const QueryNode& o : n.operands) {
    if (o.kind == QueryNode::Kind::And) {
      gather_and(o, by_field, others);
    } else if (o.kind == QueryNode::Kind::Term) {
      Text& words = by_field[o.field];
      words += (words.empty() ? u"" : u" ") + o.words;
    } else {
      others.push_back(&o);
    }
  }
}

Numbers evaluate(const Context& c, const QueryNode& n) {
  switch (n.kind) {
    case QueryNode::Kind::Term:
      return find(c, n.field, n.words);
    case QueryNode::Kind::Set: {
      auto it = c.sets.find(n.set);
      if (it == c.sets.end()) throw Failure{{YAZ_BIB1_SPECIFIED_RESULT_SET_DOES_NOT_EXIST, n.set}};
      Numbers s = it->second.records;
      std::sort(s.begin(), s.end());
      return s;
    }
    case QueryNode::Kind::And: {
      std::map<Text, Text> by_field;
      std::vector<const QueryNode*> others;
      gather_and(n, by_field, others);
      std::vector<Numbers> parts;
      for (auto& [field, words] : by_field) parts.push_back(find(c, field, words));
      for (const QueryNode* o : others) parts.push_back(evaluate(c, *o));
      Numbers result = std::move(parts.front());
      for (std::size_t i = 1; i < parts.size(); ++i)
        result = combine(result, parts[i], [](auto... a) { return std::set_intersection(a...); });
      return result;
    }
    case QueryNode::Kind::Or: {
      Numbers result = evaluate(c, n.operands.front());
      for (std::size_t i = 1; i < n.operands.size(); ++i)
        result = combine(result, evaluate(c, n.operands[i]), [](auto... a) { return std::set_union(a...); });
      return result;
    }
    case QueryNode::Kind::Not:
      return combine(evaluate(c, n.operands[0]), evaluate(c, n.operands[1]),
                     [](auto... a) { return std::set_difference(a...); });
  }
  return {};
}

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
                std::vector<ScanEntry>& out) {
  constexpr std::size_t kBatch = 50, kMaxLookedAt = 5000;
  std::size_t looked_at = 0;
  Text previous;
  const char16_t* op = down ? u" < " : u" >= ";
  while (out.size() < n) {
    if (looked_at >= kMaxLookedAt) return;
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

Limits ReadLimits() {
  Limits l;
  l.sessions = positive_setting(u"Lotur", l.sessions);
  l.result_sets = positive_setting(u"Niðurstöður", l.result_sets);
  l.idle_seconds = positive_setting(u"Biðtími", l.idle_seconds);
  return l;
}

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

Session::Session(std::string peer, int max_result_sets) : peer_(std::move(peer)), max_sets_(max_result_sets) {}

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
                           const QueryNode& query, int64_t& hits) {
  CallScope call;
  try {
    std::optional<int32_t> group = GroupOf(faersla_, database);
    if (!group) return {YAZ_BIB1_DATABASE_DOES_NOT_EXIST, database};
    bool exists = sets_.count(name) > 0;
    if (exists && !replace) return {YAZ_BIB1_RESULT_SET_EXISTS_AND_REPLACE_INDICATOR_OFF, name};
    if (!exists && int(sets_.size()) >= max_sets_) return {YAZ_BIB1_TOO_MANY_RESULT_SETS_CREATED, std::to_string(max_sets_)};
    std::map<Text, int32_t> fields = FieldsOf(faersla_, *group);
    SafeArray<Text> stop_words;
    faersla_.SaekjaEkkiOrð(stop_words);
    if (!stop_words.allocated()) stop_words = SafeArray<Text>(0, {Text()});
    std::unique_ptr<db::Database> catalogue = open_catalogue();
    Context c{*catalogue, *group, fields, stop_words, sets_};
    ResultSet set{database, LeitaOrder(*catalogue, evaluate(c, query))};
    catalogue->Close();
    hits = int64_t(set.records.size());
    sets_[name] = std::move(set);
    return {};
  } catch (const Failure& f) {
    return f.d;
  } catch (const Error& e) {
    return {YAZ_BIB1_TEMPORARY_SYSTEM_ERROR, to_utf8(e.description())};
  } catch (const std::exception& e) {
    return {YAZ_BIB1_TEMPORARY_SYSTEM_ERROR, e.what()};
  }
}

Diagnostic Session::Scan(const std::string& database, const ScanStart& start, int position, int count,
                          std::vector<ScanEntry>& entries, int& at, bool& partial) {
  CallScope call;
  try {
    std::optional<int32_t> group = GroupOf(faersla_, database);
    if (!group) return {YAZ_BIB1_DATABASE_DOES_NOT_EXIST, database};
    int32_t field = field_number(FieldsOf(faersla_, *group), start.field);
    Text from;
    for (char16_t c : start.word)
      if (c != u'*') from += c;
    count = std::clamp(count, 0, 200);
    std::size_t before = std::size_t(std::clamp(position, 1, count + 1) - 1);
    std::unique_ptr<db::Database> catalogue = open_catalogue();
    std::vector<ScanEntry> earlier, later;
    list_words(*catalogue, from, true, before, *group, field, earlier);
    list_words(*catalogue, from, false, std::size_t(count) - before, *group, field, later);
    catalogue->Close();
    entries.assign(earlier.rbegin(), earlier.rend());
    entries.insert(entries.end(), later.begin(), later.end());
    at = int(earlier.size()) + 1;
    partial = int(entries.size()) < count;
    return {};
  } catch (const Failure& f) {
    return f.d;
  } catch (const Error& e) {
    return {YAZ_BIB1_TEMPORARY_SYSTEM_ERROR, to_utf8(e.description())};
  }
}

const ResultSet* Session::Find(const std::string& name) const {
  auto it = sets_.find(name);
  return it == sets_.end() ? nullptr : &it->second;
}

bool Session::Remove(const std::string& name) { return sets_.erase(name) > 0; }

}  // namespace kvistur::server
