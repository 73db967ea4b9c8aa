#include "platform/sqlite_functions.h"

#include "automation/nfc.h"

#include <sqlite3.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>

#include <cstring>
#include <stdexcept>
#include <vector>

namespace kvistur::db {
namespace {

// Decodes UTF-8 into code points; a malformed byte becomes U+FFFD.
std::vector<char32_t> code_points(std::string_view s) {
  std::vector<char32_t> out;
  out.reserve(s.size());
  Text t = from_utf8(s);
  for (std::size_t i = 0; i < t.size(); ++i) {
    char32_t c = t[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < t.size() && t[i + 1] >= 0xDC00 && t[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (t[i + 1] - 0xDC00);
      ++i;
    }
    out.push_back(c);
  }
  return out;
}

// One element of a compiled pattern.
struct PatternItem {
  enum Kind { kRun, kOne, kDigit, kChar, kClass };
  PatternItem(Kind k) : kind(k) {}
  Kind kind;
  char32_t c = 0;
  bool negated = false;
  std::vector<std::pair<char32_t, char32_t>> ranges;
  bool matches(char32_t x) const {
    switch (kind) {
      case kOne: return true;
      case kDigit: return x >= U'0' && x <= U'9';
      case kChar: return x == c;
      case kClass: {
        bool in = false;
        for (auto& [lo, hi] : ranges) in = in || (x >= lo && x <= hi);
        return in != negated;
      }
      case kRun: return true;
    }
    return false;
  }
};

struct PatternError {};

std::vector<PatternItem> compile(std::string_view folded_pattern) {
  std::vector<char32_t> p = code_points(folded_pattern);
  std::vector<PatternItem> out;
  for (std::size_t i = 0; i < p.size(); ++i) {
    char32_t c = p[i];
    if (c == U'*') {
      if (out.empty() || out.back().kind != PatternItem::kRun) out.push_back({PatternItem::kRun});
    } else if (c == U'?') {
      out.push_back({PatternItem::kOne});
    } else if (c == U'#') {
      out.push_back({PatternItem::kDigit});
    } else if (c == U'[') {
      // A class: [abc], [a-z], [!abc]; "[]" stands for nothing at all.
      std::size_t j = i + 1;
      PatternItem item{PatternItem::kClass};
      if (j < p.size() && p[j] == U'!') { item.negated = true; ++j; }
      while (j < p.size() && p[j] != U']') {
        char32_t lo = p[j];
        if (j + 2 < p.size() && p[j + 1] == U'-' && p[j + 2] != U']') {
          char32_t hi = p[j + 2];
          if (hi < lo) throw PatternError{};
          item.ranges.push_back({lo, hi});
          j += 3;
        } else {
          item.ranges.push_back({lo, lo});
          ++j;
        }
      }
      if (j >= p.size()) throw PatternError{};  // no closing bracket
      if (!item.ranges.empty() || item.negated) out.push_back(std::move(item));
      i = j;
    } else {
      PatternItem item{PatternItem::kChar};
      item.c = c;
      out.push_back(item);
    }
  }
  return out;
}

bool match_items(const std::vector<PatternItem>& pat, const std::vector<char32_t>& s) {
  // Greedy matching with one backtrack point: the last run seen.  Linear in
  // practice, at worst |pattern| * |text|, never exponential.
  std::size_t pi = 0, si = 0, star = std::string::npos, mark = 0;
  while (si < s.size()) {
    if (pi < pat.size() && pat[pi].kind == PatternItem::kRun) {
      star = pi++;
      mark = si;
    } else if (pi < pat.size() && pat[pi].matches(s[si])) {
      ++pi;
      ++si;
    } else if (star != std::string::npos) {
      pi = star + 1;
      si = ++mark;
    } else {
      return false;
    }
  }
  while (pi < pat.size() && pat[pi].kind == PatternItem::kRun) ++pi;
  return pi == pat.size();
}

bool fold_latin(std::string_view utf8, std::string& out);

void fn_fold(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) {
    sqlite3_result_null(ctx);
    return;
  }
  const char* s = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
  int n = sqlite3_value_bytes(argv[0]);
  // Most texts fold without ICU, into a buffer kept for the thread: an
  // index on kv_fold calls this once for every row.
  thread_local std::string f;
  std::string_view text(s ? s : "", std::size_t(n));
  if (!fold_latin(text, f)) f = fold_text(from_utf8(text));
  sqlite3_result_text(ctx, f.data(), int(f.size()), SQLITE_TRANSIENT);
}

// kv_like(pattern, value).  The compiled pattern is kept as auxiliary data,
// so that a scan compiles it once.
void fn_like(sqlite3_context* ctx, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL) {
    sqlite3_result_null(ctx);
    return;
  }
  auto* pat = static_cast<std::vector<PatternItem>*>(sqlite3_get_auxdata(ctx, 0));
  if (!pat) {
    const char* p = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
    int n = sqlite3_value_bytes(argv[0]);
    try {
      pat = new std::vector<PatternItem>(compile(fold_utf8(std::string_view(p ? p : "", std::size_t(n)))));
    } catch (const PatternError&) {
      sqlite3_result_error(ctx, "kv_like: invalid pattern string", -1);
      return;
    }
    sqlite3_set_auxdata(ctx, 0, pat, [](void* v) { delete static_cast<std::vector<PatternItem>*>(v); });
    pat = static_cast<std::vector<PatternItem>*>(sqlite3_get_auxdata(ctx, 0));
    if (!pat) {
      sqlite3_result_error_nomem(ctx);
      return;
    }
  }
  const char* s = reinterpret_cast<const char*>(sqlite3_value_text(argv[1]));
  int n = sqlite3_value_bytes(argv[1]);
  std::string f = fold_utf8(std::string_view(s ? s : "", std::size_t(n)));
  sqlite3_result_int(ctx, match_items(*pat, code_points(f)) ? 1 : 0);
}

int collate_ci(void*, int na, const void* a, int nb, const void* b) {
  return compare_kv_ci(std::string_view(static_cast<const char*>(a), std::size_t(na)),
                       std::string_view(static_cast<const char*>(b), std::size_t(nb)));
}

}  // namespace

