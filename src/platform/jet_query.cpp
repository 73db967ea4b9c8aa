#include "platform/jet_query.h"

#include <unicode/uchar.h>

#include <cstdlib>
#include <set>
#include <unordered_map>

#include "kvistur/error.h"
#include "platform/engine.h"
#include "platform/sqlite_functions.h"

namespace kvistur::db {

namespace {

constexpr char16_t kSource[] = u"DAO.Database";

[[noreturn]] void fail(int32_t number, const std::string& description) {
  throw Error(number, kSource, from_utf8(description));
}

using Tk = JetToken::Kind;

bool ident_start(char16_t c) { return c == u'_' || ((c < 0xD800 || c > 0xDFFF) && u_isalpha(c)); }
bool ident_part(char16_t c) { return c == u'_' || ((c < 0xD800 || c > 0xDFFF) && u_isalnum(c)); }

std::string upper_ascii(const std::string& s) {
  std::string u = s;
  for (char& c : u)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  return u;
}

const std::set<std::string>& keywords() {
  static const std::set<std::string> k = {
      "SELECT", "DISTINCT", "DISTINCTROW", "FROM", "WHERE", "AND", "OR", "NOT", "ORDER", "BY", "ASC", "DESC",
      "INNER", "LEFT", "RIGHT", "OUTER", "JOIN", "ON", "AS", "IS", "NULL", "IN", "BETWEEN", "GROUP", "HAVING",
      "LIKE", "TRUE", "FALSE", "TOP", "MOD", "UNION", "INTO", "INSERT", "UPDATE", "DELETE", "DROP", "CREATE",
      "ALTER", "TRANSFORM", "PARAMETERS", "PROCEDURE", "EXECUTE"};
  return k;
}

// Statements that are not a query: refused before anything is read.
const std::set<std::string>& refused_words() {
  static const std::set<std::string> k = {"UNION", "INTO", "INSERT", "UPDATE", "DELETE", "DROP", "CREATE",
                                          "ALTER", "TRANSFORM", "PARAMETERS", "PROCEDURE", "EXECUTE"};
  return k;
}

const std::set<std::string>& functions() {
  static const std::set<std::string> f = {"COUNT", "SUM", "MIN", "MAX", "AVG"};
  return f;
}

// The names a query's FROM items go by, with the scope of the query around
// it (a subquery may name the outer query's tables).
struct Scope {
  const Scope* outer = nullptr;
  std::unordered_map<std::string, const TableInfo*> aliases;  // by folded name
  std::vector<JetFromItem>* from = nullptr;
  const TableInfo* find(const std::string& folded, bool& found) const {
    for (const Scope* s = this; s; s = s->outer) {
      auto it = s->aliases.find(folded);
      if (it != s->aliases.end()) {
        found = true;
        return it->second;
      }
    }
    found = false;
    return nullptr;
  }
};

class Parser {
 public:
  Parser(TextView text, const Schema& schema, std::vector<JetToken> tokens)
      : text_(text), schema_(schema), t_(std::move(tokens)), values_(std::make_shared<std::vector<SqlValue>>()) {}

  JetQuery run() {
    while (!t_.empty() && is_op(t_.size() - 1, ";")) t_.pop_back();
    for (std::size_t i = 0; i < t_.size(); ++i)
      if (is_op(i, ";")) fail(3142, "Characters found after end of SQL statement.");
    if (t_.empty() || keyword(0) != "SELECT") fail(3129, "Invalid SQL statement; expected 'SELECT'.");
    for (std::size_t i = 0; i < t_.size(); ++i)
      if (refused_words().count(keyword(i))) fail(3129, "Invalid SQL statement; expected 'SELECT'.");
    std::size_t i = 0;
    JetQuery q = query(i, nullptr);
    if (i < t_.size()) syntax_error(text_);
    return q;
  }

 private:
  bool is_op(std::size_t i, const char* op) const { return i < t_.size() && t_[i].kind == Tk::kOp && t_[i].text == op; }
  std::string keyword(std::size_t i) const {
    if (i >= t_.size() || t_[i].kind != Tk::kIdent) return {};
    std::string u = upper_ascii(t_[i].text);
    return keywords().count(u) ? u : std::string();
  }
  bool is_name(std::size_t i) const {
    return i < t_.size() && (t_[i].kind == Tk::kBracketed || (t_[i].kind == Tk::kIdent && keyword(i).empty()));
  }
  bool is_literal(std::size_t i) const {
    return i < t_.size() && (t_[i].kind == Tk::kString || t_[i].kind == Tk::kNumber || t_[i].kind == Tk::kDate);
  }
  bool is_text_literal(std::size_t i) const {
    return i < t_.size() && (t_[i].kind == Tk::kString || t_[i].kind == Tk::kDate);
  }
  bool clause(std::size_t i) const {
    std::string k = keyword(i);
    return k == "FROM" || k == "WHERE" || k == "GROUP" || k == "HAVING" || k == "ORDER";
  }

