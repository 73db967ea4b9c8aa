#include "platform/postgres_sql.h"

#include <poll.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <vector>

#include "kvistur/error.h"
#include "platform/content_stamp.h"
#include "platform/jet_sql.h"

namespace kvistur::db::pg {

bool is_server_path(TextView path) {
  return path.substr(0, 13) == u"postgresql://" || path.substr(0, 11) == u"postgres://";
}

std::optional<ServerPath> split_server_path(TextView path) {
  if (!is_server_path(path)) return std::nullopt;
  // The folder ends at the last "\": the component joins folder and file
  // name with one.
  std::size_t cut = path.rfind(u'\\');
  TextView folder = cut == TextView::npos ? path : path.substr(0, cut);
  TextView file = cut == TextView::npos ? TextView() : path.substr(cut + 1);
  while (!folder.empty() && folder.back() == u'\\') folder.remove_suffix(1);
  std::size_t dot = file.rfind(u'.');
  if (dot != TextView::npos && dot > 0) file = file.substr(0, dot);
  return ServerPath{to_utf8(folder), to_utf8(file)};
}

std::string without_credentials(const std::string& given) {
  std::string uri = given;
  std::size_t scheme = uri.find("://");
  if (scheme == std::string::npos) return uri;
  std::size_t start = scheme + 3, end = uri.find_first_of("/?", start);
  std::size_t at = uri.rfind('@', end == std::string::npos ? uri.size() : end);
  if (at != std::string::npos && at >= start) uri.erase(start, at + 1 - start);
  std::size_t q = uri.find('?');
  if (q == std::string::npos) return uri;
  std::string kept;
  std::size_t from = q + 1;
  while (from <= uri.size()) {
    std::size_t amp = uri.find('&', from);
    std::string item = uri.substr(from, amp == std::string::npos ? std::string::npos : amp - from);
    if (!item.empty() && item.rfind("user=", 0) != 0 && item.rfind("password=", 0) != 0)
      kept += (kept.empty() ? "" : "&") + item;
    if (amp == std::string::npos) break;
    from = amp + 1;
  }
  return uri.substr(0, q) + (kept.empty() ? "" : "?" + kept);
}

namespace {

// S between quotes Q, a Q inside doubled.
std::string quoted(std::string_view s, char q) {
  std::string out(1, q);
  for (char c : s) {
    if (c == q) out += q;
    out += c;
  }
  return out + q;
}

}  // namespace

// A backslash makes it an escape string (E'...', the backslash doubled),
// which means the same whatever the session's standard_conforming_strings.
std::string quote_literal(std::string_view value) {
  if (value.find('\\') == std::string_view::npos) return quoted(value, '\'');
  std::string doubled;
  for (char c : value) doubled += c == '\\' ? std::string("\\\\") : std::string(1, c);
  return "E" + quoted(doubled, '\'');
}

void bytes_of_hex(std::string_view digits, std::string& out) {
  auto value = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  out.clear();
  out.reserve(digits.size() / 2);
  for (std::size_t k = 0; k + 1 < digits.size(); k += 2) out += char(value(digits[k]) << 4 | value(digits[k + 1]));
}

std::string bytes_of_hex(std::string_view digits) {
  std::string bytes;
  bytes_of_hex(digits, bytes);
  return bytes;
}

std::string sql_state(const PGresult* r) {
  const char* s = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
  return s ? s : "";
}

namespace {

// The SQLSTATE in a connection's error message: libpq writes it after the
// severity ("FATAL:  28P01: password ...") when the verbosity is
// PQERRORS_VERBOSE.  The severity word is in the server's language, the
// code never is.
std::string state_in_message(const std::string& m) {
  for (std::size_t p = m.find(":  "); p != std::string::npos; p = m.find(":  ", p + 1)) {
    std::size_t s = p + 3;
    if (s + 6 > m.size() || m[s + 5] != ':') continue;
    bool ok = true;
    for (std::size_t i = s; i < s + 5; ++i) ok = ok && ((m[i] >= '0' && m[i] <= '9') || (m[i] >= 'A' && m[i] <= 'Z'));
    if (ok) return m.substr(s, 5);
  }
  return "";
}

// Waits for the socket as libpq asks, up to the deadline; false when it
// passed.
bool wait_for(PGconn* c, PostgresPollingStatusType st, std::chrono::steady_clock::time_point deadline) {
  pollfd p{PQsocket(c), short(st == PGRES_POLLING_READING ? POLLIN : POLLOUT), 0};
  if (p.fd < 0) return true;  // libpq reports the failure at the next poll
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    int rc = ::poll(&p, 1, int(left.count()));
    if (rc > 0) return true;
    if (rc == 0) return false;
    if (errno != EINTR) return true;
  }
}

}  // namespace

