// The access log of the programs that serve the catalogue (`kvistur serve`,
// `kvistur web`): one line per request, in the common access-log form,
// beside the component's own diagnostic log:
//
//   127.0.0.1 Admin [07/Dec/2025:14:03:07 +0000] "search Default @attr 1=4 saga" 0 12 0.004
//   127.0.0.1 Admin [07/Dec/2025:14:03:08 +0000] "GET /search?q=saga" 200 12 0.006
//
// client, user ("-" before log-on), local time, the request (what was
// asked for), the status (the server's 0 or Bib-1 diagnostic, the web's
// HTTP status), the hits (records found, handed out or terms listed) and
// the time it took in seconds.  Each line is written with one write to a
// file opened for appending, so lines of requests that run side by side
// never mix.  A field longer than 2 048 bytes is cut there and ends in
// "...".
#pragma once

#include <cstdint>
#include <string>

namespace kvistur {

struct AccessEntry {
  std::string client, user, request;
  int status = 0;
  int64_t hits = 0;
  double seconds = 0;
};

// Where the lines go: a file, appended to, or standard output when PATH is
// empty.  Throws std::runtime_error when the file cannot be opened.
void OpenAccessLog(const std::string& path);
void WriteAccess(const AccessEntry& entry);
// The line as written, without its line end.
std::string AccessLine(const AccessEntry& entry);

}  // namespace kvistur
