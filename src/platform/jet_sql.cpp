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


struct Piece {
  std::string text;
  int value = -1;     // index into the values, for a "?"
  bool func = false;  // the name of a function; "(" follows
  // For a column: whether it holds text, and (on a server) its stored fold
  // column, written out in full.
  bool column = false, text_column = false;
  std::string fold;
};

// The one column inside an operand, when it is nothing else (parentheses
// around it allowed).
const Piece* single_column(const std::vector<Piece>& operand) {
  std::size_t b = 0, e = operand.size();
  while (e - b >= 3 && operand[b].text == "(" && operand[e - 1].text == ")") ++b, --e;
  return e - b == 1 && operand[b].column ? &operand[b] : nullptr;
}

class Translator {
 public:
  Translator(TextView query, const Schema& schema, std::vector<Token> tokens)
      : query_(query), schema_(schema), t_(std::move(tokens)) {}

  Translation run() {
    server_ = !schema_.server_schema().empty();
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
    if (server_) finish_for_server(out, limit);
    for (const Piece& p : out_) {
      if (!out.sql.empty()) out.sql += ' ';
      if (p.value >= 0) {
        out.values.push_back(values_[std::size_t(p.value)]);
        out.sql += server_ ? "$" + std::to_string(out.values.size()) : p.text;
      } else {
        out.sql += p.text;
      }
    }
    if (limit) {
      SqlValue v;
      v.kind = SqlValue::kInteger;
      v.integer = std::strtoll(limit->c_str(), nullptr, 10);
      out.values.push_back(v);
      out.sql += server_ ? " LIMIT $" + std::to_string(out.values.size()) : " LIMIT ?";
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

  // On a server: the rows in SQLite's order after the ORDER BY keys (or in
  // place of them), DISTINCT and its TOP left to the reader.
  void finish_for_server(Translation& out, std::optional<std::string>& limit) {
    out.schema = schema_.server_schema();
    for (std::size_t i = 0; i < from_items_.size(); ++i) {
      const TableInfo* t = from_items_[i].second;
      out.tables.push_back(t ? t->name : from_names_[i]);
      if (!t && out.missing_table.empty()) out.missing_table = from_names_[i];
    }
    out.distinct = distinct_;
    out.distinct_fold = distinct_fold_;
    out.sort = sort_;
    if ((distinct_ || !sort_.empty()) && limit) {
      out.limit = std::strtoll(limit->c_str(), nullptr, 10);
      limit.reset();
    }
    if (aggregate_) return;
    bool first = true;
    for (auto& [alias, table] : from_items_) {
      if (!table) continue;
      for (const std::string& c : table->order) {
        put(first ? "ORDER BY" : ",");
        put(quote_ident(alias) + "." + quote_ident(c));
        first = false;
      }
    }
  }

  std::string server_name(const std::string& name) const { return quote_ident(schema_.server_schema()) + "." + name; }
  std::string collation() const { return "COLLATE " + server_name("\"kv_ci\""); }

  // The visible columns of a FROM item, written out for `*`.
  void put_columns(const std::string& alias, const TableInfo* table, bool& first) {
    if (!table) return;
    for (const ColumnInfo& c : table->columns) {
      if (!first) put(",");
      put(quote_ident(alias) + "." + quote_ident(c.name));
      first = false;
    }
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
        std::string name = t_[i].text, alias = name;
        ++i;
        if (keyword(i) == "AS") ++i;
        if (is_name(i)) alias = t_[i++].text;
        aliases_[fold_utf8(alias)] = table;
        if (table) aliases_[fold_utf8(table->name)] = table;
        // Without an alias the table goes by its own name, as the database
        // spells it.
        from_items_.push_back({alias == name && table ? table->name : alias, table});
        from_names_.push_back(name);
        expect_table = false;
        continue;
      }
      if (is_op(i, ",") || k == "JOIN") expect_table = true;
      ++i;
    }
  }

