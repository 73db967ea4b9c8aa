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
// Errors are kvistur::Error with the engine's numbers and source
// "DAO.Database".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <unordered_map>
#include <vector>

#include "kvistur/text.h"

namespace kvistur::db {

// The longest query text accepted, in 16-bit units.
inline constexpr std::size_t kMaxQueryLength = 65536;

// The tables and columns of one database file, for matching names.
struct ColumnInfo {
  ColumnInfo(std::string n = {}, bool is_text = true) : name(std::move(n)), text(is_text) {}
  std::string name;   // as the file spells it (UTF-8)
  bool text = true;   // declared as text, or not declared at all
  std::string folded;  // the name folded, filled by Schema::add_table
};
struct TableInfo {
  std::string name;
  std::vector<ColumnInfo> columns;
  const ColumnInfo* find_column(const std::string& folded) const;
};
class Schema {
 public:
  void add_table(TableInfo t);
  // By name, ignoring letter case; nullptr when there is no such table.
  const TableInfo* find_table(const std::string& utf8_name) const;

 private:
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

struct Translation {
  std::string sql;               // SQLite's SQL, with `?` for every value
  std::vector<SqlValue> values;  // the values, in the order of the `?`s
};

Translation translate_jet(TextView query, const Schema& schema);

// Translations by the shape of the query: the text with its literals left
// out (but the patterns of Like kept, since they decide the translation).
// Queries that differ only in their values, such as the record fetch for
// each record number, are translated once.  One per connection.
// A query asked again in exactly the same words (a search repeated, a
// record fetched again) is found by its text without being read again.
class TranslationCache {
 public:
  static constexpr std::size_t kMaxEntries = 512;
  static constexpr std::size_t kMaxTexts = 1024;
  Translation translate(TextView query, const Schema& schema);

 private:
  Translation translate_shape(TextView query, const Schema& schema);
  std::unordered_map<std::string, Translation> entries_;
  std::unordered_map<Text, Translation> texts_;
};

}  // namespace kvistur::db
