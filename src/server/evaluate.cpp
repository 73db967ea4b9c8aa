#include "server/evaluate.h"

#include <yaz/diagbib1.h>

#include <algorithm>
#include <iterator>

#include "search/search.h"
#include "server/result_sets.h"

namespace kvistur::server {

namespace {

using List = std::vector<int32_t>;
using Kind = QueryNode::Kind;

// One operand of an operator: a search of one field, or a subtree; NEED is
// how many lists its evaluation holds at once.
struct Operand {
  const QueryNode* node = nullptr;  // a subtree, or (null) a search of FIELD for WORDS
  Text field, words;
  int need = 1;
};

// The terms of an AND, and of the ANDs under it, that search one field are
// one search of Leita, as if their words had been written together.
void gather_and(const QueryNode& n, std::map<Text, Text>& by_field, std::vector<const QueryNode*>& others) {
  for (const QueryNode& o : n.operands) {
    if (o.kind == Kind::And) {
      gather_and(o, by_field, others);
    } else if (o.kind == Kind::Term) {
      Text& words = by_field[o.field];
      words += (words.empty() ? u"" : u" ") + o.words;
    } else {
      others.push_back(&o);
    }
  }
}

class Evaluation {
 public:
  Evaluation(const SearchScope& scope, RequestBudget& budget) : scope_(scope), budget_(budget) {}

  Records run(const QueryNode& n) {
    if (n.kind == Kind::Term) return search(n.field, n.words);
    if (n.kind == Kind::Set) return sorted_set(n.set);
    if (n.kind == Kind::Not) {
      const QueryNode &left = n.operands[0], &right = n.operands[1];
      if (need(right) > need(left)) {
        Records r = run(right);
        return combine(run(left), std::move(r), Kind::Not);
      }
      Records l = run(left);
      return combine(std::move(l), run(right), Kind::Not);
    }
    std::vector<Operand> ops = operands(n);
    Records result = value(ops.front());
    for (std::size_t i = 1; i < ops.size(); ++i) result = combine(std::move(result), value(ops[i]), n.kind);
    return result;
  }

 private:
  // The operands of an AND or OR in the order they are taken: the one that
  // needs most lists at once first, while nothing else is held.
  std::vector<Operand> operands(const QueryNode& n) {
    std::vector<Operand> ops;
    if (n.kind == Kind::And) {
      std::map<Text, Text> by_field;
      std::vector<const QueryNode*> others;
      gather_and(n, by_field, others);
      for (auto& [field, words] : by_field) ops.push_back(Operand{nullptr, field, words, 1});
      for (const QueryNode* o : others) ops.push_back(Operand{o, {}, {}, need(*o)});
    } else {
      for (const QueryNode& o : n.operands) ops.push_back(Operand{&o, {}, {}, need(o)});
    }
    std::stable_sort(ops.begin(), ops.end(), [](const Operand& a, const Operand& b) { return a.need > b.need; });
    return ops;
  }

  // The lists N's evaluation holds at once: the first operand's, then the
  // result so far beside each other operand's, and three while two are
  // combined into a third.
  int need(const QueryNode& n) {
    if (n.kind == Kind::Term || n.kind == Kind::Set) return 1;
    std::vector<int> needs;
    if (n.kind == Kind::And) {
      std::map<Text, Text> by_field;
      std::vector<const QueryNode*> others;
      gather_and(n, by_field, others);
      needs.assign(by_field.size(), 1);
      for (const QueryNode* o : others) needs.push_back(need(*o));
    } else {
      for (const QueryNode& o : n.operands) needs.push_back(need(o));
    }
    std::sort(needs.rbegin(), needs.rend());
    int most = needs.empty() ? 1 : needs.front();
    for (std::size_t i = 1; i < needs.size(); ++i) most = std::max({most, 1 + needs[i], 3});
    return most;
  }

  Records value(const Operand& o) { return o.node ? run(*o.node) : search(o.field, o.words); }

  Records search(const Text& field, const Text& words) {
    budget_.check_time();
    int32_t number = FieldNumber(scope_.fields, field);
    FoundRecords found;
    try {
      found = FindRecordNumbers(scope_.database, scope_.group, number, words, scope_.stop_words);
    } catch (const OnlyStopWords&) {
      refuse(YAZ_BIB1_TERMS_ONLY_EXCLUSION_STOP_WORDS, to_utf8(words));
    }
    // Charged as a list of its own (nothing when nothing is found), even
    // where it is the one the search keeps for the term.
    const List& list = *found.numbers;
    Charge charge(budget_, ListBytes(list.size() <= 1 ? 0 : found.shared ? list.size() : list.capacity()));
    return Records{RecordList{std::move(found.numbers), 1}, std::move(charge), OneSearch{number, words}};
  }

  // Result set NAME ascending: taken (sorted when it is held in its order)
  // at its first use in the query, and shared by every later leaf that
  // names it (charged once, as a copy).
  Records sorted_set(const std::string& name) {
    auto it = sorted_sets_.find(name);
    if (it == sorted_sets_.end()) {
      budget_.check_time();
      const ResultSet* set = scope_.result_set(name);
      if (!set) refuse(YAZ_BIB1_SPECIFIED_RESULT_SET_DOES_NOT_EXIST, name);
      Charge charge(budget_, ListBytes(std::size_t(set->size())));
      it = sorted_sets_.emplace(name, Records{set->ascending(), std::move(charge), std::nullopt}).first;
    }
    return Records{it->second.numbers, Charge(), std::nullopt};
  }

  Records combine(Records a, Records b, Kind kind) {
    budget_.check_time();
    const std::span<const int32_t> x = a.numbers.span(), y = b.numbers.span();
    std::size_t bound = kind == Kind::And ? std::min(x.size(), y.size()) : kind == Kind::Or ? x.size() + y.size() : x.size();
    Charge charge(budget_, ListBytes(bound));
    List out;
    out.reserve(bound);
    auto to = std::back_inserter(out);
    if (kind == Kind::And) std::set_intersection(x.begin(), x.end(), y.begin(), y.end(), to);
    else if (kind == Kind::Or) std::set_union(x.begin(), x.end(), y.begin(), y.end(), to);
    else std::set_difference(x.begin(), x.end(), y.begin(), y.end(), to);
    return Records{RecordList{std::make_shared<const List>(std::move(out)), 0}, std::move(charge), std::nullopt};
  }

  const SearchScope& scope_;
  RequestBudget& budget_;
  std::map<std::string, Records> sorted_sets_;
};

}  // namespace

int32_t FieldNumber(const std::map<Text, int32_t>& fields, const Text& name) {
  if (name.empty()) return -1;
  auto it = fields.find(upper_is(name));
  if (it == fields.end()) refuse(YAZ_BIB1_UNSUPP_USE_ATTRIBUTE, to_utf8(name));
  return it->second;
}

Records Evaluate(const SearchScope& scope, const QueryNode& query, RequestBudget& budget) {
  Evaluation evaluation(scope, budget);
  Records result = evaluation.run(query);
  // A result shared with a sorted result set is charged on its own before
  // the evaluation lets go of the set's copy.
  if (!result.charge.held()) result.charge = Charge(budget, ListBytes(result.numbers.size()));
  return result;
}

}  // namespace kvistur::server