void close_connection(PGconn* c) {
  if (PQstatus(c) == CONNECTION_OK && PQtransactionStatus(c) == PQTRANS_ACTIVE) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCloseWaitMilliseconds);
    bool owed = true;
    while (owed && PQconsumeInput(c) == 1) {
      while (owed && !PQisBusy(c)) {
        PGresult* r = PQgetResult(c);
        owed = r != nullptr;
        PQclear(r);
      }
      if (owed && !wait_for(c, PGRES_POLLING_READING, deadline)) break;
    }
  }
  PQfinish(c);
}

Connection connect(const std::string& uri, const std::string& user, const std::string& password, bool read_only,
                   const char16_t* source, std::string* why) {
  std::vector<const char*> keys{"dbname", "application_name", "client_encoding"};
  std::vector<const char*> values{uri.c_str(), "kvistur", "UTF8"};
  if (!user.empty()) keys.push_back("user"), values.push_back(user.c_str());
  if (!password.empty()) keys.push_back("password"), values.push_back(password.c_str());
  if (read_only) keys.push_back("options"), values.push_back("-c default_transaction_read_only=on");
  keys.push_back(nullptr);
  values.push_back(nullptr);
  Connection c(PQconnectStartParams(keys.data(), values.data(), 1));
  if (!c) throw Error(kConnectionFailed, source, u"ODBC--connection to '" + from_utf8(uri) + u"' failed.");
  PQsetErrorVerbosity(c.get(), PQERRORS_VERBOSE);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kConnectTimeoutSeconds);
  PostgresPollingStatusType st = PGRES_POLLING_WRITING;
  if (PQstatus(c.get()) == CONNECTION_BAD) st = PGRES_POLLING_FAILED;
  bool timed_out = false;
  while (st != PGRES_POLLING_OK && st != PGRES_POLLING_FAILED) {
    if (!wait_for(c.get(), st, deadline)) {
      st = PGRES_POLLING_FAILED;
      timed_out = true;
      break;
    }
    st = PQconnectPoll(c.get());
  }
  if (st == PGRES_POLLING_OK && PQstatus(c.get()) == CONNECTION_OK) {
    PQsetErrorVerbosity(c.get(), PQERRORS_DEFAULT);
    // The server's notices ("drop cascades to ...") are not for the host.
    PQsetNoticeProcessor(c.get(), [](void*, const char*) {}, nullptr);
    return c;
  }
  std::string message = PQerrorMessage(c.get());
  std::string state = state_in_message(message);
  if (why) {
    // The first line, without libpq's "connection to server ... failed: "
    // and the code.
    *why = message.substr(0, message.find('\n'));
    if (!state.empty()) {
      std::size_t at = why->find(state + ": ");
      if (at != std::string::npos) *why = why->substr(at + 7);
    }
    if (timed_out || why->empty()) *why = "no answer within " + std::to_string(kConnectTimeoutSeconds) + " s";
  }
  // Class 28 is the server refusing the role or its password; 42501 a role
  // without the right to connect to the database.
  if (PQconnectionNeedsPassword(c.get()) || state.rfind("28", 0) == 0 || state == "42501")
    throw Error(kLogOnRefused, source, u"Not a valid account name or password.");
  throw Error(kConnectionFailed, source, u"ODBC--connection to '" + from_utf8(uri) + u"' failed.");
}

