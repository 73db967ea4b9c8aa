// The handlers of YAZ's generic front-end server: each maps one decoded
// request to the session (result_sets.h) or the record syntaxes
// (records.h) and the answer back, within the limits (limits.h), and
// writes its access-log line.
#include "server/handlers.h"

#include <malloc.h>
#include <unistd.h>
#include <yaz/diagbib1.h>
#include <yaz/oid_db.h>
#include <yaz/querytowrbuf.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <semaphore>
#include <thread>

#include "platform/open_database.h"
#include "server/directory_view.h"
#include "server/explain.h"
#include "server/facets.h"
#include "server/records.h"
#include "server/request_budget.h"
#include "server/result_sets.h"
#include "settings/access_log.h"
#include "settings/settings.h"

namespace kvistur::server {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int64_t kKiB = 1024;
// Password checks made at once, whatever the number of cores: each takes
// 64 MiB while it runs.
constexpr int kMaxLogOnsAtOnce = 4;

struct ServerState {
  ServerState(const Options& o, const Limits& l)
      : options(o), limits(l), pool(int64_t(l.all_requests_mib) << 20) {}
  const Options options;
  const Limits limits;
  ExplainPlace place;
  MemoryPool pool;  // what the requests of all sessions hold at once
  std::atomic<int> sessions{0};
  // Log-ons checked at once: a password check takes a moment of a core and
  // tens of megabytes, so more at a time than there are cores would only
  // add memory.
  std::counting_semaphore<kMaxLogOnsAtOnce> logons{
      std::clamp(int(std::thread::hardware_concurrency()), 1, kMaxLogOnsAtOnce)};
};
ServerState* server = nullptr;

// The call an answer is read in.  YAZ fetches an answer's records one by
// one after the search or present handler has returned, and the records
// are read in batches as the fetches come; were each read a call of its
// own, an update committed between the search and a read would leave one
// answer with the hits of one state and the records of another (records
// "deleted", or not those the search counted).  So the call begins with
// the handler that begins the answer and lasts until YAZ encodes the
// answer (EndAnswer): every read of one answer sees one state.  The front
// end serves a connection on one thread, whose call this is (held by a
// plain pointer: a thread that ends runs no destructor of it after those
// of the call's own state).
thread_local CallScope* answer_call = nullptr;

// One session: its log-on and result sets, the answer in progress (its
// time and the record bytes handed out in it), and the records handed out
// since the last request, logged as one present line when the next
// request comes or the session ends.
struct Connection {
  Connection(std::string peer) : session(std::move(peer), server->limits) {}
  Session session;
  struct {
    Clock::time_point deadline;
    int64_t bytes = 0;
  } answer;
  struct {
    bool open = false;
    std::string set;
    int first = 0, next = 0, status = 0;
    Clock::time_point began, ended;
  } present;

  // The records of set ASKED.SET the answer hands out (positions up to
  // ASKED.LAST), and the records last read (of set READ.SET, from position
  // READ.FIRST on).  Kept for one answer only: the next request reads the
  // catalogue afresh.
  struct {
    std::string set;
    int last = 0;
  } asked;
  struct {
    std::string set;
    Purpose purpose = Purpose::Marc;
    int first = 0;
    std::vector<std::optional<StoredRecord>> records;
  } read;

  // A request that hands out records begins: a search (SRU and Z39.50's
  // piggybacked records) or a present, of records FIRST..LAST of SET.
  // A search begins the answer's call afresh; a present goes on in the
  // call of the search it follows in the same request (SRU's records), or
  // begins one.
  void begin_answer(bool search, const std::string& set = {}, int last = 0) {
    if (search) EndAnswer();
    if (!answer_call) answer_call = new CallScope;
    answer.deadline = Clock::now() + std::chrono::seconds(server->limits.request_seconds);
    answer.bytes = 0;
    asked = {set, last};
    read = {};
  }

