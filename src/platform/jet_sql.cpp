#include "platform/jet_sql.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <cstdlib>
#include <set>

#include "kvistur/error.h"
#include "platform/engine.h"
#include "platform/sqlite_functions.h"

namespace kvistur::db {

const ColumnInfo* TableInfo::find_column(const std::string& folded) const {
  for (const ColumnInfo& c : columns)
    if ((c.folded.empty() ? fold_utf8(c.name) : c.folded) == folded) return &c;
  return nullptr;
}

void Schema::add_table(TableInfo t) {
  for (ColumnInfo& c : t.columns) c.folded = fold_utf8(c.name);
  by_fold_[fold_utf8(t.name)] = tables_.size();
  tables_.push_back(std::move(t));
}

const TableInfo* Schema::find_table(const std::string& utf8_name) const {
  auto it = by_fold_.find(fold_utf8(utf8_name));
  return it == by_fold_.end() ? nullptr : &tables_[it->second];
}

namespace {

constexpr char16_t kSource[] = u"DAO.Database";

[[noreturn]] void fail(int32_t number, const std::string& description) {
  throw Error(number, kSource, from_utf8(description));
}

[[noreturn]] void syntax_error(TextView query) {
  fail(kSyntaxInExpression, "Syntax error (missing operator) in query expression '" + to_utf8(query) + "'.");
}

enum class Tk { kIdent, kBracketed, kString, kNumber, kDate, kOp };

struct Token {
  Tk kind;
  std::string text;  // name, literal value, number or operator (UTF-8)
  int literal = -1;  // the number of a literal in the query
};

bool ident_start(char16_t c) { return c == u'_' || ((c < 0xD800 || c > 0xDFFF) && u_isalpha(c)); }
bool ident_part(char16_t c) { return c == u'_' || ((c < 0xD800 || c > 0xDFFF) && u_isalnum(c)); }

std::vector<Token> tokenize(TextView q) {
  std::vector<Token> out;
  std::size_t i = 0, n = q.size();
  while (i < n) {
    char16_t c = q[i];
    if (c == u' ' || c == u'\t' || c == u'\r' || c == u'\n') {
      ++i;
    } else if (ident_start(c)) {
      std::size_t j = i;
      while (j < n && ident_part(q[j])) ++j;
      out.push_back({Tk::kIdent, to_utf8(q.substr(i, j - i))});
      i = j;
    } else if (c == u'[') {
      std::size_t j = q.find(u']', i + 1);
      if (j == TextView::npos || j == i + 1) syntax_error(q);
      out.push_back({Tk::kBracketed, to_utf8(q.substr(i + 1, j - i - 1))});
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
      out.push_back({Tk::kString, to_utf8(value)});
      i = j;
    } else if (c >= u'0' && c <= u'9') {
      std::size_t j = i;
      while (j < n && q[j] >= u'0' && q[j] <= u'9') ++j;
      if (j < n && q[j] == u'.') {
        ++j;
        while (j < n && q[j] >= u'0' && q[j] <= u'9') ++j;
      }
      if (j < n && ident_part(q[j])) syntax_error(q);
      out.push_back({Tk::kNumber, to_utf8(q.substr(i, j - i))});
      i = j;
    } else if (c == u'#') {
      std::size_t j = q.find(u'#', i + 1);
      if (j == TextView::npos) fail(kSyntaxInExpression, "Syntax error in date in query expression '" + to_utf8(q) + "'.");
      out.push_back({Tk::kDate, to_utf8(q.substr(i + 1, j - i - 1))});
      i = j + 1;
    } else {
      static const char16_t* two[] = {u"<>", u"<=", u">="};
      bool done = false;
      for (const char16_t* op : two) {
        if (q.substr(i, 2) == op) {
          out.push_back({Tk::kOp, to_utf8(op)});
          i += 2;
          done = true;
          break;
        }
      }
      if (done) continue;
      if (TextView(u"=<>(),.*+-/&;").find(c) == TextView::npos) syntax_error(q);
      out.push_back({Tk::kOp, std::string(1, char(c))});
      ++i;
    }
  }
  return out;
}

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

// Statements that are not a query: refused before anything is translated.
const std::set<std::string>& refused_words() {
  static const std::set<std::string> k = {"UNION", "INTO", "INSERT", "UPDATE", "DELETE", "DROP", "CREATE",
                                          "ALTER", "TRANSFORM", "PARAMETERS", "PROCEDURE", "EXECUTE"};
  return k;
}

std::string quote_ident(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

struct Piece {
  std::string text;
  int value = -1;     // index into the values, for a "?"
  bool func = false;  // the name of a function; "(" follows
};

class Translator {
 public:
  Translator(TextView query, const Schema& schema, std::vector<Token> tokens)
      : query_(query), schema_(schema), t_(std::move(tokens)) {}

  Translation run() {
    while (!t_.empty() && is_op(t_.size() - 1, ";")) t_.pop_back();
    for (std::size_t i = 0; i < t_.size(); ++i)
      if (is_op(i, ";")) fail(3142, "Characters found after end of SQL statement.");
    if (t_.empty() || keyword(0) != "SELECT")
      fail(3129, "Invalid SQL statement; expected 'SELECT'.");
    for (std::size_t i = 0; i < t_.size(); ++i)
      if (refused_words().count(keyword(i))) fail(3129, "Invalid SQL statement; expected 'SELECT'.");
    read_from_clause();

    std::size_t i = 0;
    std::optional<std::string> limit;
    while (i < t_.size()) i = emit(i, limit);
    if (depth_ != 0) syntax_error(query_);

    Translation out;
    for (const Piece& p : out_) {
      if (!out.sql.empty()) out.sql += ' ';
      out.sql += p.text;
      if (p.value >= 0) out.values.push_back(values_[std::size_t(p.value)]);
    }
    if (limit) {
      out.sql += " LIMIT ?";
      SqlValue v;
      v.kind = SqlValue::kInteger;
      v.integer = std::strtoll(limit->c_str(), nullptr, 10);
      out.values.push_back(v);
    }
    return out;
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

  // Learns the tables of the FROM clause and their aliases.
  void read_from_clause() {
    std::size_t i = 0;
    int depth = 0;
    while (i < t_.size() && !(depth == 0 && keyword(i) == "FROM")) {
      if (is_op(i, "(")) ++depth;
      if (is_op(i, ")")) --depth;
      ++i;
    }
    if (i >= t_.size()) return;
    ++i;
    bool expect_table = true;
    while (i < t_.size()) {
      std::string k = keyword(i);
      if (k == "WHERE" || k == "ORDER" || k == "GROUP" || k == "HAVING") break;
      if (expect_table) {
        if (is_op(i, "(")) { ++i; continue; }
        if (!is_name(i)) { ++i; continue; }
        const TableInfo* table = schema_.find_table(t_[i].text);
        std::string alias = t_[i].text;
        ++i;
        if (keyword(i) == "AS") ++i;
        if (is_name(i)) alias = t_[i++].text;
        aliases_[fold_utf8(alias)] = table;
        if (table) aliases_[fold_utf8(table->name)] = table;
        from_tables_.push_back(table);
        expect_table = false;
        continue;
      }
      if (is_op(i, ",") || k == "JOIN") expect_table = true;
      ++i;
    }
  }

  // A column reference: the name as the file spells it and whether the
  // column holds text (unknown columns count as text).
  std::pair<std::string, bool> column(const TableInfo* table, const std::string& name) const {
    if (table) {
      if (const ColumnInfo* c = table->find_column(fold_utf8(name))) return {c->name, c->text};
    } else {
      for (const TableInfo* t : from_tables_)
        if (t)
          if (const ColumnInfo* c = t->find_column(fold_utf8(name))) return {c->name, c->text};
    }
    return {name, true};
  }

  int add_value(SqlValue v) {
    values_.push_back(std::move(v));
    return int(values_.size() - 1);
  }
  int add_text(std::string s) {
    SqlValue v;
    v.text = std::move(s);
    return add_value(std::move(v));
  }

  // The value of a literal token.
  int literal(const Token& tk) {
    SqlValue v;
    if (tk.kind == Tk::kNumber) {
      if (tk.text.find('.') == std::string::npos && tk.text.size() < 19) {
        v.kind = SqlValue::kInteger;
        v.integer = std::strtoll(tk.text.c_str(), nullptr, 10);
      } else {
        v.kind = SqlValue::kReal;
        v.real = std::strtod(tk.text.c_str(), nullptr);
      }
    } else {
      v.text = tk.text;
    }
    v.source = tk.literal;
    return add_value(std::move(v));
  }
  // A text literal, folded.
  int folded_literal(const Token& tk) {
    SqlValue v;
    v.text = fold_utf8(tk.text);
    v.source = tk.literal;
    v.folded = true;
    return add_value(std::move(v));
  }
  void fold_value(int index) {
    SqlValue& v = values_[std::size_t(index)];
    v.text = fold_utf8(v.text);
    v.folded = true;
  }

  bool is_literal(std::size_t i) const {
    return i < t_.size() && (t_[i].kind == Tk::kString || t_[i].kind == Tk::kNumber || t_[i].kind == Tk::kDate);
  }
  bool is_text_literal(std::size_t i) const {
    return i < t_.size() && (t_[i].kind == Tk::kString || t_[i].kind == Tk::kDate);
  }

  // Where the operand that ends the output begins: one piece, or a
  // parenthesised group with the function name before it.
  std::size_t operand_start() const {
    if (out_.empty()) syntax_error(query_);
    std::size_t k = out_.size() - 1;
    if (out_[k].text == ")") {
      int d = 0;
      while (true) {
        if (out_[k].text == ")") ++d;
        if (out_[k].text == "(") --d;
        if (d == 0) break;
        if (k == 0) syntax_error(query_);
        --k;
      }
      if (k > 0 && out_[k - 1].func) --k;
    }
    return k;
  }

  std::vector<Piece> take_operand() {
    std::size_t k = operand_start();
    std::vector<Piece> op(out_.begin() + long(k), out_.end());
    out_.resize(k);
    return op;
  }

  void put(std::string text, int value = -1) { out_.push_back({std::move(text), value}); }
  void put_all(const std::vector<Piece>& ps) { out_.insert(out_.end(), ps.begin(), ps.end()); }
  void put_folded(const std::vector<Piece>& operand) {
    put("kv_fold(");
    put_all(operand);
    put(")");
  }

  // Emits a (possibly qualified) name starting at i; returns the next index.
  std::size_t emit_name(std::size_t i, bool& is_text) {
    std::string first = t_[i].text;
    if (is_op(i + 1, ".") && (is_name(i + 2) || is_op(i + 2, "*") || (i + 2 < t_.size() && t_[i + 2].kind == Tk::kIdent))) {
      auto it = aliases_.find(fold_utf8(first));
      const TableInfo* table = it == aliases_.end() ? schema_.find_table(first) : it->second;
      std::string qualifier = first;
      if (table && fold_utf8(first) == fold_utf8(table->name)) qualifier = table->name;
      if (is_op(i + 2, "*")) {
        put(quote_ident(qualifier) + ".*");
        is_text = false;
        return i + 3;
      }
      auto [name, text] = column(table, t_[i + 2].text);
      put(quote_ident(qualifier) + "." + quote_ident(name));
      last_name_ = name;
      is_text = text;
      return i + 3;
    }
    if (in_from_) {
      const TableInfo* table = schema_.find_table(first);
      put(quote_ident(table ? table->name : first));
      is_text = false;
      return i + 1;
    }
    auto [name, text] = column(nullptr, first);
    put(quote_ident(name));
    last_name_ = name;
    is_text = text;
    return i + 1;
  }

  // The comparison operator at i, with its left operand already emitted.
  std::size_t emit_comparison(std::size_t i) {
    const std::string op = t_[i].text;
    bool equality = op == "=" || op == "<>";
    bool left_text = !out_.empty() && out_.back().value >= 0 && values_[std::size_t(out_.back().value)].kind == SqlValue::kText &&
                     operand_start() == out_.size() - 1;
    if (is_text_literal(i + 1)) {
      if (equality) {
        if (left_text) {
          fold_value(out_.back().value);
        } else {
          put_folded(take_operand());
        }
        put(op);
        put("?", folded_literal(t_[i + 1]));
      } else {
        put(op);
        put("?", literal(t_[i + 1]));
        put("COLLATE \"KV_CI\"");
      }
      return i + 2;
    }
    if (left_text && equality && is_name(i + 1)) {
      fold_value(out_.back().value);
      put(op);
      put("kv_fold(");
      bool t;
      std::size_t next = emit_name(i + 1, t);
      put(")");
      return next;
    }
    put(op);
    return i + 1;
  }

  // `L [Not] Like 'pattern'`, with L already emitted.
  std::size_t emit_like(std::size_t i, bool negated) {
    std::vector<Piece> left = take_operand();
    if (negated) put("NOT (");
    if (is_literal(i + 1)) {
      std::string pattern = fold_utf8(t_[i + 1].text);
      if (!like_pattern_valid(pattern)) throw Error(93, kProjectName, u"Invalid pattern string");
      LikePrefix lp = like_prefix(pattern);
      if (lp.prefix == pattern) {
        put_folded(left);
        put("=");
        put("?", add_text(pattern));
      } else if (lp.prefix.empty()) {
        put("kv_like(");
        put("?", add_text(pattern));
        put(",");
        put_all(left);
        put(")");
      } else {
        put("(");
        put_folded(left);
        put(">=");
        put("?", add_text(lp.prefix));
        put("AND");
        put_folded(left);
        put("<");
        put("?", add_text(prefix_upper_bound(lp.prefix)));
        if (!lp.exact_prefix_match) {
          put("AND kv_like(");
          put("?", add_text(pattern));
          put(",");
          put_all(left);
          put(")");
        }
        put(")");
      }
      if (negated) put(")");
      return i + 2;
    }
    if (!is_name(i + 1)) syntax_error(query_);
    put("kv_like(");
    bool t;
    std::size_t next = emit_name(i + 1, t);
    put(",");
    put_all(left);
    put(")");
    if (negated) put(")");
    return next;
  }

  std::size_t emit(std::size_t i, std::optional<std::string>& limit) {
    const Token& tk = t_[i];
    std::string k = keyword(i);
    if (!k.empty()) {
      if (k == "SELECT") {
        put("SELECT");
        in_select_ = true;
        if (keyword(i + 1) == "DISTINCT" || keyword(i + 1) == "DISTINCTROW") {
          put("DISTINCT");
          distinct_ = true;
          ++i;
        }
        if (keyword(i + 1) == "TOP") {
          if (i + 2 >= t_.size() || t_[i + 2].kind != Tk::kNumber) syntax_error(query_);
          limit = t_[i + 2].text;
          i += 2;
        }
        return i + 1;
      }
      if (k == "FROM") { in_select_ = false; in_from_ = true; }
      if (k == "WHERE" || k == "GROUP" || k == "HAVING") { in_from_ = false; in_order_ = false; }
      if (k == "ORDER") { in_from_ = false; in_order_ = true; }
      if (k == "ON") in_from_ = false;
      if (k == "JOIN") in_from_ = true;
      if (k == "TRUE" || k == "FALSE") {
        SqlValue v;
        v.kind = SqlValue::kInteger;
        v.integer = k == "TRUE" ? -1 : 0;
        put("?", add_value(v));
        return i + 1;
      }
      if (k == "MOD") { put("%"); return i + 1; }
      if (k == "LIKE") return emit_like(i, false);
      if (k == "NOT" && keyword(i + 1) == "LIKE") return emit_like(i + 1, true);
      if (k == "DISTINCT" || k == "DISTINCTROW" || k == "TOP" || k == "SELECT") syntax_error(query_);
      put(k);
      return i + 1;
    }
    switch (tk.kind) {
      case Tk::kIdent:
        if (is_op(i + 1, "(")) {
          static const std::set<std::string> functions = {"COUNT", "SUM", "MIN", "MAX", "AVG"};
          std::string u = upper_ascii(tk.text);
          if (!functions.count(u)) fail(3085, "Undefined function '" + tk.text + "' in expression.");
          out_.push_back({u, -1, true});
          return i + 1;
        }
        [[fallthrough]];
      case Tk::kBracketed: {
        bool whole_item = in_select_ && distinct_ && depth_ == 0 &&
                          (keyword(i - 1) == "DISTINCT" || keyword(i - 1) == "DISTINCTROW" || is_op(i - 1, ","));
        bool text = false;
        std::size_t next = emit_name(i, text);
        bool item_ends = is_op(next, ",") || keyword(next) == "FROM";
        if (whole_item && item_ends && text) put("COLLATE \"KV_CI\" AS " + quote_ident(last_name_));
        if (in_order_ && depth_ == 0 && text && (is_op(next, ",") || next >= t_.size() || keyword(next) == "ASC" || keyword(next) == "DESC"))
          put("COLLATE \"KV_CI\"");
        return next;
      }
      case Tk::kString:
      case Tk::kNumber:
      case Tk::kDate:
        put("?", literal(tk));
        return i + 1;
      case Tk::kOp: {
        const std::string& op = tk.text;
        if (op == "(") ++depth_;
        if (op == ")") {
          if (--depth_ < 0) syntax_error(query_);
        }
        if (op == "=" || op == "<>" || op == "<" || op == ">" || op == "<=" || op == ">=") return emit_comparison(i);
        if (op == "&") { put("||"); return i + 1; }
        if (op == ".") syntax_error(query_);
        put(op);
        return i + 1;
      }
    }
    return i + 1;
  }

  TextView query_;
  const Schema& schema_;
  std::vector<Token> t_;
  std::vector<Piece> out_;
  std::vector<SqlValue> values_;
  std::unordered_map<std::string, const TableInfo*> aliases_;
  std::vector<const TableInfo*> from_tables_;
  std::string last_name_;
  int depth_ = 0;
  bool in_select_ = false, in_from_ = false, in_order_ = false, distinct_ = false;
};


std::vector<Token> tokens_of(TextView query) {
  if (query.size() > kMaxQueryLength) fail(3360, "Query is too complex.");
  std::vector<Token> t = tokenize(query);
  int n = 0;
  for (Token& tk : t)
    if (tk.kind == Tk::kString || tk.kind == Tk::kNumber || tk.kind == Tk::kDate) tk.literal = n++;
  return t;
}

}  // namespace

Translation translate_jet(TextView query, const Schema& schema) {
  return Translator(query, schema, tokens_of(query)).run();
}

Translation TranslationCache::translate(TextView query, const Schema& schema) {
  auto seen = texts_.find(Text(query));
  if (seen != texts_.end()) return seen->second;
  Translation t = translate_shape(query, schema);
  if (texts_.size() >= kMaxTexts) texts_.clear();
  texts_.emplace(Text(query), t);
  return t;
}

Translation TranslationCache::translate_shape(TextView query, const Schema& schema) {
  std::vector<Token> tokens = tokens_of(query);
  // The shape: every token but the literals, which stand as their kind; a
  // literal after Like stays, since the pattern decides the translation.
  std::string key;
  std::vector<const Token*> literals;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const Token& tk = tokens[i];
    bool after_like = i > 0 && tokens[i - 1].kind == Tk::kIdent && upper_ascii(tokens[i - 1].text) == "LIKE";
    key += char('0' + int(tk.kind));
    if (tk.literal >= 0) {
      literals.push_back(&tk);
      if (tk.kind == Tk::kNumber) key += tk.text.find('.') == std::string::npos && tk.text.size() < 19 ? "i" : "r";
      if (!after_like) {
        key += '\x1f';
        continue;
      }
    }
    key += tk.text;
    key += '\x1f';
  }
  auto it = entries_.find(key);
  if (it == entries_.end()) {
    Translation t = Translator(query, schema, std::move(tokens)).run();
    if (entries_.size() >= kMaxEntries) entries_.clear();
    it = entries_.emplace(std::move(key), std::move(t)).first;
    return it->second;
  }
  Translation out = it->second;
  for (SqlValue& v : out.values) {
    if (v.source < 0) continue;
    const Token& tk = *literals[std::size_t(v.source)];
    if (v.kind == SqlValue::kInteger) v.integer = std::strtoll(tk.text.c_str(), nullptr, 10);
    else if (v.kind == SqlValue::kReal) v.real = std::strtod(tk.text.c_str(), nullptr);
    else v.text = v.folded ? fold_utf8(tk.text) : tk.text;
  }
  return out;
}

}  // namespace kvistur::db
