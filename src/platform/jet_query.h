// The catalogue's query dialect read into a small tree, once, for every
// backend: each backend's file (sqlite_dialect.cpp, postgres_dialect.cpp)
// writes its own SQL from the tree and never looks at the query's text.
//
// The tree keeps what the backends write differently as nodes of their own
// (a column, a table, a literal, a comparison with a text, a Like, a
// function's parentheses, the select list, the ORDER BY keys, DISTINCT and
// TOP) and everything else (AND, IS NULL, +, the FROM clause's JOIN ... ON)
// as words passed through in the query's order.  Names are resolved against
// the schema while reading: a column knows the file's spelling of its name,
// whether it holds text and its stored fold on a server.
//
// What is refused is refused here, the same for every backend: anything
// but one SELECT (3129, 3142), a function other than Count, Sum, Min, Max,
// Avg (3085), text that does not read (3075), a Like pattern with an open
// `[` (93), a query longer than kMaxQueryLength or whose SQL would be
// far longer (3360).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kvistur/text.h"
#include "platform/jet_sql.h"

namespace kvistur::db {

struct JetQuery;

struct JetNode {
  enum Kind {
    kWord,      // a keyword or operator, written as it stands (AND, IS, +, ||, %)
    kColumn,    // a column: `qualifier` (the FROM item's name, "" for none) and `column`
    kAll,       // `*` or `q.*` in the select list: every column of `table` (or of every FROM item)
    kTable,     // a table of the FROM clause: `name`; `alias` when it is an alias's place
    kLiteral,   // a value: `value` indexes JetQuery::values
    kGroup,     // `( kids )`, after the function `name` when there is one
    kCompare,   // kids[0] `name` kids[1]: a comparison with a text literal (left or right)
    kLike,      // kids[0] [Not] Like: the folded `pattern`, or a column kids[1] as the pattern
    kSubquery,  // `( SELECT ... )`
    kList,      // `IN (?)`: the IN and a list's place, its numbers at `value`
  };
  Kind kind = kWord;
  std::string name;  // word, operator, function (upper case), table or qualifier
  ColumnInfo column;
  const TableInfo* table = nullptr;
  bool alias = false, negated = false;
  int value = -1;
  std::string pattern;
  int pattern_literal = -1;  // the Like pattern's number among the query's literals
  std::vector<JetNode> kids;
  std::shared_ptr<const JetQuery> query;

  static JetNode of(Kind kind, std::string name = {}) {
    JetNode n;
    n.kind = kind;
    n.name = std::move(name);
    return n;
  }
  // A column alone, parentheses around it allowed; nullptr otherwise.
  const JetNode* single_column() const;
  // A text literal (a text or a date).
  bool text_literal(const std::vector<SqlValue>& values) const;
};
using JetNodes = std::vector<JetNode>;

struct JetOrderKey {
  JetNodes expr;
  bool descending = false;
  bool direction_written = false;  // ASC or DESC stood in the query
};

struct JetFromItem {
  std::string name;          // what the query calls it: its alias, or the table as the database spells it
  std::string written;       // the table as the query wrote it
  const TableInfo* table = nullptr;  // nullptr: the database has no such table
};

struct JetQuery {
  bool distinct = false;
  int top = -1;  // the value of TOP n in JetQuery::values, -1 for none
  std::vector<JetNodes> items;  // the select list
  JetNodes rest;                // FROM to the end, before ORDER BY
  std::vector<JetOrderKey> order;
  std::vector<JetFromItem> from;
  bool aggregate = false;  // GROUP BY, or a function of the rows
  // Every value of the query and of its subqueries: its literals (in the
  // order of the text), Like's bounds and patterns, TRUE and FALSE.
  std::shared_ptr<std::vector<SqlValue>> values;
};

// The query's tokens: each token's kind and text, and for a literal its
// number in the query.  The translation cache reads them for the shape.
struct JetToken {
  enum Kind { kIdent, kBracketed, kString, kNumber, kDate, kOp, kList } kind;
  std::string text;  // name, literal value, number or operator (UTF-8)
  int literal = -1;
};
std::vector<JetToken> tokenize_jet(TextView query);
// Whether TK is the word UPPER, letter case aside.
bool is_word(const JetToken& tk, const char* upper);

// The query read against SCHEMA, from its tokens.
JetQuery parse_jet(TextView query, const Schema& schema, std::vector<JetToken> tokens);
// Throws the engine's syntax error (3075) for QUERY.
[[noreturn]] void syntax_error(TextView query);
// Throws the engine's error for a query too long or too complex (3360).
[[noreturn]] void too_complex();

// The value a number literal's text stands for: an integer when it has no
// point and fits, else a real.
SqlValue number_value(const std::string& text);
bool is_integer_text(const std::string& number);

// Each backend's writer (sqlite_dialect.cpp, postgres_dialect.cpp).
Translation write_sqlite(const JetQuery& q);
Translation write_postgres(const JetQuery& q, const Schema& schema);

}  // namespace kvistur::db
