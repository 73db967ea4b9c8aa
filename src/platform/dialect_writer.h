// What the backends' writers of the query dialect share: walking the tree
// (jet_query.h) in the query's order and writing the parts every backend
// writes alike (words, values, parentheses, the equality of texts, the
// ranges of Like), with a hook for each part a backend writes its own way.
// The SQL is the pieces joined by single spaces.
#pragma once

#include <string>
#include <string_view>

#include "platform/jet_query.h"

namespace kvistur::db {

class DialectWriter {
 public:
  explicit DialectWriter(const JetQuery& q) : values_(*q.values) {}
  virtual ~DialectWriter() = default;
  DialectWriter(const DialectWriter&) = delete;
  DialectWriter& operator=(const DialectWriter&) = delete;

 protected:
  void put(std::string_view text);
  // A value's place in the SQL, the value bound there.
  void put_value(SqlValue v);
  // A literal's value as the query has it, or folded (a text compared
  // without regard to letter case).
  SqlValue value(const JetNode& literal) const { return values_[std::size_t(literal.value)]; }
  SqlValue folded(const JetNode& literal) const;
  static SqlValue text(std::string s);

  void node(const JetNode& n);
  void nodes(const JetNodes& ns);
  // The select list, the items separated by commas.
  void items(const JetQuery& q);

  // The hooks.
  virtual std::string placeholder() = 0;  // a value's place: `?`, `$1` ...
  virtual void column(const JetNode& n);  // "q"."column"
  virtual void all_columns(const JetNode& n) = 0;
  virtual void table(const JetNode& n) = 0;
  virtual void function(const JetNode& n);  // NAME ( kids )
  virtual void subquery(const JetQuery& q) = 0;
  virtual void item(const JetQuery& q, const JetNodes& item) { nodes(item); }
  // The fold of an operand, compared byte by byte.
  virtual void fold(const JetNode& operand) = 0;
  // OPERAND matches the folded PATTERN, wildcards and all.
  virtual void match(const std::string& pattern, const JetNode& operand) = 0;
  // OPERAND Like a column's value as the pattern.
  virtual void match_column(const JetNode& pattern, const JetNode& operand) = 0;
  // `IN (?)`: the IN and the list's place, the list bound as one value.
  virtual void list(const JetNode& n) = 0;
  // `<`, `>`, `<=`, `>=` between an operand and a text literal: the
  // Icelandic order ignoring case, equal texts by their folds.
  virtual void ordered(const JetNode& compare) = 0;

  Translation out_;
  const std::vector<SqlValue>& values_;

 private:
  void compare(const JetNode& n);
  void like(const JetNode& n);
};

}  // namespace kvistur::db
