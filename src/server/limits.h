// What one client may take of the server: every limit a hostile or broken
// client meets, with the default that fits a library's public server.
//
// The limits are read once, when the server starts, from the settings
// section [Þjónn] (or [Z39.50], with the same names; a name in [Þjónn]
// counts over the same name in [Z39.50]).  Each is answered with the
// protocol's own diagnostic, never a crash: docs/server.md has the table.
#pragma once

#include <cstdint>

namespace kvistur::server {

// What one query may hold.  A query over them is refused before anything
// is searched.
struct QueryLimits {
  int terms = 256;        // Liðir: terms and result-set operands (a CQL `any` term: each word)
  int depth = 200;        // Dýpt: operators nested
  int term_bytes = 1024;  // Liðlengd: bytes of one term
};

struct Limits {
  // Connections and sessions.
  int connections = 200;   // Tengingar: connections at once, Init or not (more are closed at once)
  int sessions = 64;       // Lotur: sessions (Inits accepted) at once
  int idle_seconds = 600;  // Biðtími: a session idle this long is closed

  // One request.
  int message_kib = 1024;           // Skeytastærð: a request's and an answer's size, KiB
  int request_seconds = 20;         // Tímamörk: time one request may take
  int request_mib = 64;             // Beiðnaminni: memory one request's evaluation may hold, MiB
  int all_requests_mib = 256;       // Vinnsluminni: memory all requests at once may hold, MiB

  QueryLimits query;

  // What a session keeps.
  int result_sets = 20;               // Niðurstöður: result sets one session keeps
  int64_t session_records = 1000000;  // Færslur: record numbers one session's result sets hold in all
};

// Fixed limits: scan terms one request lists, and records one present may
// ask for (more never fit a message).
constexpr int kMaxScanTerms = 200;
constexpr int kMaxRecordsAsked = 10000;

// The limits from the settings (defaults where a value is missing or not a
// whole number from 1 to the limit's own ceiling).
Limits ReadLimits();

}  // namespace kvistur::server