  // SELECT at I to the end of the query (the end of the text, or the `)`
  // that closes a subquery).
  JetQuery query(std::size_t& i, const Scope* outer) {
    JetQuery q;
    q.values = values_;
    ++i;
    if (keyword(i) == "DISTINCT" || keyword(i) == "DISTINCTROW") {
      q.distinct = true;
      ++i;
    }
    if (keyword(i) == "TOP") {
      if (i + 1 >= t_.size() || t_[i + 1].kind != Tk::kNumber) syntax_error(text_);
      q.top = literal(t_[i + 1]).value;
      SqlValue& top = (*values_)[std::size_t(q.top)];
      top.kind = SqlValue::kInteger;
      top.integer = std::strtoll(t_[i + 1].text.c_str(), nullptr, 10);
      i += 2;
    }
    Scope scope{outer, {}, &q.from};
    read_from_clause(i, scope);
    const Scope* saved_scope = scope_;
    bool saved_aggregate = aggregate_, saved_from = in_from_;
    scope_ = &scope;
    aggregate_ = in_from_ = false;
    while (true) {
      bool whole = i < t_.size() && is_op(i, "*") && (i + 1 >= t_.size() || is_op(i + 1, ",") || is_op(i + 1, ")") || clause(i + 1));
      JetNodes item;
      if (whole) {
        item.push_back(JetNode::of(JetNode::kAll));
        ++i;
      } else {
        item = sequence(i, [&](std::size_t k) { return is_op(k, ",") || clause(k); });
      }
      if (item.empty()) syntax_error(text_);
      q.items.push_back(std::move(item));
      if (!is_op(i, ",")) break;
      ++i;
    }
    q.rest = sequence(i, [&](std::size_t k) { return keyword(k) == "ORDER"; });
    if (keyword(i) == "ORDER") {
      if (keyword(i + 1) != "BY") syntax_error(text_);
      i += 2;
      in_from_ = false;
      while (true) {
        JetOrderKey key;
        key.expr = sequence(i, [&](std::size_t k) { return is_op(k, ",") || keyword(k) == "ASC" || keyword(k) == "DESC"; });
        if (key.expr.empty()) syntax_error(text_);
        if (keyword(i) == "ASC" || keyword(i) == "DESC") {
          key.descending = keyword(i) == "DESC";
          key.direction_written = true;
          ++i;
        }
        q.order.push_back(std::move(key));
        if (!is_op(i, ",")) break;
        ++i;
      }
    }
    q.aggregate = aggregate_;
    scope_ = saved_scope;
    aggregate_ = saved_aggregate;
    in_from_ = saved_from;
    return q;
  }

  // Learns the tables of the FROM clause of the query that begins at I, and
  // their aliases, before its select list names them.
  void read_from_clause(std::size_t i, Scope& scope) {
    int depth = 0;
    while (i < t_.size() && !(depth == 0 && keyword(i) == "FROM")) {
      if (is_op(i, "(")) ++depth;
      if (is_op(i, ")") && --depth < 0) return;
      ++i;
    }
    if (i >= t_.size()) return;
    ++i;
    bool expect_table = true;
    while (i < t_.size()) {
      std::string k = keyword(i);
      if (k == "WHERE" || k == "ORDER" || k == "GROUP" || k == "HAVING") break;
      if (is_op(i, ")") && depth == 0) break;
      if (is_op(i, "(")) ++depth;
      if (is_op(i, ")")) --depth;
      if (expect_table) {
        if (!is_name(i)) {
          ++i;
          continue;
        }
        const TableInfo* table = schema_.find_table(t_[i].text);
        std::string name = t_[i].text, alias = name;
        ++i;
        if (keyword(i) == "AS") ++i;
        if (is_name(i)) alias = t_[i++].text;
        scope.aliases[fold_utf8(alias)] = table;
        if (table) scope.aliases[fold_utf8(table->name)] = table;
        // Without an alias the table goes by its own name, as the database
        // spells it.
        scope.from->push_back({alias == name && table ? table->name : alias, name, table});
        expect_table = false;
        continue;
      }
      if (is_op(i, ",") || k == "JOIN") expect_table = true;
      ++i;
    }
  }

