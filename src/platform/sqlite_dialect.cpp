// The query dialect written as SQLite's SQL (jet_sql.h), for a catalogue in
// a file.  Letter case is left to the functions and the collation the
// engine registers on each connection (sqlite_functions.h): kv_fold for the
// fold of a text, kv_like for a pattern's match, KV_CI for DISTINCT and
// ORDER BY on a text column.  SQLite's sorter keeps rows with equal keys in
// the order it reads them, which is the order the table keeps them: the
// last key a server is given explicitly (postgres_dialect.cpp).
#include "platform/dialect_writer.h"

namespace kvistur::db {
namespace {

constexpr char kCaseless[] = "COLLATE \"KV_CI\"";

bool text_column(const JetNode& n) { return n.kind == JetNode::kColumn && n.column.text; }

class SqliteWriter : public DialectWriter {
 public:
  explicit SqliteWriter(const JetQuery& q) : DialectWriter(q) {}

  Translation run(const JetQuery& q) {
    query(q);
    return std::move(out_);
  }

 private:
  void query(const JetQuery& q) {
    put("SELECT");
    if (q.distinct) put("DISTINCT");
    items(q);
    nodes(q.rest);
    if (!q.order.empty()) put("ORDER BY");
    for (std::size_t k = 0; k < q.order.size(); ++k) {
      const JetOrderKey& key = q.order[k];
      if (k) put(",");
      nodes(key.expr);
      // A text column compares by KV_CI wherever it ends a key.
      if (text_column(key.expr.back())) put(kCaseless);
      if (key.direction_written) put(key.descending ? "DESC" : "ASC");
    }
    if (q.top >= 0) {
      out_.sql += " LIMIT";
      put_value(values_[std::size_t(q.top)]);
    }
  }

  // A text column alone in a DISTINCT list is kept distinct by KV_CI,
  // under its own name.
  void item(const JetQuery& q, const JetNodes& item) override {
    nodes(item);
    if (q.distinct && item.size() == 1 && text_column(item[0])) put(std::string(kCaseless) + " AS " + quote_ident(item[0].column.name));
  }

  std::string placeholder() override { return "?"; }
  void all_columns(const JetNode& n) override { put(n.name.empty() ? "*" : quote_ident(n.name) + ".*"); }
  void table(const JetNode& n) override { put(quote_ident(n.name)); }
  void subquery(const JetQuery& q) override { query(q); }
  void fold(const JetNode& operand) override {
    put("kv_fold(");
    node(operand);
    put(")");
  }
  void match(const std::string& pattern, const JetNode& operand) override {
    put("kv_like(");
    put_value(text(pattern));
    put(",");
    node(operand);
    put(")");
  }
  void match_column(const JetNode& pattern, const JetNode& operand) override {
    put("kv_like(");
    node(pattern);
    put(",");
    node(operand);
    put(")");
  }
  // The list's numbers as the text of a JSON array (bind_values).
  void list(const JetNode& n) override {
    put("IN ( SELECT value FROM json_each (");
    put_value(value(n));
    put(") )");
  }
  void ordered(const JetNode& n) override {
    node(n.kids[0]);
    put(n.name);
    put_value(value(n.kids[1]));
    put(kCaseless);
  }
};

}  // namespace

Translation write_sqlite(const JetQuery& q) { return SqliteWriter(q).run(q); }

}  // namespace kvistur::db