  // The record at POSITION of SET (NAME) read for PURPOSE, with those
  // after it that the answer will hand out, as many as one read takes: a
  // present of ten records is one read, not ten.
  const std::optional<StoredRecord>& record(const std::string& name, ResultSet& set, int position, Purpose purpose) {
    if (name != read.set || purpose != read.purpose || position < read.first ||
        position >= read.first + int(read.records.size())) {
      int last = name == asked.set && position <= asked.last ? asked.last : position;
      last = std::min({last, position + int(kIdsAtOnce) - 1, set.size()});
      read = {};
      std::unique_ptr<db::Database> catalogue = open_catalogue();
      read.records = ReadStoredRecords(*catalogue, set.records(position, last), purpose);
      catalogue->Close();
      read.set = name;
      read.purpose = purpose;
      read.first = position;
    }
    return read.records[std::size_t(position - read.first)];
  }
};

double seconds_since(Clock::time_point start, Clock::time_point end = Clock::now()) {
  return std::chrono::duration<double>(end - start).count();
}

void log_request(const Connection& c, const std::string& request, int status, int64_t hits, Clock::time_point start) {
  WriteAccess({c.session.peer(), c.session.user(), request, status, hits, seconds_since(start)});
}

void flush_present(Connection& c) {
  if (!c.present.open) return;
  c.present.open = false;
  WriteAccess({c.session.peer(), c.session.user(),
               "present " + c.present.set + " " + std::to_string(c.present.first) + "+" +
                   std::to_string(c.present.next - c.present.first),
               c.present.status, c.present.next - c.present.first, seconds_since(c.present.began, c.present.ended)});
}

char* odr_copy(ODR o, const std::string& s) { return odr_strdup(o, s.c_str()); }

std::string query_text(const Z_Query* q) {
  WRBUF w = wrbuf_alloc();
  yaz_query_to_wrbuf(w, q);
  std::string s = wrbuf_cstr(w);
  wrbuf_destroy(w);
  return s;
}

// A database name as the client wrote it: SRU clients write it in the URL
// path, percent-encoded ("T%C3%ADmarit%20og%20greinar"), which YAZ passes on
// as it is.
std::string database_name(const char* name) {
  std::string in = name ? name : "Default", out;
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] == '%' && i + 2 < in.size() && std::isxdigit(static_cast<unsigned char>(in[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(in[i + 2]))) {
      out += char(std::stoi(in.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += in[i];
    }
  }
  return out;
}

std::string first_base(int n, char** bases) { return database_name(n > 0 ? bases[0] : nullptr); }

// ------------------------------------------------------------ search

Mapped map_query(const Z_Query* q, const IndexTable& indexes) {
  const QueryLimits& limits = server->limits.query;
  if (q && (q->which == Z_Query_type_1 || q->which == Z_Query_type_101) && q->u.type_1)
    return MapRpn(*q->u.type_1, indexes, limits);
  if (q && q->which == Z_Query_type_104 && q->u.type_104 && q->u.type_104->which == Z_External_CQL &&
      q->u.type_104->u.cql)
    return MapCql(q->u.type_104->u.cql, indexes, limits);
  Mapped m;
  m.error = {YAZ_BIB1_QUERY_TYPE_UNSUPP, ""};
  return m;
}

int search(void* handle, bend_search_rr* rr) {
  auto& c = *static_cast<Connection*>(handle);
  flush_present(c);
  c.begin_answer(true, rr->setname ? rr->setname : "default",
                 int(std::min<Odr_int>(rr->present_number, kMaxRecordsAsked)));
  Clock::time_point start = Clock::now();
  std::string database = first_base(rr->num_bases, rr->basenames);
  Diagnostic d;
  int64_t hits = 0;
  if (rr->num_bases != 1) {
    d = {YAZ_BIB1_TOO_MANY_DATABASES_SPECIFIED, "1"};
  } else if (rr->srw_sortKeys && *rr->srw_sortKeys) {
    d = {YAZ_BIB1_DATABASE_SPECIFIC_SORT_UNSUPP, "sortKeys"};
  } else {
    CallScope call;
    Mapped m = map_query(rr->query, ServerIndexes());
    RequestBudget budget(server->limits, server->pool);
    const char* set = rr->setname ? rr->setname : "default";
    d = m.ok() ? c.session.Search(set, rr->replace_set != 0, database, m.query, budget, hits, rr->present_number)
               : m.error;
    if (!d.code)
      if (const ResultSet* found = c.session.Find(set))
        AnswerFacets(rr->stream, rr->search_input, &rr->search_info, *found);
  }
  rr->hits = d.code ? 0 : hits;
  rr->errcode = d.code;
  if (d.code && !d.addinfo.empty()) rr->errstring = odr_copy(rr->stream, d.addinfo);
  log_request(c, "search " + database + " " + query_text(rr->query), d.code, rr->hits, start);
  return 0;
}

// ------------------------------------------------------------ records

std::string record_bytes(Form form, const StoredRecord& stored, Faersla& faersla) {
  switch (form) {
    case Form::Marc: return Iso2709Of(stored);
    case Form::MarcXml: return MarcXml(MarcOf(stored));
    case Form::DublinCore: return DublinCore(MarcOf(stored));
    case Form::Display: return DisplayXml(stored, faersla);
  }
  return {};
}

// Fills RR with record POSITION of SET, or its diagnostic.  An answer
// hands out records until its time is up or their bytes reach the message
// size; a record larger than that on its own is a surrogate diagnostic.
void fetch_record(Connection& c, const std::string& name, ResultSet& set, bend_fetch_rr* rr) {
  const int64_t most = server->limits.message_kib * kKiB;
  const bool late = Clock::now() > c.answer.deadline;
  if (late || c.answer.bytes >= most) {
    rr->errcode = YAZ_BIB1_RESOURCES_EXHAUSTED_VALID_SUBSET_OF_RESULTS_AVAILABLE;
    rr->errstring = odr_copy(rr->stream, late ? "time limit of " + std::to_string(server->limits.request_seconds) +
                                                    " s to a request"
                                              : std::to_string(server->limits.message_kib) + " KiB to an answer");
    return;
  }
  const char* esn = yaz_get_esn(rr->comp);
  FormChoice form = ChooseForm(rr->request_format, esn ? esn : rr->schema);
  if (form.error.code) {
    rr->errcode = form.error.code;
    rr->errstring = odr_copy(rr->stream, form.error.addinfo);
    return;
  }
  rr->basename = odr_copy(rr->stream, set.database);
  rr->last_in_set = rr->number == set.size();
  CallScope call;
  std::string bytes;
  try {
    const std::optional<StoredRecord>& stored =
        c.record(name, set, rr->number, form.form == Form::Display ? Purpose::Display : Purpose::Marc);
    if (!stored) {
      rr->errcode = YAZ_BIB1_RECORD_DELETED;
      rr->surrogate_flag = 1;
      return;
    }
    bytes = record_bytes(form.form, *stored, c.session.faersla());
  } catch (const Error& e) {
    rr->errcode = YAZ_BIB1_SYSTEM_ERROR_IN_PRESENTING_RECORDS;
    rr->errstring = odr_copy(rr->stream, to_utf8(e.description()));
    rr->surrogate_flag = 1;
    return;
  }
  if (bytes.empty() || int64_t(bytes.size()) > most) {
    rr->errcode = YAZ_BIB1_RECORD_EXCEEDS_MAXIMUM_RECORD_SIZE;
    rr->surrogate_flag = 1;
    return;
  }
  c.answer.bytes += int64_t(bytes.size());
  rr->len = int(bytes.size());
  rr->record = static_cast<char*>(odr_malloc(rr->stream, bytes.size()));
  std::memcpy(rr->record, bytes.data(), bytes.size());
  rr->output_format = odr_oiddup(rr->stream, form.form == Form::Marc ? yaz_oid_recsyn_usmarc : yaz_oid_recsyn_xml);
  if (form.schema) rr->schema = odr_strdup(rr->stream, form.schema);
}

// A Z39.50 present, or the records of an SRU search, before their records
// are fetched one by one.
int present(void* handle, bend_present_rr* rr) {
  int last = int(std::min<int64_t>(int64_t(rr->start) + std::min(rr->number, kMaxRecordsAsked) - 1, INT32_MAX));
  static_cast<Connection*>(handle)->begin_answer(false, rr->setname ? rr->setname : "default", last);
  return 0;
}

int fetch(void* handle, bend_fetch_rr* rr) {
  auto& c = *static_cast<Connection*>(handle);
  std::string name = rr->setname ? rr->setname : "default";
  // Records handed out one after another from one set make one present.
  if (c.present.open && (c.present.set != name || rr->number != c.present.next)) flush_present(c);
  if (!c.present.open) c.present = {true, name, rr->number, rr->number, 0, Clock::now(), Clock::now()};
  ResultSet* set = c.session.Find(name);
  if (!set) {
    rr->errcode = YAZ_BIB1_SPECIFIED_RESULT_SET_DOES_NOT_EXIST;
    rr->errstring = odr_copy(rr->stream, name);
  } else if (rr->number < 1 || rr->number > set->size()) {
    rr->errcode = YAZ_BIB1_PRESENT_REQUEST_OUT_OF_RANGE;
  } else {
    fetch_record(c, name, *set, rr);
  }
  if (rr->errcode && !rr->surrogate_flag) c.present.status = rr->errcode;
  else c.present.next = rr->number + 1;
  c.present.ended = Clock::now();
  return 0;
}

// ------------------------------------------------------------ scan

void answer_scan(Connection& c, bend_scan_rr* rr, const ScanStart& start, const std::string& clause) {
  Clock::time_point began = Clock::now();
  std::string database = first_base(rr->num_bases, rr->basenames);
  Diagnostic d = start.error;
  std::vector<ScanEntry> entries;
  int at = 1;
  bool partial = false;
  if (!d.code && rr->step_size && *rr->step_size != 0) d = {YAZ_BIB1_ONLY_ZERO_STEP_SIZE_SUPPORTED_FOR_SCAN, ""};
  if (!d.code && rr->num_bases != 1) d = {YAZ_BIB1_TOO_MANY_DATABASES_SPECIFIED, "1"};
  RequestBudget budget(server->limits, server->pool);
  if (!d.code) d = c.session.Scan(database, start, rr->term_position, rr->num_entries, budget, entries, at, partial);
  if (d.code) {
    rr->errcode = d.code;
    if (!d.addinfo.empty()) rr->errstring = odr_copy(rr->stream, d.addinfo);
    rr->num_entries = 0;
  } else {
    for (std::size_t i = 0; i < entries.size(); ++i) {
      rr->entries[i].term = odr_copy(rr->stream, entries[i].word);
      rr->entries[i].occurrences = entries[i].records;
    }
    rr->num_entries = int(entries.size());
    rr->term_position = at;
    rr->status = partial ? BEND_SCAN_PARTIAL : BEND_SCAN_SUCCESS;
  }
  log_request(c, "scan " + database + " " + clause, d.code, int64_t(entries.size()), began);
}

int scan(void* handle, bend_scan_rr* rr) {
  auto& c = *static_cast<Connection*>(handle);
  flush_present(c);
  CallScope call;
  ScanStart start;
  if (rr->term) start = MapRpnScan(*rr->term, rr->attributeset, ServerIndexes(), server->limits.query);
  else start.error = {YAZ_BIB1_SCAN_MALFORMED_SCAN, ""};
  std::string clause = start.field.empty() ? to_utf8(start.word) : to_utf8(start.field) + "=" + to_utf8(start.word);
  answer_scan(c, rr, start, clause);
  return 0;
}

int srw_scan(void* handle, bend_scan_rr* rr) {
  auto& c = *static_cast<Connection*>(handle);
  flush_present(c);
  CallScope call;
  std::string clause = rr->scanClause ? rr->scanClause : "";
  answer_scan(c, rr, MapCqlScan(clause, ServerIndexes(), server->limits.query), clause);
  return 0;
}

// ------------------------------------------------------------ the rest

int sort(void* handle, bend_sort_rr* rr) {
  auto& c = *static_cast<Connection*>(handle);
  flush_present(c);
  rr->errcode = YAZ_BIB1_CANNOT_SORT_ACCORDING_TO_SEQUENCE;
  rr->sort_status = Z_SortResponse_failure;
  log_request(c, "sort", rr->errcode, 0, Clock::now());
  return 0;
}

int delete_sets(void* handle, bend_delete_rr* rr) {
  auto& c = *static_cast<Connection*>(handle);
  flush_present(c);
  rr->delete_status = Z_DeleteStatus_success;
  if (rr->function == Z_DeleteResultSetRequest_all) {
    c.session.RemoveAll();
  } else {
    for (int i = 0; i < rr->num_setnames; ++i) {
      bool gone = c.session.Remove(rr->setnames[i]);
      if (rr->statuses) rr->statuses[i] = gone ? Z_DeleteStatus_success : Z_DeleteStatus_resultSetDidNotExist;
      if (!gone) rr->delete_status = Z_DeleteStatus_resultSetDidNotExist;
    }
  }
  log_request(c, "delete", 0, rr->num_setnames, Clock::now());
  return 0;
}

int explain(void* handle, bend_explain_rr* rr) {
  auto& c = *static_cast<Connection*>(handle);
  flush_present(c);
  Clock::time_point start = Clock::now();
  std::string database = database_name(rr->database);
  CallScope call;
  std::shared_ptr<const DirectoryView> directory = ViewDirectory(c.session.faersla());
  std::optional<int32_t> group = directory->group_of(database);
  if (group) {
    ExplainPlace place = server->place;
    place.database = database;
    rr->explain_buf = odr_copy(rr->stream, ExplainRecord(place, ServerIndexes(), directory->fields_of(*group)));
  }
  log_request(c, "explain " + database, group ? 0 : YAZ_BIB1_DATABASE_DOES_NOT_EXIST, 0, start);
  return 0;
}

// A handler as YAZ calls it: an exception never reaches YAZ's C code, it
// becomes diagnostic 2 (temporary system error) on the request.
template <typename Rr, int (*Handler)(void*, Rr*)>
int guarded(void* handle, Rr* rr) {
  const char* what = "";
  try {
    return Handler(handle, rr);
  } catch (const std::exception& e) {
    what = e.what();
  } catch (...) {
  }
  if constexpr (requires { rr->errcode; }) {
    rr->errcode = YAZ_BIB1_TEMPORARY_SYSTEM_ERROR;
    rr->errstring = odr_strdup(rr->stream, what);
  }
  return 0;
}

// The user and password a client gave at Init (open "user/password" or
// the id/pass form); the server's own log-on when it gave none.
void credentials(const Z_IdAuthentication* auth, std::string& user, std::string& password) {
  user = server->options.user;
  password = server->options.password;
  if (!auth) return;
  if (auth->which == Z_IdAuthentication_open && auth->u.open) {
    std::string open = auth->u.open;
    auto slash = open.find('/');
    user = open.substr(0, slash);
    password = slash == std::string::npos ? "" : open.substr(slash + 1);
  } else if (auth->which == Z_IdAuthentication_idPass && auth->u.idPass) {
    user = auth->u.idPass->userId ? auth->u.idPass->userId : "";
    password = auth->u.idPass->password ? auth->u.idPass->password : "";
  }
}

// A session for USER, or nothing and the diagnostic that refuses it: too
// many sessions, or a log-on that fails.
std::unique_ptr<Connection> open_session(const std::string& peer, const std::string& user,
                                         const std::string& password, Diagnostic& refused) {
  if (server->sessions.fetch_add(1) >= server->limits.sessions) {
    --server->sessions;
    refused = {YAZ_BIB1_INIT_AC_SYSTEM_TEMPORARILY_OUT_OF_RESOURCES, std::to_string(server->limits.sessions) + " sessions"};
    return nullptr;
  }
  try {
    auto c = std::make_unique<Connection>(peer);
    struct Slot {  // one of the log-ons checked at once
      Slot() { server->logons.acquire(); }
      ~Slot() { server->logons.release(); }
    } slot;
    if (c->session.LogOn(user, password)) return c;
    refused = {YAZ_BIB1_INIT_AC_BAD_USERID_AND_OR_PASSWORD, user};
  } catch (const std::exception& e) {
    refused = {YAZ_BIB1_TEMPORARY_SYSTEM_ERROR, e.what()};
  }
  --server->sessions;
  return nullptr;
}

// Where SRU clients reach the server, for the explain record: the first
// listener's host (this machine's name for "@") and port.
ExplainPlace place_of(const std::string& listener) {
  ExplainPlace p{"localhost", 2100, "Default"};
  std::string s = listener;
  if (auto colon = s.find(':'); colon != std::string::npos && s.compare(0, colon, "tcp") == 0) s = s.substr(colon + 1);
  if (s.rfind("unix:", 0) == 0) return p;
  auto colon = s.rfind(':');
  std::string host = colon == std::string::npos ? s : s.substr(0, colon);
  if (colon != std::string::npos) p.port = std::atoi(s.c_str() + colon + 1);
  if (host == "@" || host.empty()) {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) == 0 && name[0]) host = name;
    else host = "localhost";
  }
  p.host = host;
  return p;
}

}  // namespace