int compare_kv_ci(std::string_view a, std::string_view b) {
  std::string fa = fold_utf8(a), fb = fold_utf8(b);
  if (fa == fb) return 0;
  int r = compare_ci(from_utf8(a), from_utf8(b));
  if (r != 0) return r < 0 ? -1 : 1;
  return fa < fb ? -1 : 1;
}

namespace {

// The fold of each character before U+0300, in UTF-8, taken from ICU once.
// Those characters are starters that never compose (a text of them alone
// is in normal form C) and case folding maps each character by itself, so
// the fold of such a text is the folds of its characters one after
// another: what fold_text gives, without a conversion to UTF-16 and ICU's
// passes over it.  No fold there is longer than three bytes (ß is "ss",
// İ is "i" and a combining dot).
struct FoldedChar {
  uint8_t length = 0;
  char bytes[7] = {};
};
constexpr char32_t kFoldTableEnd = 0x300;

const FoldedChar* folded_chars() {
  static const std::vector<FoldedChar> table = [] {
    std::vector<FoldedChar> t(kFoldTableEnd);
    for (char32_t c = 0; c < kFoldTableEnd; ++c) {
      std::string f = fold_text(TextView(std::u16string(1, char16_t(c))));
      if (f.size() > sizeof t[c].bytes) throw std::logic_error("a character's fold is longer than expected");
      t[c].length = uint8_t(f.size());
      std::memcpy(t[c].bytes, f.data(), f.size());
    }
    return t;
  }();
  return table.data();
}

// Folds UTF-8 of characters before U+0300 into OUT (replacing what it
// held); false, OUT unspecified, for a text with any other byte.
bool fold_latin(std::string_view utf8, std::string& out) {
  const FoldedChar* chars = folded_chars();
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  std::size_t n = utf8.size();
  // A pair of bytes folds to at most three, a single byte to one.
  out.resize(n + n / 2 + 8);
  char* o = out.data();
  for (std::size_t i = 0; i < n;) {
    unsigned char b = p[i];
    const FoldedChar* f;
    if (b < 0x80) {
      *o++ = char(b >= 'A' && b <= 'Z' ? b - 'A' + 'a' : b);
      ++i;
      continue;
    }
    if (b < 0xC2 || b > 0xCB || i + 1 >= n || (p[i + 1] & 0xC0) != 0x80) return false;
    f = &chars[((b & 0x1F) << 6) | (p[i + 1] & 0x3F)];
    std::memcpy(o, f->bytes, sizeof f->bytes);
    o += f->length;
    i += 2;
  }
  out.resize(std::size_t(o - out.data()));
  return true;
}

}  // namespace

