#include "platform/dialect_writer.h"

#include "platform/sqlite_functions.h"

namespace kvistur::db {

// The backend's SQL of a query no longer than the longest query text
// (kMaxQueryLength) stays far under this; a query that would pass it is
// refused as the parser refuses a text too long, before it takes the
// memory and the time of writing it.
constexpr std::size_t kMaxSqlLength = 64 * kMaxQueryLength;

void DialectWriter::put(std::string_view text) {
  if (out_.sql.size() + text.size() >= kMaxSqlLength) too_complex();
  if (!out_.sql.empty()) out_.sql += ' ';
  out_.sql += text;
}

void DialectWriter::put_value(SqlValue v) {
  out_.values.push_back(std::move(v));
  put(placeholder());
}

SqlValue DialectWriter::folded(const JetNode& literal) const {
  SqlValue v = value(literal);
  v.text = fold_utf8(v.text);
  v.folded = true;
  return v;
}

SqlValue DialectWriter::text(std::string s) {
  SqlValue v;
  v.text = std::move(s);
  return v;
}

void DialectWriter::nodes(const JetNodes& ns) {
  for (const JetNode& n : ns) node(n);
}

void DialectWriter::items(const JetQuery& q) {
  for (std::size_t i = 0; i < q.items.size(); ++i) {
    if (i) put(",");
    item(q, q.items[i]);
  }
}

void DialectWriter::node(const JetNode& n) {
  switch (n.kind) {
    case JetNode::kWord:
      put(n.name);
      break;
    case JetNode::kColumn:
      column(n);
      break;
    case JetNode::kAll:
      all_columns(n);
      break;
    case JetNode::kTable:
      table(n);
      break;
    case JetNode::kLiteral:
      put_value(value(n));
      break;
    case JetNode::kGroup:
      if (!n.name.empty()) {
        function(n);
        break;
      }
      put("(");
      nodes(n.kids);
      put(")");
      break;
    case JetNode::kSubquery:
      put("(");
      subquery(*n.query);
      put(")");
      break;
    case JetNode::kCompare:
      compare(n);
      break;
    case JetNode::kLike:
      like(n);
      break;
    case JetNode::kList:
      list(n);
      break;
  }
}

void DialectWriter::column(const JetNode& n) {
  put((n.name.empty() ? "" : quote_ident(n.name) + ".") + quote_ident(n.column.name));
}

void DialectWriter::function(const JetNode& n) {
  put(n.name);
  put("(");
  nodes(n.kids);
  put(")");
}

// Equality of texts is equality of their folds: a literal's fold is bound,
// the other side folded where it is read.
void DialectWriter::compare(const JetNode& n) {
  if (n.name != "=" && n.name != "<>") {
    ordered(n);
    return;
  }
  auto side = [&](const JetNode& k) {
    if (k.text_literal(values_)) put_value(folded(k));
    else fold(k);
  };
  side(n.kids[0]);
  put(n.name);
  side(n.kids[1]);
}

// A pattern without wildcards is an equality, one with a literal start a
// range on the fold (which an index serves) and the match of the rest.
// The range names its operand two or three times, so it is written only
// for a column: an operand that is itself an expression (a Like of a Like)
// would be written again at every level, three times as long each time.
// Each value made from the pattern names the literal it came from and how
// (SqlValue::FromPattern), so that the query may be run again with another
// pattern of the same form.
void DialectWriter::like(const JetNode& n) {
  const JetNode& left = n.kids[0];
  const std::size_t first = out_.values.size();
  auto from_pattern = [&](std::string text, SqlValue::FromPattern how) {
    SqlValue v = DialectWriter::text(std::move(text));
    v.source = n.pattern_literal;
    v.from_pattern = how;
    v.pattern = n.pattern;
    return v;
  };
  if (n.negated) put("NOT (");
  if (n.kids.size() > 1) {
    match_column(n.kids[1], left);
  } else {
    LikePrefix lp = like_prefix(n.pattern);
    if (lp.prefix == n.pattern) {
      fold(left);
      put("=");
      put_value(from_pattern(n.pattern, SqlValue::kWholePattern));
    } else if (lp.prefix.empty() || !left.single_column()) {
      match(n.pattern, left);
    } else {
      const auto bound = lp.exact_prefix_match ? SqlValue::kPrefix : SqlValue::kThisPattern;
      put("(");
      fold(left);
      put(">=");
      put_value(from_pattern(lp.prefix, bound));
      put("AND");
      fold(left);
      put("<");
      put_value(from_pattern(prefix_upper_bound(lp.prefix),
                             lp.exact_prefix_match ? SqlValue::kPrefixEnd : SqlValue::kThisPattern));
      if (!lp.exact_prefix_match) {
        put("AND");
        match(n.pattern, left);
      }
      put(")");
    }
    // The backend's match of the pattern: only this pattern gives it.
    for (std::size_t i = first; i < out_.values.size(); ++i) {
      SqlValue& v = out_.values[i];
      if (v.source < 0 && v.kind == SqlValue::kText && v.from_pattern == SqlValue::kAsWritten) {
        v.source = n.pattern_literal;
        v.from_pattern = SqlValue::kThisPattern;
        v.pattern = n.pattern;
      }
    }
  }
  if (n.negated) put(")");
}

}  // namespace kvistur::db
