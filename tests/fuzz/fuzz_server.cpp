// Fuzzes the server's handlers: any bytes as a Z39.50 message or an HTTP
// request, decoded by YAZ as the front end decodes them (within the
// server's bounds) and handed to each handler as the front end hands them
// over.  One session holds the only place, so that a fuzzed Init is refused
// before it costs a password check, and its result sets live from one
// input to the next.  Every handler answers or gives a diagnostic.
#include <stdlib.h>
#include <yaz/odr.h>
#include <yaz/oid_db.h>
#include <yaz/pquery.h>
#include <yaz/srw.h>
#include <yaz/zgdu.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "import/marc/generate.h"
#include "import/store/output.h"
#include "settings/access_log.h"
#include "server/front_end_bounds.h"
#include "server/handlers.h"

using namespace kvistur::server;

namespace {

// Records one request may fetch and terms one scan may list here, to keep
// each input quick.
constexpr int kMaxFetched = 5;
constexpr int kMaxListed = 20;

struct Odrs {
  ODR decode = odr_createmem(ODR_DECODE), encode = odr_createmem(ODR_ENCODE);
  ~Odrs() {
    odr_destroy(decode);
    odr_destroy(encode);
  }
};

// A number of a request as the front end gives it to a handler: clamped to
// an int, or FALLBACK when the request has none.
int to_int(const Odr_int* v, int fallback) {
  return v ? int(std::clamp<Odr_int>(*v, INT32_MIN, INT32_MAX)) : fallback;
}

// The one session, opened when the target starts.
struct Served {
  bend_initrequest init{};
  void* handle = nullptr;
  Odrs odrs;
  const std::string dir =
      std::filesystem::temp_directory_path() / ("kvistur-fuzz-server-" + std::to_string(getpid()));