namespace {

// The characters whose fold differs from their lower case by ICU's root
// locale, with their folds: a code point that lower case leaves as it is
// but folding changes (ß -> ss, ς -> σ, ﬁ -> fi, Cherokee small letters to
// capitals ...).  Folding is idempotent, so the folds hold none of them.
const std::map<char32_t, std::string>& fold_fixes() {
  static const std::map<char32_t, std::string> fixes = [] {
    std::map<char32_t, std::string> m;
    for (UChar32 c = 0; c <= 0x10FFFF; ++c) {
      if (c >= 0xD800 && c <= 0xDFFF) continue;
      icu::UnicodeString s(c), lower(s), fold(s);
      lower.toLower(icu::Locale::getRoot());
      if (lower != s) continue;
      fold.foldCase(U_FOLD_CASE_DEFAULT);
      if (fold == s) continue;
      std::string f;
      fold.toUTF8String(f);
      m[char32_t(c)] = f;
    }
    return m;
  }();
  return fixes;
}

std::string utf8_of(char32_t c) {
  std::string out;
  icu::UnicodeString(UChar32(c)).toUTF8String(out);
  return out;
}

}  // namespace

SchemaObjects schema_objects_sql(const std::string& schema) {
  std::string s = quote_ident(schema);
  // kv_fold: ASCII folds by plain lower case ("C" lowers A-Z only); other
  // text is put in NFC, lowered by ICU, and the characters whose fold is
  // not their lower case are mended, one-for-one by translate(), the rest
  // by replace().
  std::string from, to, expr = "translate(lower(normalize(x, NFC) COLLATE \"und-x-icu\"), ";
  std::vector<std::pair<std::string, std::string>> longer;
  for (auto& [c, fold] : fold_fixes()) {
    if (icu::UnicodeString::fromUTF8(fold).countChar32() == 1) {
      from += utf8_of(c);
      to += fold;
    } else {
      longer.push_back({utf8_of(c), fold});
    }
  }
  expr += quote_literal(from) + ", " + quote_literal(to) + ")";
  for (auto& [c, fold] : longer) expr = "replace(" + expr + ", " + quote_literal(c) + ", " + quote_literal(fold) + ")";
  SchemaObjects o;
  o.fold = "CREATE FUNCTION " + s +
           ".kv_fold(x text) RETURNS text LANGUAGE sql IMMUTABLE PARALLEL SAFE AS $kv$ SELECT CASE"
           " WHEN octet_length(x) = char_length(x) THEN lower(x COLLATE \"C\") COLLATE \"default\" ELSE " +
           expr + " COLLATE \"default\" END $kv$;\n";
  o.collation = "CREATE COLLATION " + s + ".kv_ci (provider = icu, locale = 'is-IS-u-ks-level2', deterministic = false);\n";
  o.changes = "CREATE TABLE " + s + "." + kChangesTable + " (generation text NOT NULL, n bigint NOT NULL);\n"
              "INSERT INTO " + s + "." + kChangesTable + " VALUES (gen_random_uuid()::text, 0);\n"
              // The schema is found by the trigger's table, so that the
              // function still works after the schema is renamed into place.
              "CREATE FUNCTION " + s + ".kv_count_change() RETURNS trigger LANGUAGE plpgsql AS $kv$ BEGIN"
              " EXECUTE format('UPDATE %I." + kChangesTable + " SET n = n + 1', TG_TABLE_SCHEMA); RETURN NULL; END $kv$;\n";
  return o;
}

std::string change_trigger_sql(const std::string& schema, const std::string& table) {
  std::string s = quote_ident(schema);
  return "CREATE TRIGGER kv_count_change AFTER INSERT OR UPDATE OR DELETE OR TRUNCATE ON " + s + "." +
         quote_ident(table) + " FOR EACH STATEMENT EXECUTE FUNCTION " + s + ".kv_count_change();\n";
}

const std::vector<std::string>& stamp_trigger_names() {
  static const std::vector<std::string> names = {"kv_state_records", "kv_state_records_update", "kv_state_links",
                                                 "kv_state_words"};
  return names;
}

