// The catalogue's query dialect, translated for SQLite.
//
// Queries arrive exactly as the component writes (and logs) them, in the
// dialect of the catalogue's original engine: `Select m.ID FROM Móðurtafla m
// WHERE m.ID =  5`, `m.[ÖllFærslan]`, `FROM relations AS r, Databases AS d`,
// `WHERE (((O0.Orð) Like 'saga*'))`, `ORDER BY Númer DESC`, a trailing ";".
// `translate_jet` tokenises such a text and writes the SQLite statement:
//
//  - every literal (text, number, date) becomes a `?` with its value bound,
//    so no value is ever spliced into SQLite's SQL;
//  - identifiers are quoted, and table and column names are matched to the
//    file's own spelling without regard to letter case (Icelandic letters
//    too, which SQLite alone would not do);
//  - `=` and `<>` against a text compare folded texts, `Like` becomes a
//    prefix range on kv_fold (which an index serves) and/or kv_like, and
//    DISTINCT and ORDER BY on text columns use the KV_CI collation, so that
//    letter case never matters (sqlite_functions.h);
//  - only one SELECT is accepted; anything else is refused with the engine's
//    error before SQLite sees it.
//
// For a schema on a PostgreSQL server (Schema::set_server_schema) the same
// query becomes PostgreSQL's SQL with the same meaning and the same rows in
// the same order: tables named in their schema, `$1`... for the values,
// the fold by the schema's kv_fold (or a stored fold column), Like as a
// prefix range and a regular expression on the fold, text compared by `<`
// in the Icelandic collation kv_ci with the fold breaking its ties, and the
// rows in their stored order (SQLite's rowid) for the reader, who keeps the
// first of each set of equal rows for DISTINCT (Translation::distinct) and
// sorts them for ORDER BY as SQLite does (Translation::sort).
//
// Errors are kvistur::Error with the engine's numbers and source
// "DAO.Database".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <unordered_map>
#include <vector>

#include "kvistur/text.h"
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
  enum Kind { kInteger, kReal, kText } kind = kText;
  int64_t integer = 0;
  double real = 0;
  std::string text;
  // Where the value came from, so that a cached translation can take the
  // literals of another query of the same shape: the literal's number in the
  // query (-1 for a value the shape fixes) and whether it is folded.
  int source = -1;
  bool folded = false;
  friend bool operator==(const SqlValue& a, const SqlValue& b) {
    return a.kind == b.kind && a.integer == b.integer && a.real == b.real && a.text == b.text;
  }
};

struct SortKey {
  bool text = false, descending = false;
};

struct Translation {
  std::string sql;               // SQLite's SQL, with `?` for every value ($1, $2 ... on a server)
  std::vector<SqlValue> values;  // the values, in the order of the `?`s
  // On a server, where the query's DISTINCT is left to the reader: whether
  // rows repeating an earlier row are to be dropped, the columns whose
  // repeats are judged by their fold (the others by their value), and the
  // number of rows to keep (TOP), -1 for all.
  bool distinct = false;
  std::vector<std::string> distinct_fold;
  int64_t limit = -1;
  // On a server, the ORDER BY keys the reader sorts by, in the columns after
  // the query's own: whether each compares as text by KV_CI, and its
  // direction.  The reader sorts as SQLite's sorter does, so that rows with
  // equal keys come in the order SQLite gives them.
  std::vector<SortKey> sort;
  // The tables of the FROM clause (as the database spells them), the
  // schema they are in, and the first that the database does not have.
  std::vector<std::string> tables;
  std::string schema, missing_table;
};

Translation translate_jet(TextView query, const Schema& schema);

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
  // Lets every translation go (the schema's tables were read again).
  void clear();
  std::size_t bytes() const { return kept_.held(); }

 private:
  Translation translate_shape(TextView query, const Schema& schema);
  // Charges an entry of KEY and T; false when it is not to be kept.
  template <typename Key>
  bool charge(const Key& key, const Translation& t);
  std::unordered_map<std::string, Translation> entries_;
  std::unordered_map<Text, Translation> texts_;
  KeptBytes kept_;
};

}  // namespace kvistur::db