  // A column reference: the column as the file spells it (unknown columns
  // count as text).
  ColumnInfo column(const TableInfo* table, const std::string& name) const {
    if (table) {
      if (const ColumnInfo* c = table->find_column(fold_utf8(name))) return *c;
    } else {
      for (auto& [alias, t] : from_items_)
        if (t)
          if (const ColumnInfo* c = t->find_column(fold_utf8(name))) return *c;
    }
    return ColumnInfo(name, true);
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

  void put(std::string text, int value = -1) {
    out_.emplace_back();
    out_.back().text = std::move(text);
    out_.back().value = value;
  }
  void put_all(const std::vector<Piece>& ps) { out_.insert(out_.end(), ps.begin(), ps.end()); }
  // The operand's fold.  On a server: its stored fold column when it has
  // one, else the schema's kv_fold; compared byte by byte as SQLite
  // compares kv_fold's results.
  void put_folded(const std::vector<Piece>& operand) {
    if (!server_) {
      put("kv_fold(");
      put_all(operand);
      put(")");
      return;
    }
    const Piece* c = single_column(operand);
    if (c && !c->fold.empty()) {
      put(c->fold);
      return;
    }
    put("(" + server_name("kv_fold") + "(");
    put_all(operand);
    if (!c || !c->text_column) put("::text");
    put(") COLLATE \"C\")");
  }
  // Takes the name at i out of the output again, to be written inside
  // something; returns the next index.
  std::size_t take_name(std::size_t i, std::vector<Piece>& name) {
    std::size_t mark = out_.size();
    bool text;
    std::size_t next = emit_name(i, text);
    name.assign(out_.begin() + long(mark), out_.end());
    out_.resize(mark);
    return next;
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
        is_text = false;
        if (server_) {
          bool none = true;
          put_columns(qualifier, table, none);
        } else {
          put(quote_ident(qualifier) + ".*");
        }
        return i + 3;
      }
      put_column(quote_ident(qualifier) + ".", column(table, t_[i + 2].text));
      is_text = out_.back().text_column;
      return i + 3;
    }
    if (in_from_) {
      const TableInfo* table = schema_.find_table(first);
      std::string name = quote_ident(table ? table->name : first);
      // On a server a table is named in its schema, its alias is not.
      bool alias = i > 0 && (keyword(i - 1) == "AS" || is_name(i - 1));
      put(server_ && !alias ? server_name(name) : name);
      is_text = false;
      return i + 1;
    }
    put_column("", column(nullptr, first));
    is_text = out_.back().text_column;
    return i + 1;
  }

  void put_column(const std::string& qualifier, const ColumnInfo& c) {
    put(qualifier + quote_ident(c.name));
    Piece& p = out_.back();
    p.column = true;
    p.text_column = c.text;
    if (!c.fold_column.empty()) p.fold = qualifier + quote_ident(c.fold_column);
    last_name_ = c.name;
    // Min and Max compare texts by their code points, as SQLite does.
    if (server_ && c.text && !funcs_.empty() && funcs_.back().second == depth_ &&
        (funcs_.back().first == "MIN" || funcs_.back().first == "MAX"))
      put("COLLATE \"C\"");
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
      } else if (server_) {
        // The Icelandic order, and among texts it holds equal, the order
        // of their folds.
        std::vector<Piece> left = take_operand();
        put("ROW (");
        put_all(left);
        put(collation() + ",");
        put_folded(left);
        put(") " + op + " ROW (");
        put("?", literal(t_[i + 1]));
        put(",");
        put("?", folded_literal(t_[i + 1]));
        put(")");
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
      std::vector<Piece> name;
      std::size_t next = take_name(i + 1, name);
      put_folded(name);
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
        put_like(pattern, left);
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
          put("AND");
          put_like(pattern, left);
        }
        put(")");
      }
      if (negated) put(")");
      return i + 2;
    }
    if (!is_name(i + 1)) syntax_error(query_);
    // A pattern read from a column: the server has no such match.
    if (server_) fail(3000, "The query could not be carried out: Like with a column as the pattern.");
    put("kv_like(");
    bool t;
    std::size_t next = emit_name(i + 1, t);
    put(",");
    put_all(left);
    put(")");
    if (negated) put(")");
    return next;
  }

  // The match of a pattern with wildcards: kv_like in SQLite, a regular
  // expression on the fold on a server.
  void put_like(const std::string& pattern, const std::vector<Piece>& left) {
    if (server_) {
      put_folded(left);
      put("~");
      put("?", add_text(like_regex(pattern)));
      return;
    }
    put("kv_like(");
    put("?", add_text(pattern));
    put(",");
    put_all(left);
    put(")");
  }

  // ORDER BY on a server, to the end of the query.  SQLite's own sort
  // decides the order of rows whose keys are equal, so the reader sorts
  // (Translation::sort): each key becomes a column of its own after the
  // query's columns, and the server gives the rows in their stored order.
  std::size_t emit_order_by(std::size_t i) {
    // A second ORDER BY inside a key would move the keys already placed.
    if (keyword(i + 1) != "BY" || !from_at_ || in_order_by_) syntax_error(query_);
    in_order_by_ = true;
    i += 2;
    std::optional<std::string> no_limit;
    while (true) {
      std::size_t start = out_.size();
      int depth = depth_;
      while (i < t_.size() && !(depth_ == depth && (is_op(i, ",") || keyword(i) == "ASC" || keyword(i) == "DESC")))
        i = emit(i, no_limit);
      if (out_.size() == start || depth_ != depth) syntax_error(query_);
      std::vector<Piece> key(out_.begin() + long(start), out_.end());
      out_.resize(start);
      // A text column alone sorts by KV_CI, as the SQLite translation has it.
      sort_.push_back({key.size() == 1 && key[0].column && key[0].text_column, keyword(i) == "DESC"});
      if (keyword(i) == "ASC" || keyword(i) == "DESC") ++i;
      key.insert(key.begin(), Piece{","});
      key.push_back(Piece{"AS " + quote_ident("kv_key_" + std::to_string(sort_.size()))});
      out_.insert(out_.begin() + long(from_at_), key.begin(), key.end());
      from_at_ += key.size();
      if (i >= t_.size()) return i;
      if (!is_op(i, ",")) syntax_error(query_);
      ++i;
    }
  }

  std::size_t emit(std::size_t i, std::optional<std::string>& limit) {
    const Token& tk = t_[i];
    std::string k = keyword(i);
    if (!k.empty()) {
      if (k == "SELECT") {
        put("SELECT");
        in_select_ = true;
        if (keyword(i + 1) == "DISTINCT" || keyword(i + 1) == "DISTINCTROW") {
          if (!server_) put("DISTINCT");
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
      if (k == "FROM") {
        in_select_ = false;
        in_from_ = true;
        if (depth_ == 0 && !from_at_) from_at_ = out_.size();
      }
      if (k == "WHERE" || k == "GROUP" || k == "HAVING") { in_from_ = false; in_order_ = false; }
      if (k == "ORDER") {
        in_from_ = false;
        in_order_ = true;
        if (server_ && depth_ == 0) return emit_order_by(i);
      }
      if (k == "GROUP") aggregate_ = true;
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
          put(u);
          out_.back().func = true;
          funcs_.push_back({u, depth_ + 1});
          aggregate_ = true;
          return i + 1;
        }
        [[fallthrough]];
      case Tk::kBracketed: {
        bool whole_item = in_select_ && distinct_ && depth_ == 0 &&
                          (keyword(i - 1) == "DISTINCT" || keyword(i - 1) == "DISTINCTROW" || is_op(i - 1, ","));
        bool text = false;
        std::size_t next = emit_name(i, text);
        bool item_ends = is_op(next, ",") || keyword(next) == "FROM";
        if (whole_item && item_ends && text) {
          if (server_) distinct_fold_.push_back(last_name_);
          else put("COLLATE \"KV_CI\" AS " + quote_ident(last_name_));
        }
        if (!server_ && in_order_ && depth_ == 0 && text &&
            (is_op(next, ",") || next >= t_.size() || keyword(next) == "ASC" || keyword(next) == "DESC"))
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
          if (!funcs_.empty() && funcs_.back().second == depth_) funcs_.pop_back();
          if (--depth_ < 0) syntax_error(query_);
        }
        if (op == "*" && server_ && in_select_ && depth_ == 0) {
          bool first = true;
          for (auto& [alias, table] : from_items_) put_columns(alias, table, first);
          return i + 1;
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
  // The FROM items: the name they go by in the query (alias or table) and
  // the table; and the table names as the query wrote them.
  std::vector<std::pair<std::string, const TableInfo*>> from_items_;
  std::vector<std::string> from_names_;
  std::vector<std::pair<std::string, int>> funcs_;  // open function calls and their depth
  std::vector<std::string> distinct_fold_;
  std::vector<SortKey> sort_;
  std::size_t from_at_ = 0;  // where the FROM clause begins in the output
  bool in_order_by_ = false;  // within the server's ORDER BY keys
  bool server_ = false, aggregate_ = false;
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

namespace {

// The bytes a translation holds beyond the object itself.
std::size_t heap_bytes(const Translation& t) {
  std::size_t n = HeapBytes(t.sql) + HeapBytes(t.values) + HeapBytes(t.distinct_fold) + HeapBytes(t.sort) +
                  HeapBytes(t.tables) + HeapBytes(t.schema) + HeapBytes(t.missing_table);
  for (const SqlValue& v : t.values) n += HeapBytes(v.text);
  for (const std::string& c : t.distinct_fold) n += HeapBytes(c);
  for (const std::string& c : t.tables) n += HeapBytes(c);
  return n;
}

}  // namespace

template <typename Key>
bool TranslationCache::charge(const Key& key, const Translation& t) {
  // The map's node (key, translation, link, hash) and its bucket slot.
  std::size_t bytes = sizeof(std::pair<const Key, Translation>) + 2 * sizeof(void*) + KeptMemory::kPerBlock +
                      sizeof(void*) + HeapBytes(key) + heap_bytes(t);
  if (bytes > kMaxBytes) return false;
  if (kept_.held() + bytes > kMaxBytes) clear();
  return kept_.Add(bytes);
}

void TranslationCache::clear() {
  entries_.clear();
  texts_.clear();
  kept_.Clear();
}

Translation TranslationCache::translate(TextView query, const Schema& schema) {
  Text text(query);
  auto seen = texts_.find(text);
  if (seen != texts_.end()) return seen->second;
  Translation t = translate_shape(query, schema);
  if (charge(text, t)) texts_.emplace(std::move(text), t);
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
    if (!charge(key, t)) return t;
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

std::string quote_ident(std::string_view name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

}  // namespace kvistur::db