  // The column NAME of TABLE (of any FROM item when TABLE is nullptr), as
  // the file spells it; an unknown column counts as text.
  ColumnInfo column(const TableInfo* table, bool qualified, const std::string& name) const {
    std::string folded = fold_utf8(name);
    if (table) {
      if (const ColumnInfo* c = table->find_column(folded)) return *c;
    } else if (!qualified) {
      for (const Scope* s = scope_; s; s = s->outer)
        for (const JetFromItem& f : *s->from)
          if (f.table)
            if (const ColumnInfo* c = f.table->find_column(folded)) return *c;
    }
    return ColumnInfo(name, true);
  }

  // Whether the node before the last of OUT is a minus that signs it: one
  // with no operand before it.
  static bool after_unary_minus(const JetNodes& out) {
    std::size_t n = out.size();
    if (n < 2 || out[n - 2].kind != JetNode::kWord || out[n - 2].name != "-") return false;
    return n == 2 || (out[n - 3].kind == JetNode::kWord && out[n - 3].name != "NULL");
  }

  JetNode literal(const JetToken& tk) {
    SqlValue v = tk.kind == Tk::kNumber ? number_value(tk.text) : SqlValue{};
    if (tk.kind != Tk::kNumber) v.text = tk.text;
    v.source = tk.literal;
    values_->push_back(std::move(v));
    JetNode n = JetNode::of(JetNode::kLiteral);
    n.value = int(values_->size() - 1);
    return n;
  }

  // A (possibly qualified) name at I.
  JetNode name(std::size_t& i) {
    std::string first = t_[i].text;
    if (is_op(i + 1, ".") && (is_name(i + 2) || is_op(i + 2, "*") || (i + 2 < t_.size() && t_[i + 2].kind == Tk::kIdent))) {
      bool known = false;
      const TableInfo* table = scope_->find(fold_utf8(first), known);
      if (!known) table = schema_.find_table(first);
      std::string qualifier = first;
      if (table && fold_utf8(first) == fold_utf8(table->name)) qualifier = table->name;
      JetNode n = JetNode::of(JetNode::kColumn);
      n.name = qualifier;
      n.table = table;
      if (is_op(i + 2, "*")) {
        n.kind = JetNode::kAll;
      } else {
        n.column = column(table, true, t_[i + 2].text);
      }
      i += 3;
      return n;
    }
    if (in_from_) {
      const TableInfo* table = schema_.find_table(first);
      JetNode n = JetNode::of(JetNode::kTable);
      n.name = table ? table->name : first;
      n.table = table;
      // On a server a table is named in its schema, its alias is not.
      n.alias = i > 0 && (keyword(i - 1) == "AS" || is_name(i - 1));
      ++i;
      return n;
    }
    JetNode n = JetNode::of(JetNode::kColumn);
    n.column = column(nullptr, false, first);
    ++i;
    return n;
  }

  // The operand that ends OUT, taken out of it.
  JetNode take_operand(JetNodes& out) {
    if (out.empty() || out.back().kind == JetNode::kWord) syntax_error(text_);
    JetNode n = std::move(out.back());
    out.pop_back();
    return n;
  }

  // `L [Not] Like pattern` at I (the Like), L ending OUT.
  void like(std::size_t& i, bool negated, JetNodes& out) {
    JetNode n = JetNode::of(JetNode::kLike);
    n.negated = negated;
    n.kids.push_back(take_operand(out));
    ++i;
    if (is_literal(i)) {
      n.pattern = fold_utf8(t_[i].text);
      n.pattern_literal = t_[i].literal;
      if (!like_pattern_valid(n.pattern)) throw Error(93, kProjectName, u"Invalid pattern string");
      ++i;
    } else if (is_name(i)) {
      n.kids.push_back(name(i));
    } else {
      syntax_error(text_);
    }
    out.push_back(std::move(n));
  }

  // The comparison at I, its left operand ending OUT.
  void comparison(std::size_t& i, JetNodes& out) {
    const std::string op = t_[i].text;
    bool equality = op == "=" || op == "<>";
    bool left_text = !out.empty() && out.back().text_literal(*values_);
    if (is_text_literal(i + 1) || (left_text && equality && is_name(i + 1))) {
      JetNode n = JetNode::of(JetNode::kCompare);
      n.name = op;
      n.kids.push_back(take_operand(out));
      ++i;
      n.kids.push_back(is_text_literal(i) ? literal(t_[i++]) : name(i));
      out.push_back(std::move(n));
      return;
    }
    out.push_back(JetNode::of(JetNode::kWord, op));
    ++i;
  }

