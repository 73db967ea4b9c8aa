#include "platform/jet_sql.h"

#include <charconv>
#include <cstdlib>

#include "platform/jet_query.h"
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

Translation write(const JetQuery& q, const Schema& schema) {
  return schema.server_schema().empty() ? write_sqlite(q) : write_postgres(q, schema);
}

}  // namespace

Translation translate_jet(TextView query, const Schema& schema) {
  return write(parse_jet(query, schema, tokenize_jet(query)), schema);
}

namespace {

// The bytes a translation holds beyond the object itself.
std::size_t heap_bytes(const Translation& t) {
  std::size_t n = HeapBytes(t.sql) + HeapBytes(t.values) + HeapBytes(t.tables) + HeapBytes(t.schema) +
                  HeapBytes(t.missing_table);
  for (const SqlValue& v : t.values) n += HeapBytes(v.text);
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
  auto seen = texts_.find(query);
  if (seen != texts_.end()) return seen->second;
  Translation t = translate_shape(query, schema);
  Text text(query);
  if (charge(text, t)) texts_.emplace(std::move(text), t);
  return t;
}

const Translation& TranslationCache::translate(TextView query, const Schema& schema, Translation& scratch) {
  auto seen = texts_.find(query);
  if (seen != texts_.end()) return seen->second;
  scratch = translate(query, schema);
  return scratch;
}

Translation TranslationCache::translate_shape(TextView query, const Schema& schema) {
  std::vector<JetToken> tokens = tokenize_jet(query);
  // The shape: every token but the literals, which stand as their kind; a
  // literal after Like stays, since the pattern decides the translation.
  std::string key;
  std::vector<const JetToken*> literals;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const JetToken& tk = tokens[i];
    bool after_like = i > 0 && is_word(tokens[i - 1], "LIKE");
    key += char('0' + int(tk.kind));
    if (tk.literal >= 0) {
      literals.push_back(&tk);
      if (tk.kind == JetToken::kNumber) key += is_integer_text(tk.text) ? "i" : "r";
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
    Translation t = write(parse_jet(query, schema, std::move(tokens)), schema);
    if (!charge(key, t)) return t;
    it = entries_.emplace(std::move(key), std::move(t)).first;
    return it->second;
  }
  Translation out = it->second;
  for (SqlValue& v : out.values) {
    if (v.source < 0) continue;
    const JetToken& tk = *literals[std::size_t(v.source)];
    if (v.kind == SqlValue::kInteger) v.integer = std::strtoll(tk.text.c_str(), nullptr, 10);
    else if (v.kind == SqlValue::kReal) v.real = std::strtod(tk.text.c_str(), nullptr);
    else if (v.kind == SqlValue::kList) v.list.clear();  // a list's place written alone: empty
    else if (!put_text(v, tk.text)) return write(parse_jet(query, schema, tokenize_jet(query)), schema);
  }
  return out;
}

bool put_text(SqlValue& v, const std::string& text) {
  if (v.from_pattern == SqlValue::kAsWritten) {
    v.text = v.folded ? fold_utf8(text) : text;
    return true;
  }
  std::string pattern = fold_utf8(text);
  if (v.from_pattern == SqlValue::kThisPattern) return pattern == v.pattern;
  if (!like_pattern_valid(pattern)) return false;
  LikePrefix lp = like_prefix(pattern);
  if (v.from_pattern == SqlValue::kWholePattern) {
    if (lp.prefix != pattern) return false;
    v.text = pattern;
  } else {
    if (!lp.exact_prefix_match || lp.prefix.empty()) return false;
    v.text = v.from_pattern == SqlValue::kPrefix ? lp.prefix : prefix_upper_bound(lp.prefix);
  }
  v.pattern = std::move(pattern);
  return true;
}

void refuse_list_place(TextView query, const Translation& t) {
  for (const SqlValue& v : t.values)
    if (v.kind == SqlValue::kList) syntax_error(query);
}

std::string list_text(const std::vector<int64_t>& list, char open, char close) {
  std::string out(1, open);
  char digits[24];
  for (int64_t n : list) {
    if (out.size() > 1) out += ',';
    out.append(digits, std::to_chars(digits, digits + sizeof digits, n).ptr);
  }
  out += close;
  return out;
}

bool take_literals(std::vector<SqlValue>& values, const std::vector<Literal>& literals) {
  std::vector<SqlValue> out = values;
  if (!put_literals(out, literals)) return false;
  values.swap(out);
  return true;
}

bool put_literals(std::vector<SqlValue>& values, const std::vector<Literal>& literals) {
  for (SqlValue& v : values) {
    if (v.source < 0) continue;
    if (std::size_t(v.source) >= literals.size()) return false;
    const Literal& literal = literals[std::size_t(v.source)];
    if (const int64_t* n = std::get_if<int64_t>(&literal)) {
      if (v.kind != SqlValue::kInteger) return false;
      if (v.negated && *n == INT64_MIN) return false;  // no magnitude to write
      v.integer = v.negated ? -*n : *n;
    } else if (const auto* list = std::get_if<std::vector<int64_t>>(&literal)) {
      if (v.kind != SqlValue::kList) return false;
      v.list = *list;
    } else if (v.kind == SqlValue::kList) {
      return false;
    } else if (v.kind != SqlValue::kText || !put_text(v, to_utf8(std::get<Text>(literal)))) {
      return false;
    }
  }
  return true;
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