  Served() {
    {
      kvistur::import::CatalogueOutput out(dir);
      kvistur::import::GenerateOptions options;
      // A small vocabulary, so that a scan runs out of words soon.
      options.records = 300;
      options.vocabulary = 400;
      kvistur::import::GenerateCatalogue(out.folder(), options, [](long) {});
      out.Commit();
    }
    std::ofstream(dir + "/lindrit-1.0.ini", std::ios::app)
        << "[Þjónn]\nLotur=1\nNiðurstöður=5\nTímamörk=1\nSkeytastærð=64\nLiðir=16\n";
    setenv("LINDRIT_SETTINGS", (dir + "/lindrit-1.0.ini").c_str(), 1);
    setenv("KVISTUR_LOG", (dir + "/melding.txt").c_str(), 1);
    kvistur::OpenAccessLog("/dev/null");
    Limits limits = ReadLimits();
    Prepare(Options{}, limits);
    BoundFrontEnd(limits);
    init.stream = odrs.encode;
    init.decode = odrs.decode;
    init.peer_name = const_cast<char*>("tcp:fuzz");
    bend_initresult* r = Init(&init);
    if (!r || !r->handle) __builtin_trap();
    handle = r->handle;
  }
  ~Served() {
    Close(handle);
    std::error_code e;
    std::filesystem::remove_all(dir, e);
  }
};

Served& served() {
  static Served s;
  return s;
}

// A present of SET and its records N from START on, fetched one by one as
// the front end fetches them for a present or an SRU answer.
void present(Served& s, ODR stream, char* set, Odr_int start, Odr_int n, Odr_oid* syntax, Z_RecordComposition* comp,
             const char* schema) {
  bend_present_rr p{.setname = set ? set : const_cast<char*>("default"), .stream = stream};
  s.init.bend_present(s.handle, &p);
  const Odr_int first = std::clamp<Odr_int>(start, INT32_MIN, INT32_MAX);
  for (Odr_int i = 0; i < std::min<Odr_int>(n, kMaxFetched); ++i) {
    bend_fetch_rr f{.setname = p.setname, .number = int(std::clamp<Odr_int>(first + i, INT32_MIN, INT32_MAX)),
                    .request_format = syntax, .comp = comp, .stream = stream, .schema = const_cast<char*>(schema)};
    s.init.bend_fetch(s.handle, &f);
    if (f.errcode && !f.surrogate_flag) return;
  }
}

void search(Served& s, ODR stream, ODR decode, char* set, int replace, int num_bases, char** bases, Z_Query* query,
            Odr_int records, Odr_oid* syntax, const char* schema) {
  bend_search_rr rr{.setname = set, .replace_set = replace, .num_bases = num_bases, .basenames = bases, .query = query,
                    .stream = stream, .decode = decode};
  s.init.bend_search(s.handle, &rr);
  if (rr.errcode || rr.hits <= 0 || records <= 0) return;
  present(s, stream, set, 1, std::min(records, rr.hits), syntax, nullptr, schema);
}

void scan(Served& s, ODR stream, bend_scan_rr& rr, bool sru) {
  rr.num_entries = std::clamp(rr.num_entries, 0, kMaxListed);
  std::vector<scan_entry> entries(std::size_t(rr.num_entries) + 1);
  rr.entries = entries.data();
  rr.stream = stream;
  (sru ? s.init.bend_srw_scan : s.init.bend_scan)(s.handle, &rr);
  if (rr.num_entries < 0 || std::size_t(rr.num_entries) >= entries.size()) __builtin_trap();
}

void z3950(Served& s, Odrs& o, Z_APDU* apdu) {
  switch (apdu->which) {
    case Z_APDU_initRequest: {
      // Refused (the session has the only place) after the credentials are read.
      bend_initrequest r{.auth = apdu->u.initRequest->idAuthentication, .stream = o.encode, .decode = o.decode,
                         .peer_name = const_cast<char*>("tcp:fuzz")};
      bend_initresult* result = Init(&r);
      if (result && result->handle) Close(result->handle);
      break;
    }
    case Z_APDU_searchRequest: {
      Z_SearchRequest* q = apdu->u.searchRequest;
      search(s, o.encode, o.decode, q->resultSetName, q->replaceIndicator ? int(*q->replaceIndicator) : 1,
             q->num_databaseNames, q->databaseNames, q->query, q->smallSetUpperBound ? *q->smallSetUpperBound : 0,
             q->preferredRecordSyntax, nullptr);
      break;
    }
    case Z_APDU_presentRequest: {
      Z_PresentRequest* q = apdu->u.presentRequest;
      present(s, o.encode, q->resultSetId, q->resultSetStartPoint ? *q->resultSetStartPoint : 1,
              q->numberOfRecordsRequested ? *q->numberOfRecordsRequested : 0, q->preferredRecordSyntax,
              q->recordComposition, nullptr);
      break;
    }
    case Z_APDU_scanRequest: {
      Z_ScanRequest* q = apdu->u.scanRequest;
      int step = to_int(q->stepSize, 0);
      bend_scan_rr rr{.num_bases = q->num_databaseNames, .basenames = q->databaseNames, .attributeset = q->attributeSet,
                      .term = q->termListAndStartPoint, .step_size = &step,
                      .term_position = to_int(q->preferredPositionInResponse, 1),
                      .num_entries = to_int(q->numberOfTermsRequested, 0)};
      scan(s, o.encode, rr, false);
      break;
    }
    case Z_APDU_deleteResultSetRequest: {
      Z_DeleteResultSetRequest* q = apdu->u.deleteResultSetRequest;
      std::vector<int> statuses(std::size_t(std::max(q->num_resultSetList, 0)) + 1);
      bend_delete_rr rr{.function = to_int(q->deleteFunction, 0), .num_setnames = q->num_resultSetList,
                        .setnames = q->resultSetList, .statuses = statuses.data(), .stream = o.encode};
      s.init.bend_delete(s.handle, &rr);
      break;
    }
    case Z_APDU_sortRequest: {
      Z_SortRequest* q = apdu->u.sortRequest;
      bend_sort_rr rr{.num_input_setnames = q->num_inputResultSetNames, .input_setnames = q->inputResultSetNames,
                      .output_setname = q->sortedResultSetName, .sort_sequence = q->sortSequence, .stream = o.encode};
      s.init.bend_sort(s.handle, &rr);
      break;
    }
  }
}

void sru(Served& s, Odrs& o, Z_HTTP_Request* http) {
  Z_SRW_PDU* pdu = nullptr;
  Z_SOAP* soap = nullptr;
  char* charset = nullptr;
  Z_SRW_diagnostic* diagnostics = nullptr;
  int num_diagnostics = 0;
  if (yaz_srw_decode(http, &pdu, &soap, o.decode, &charset) != 0 &&
      yaz_sru_decode(http, &pdu, &soap, o.decode, &charset, &diagnostics, &num_diagnostics) != 0)
    return;
  if (!pdu) return;
  if (pdu->which == Z_SRW_searchRetrieve_request) {
    Z_SRW_searchRetrieveRequest* q = pdu->u.request;
    Z_Query query{};
    Z_External cql{};
    std::string type = q->queryType ? q->queryType : "cql";
    if (!q->query) return;
    if (type == "pqf") {
      std::unique_ptr<std::remove_pointer_t<YAZ_PQF_Parser>, void (*)(YAZ_PQF_Parser)> parser(yaz_pqf_create(),
                                                                                             yaz_pqf_destroy);
      query.which = Z_Query_type_1;
      query.u.type_1 = yaz_pqf_parse(parser.get(), o.decode, q->query);
      if (!query.u.type_1) return;
    } else {
      cql.which = Z_External_CQL;
      cql.u.cql = q->query;
      query.which = Z_Query_type_104;
      query.u.type_104 = &cql;
    }
    char* base = q->database;
    search(s, o.encode, o.decode, nullptr, 1, 1, &base, &query, q->maximumRecords ? *q->maximumRecords : 0,
           odr_oiddup(o.decode, yaz_oid_recsyn_xml), q->recordSchema);
  } else if (pdu->which == Z_SRW_scan_request) {
    Z_SRW_scanRequest* q = pdu->u.scan_request;
    char* base = q->database;
    bend_scan_rr rr{.num_bases = 1, .basenames = &base, .term_position = to_int(q->responsePosition, 1),
                    .num_entries = to_int(q->maximumTerms, 10), .scanClause = q->scanClause};
    if (rr.scanClause) scan(s, o.encode, rr, true);
  } else if (pdu->which == Z_SRW_explain_request) {
    bend_explain_rr rr{.stream = o.encode, .decode = o.decode, .database = pdu->u.explain_request->database};
    s.init.bend_explain(s.handle, &rr);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  Served& s = served();
  Odrs o;
  std::string bytes(reinterpret_cast<const char*>(data), size);
  odr_setbuf(o.decode, bytes.data(), int(bytes.size()), 0);
  Z_GDU* gdu = nullptr;
  if (!z_GDU(o.decode, &gdu, 0, nullptr) || !gdu) return 0;
  if (gdu->which == Z_GDU_Z3950 && gdu->u.z3950) z3950(s, o, gdu->u.z3950);
  else if (gdu->which == Z_GDU_HTTP_Request && gdu->u.HTTP_Request) sru(s, o, gdu->u.HTTP_Request);
  EndAnswer();
  return 0;
}
