// The text comparisons of the catalogue's query dialect, as SQLite functions.
//
// Queries compare text the way the catalogue's original engine did: `=`,
// `DISTINCT` and `Like` ignore letter case (Icelandic letters included) but
// not accents.  The translator (jet_sql.h) writes those comparisons with the
// functions registered here:
//
//   kv_fold(x)        x with its letter case folded (NFC, Unicode case folding),
//                     as UTF-8 text; two texts are equal ignoring case exactly
//                     when their folds are equal.  Deterministic, so that
//                     `CREATE INDEX ... ON Orð(kv_fold(Orð))` serves `=` and
//                     `Like 'prefix*'` (see `kvistur index`).
//   kv_like(p, x)     1 when x matches the pattern p: `*` any run, `?` one
//                     character, `#` one digit, `[abc]`, `[a-z]`, `[!abc]`;
//                     everything else (`%`, `_` too) stands for itself.
//   COLLATE KV_CI     order by the Icelandic alphabet ignoring case, equal
//                     exactly when the folds are equal (DISTINCT, ORDER BY).
//
// Every connection the engine opens has them; a tool that writes to a file
// with kv_fold indexes must register them too (`register_kv_functions`).
#pragma once

#include <string>

#include "kvistur/text.h"
#include "kvistur/variant.h"

struct sqlite3;
struct sqlite3_stmt;

namespace kvistur::db {

// Registers kv_fold, kv_like and the KV_CI collation on the connection.
// Returns an SQLite result code.
int register_kv_functions(sqlite3* connection);

// Column I of the statement's current row as the engine gives every value:
// an integer that fits 32 bits as a Long, a larger one or a real as a
// Double, null as Null, a text or blob as Text (UTF-8 decoded).
Variant column_variant(sqlite3_stmt* s, int i);

// The fold of a text, as kv_fold computes it (UTF-8).
std::string fold_text(TextView s);
std::string fold_utf8(std::string_view utf8);

// The order of COLLATE KV_CI on two UTF-8 texts: <0, 0 or >0.
int compare_kv_ci(std::string_view a, std::string_view b);

// Pattern matching of `Like`, on texts already folded (UTF-8).
bool like_match(std::string_view folded_pattern, std::string_view folded_text);

// The longest run at the start of a folded pattern that holds no wildcard,
// and whether the rest of the pattern is nothing but one `*` (then a prefix
// range alone answers the match).
struct LikePrefix {
  std::string prefix;
  bool exact_prefix_match = false;
};
LikePrefix like_prefix(std::string_view folded_pattern);

// The least text that sorts after every text starting with `prefix` in
// binary (code point) order: `prefix` followed by U+10FFFF.
std::string prefix_upper_bound(const std::string& prefix);

}  // namespace kvistur::db

namespace kvistur::db {
// False when a folded pattern cannot be read (a "[" without its "]", a
// range running backwards).
bool like_pattern_valid(std::string_view folded_pattern);

// The same match as a regular expression of PostgreSQL (an anchored
// advanced expression over code points), for a pattern that is valid.
std::string like_regex(std::string_view folded_pattern);
}  // namespace kvistur::db
