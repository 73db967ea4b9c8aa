// The query dialect written as PostgreSQL's SQL (jet_sql.h), for a schema
// on a server (postgres_sql.h), giving the rows a file gives, in the same
// order, sorted and kept distinct by the server:
//
//  - tables are named in their schema, values are `$1`, `$2` ...; a list's
//    place `x IN (?)` is `x = ANY ($1::int8[])`;
//  - the fold of a column is its stored fold column when it has one, else
//    the schema's kv_fold, compared byte by byte (COLLATE "C") as SQLite
//    compares kv_fold's results; Like's match is a regular expression on
//    the fold;
//  - ORDER BY on a text column sorts by the schema's Icelandic collation
//    kv_ci, equal texts by their folds; other texts byte by byte; NULLs
//    first going up and last going down, as in SQLite;
//  - the last key is the order the tables keep their rows in (SQLite's
//    rowid: TableInfo::order), the first table outermost.  SQLite's sorter
//    is stable, so rows with equal keys come in the order it reads them,
//    which for a table or one of its indexes is that order;
//  - DISTINCT keeps the first row of each set of equal rows in that order
//    (DISTINCT ON, a text column alone by its fold), and the rows kept are
//    then sorted as above: the keys travel as columns at the end of the row
//    that the reader leaves out (Translation::hidden).
#include "kvistur/error.h"
#include "platform/dialect_writer.h"
#include "platform/sqlite_functions.h"

namespace kvistur::db {
namespace {

bool text_column(const JetNode& n) { return n.kind == JetNode::kColumn && n.column.text; }

// Whether an expression gives a text: a text column or literal, in
// parentheses or under Min or Max, or a concatenation.
bool gives_text(const JetNodes& ns, const std::vector<SqlValue>& values) {
  for (const JetNode& n : ns)
    if (n.kind == JetNode::kWord && n.name == "||") return true;
  if (ns.size() != 1) return false;
  const JetNode& n = ns[0];
  if (n.kind == JetNode::kColumn) return n.column.text;
  if (n.kind == JetNode::kLiteral) return n.text_literal(values);
  if (n.kind == JetNode::kGroup && (n.name.empty() || n.name == "MIN" || n.name == "MAX")) return gives_text(n.kids, values);
  return false;
}

class PostgresWriter : public DialectWriter {
 public:
  PostgresWriter(const JetQuery& q, const Schema& schema) : DialectWriter(q), schema_(schema) {}

  Translation run(const JetQuery& q) {
    out_.schema = schema_.server_schema();
    from_ = &q.from;
    for (const JetFromItem& f : q.from) {
      out_.tables.push_back(f.table ? f.table->name : f.written);
      if (!f.table && out_.missing_table.empty()) out_.missing_table = f.written;
    }
    out_.resumable = q.top < 0 && !q.aggregate && !q.from.empty();
    for (const JetFromItem& f : q.from) out_.resumable = out_.resumable && f.table && !f.table->order.empty();
    if (q.distinct) distinct_query(q);
    else query(q, true);
    return std::move(out_);
  }

 private:
  // One term of an ORDER BY: how it compares and its direction.
  struct Term {
    const JetOrderKey* key;
    enum { kCaseless, kFold, kBytes, kValue } how;
  };

