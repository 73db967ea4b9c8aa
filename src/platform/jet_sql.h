// The catalogue's query dialect, translated for the backend that holds the
// catalogue.
//
// Queries arrive exactly as the component writes (and logs) them, in the
// dialect of the catalogue's original engine: `Select m.ID FROM Móðurtafla m
// WHERE m.ID =  5`, `m.[ÖllFærslan]`, `FROM relations AS r, Databases AS d`,
// `WHERE (((O0.Orð) Like 'saga*'))`, `ORDER BY Númer DESC`, a trailing ";".
// `translate_jet` reads such a text into a tree once (jet_query.h) and has
// the backend's own writer make its SQL from it: sqlite_dialect.cpp for a
// file, postgres_dialect.cpp for a schema on a server
// (Schema::set_server_schema).  Both give the same rows in the same order:
//
//  - every literal (text, number, date) becomes a bound value, never
//    spliced into the SQL;
//  - table and column names are matched to the database's own spelling
//    without regard to letter case (Icelandic letters too);
//  - `=` and `<>` against a text compare folded texts, `Like` becomes a
//    prefix range on the fold (which an index serves) and a match of the
//    rest of the pattern, DISTINCT and ORDER BY on a text column ignore
//    letter case and sort in the Icelandic order, equal texts by their
//    folds, rows with equal keys in the order the table keeps them;
//  - only one SELECT is accepted; anything else is refused with the
//    engine's error before the backend sees it.
//
// One form is kvistur's own, for its code rather than the component's
// queries: `x IN (?)`, a list's place.  It counts as a literal, and takes
// a list of whole numbers of any length (an empty one when none is given)
// as one bound value, so that one query text, translated and prepared
// once, serves every list: SQLite reads the list through json_each, a
// server as an int8 array (`x = ANY ($1)`).  It is taken only by a query
// opened with its literals given apart (Database::OpenCursorWith); anywhere
// else, and as `NOT IN (?)`, `?` is a syntax error.
//
// Errors are kvistur::Error with the engine's numbers and source
// "DAO.Database".
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <unordered_map>
#include <vector>

#include "kvistur/text.h"
#include "platform/engine.h"
#include "platform/kept_memory.h"

namespace kvistur::db {

// The longest query text accepted, in 16-bit units.
inline constexpr std::size_t kMaxQueryLength = 65536;

// The tables and columns of one database file, for matching names.
struct ColumnInfo {
  ColumnInfo(std::string n = {}, bool is_text = true) : name(std::move(n)), text(is_text) {}
  std::string name;   // as the file spells it (UTF-8)
  bool text = true;   // declared as text, or not declared at all
  std::string folded;  // the name folded, filled by Schema::add_table
  // On a server: a stored column that holds this column's fold, which the
  // translation reads instead of folding the column row by row.
  std::string fold_column;
};
struct TableInfo {
  TableInfo(std::string n = {}, std::vector<ColumnInfo> c = {}) : name(std::move(n)), columns(std::move(c)) {}
  std::string name;
  std::vector<ColumnInfo> columns;
  // On a server: the columns that give the rows in the order an SQLite
  // file's table keeps them (its rowid, or its key in a table without one).
  std::vector<std::string> order;
  const ColumnInfo* find_column(const std::string& folded) const;
};
class Schema {
 public:
  void add_table(TableInfo t);
  // By name, ignoring letter case; nullptr when there is no such table.
  const TableInfo* find_table(const std::string& utf8_name) const;

  // The tables of a schema on a PostgreSQL server (see postgres_sql.h):
  // the translation then writes PostgreSQL's SQL for that schema.
  void set_server_schema(std::string name) { server_schema_ = std::move(name); }
  const std::string& server_schema() const { return server_schema_; }