  // `( ... )` at I: a group, or a subquery.
  JetNode group(std::size_t& i, std::string function) {
    ++i;
    JetNode n = JetNode::of(JetNode::kGroup, std::move(function));
    if (keyword(i) == "SELECT") {
      n.kind = JetNode::kSubquery;
      n.query = std::make_shared<JetQuery>(query(i, scope_));
    } else {
      n.kids = sequence(i, [](std::size_t) { return false; });
    }
    if (!is_op(i, ")")) syntax_error(text_);
    ++i;
    return n;
  }

  // Nodes from I up to the first token STOP takes at this level, a `)` or
  // the end.
  template <typename Stop>
  JetNodes sequence(std::size_t& i, Stop stop) {
    JetNodes out;
    while (i < t_.size() && !stop(i) && !is_op(i, ")")) {
      const JetToken& tk = t_[i];
      std::string k = keyword(i);
      if (!k.empty()) {
        if (k == "WHERE" || k == "GROUP" || k == "HAVING" || k == "ON") in_from_ = false;
        if (k == "FROM" || k == "JOIN") in_from_ = true;
        if (k == "GROUP") aggregate_ = true;
        if (k == "TRUE" || k == "FALSE") {
          SqlValue v;
          v.kind = SqlValue::kInteger;
          v.integer = k == "TRUE" ? -1 : 0;
          values_->push_back(v);
          JetNode n = JetNode::of(JetNode::kLiteral);
          n.value = int(values_->size() - 1);
          out.push_back(std::move(n));
          ++i;
        } else if (k == "LIKE") {
          like(i, false, out);
        } else if (k == "NOT" && keyword(i + 1) == "LIKE") {
          ++i;
          like(i, true, out);
        } else if (k == "IN" && is_op(i + 1, "(") && i + 2 < t_.size() && t_[i + 2].kind == Tk::kList &&
                   is_op(i + 3, ")")) {
          if (!out.empty() && out.back().kind == JetNode::kWord && out.back().name == "NOT") syntax_error(text_);
          SqlValue v;
          v.kind = SqlValue::kList;
          v.source = t_[i + 2].literal;
          values_->push_back(std::move(v));
          JetNode n = JetNode::of(JetNode::kList);
          n.value = int(values_->size() - 1);
          out.push_back(std::move(n));
          i += 4;
        } else if (k == "DISTINCT" || k == "DISTINCTROW" || k == "TOP" || k == "SELECT") {
          syntax_error(text_);
        } else {
          out.push_back(JetNode::of(JetNode::kWord, k == "MOD" ? "%" : k));
          ++i;
        }
        continue;
      }
      switch (tk.kind) {
        case Tk::kIdent:
          if (is_op(i + 1, "(")) {
            std::string u = upper_ascii(tk.text);
            if (!functions().count(u)) fail(3085, "Undefined function '" + tk.text + "' in expression.");
            aggregate_ = true;
            ++i;
            out.push_back(group(i, u));
            break;
          }
          [[fallthrough]];
        case Tk::kBracketed:
          out.push_back(name(i));
          break;
        case Tk::kString:
        case Tk::kNumber:
        case Tk::kDate:
          out.push_back(literal(tk));
          (*values_)[std::size_t(out.back().value)].negated = tk.kind == Tk::kNumber && after_unary_minus(out);
          ++i;
          break;
        case Tk::kList:
          syntax_error(text_);  // a list's place stands only in `IN (?)`
        case Tk::kOp: {
          const std::string& op = tk.text;
          if (op == "(") {
            out.push_back(group(i, ""));
          } else if (op == "=" || op == "<>" || op == "<" || op == ">" || op == "<=" || op == ">=") {
            comparison(i, out);
          } else if (op == ".") {
            syntax_error(text_);
          } else {
            out.push_back(JetNode::of(JetNode::kWord, op == "&" ? "||" : op));
            ++i;
          }
          break;
        }
      }
    }
    return out;
  }