  // The terms of the query's keys: a text column alone by its fold in
  // kv_ci, then by the fold's bytes (texts whose folds are equal are equal
  // keys, as in KV_CI, even where ICU tells them apart: "Straße" and
  // "STRASSE"); another text byte by byte; anything else by its value.
  std::vector<Term> terms(const JetQuery& q) const {
    std::vector<Term> out;
    for (const JetOrderKey& key : q.order) {
      if (key.expr.size() == 1 && text_column(key.expr[0])) {
        out.push_back({&key, Term::kCaseless});
        out.push_back({&key, Term::kFold});
      } else {
        out.push_back({&key, gives_text(key.expr, values_) ? Term::kBytes : Term::kValue});
      }
    }
    return out;
  }
  // The columns of the tables' own order, first table outermost; none for
  // a query that groups rows.
  std::vector<std::string> row_order(const JetQuery& q) const {
    std::vector<std::string> out;
    if (q.aggregate) return out;
    for (const JetFromItem& f : q.from)
      if (f.table)
        for (const std::string& c : f.table->order) out.push_back(quote_ident(f.name) + "." + quote_ident(c));
    return out;
  }
  // A term's expression: the key's own, or (for a DISTINCT query's outer
  // sort) the column NAME that carries it.
  void term_expr(const Term& t, const std::string& name) {
    if (!name.empty()) {
      put(quote_ident(name));
    } else if (t.how == Term::kCaseless || t.how == Term::kFold) {
      fold_of(t.key->expr[0]);
    } else {
      nodes(t.key->expr);
    }
  }
  void direction(const Term& t) {
    if (t.how == Term::kCaseless) put("COLLATE " + schema_name() + ".\"kv_ci\"");
    if (t.how == Term::kBytes || t.how == Term::kFold) put("COLLATE \"C\"");
    put(t.key->descending ? "DESC NULLS LAST" : "ASC NULLS FIRST");
  }

  // SELECT ... FROM ... ORDER BY the keys, then the rows' own order.
  void query(const JetQuery& q, bool outermost) {
    put("SELECT");
    if (!outermost && q.distinct) put("DISTINCT");
    items(q);
    nodes(q.rest);
    std::vector<std::string> rows = outermost ? row_order(q) : std::vector<std::string>();
    bool first = true;
    auto next = [&] {
      put(first ? "ORDER BY" : ",");
      first = false;
    };
    for (const Term& t : terms(q)) {
      next();
      term_expr(t, "");
      direction(t);
    }
    for (const std::string& r : rows) {
      next();
      put(r);
    }
    limit(q);
  }

  // SELECT DISTINCT: the first row of each set in the rows' own order,
  // then sorted.  The keys and the rows' order ride along as the last
  // columns; the DISTINCT ON keys are the select list's columns by place, a
  // text column alone by its fold.
  void distinct_query(const JetQuery& q) {
    std::vector<Term> sort = terms(q);
    std::vector<std::string> rows = row_order(q);
    put("SELECT * FROM ( SELECT DISTINCT ON (");
    std::vector<std::string> on;
    int place = 0;
    for (const JetNodes& item : q.items) {
      int n = 1;
      if (item.size() == 1 && item[0].kind == JetNode::kAll) n = int(columns_of(item[0]).size());
      for (int k = 0; k < n; ++k) on.push_back(std::to_string(++place));
    }
    std::size_t at = 0;
    auto distinct_keys = [&] {
      at = 0;
      for (const JetNodes& item : q.items) {
        bool alone = item.size() == 1 && text_column(item[0]);
        std::size_t n = item.size() == 1 && item[0].kind == JetNode::kAll ? columns_of(item[0]).size() : 1;
        for (std::size_t k = 0; k < n; ++k, ++at) {
          if (at) put(",");
          if (alone) fold_of(item[0]);
          else put(on[at]);
        }
      }
    };
    distinct_keys();
    put(")");
    items(q);
    for (std::size_t k = 0; k < sort.size(); ++k) {
      put(",");
      term_expr(sort[k], "");
      put("AS " + quote_ident("kv_key_" + std::to_string(k + 1)));
    }
    for (std::size_t r = 0; r < rows.size(); ++r) {
      put(",");
      put(rows[r] + " AS " + quote_ident("kv_row_" + std::to_string(r + 1)));
    }
    nodes(q.rest);
    put("ORDER BY");
    distinct_keys();
    for (const std::string& r : rows) {
      put(",");
      put(r);
    }
    put(") AS \"kv_distinct\"");
    bool first = true;
    auto next = [&] {
      put(first ? "ORDER BY" : ",");
      first = false;
    };
    for (std::size_t k = 0; k < sort.size(); ++k) {
      next();
      term_expr(sort[k], "kv_key_" + std::to_string(k + 1));
      direction(sort[k]);
    }
    for (std::size_t r = 0; r < rows.size(); ++r) {
      next();
      put(quote_ident("kv_row_" + std::to_string(r + 1)));
    }
    limit(q);
    out_.hidden = int(sort.size() + rows.size());
  }