void Prepare(const Options& options, const Limits& limits) {
  static ServerState state(options, limits);
  state.place = place_of(options.listeners.empty() ? "tcp:@:2100" : options.listeners.front());
  server = &state;
}

bend_initresult* Init(bend_initrequest* r) {
  Clock::time_point start = Clock::now();
  auto* result = static_cast<bend_initresult*>(odr_malloc(r->stream, sizeof(bend_initresult)));
  *result = bend_initresult{0, nullptr, nullptr};
  r->implementation_name = odr_strdup(r->stream, "Kvistur");
  r->query_charset = odr_strdup(r->stream, "UTF-8");
  r->records_in_same_charset = 1;
  std::string peer = r->peer_name ? r->peer_name : "";
  for (const char* scheme : {"tcp:", "ssl:"})
    if (peer.rfind(scheme, 0) == 0) peer.erase(0, 4);
  std::string user, password;
  credentials(r->auth, user, password);
  Diagnostic refused;
  if (std::unique_ptr<Connection> c = open_session(peer, user, password, refused)) {
    r->bend_search = guarded<bend_search_rr, search>;
    r->bend_present = guarded<bend_present_rr, present>;
    r->bend_fetch = guarded<bend_fetch_rr, fetch>;
    r->bend_scan = guarded<bend_scan_rr, scan>;
    r->bend_srw_scan = guarded<bend_scan_rr, srw_scan>;
    r->bend_sort = guarded<bend_sort_rr, sort>;
    r->bend_delete = guarded<bend_delete_rr, delete_sets>;
    r->bend_explain = guarded<bend_explain_rr, explain>;
    result->handle = c.release();
  } else {
    result->errcode = refused.code;
    result->errstring = odr_copy(r->stream, refused.addinfo);
  }
  WriteAccess({peer, user, "init", refused.code, 0, seconds_since(start)});
  return result;
}

void EndAnswer() {
  delete answer_call;
  answer_call = nullptr;
}

void Close(void* handle) {
  EndAnswer();
  auto* c = static_cast<Connection*>(handle);
  try {
    flush_present(*c);
    log_request(*c, "close", 0, 0, Clock::now());
  } catch (...) {
  }
  delete c;
  --server->sessions;
  // Give what the session's thread held back to the system.
  malloc_trim(0);
}

}  // namespace kvistur::server