std::string stamp_triggers_sql(const std::string& schema, const std::vector<std::string>& record_columns) {
  std::string s = quote_ident(schema), sql, updated;
  for (const std::string& c : stamped_record_columns())
    updated += (updated.empty() ? "UPDATE OF " : ", ") + quote_ident(spelled_as(record_columns, c));
  sql = "CREATE OR REPLACE FUNCTION " + s + ".kv_raise_state() RETURNS trigger LANGUAGE plpgsql AS $kv$ BEGIN"
        " EXECUTE format('UPDATE %I.kv_state SET %I = %I + 1', TG_TABLE_SCHEMA, TG_ARGV[0], TG_ARGV[0]); RETURN NULL;"
        " END $kv$;\n";
  struct T {
    const char* name;
    std::string event;
    const char *table, *counter;
  };
  const T list[] = {{"kv_state_records", "INSERT OR DELETE OR TRUNCATE", "Móðurtafla", "records"},
                    {"kv_state_records_update", updated, "Móðurtafla", "records"},
                    {"kv_state_links", "INSERT OR DELETE OR UPDATE OR TRUNCATE", "Tengill", "links"},
                    {"kv_state_words", "INSERT OR DELETE OR UPDATE OR TRUNCATE", "Orð", "words"}};
  for (const T& t : list)
    sql += std::string("DROP TRIGGER IF EXISTS ") + t.name + " ON " + s + "." + quote_ident(t.table) + ";\nCREATE TRIGGER " +
           t.name + " AFTER " + t.event + " ON " + s + "." + quote_ident(t.table) + " FOR EACH STATEMENT EXECUTE FUNCTION " +
           s + ".kv_raise_state('" + t.counter + "');\n";
  return sql;
}

std::vector<FactsTrigger> facts_triggers(const std::function<std::vector<std::string>(const char* table)>& columns_of) {
  std::vector<FactsTrigger> out;
  for (const FactsSource& f : facts_sources()) {
    const std::vector<std::string> columns = columns_of(f.table);
    if (columns.empty()) continue;
    std::string updated;
    for (const std::string& c : f.updated) {
      std::string spelled = spelled_as(columns, c);
      if (std::find(columns.begin(), columns.end(), spelled) != columns.end())
        updated += (updated.empty() ? "UPDATE OF " : ", ") + quote_ident(spelled);
    }
    if (f.updated.empty()) updated = "UPDATE";
    std::string event = f.rows ? "INSERT OR DELETE OR TRUNCATE" : "";
    if (!updated.empty()) event += (event.empty() ? "" : " OR ") + updated;
    if (!event.empty()) out.push_back({std::string("kv_state_facts_") + f.name, f.table, event});
  }
  return out;
}

std::string facts_triggers_sql(const std::string& schema, const std::vector<FactsTrigger>& triggers) {
  std::string s = quote_ident(schema), sql;
  for (const FactsTrigger& t : triggers)
    sql += "DROP TRIGGER IF EXISTS " + t.name + " ON " + s + "." + quote_ident(t.table) + ";\nCREATE TRIGGER " + t.name +
           " AFTER " + t.event + " ON " + s + "." + quote_ident(t.table) + " FOR EACH STATEMENT EXECUTE FUNCTION " + s +
           ".kv_raise_state('" + kFactsColumn + "');\n";
  return sql;
}

std::string tables_query(const std::string& oid) {
  return "SELECT c.relname, a.attname, t.typcategory = 'S', coalesce((SELECT k.n FROM unnest(i.indkey::int2[]) WITH "
         "ORDINALITY k(a, n) WHERE k.a = a.attnum), 0), EXISTS (SELECT 1 FROM pg_trigger g WHERE g.tgrelid = c.oid AND "
         "g.tgname = 'kv_count_change'), t.typname, c.relkind, c.oid FROM pg_class c JOIN pg_attribute a ON a.attrelid = c.oid AND "
         "a.attnum > 0 AND NOT a.attisdropped JOIN pg_type t ON t.oid = a.atttypid LEFT JOIN pg_index i ON i.indrelid = "
         "c.oid AND i.indisprimary WHERE c.relnamespace = " + oid +
         " AND c.relkind IN ('r', 'v', 'm', 'f', 'p') ORDER BY c.relname, a.attnum";
}

std::string shape_sql(const std::string& oid) {
  return "(SELECT coalesce(md5(string_agg(c.oid || ':' || c.xmin || ':' || coalesce(a.cols, ''), ',' ORDER BY c.oid)), '') "
         "FROM pg_class c LEFT JOIN LATERAL (SELECT string_agg(a.attnum || '.' || a.xmin, ' ' ORDER BY a.attnum) AS cols "
         "FROM pg_attribute a WHERE a.attrelid = c.oid AND a.attnum > 0) a ON true WHERE c.relnamespace = " + oid + ")";
}

}  // namespace kvistur::db::pg