 private:
  std::string server_schema_;
  std::vector<TableInfo> tables_;
  std::unordered_map<std::string, std::size_t> by_fold_;
};

struct SqlValue {
  enum Kind { kInteger, kReal, kText, kList } kind = kText;
  int64_t integer = 0;
  double real = 0;
  std::string text;
  std::vector<int64_t> list{};  // a list's place (`IN (?)`)
  // Where the value came from, so that a cached translation can take the
  // literals of another query of the same shape: the literal's number in the
  // query (-1 for a value the shape fixes) and whether it is folded.
  int source = -1;
  bool folded = false;
  // A number after a unary minus: the value is the number as written (the
  // minus stays in the SQL), and a literal put in its place by
  // take_literals is the signed number, so it is negated.
  bool negated = false;
  // A value made from a Like pattern (the literal at SOURCE, folded as
  // PATTERN): the pattern itself when it has no wildcards, the bounds of
  // the range of a text followed by one `*`, or a value that only this
  // pattern gives (the match of any other form), so that another pattern
  // put in its place (take_literals) is taken only when it is of the same
  // form and gives the same SQL.
  enum FromPattern { kAsWritten, kWholePattern, kPrefix, kPrefixEnd, kThisPattern } from_pattern = kAsWritten;
  std::string pattern{};
  friend bool operator==(const SqlValue& a, const SqlValue& b) {
    return a.kind == b.kind && a.integer == b.integer && a.real == b.real && a.text == b.text && a.list == b.list;
  }
};

struct Translation {
  std::string sql;               // the backend's SQL, with `?` for every value ($1, $2 ... on a server)
  std::vector<SqlValue> values;  // the values, in the order of the `?`s
  // The columns at the end of each row that the query did not ask for (the
  // keys a server's DISTINCT sorts by): the reader leaves them out.
  int hidden = 0;
  // On a server: every row has its place in the order of the rows (the
  // tables' own order is the last key, no TOP, nothing grouped), so that a
  // reader may take the rows a batch at a time, each batch a query of its
  // own in the same snapshot.
  bool resumable = false;
  // The tables of the FROM clause (as the database spells them), the
  // schema they are in, and the first that the database does not have.
  std::vector<std::string> tables;
  std::string schema, missing_table;
};

Translation translate_jet(TextView query, const Schema& schema);

// Puts LITERALS, the values that stand in the query's text in the place
// of its literals (in order, each number with its sign, each text as
// written in quotes, each list's numbers), into VALUES (Cursor::Again).
// False, leaving VALUES as they were, when a literal is missing, is not of
// the kind written in its place, or is a Like pattern of another form
// (SqlValue::FromPattern).
bool take_literals(std::vector<SqlValue>& values, const std::vector<Literal>& literals);
// The same, in VALUES itself without a copy: on false some of them may
// have changed (for a copy of its own that the caller then drops).
bool put_literals(std::vector<SqlValue>& values, const std::vector<Literal>& literals);
// Throws the syntax error of QUERY when its translation T has a list's
// place: a query opened with its values written in it (OpenRecordset,
// OpenCursor) has no list to put there.
void refuse_list_place(TextView query, const Translation& t);
// A list's numbers as the text a backend binds: OPEN, the numbers between
// commas, CLOSE (`[1,2]` for SQLite's json_each, `{1,2}` for a server's
// int8 array).
std::string list_text(const std::vector<int64_t>& list, char open, char close);
// Puts TEXT, a text literal as written (UTF-8), into V as the translation
// made V from the literal in its place; false when it cannot stand there.
bool put_text(SqlValue& v, const std::string& text);

// NAME as an identifier of SQLite and PostgreSQL alike: in double quotes, a
// quote in it doubled.
std::string quote_ident(std::string_view name);

// Translations by the shape of the query: the text with its literals left
// out (but the patterns of Like kept, since they decide the translation).
// Queries that differ only in their values, such as the record fetch for
// each record number, are translated once.  One per connection.
// A query asked again in exactly the same words (a search repeated, a
// record fetched again) is found by its text without being read again.
// What it keeps is bounded in bytes (it starts afresh when full) and
// charged to the process's budget (kept_memory.h); a translation without
// room is not kept.
class TranslationCache {
 public:
  static constexpr std::size_t kMaxBytes = std::size_t(2) << 20;
  Translation translate(TextView query, const Schema& schema);
  // The same translation, without a copy when it is kept: a reference to
  // the kept one (valid until the cache is next used), or SCRATCH filled.
  const Translation& translate(TextView query, const Schema& schema, Translation& scratch);
  // Lets every translation go (the schema's tables were read again).
  void clear();
  std::size_t bytes() const { return kept_.held(); }

 private:
  Translation translate_shape(TextView query, const Schema& schema);
  // Charges an entry of KEY and T; false when it is not to be kept.
  template <typename Key>
  bool charge(const Key& key, const Translation& t);
  std::unordered_map<std::string, Translation> entries_;
  // Looked up by the text as the caller holds it, without a copy.
  struct TextHash {
    using is_transparent = void;
    std::size_t operator()(TextView t) const { return std::hash<TextView>{}(t); }
  };
  // Compared as bytes: the character-by-character compare of a long query
  // text (a record fetch's is hundreds of characters) cost about a
  // thousand instructions a lookup.
  struct TextEqual {
    using is_transparent = void;
    bool operator()(TextView a, TextView b) const {
      return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(char16_t)) == 0;
    }
  };
  std::unordered_map<Text, Translation, TextHash, TextEqual> texts_;
  KeptBytes kept_;
};

}  // namespace kvistur::db