  TextView text_;
  const Schema& schema_;
  std::vector<JetToken> t_;
  std::shared_ptr<std::vector<SqlValue>> values_;
  const Scope* scope_ = nullptr;
  bool in_from_ = false, aggregate_ = false;
};

}  // namespace

const JetNode* JetNode::single_column() const {
  const JetNode* n = this;
  while (n->kind == kGroup && n->name.empty() && n->kids.size() == 1) n = &n->kids[0];
  return n->kind == kColumn ? n : nullptr;
}

bool JetNode::text_literal(const std::vector<SqlValue>& values) const {
  return kind == kLiteral && values[std::size_t(value)].kind == SqlValue::kText;
}

bool is_word(const JetToken& tk, const char* upper) {
  return tk.kind == Tk::kIdent && upper_ascii(tk.text) == upper;
}

bool is_integer_text(const std::string& number) {
  return number.find('.') == std::string::npos && number.size() < 19;
}

SqlValue number_value(const std::string& text) {
  SqlValue v;
  if (is_integer_text(text)) {
    v.kind = SqlValue::kInteger;
    v.integer = std::strtoll(text.c_str(), nullptr, 10);
  } else {
    v.kind = SqlValue::kReal;
    v.real = std::strtod(text.c_str(), nullptr);
  }
  return v;
}

std::vector<JetToken> tokenize_jet(TextView q) {
  if (q.size() > kMaxQueryLength) too_complex();
  std::vector<JetToken> out;
  int literals = 0;
  auto add = [&](Tk kind, std::string text) {
    bool literal = kind == Tk::kString || kind == Tk::kNumber || kind == Tk::kDate || kind == Tk::kList;
    out.push_back({kind, std::move(text), literal ? literals++ : -1});
  };
  std::size_t i = 0, n = q.size();
  while (i < n) {
    char16_t c = q[i];
    if (c == u' ' || c == u'\t' || c == u'\r' || c == u'\n') {
      ++i;
    } else if (ident_start(c)) {
      std::size_t j = i;
      while (j < n && ident_part(q[j])) ++j;
      add(Tk::kIdent, to_utf8(q.substr(i, j - i)));
      i = j;
    } else if (c == u'[') {
      std::size_t j = q.find(u']', i + 1);
      if (j == TextView::npos || j == i + 1) syntax_error(q);
      add(Tk::kBracketed, to_utf8(q.substr(i + 1, j - i - 1)));
      i = j + 1;
    } else if (c == u'\'' || c == u'"') {
      // A text literal; the quote doubled stands for itself.
      Text value;
      std::size_t j = i + 1;
      bool closed = false;
      while (j < n) {
        if (q[j] == c) {
          if (j + 1 < n && q[j + 1] == c) {
            value += c;
            j += 2;
            continue;
          }
          closed = true;
          ++j;
          break;
        }
        value += q[j++];
      }
      if (!closed) fail(kSyntaxInExpression, "Syntax error in string in query expression '" + to_utf8(q) + "'.");
      add(Tk::kString, to_utf8(value));
      i = j;
    } else if (c >= u'0' && c <= u'9') {
      std::size_t j = i;
      while (j < n && q[j] >= u'0' && q[j] <= u'9') ++j;
      if (j < n && q[j] == u'.') {
        ++j;
        while (j < n && q[j] >= u'0' && q[j] <= u'9') ++j;
      }
      if (j < n && ident_part(q[j])) syntax_error(q);
      add(Tk::kNumber, to_utf8(q.substr(i, j - i)));
      i = j;
    } else if (c == u'?') {
      add(Tk::kList, "?");
      ++i;
    } else if (c == u'#') {
      std::size_t j = q.find(u'#', i + 1);
      if (j == TextView::npos) fail(kSyntaxInExpression, "Syntax error in date in query expression '" + to_utf8(q) + "'.");
      add(Tk::kDate, to_utf8(q.substr(i + 1, j - i - 1)));
      i = j + 1;
    } else {
      static const char16_t* two[] = {u"<>", u"<=", u">="};
      bool done = false;
      for (const char16_t* op : two) {
        if (q.substr(i, 2) == op) {
          add(Tk::kOp, to_utf8(op));
          i += 2;
          done = true;
          break;
        }
      }
      if (done) continue;
      if (TextView(u"=<>(),.*+-/&;").find(c) == TextView::npos) syntax_error(q);
      add(Tk::kOp, std::string(1, char(c)));
      ++i;
    }
  }
  return out;
}

void syntax_error(TextView query) {
  fail(kSyntaxInExpression, "Syntax error (missing operator) in query expression '" + to_utf8(query) + "'.");
}

void too_complex() { fail(3360, "Query is too complex."); }

JetQuery parse_jet(TextView query, const Schema& schema, std::vector<JetToken> tokens) {
  return Parser(query, schema, std::move(tokens)).run();
}

}  // namespace kvistur::db