  void limit(const JetQuery& q) {
    if (q.top < 0) return;
    put("LIMIT");
    put_value(values_[std::size_t(q.top)]);
  }

  std::string schema_name() const { return quote_ident(schema_.server_schema()); }

  // The columns `*` or `q.*` stands for.
  std::vector<std::string> columns_of(const JetNode& n) const {
    std::vector<std::string> out;
    auto add = [&](const std::string& name, const TableInfo* t) {
      if (t)
        for (const ColumnInfo& c : t->columns) out.push_back(quote_ident(name) + "." + quote_ident(c.name));
    };
    if (n.name.empty()) {
      for (const JetFromItem& f : *from_) add(f.name, f.table);
    } else {
      add(n.name, n.table);
    }
    return out;
  }

  // The fold of an operand: its stored fold column, or kv_fold.
  void fold_of(const JetNode& operand) {
    const JetNode* c = operand.single_column();
    if (c && !c->column.fold_column.empty()) {
      put((c->name.empty() ? "" : quote_ident(c->name) + ".") + quote_ident(c->column.fold_column));
      return;
    }
    put("(" + schema_name() + ".kv_fold(");
    node(operand);
    if (!c || !c->column.text) put("::text");
    put(") COLLATE \"C\")");
  }

  std::string placeholder() override { return "$" + std::to_string(out_.values.size()); }
  void all_columns(const JetNode& n) override {
    std::vector<std::string> cs = columns_of(n);
    for (std::size_t i = 0; i < cs.size(); ++i) {
      if (i) put(",");
      put(cs[i]);
    }
  }
  void table(const JetNode& n) override { put(n.alias ? quote_ident(n.name) : schema_name() + "." + quote_ident(n.name)); }
  // Min and Max compare texts by their code points, as SQLite does.
  void function(const JetNode& n) override {
    put(n.name);
    put("(");
    for (const JetNode& k : n.kids) {
      node(k);
      if ((n.name == "MIN" || n.name == "MAX") && text_column(k)) put("COLLATE \"C\"");
    }
    put(")");
  }
  void subquery(const JetQuery& q) override {
    const std::vector<JetFromItem>* outer = from_;
    from_ = &q.from;
    query(q, false);
    from_ = outer;
  }
  void fold(const JetNode& operand) override { fold_of(operand); }
  void match(const std::string& pattern, const JetNode& operand) override {
    fold_of(operand);
    put("~");
    put_value(text(like_regex(pattern)));
  }
  [[noreturn]] void match_column(const JetNode&, const JetNode&) override {
    throw Error(3000, u"DAO.Database", u"The query could not be carried out: Like with a column as the pattern.");
  }
  // The list bound as one int8 array.
  void list(const JetNode& n) override {
    put("= ANY (");
    put_value(value(n));
    put("::int8[] )");
  }
  // The Icelandic order, and among texts it holds equal, the order of their
  // folds.
  void ordered(const JetNode& n) override {
    put("ROW (");
    node(n.kids[0]);
    put("COLLATE " + schema_name() + ".\"kv_ci\" ,");
    fold_of(n.kids[0]);
    put(") " + n.name + " ROW (");
    put_value(value(n.kids[1]));
    put(",");
    put_value(folded(n.kids[1]));
    put(")");
  }

  const Schema& schema_;
  const std::vector<JetFromItem>* from_ = nullptr;
};

}  // namespace

Translation write_postgres(const JetQuery& q, const Schema& schema) { return PostgresWriter(q, schema).run(q); }

}  // namespace kvistur::db