std::string fold_utf8(std::string_view utf8) {
  std::string out;
  if (!fold_latin(utf8, out)) out = fold_text(from_utf8(utf8));
  return out;
}

std::string fold_text(TextView s) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfc = NfcNormalizer();
  icu::UnicodeString u(false, s.data(), int32_t(s.size()));
  icu::UnicodeString n = nfc ? nfc->normalize(u, status) : u;
  if (U_FAILURE(status)) n = u;
  n.foldCase(U_FOLD_CASE_DEFAULT);
  return to_utf8(TextView(n.getBuffer(), std::size_t(n.length())));
}

bool like_match(std::string_view folded_pattern, std::string_view folded_text) {
  try {
    return match_items(compile(folded_pattern), code_points(folded_text));
  } catch (const PatternError&) {
    return false;
  }
}

LikePrefix like_prefix(std::string_view folded_pattern) {
  LikePrefix out;
  std::size_t i = 0;
  while (i < folded_pattern.size()) {
    char c = folded_pattern[i];
    if (c == '*' || c == '?' || c == '#' || c == '[') break;
    ++i;
  }
  out.prefix = std::string(folded_pattern.substr(0, i));
  out.exact_prefix_match = i + 1 == folded_pattern.size() && folded_pattern[i] == '*';
  return out;
}

std::string prefix_upper_bound(const std::string& prefix) { return prefix + "\xF4\x8F\xBF\xBF"; }

int register_kv_functions(sqlite3* connection) {
  const int flags = SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS;
  int rc = sqlite3_create_function_v2(connection, "kv_fold", 1, flags, nullptr, fn_fold, nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK)
    rc = sqlite3_create_function_v2(connection, "kv_like", 2, flags, nullptr, fn_like, nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_create_collation_v2(connection, "KV_CI", SQLITE_UTF8, nullptr, collate_ci, nullptr);
  return rc;
}

}  // namespace kvistur::db

namespace kvistur::db {
bool like_pattern_valid(std::string_view folded_pattern) {
  try {
    compile(folded_pattern);
    return true;
  } catch (const PatternError&) {
    return false;
  }
}

std::string like_regex(std::string_view folded_pattern) {
  auto put = [](std::string& out, char32_t c) {
    // ASCII that is not a letter or digit is escaped, inside a class and
    // out (a backslash before a letter or digit would start an escape).
    bool alnum = (c >= U'0' && c <= U'9') || (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z');
    if (c < 0x80 && !alnum) out += '\\';
    std::u16string t;
    if (c >= 0x10000) {
      t += char16_t(0xD800 + ((c - 0x10000) >> 10));
      t += char16_t(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      t += char16_t(c);
    }
    out += to_utf8(t);
  };
  std::string out = "^";
  for (const PatternItem& item : compile(folded_pattern)) {
    switch (item.kind) {
      case PatternItem::kRun: out += ".*"; break;
      case PatternItem::kOne: out += "."; break;
      case PatternItem::kDigit: out += "[0-9]"; break;
      case PatternItem::kChar: put(out, item.c); break;
      case PatternItem::kClass:
        if (item.ranges.empty()) {  // [!]: any one character
          out += ".";
          break;
        }
        out += item.negated ? "[^" : "[";
        for (auto& [lo, hi] : item.ranges) {
          put(out, lo);
          if (hi != lo) {
            out += '-';
            put(out, hi);
          }
        }
        out += "]";
        break;
    }
  }
  return out + "$";
}
}  // namespace kvistur::db

namespace kvistur::db {

Variant column_variant(sqlite3_stmt* s, int i) {
  switch (sqlite3_column_type(s, i)) {
    case SQLITE_INTEGER: {
      sqlite3_int64 v = sqlite3_column_int64(s, i);
      if (v >= INT32_MIN && v <= INT32_MAX) return Variant(int32_t(v));
      return Variant(double(v));
    }
    case SQLITE_FLOAT:
      return Variant(sqlite3_column_double(s, i));
    case SQLITE_NULL:
      return Variant::null();
    default: {
      const char* p = reinterpret_cast<const char*>(sqlite3_column_blob(s, i));
      int n = sqlite3_column_bytes(s, i);
      return Variant(from_utf8(std::string_view(p ? p : "", std::size_t(n))));
    }
  }
}

}  // namespace kvistur::db
