// What `kvistur web` takes from the settings, and every limit a browser,
// a robot or a hostile client meets.
//
// The settings section [Vefur] may set the listener, the page size, the
// library's name, the templates folder, the public address and the
// limits; the command line's options win.  A value that is missing or not
// a whole number within its bounds keeps its default.  docs/web.md has
// the table.
#pragma once

#include <cstdint>
#include <string>

namespace kvistur::web {

// Fixed limits of a request.
constexpr std::size_t kMaxQueryChars = 1000;  // characters of a search's words (more: 400)
constexpr int kMaxPrintRecords = 200;         // records in one print list (more: 400)
constexpr int kMaxPageSize = 100;             // the most hits a page may be set to show
constexpr std::size_t kConnectionMemory = 64 * 1024;  // a request's line and headers must fit (else 414 or 431)
constexpr int kShutdownSeconds = 30;          // requests in progress at SIGTERM get this long to finish

struct WebSettings {
  std::string listener = "127.0.0.1:8080";  // Hlustun
  int page_size = 20;                       // Síðustærð: hits a result page shows
  std::string library_name;                 // Nafn: shown in every page's header; empty: the texts' own
  std::string templates;                    // Sniðmát: the folder of templates, texts and static files
  std::string public_address;               // Slóð: e.g. https://leit.example.is, for OpenSearch; empty: from Host
  int connections = 256;                    // Tengingar: connections at once (more are refused)
  int timeout_seconds = 30;                 // Biðtími: a connection idle this long is closed
  int threads = 8;                          // Þræðir: worker threads, each with its own log-on
};

// The settings of [Vefur], read once when the program starts.
WebSettings ReadWebSettings();

}  // namespace kvistur::web
