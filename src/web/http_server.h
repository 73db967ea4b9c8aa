// The HTTP side of `kvistur web`: libmicrohttpd in its thread-pool mode,
// held to a number of connections, the memory of one request's line and
// headers, and an idle time.  A request reaches the handler on one of the
// pool's threads, decoded (path, query parameters in their order, the
// headers the pages use); the handler's response goes back as it is, and
// every request gets one line in the access log when it is done, with the
// status the client got (libmicrohttpd's own refusals too: 414, 431).
//
//   HttpServer server(ParseListener("127.0.0.1:8080"), options,
//                     [](const Request& r) { return Response{200, ...}; });
//   ... until SIGTERM ...
//   server.Drain(std::chrono::seconds(30));
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kvistur::web {

struct Request {
  std::string method;  // as sent: GET, HEAD, POST, ...
  std::string path;    // percent-decoded
  std::vector<std::pair<std::string, std::string>> query;  // decoded, in the address's order
  std::string accept_language, host;

  // The first value of NAME, or null.
  const std::string* param(std::string_view name) const;
  // Every value of NAME, in order.
  std::vector<std::string> params(std::string_view name) const;
};

struct Response {
  int status = 200;
  std::string content_type = "text/html; charset=utf-8";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  int64_t hits = 0;  // for the access log: the hits of a search, the records of a page
};

using Handler = std::function<Response(const Request&)>;

// An address to listen on: "127.0.0.1:8080", "0.0.0.0:8080", "[::]:8080",
// "[::1]:8080".  Throws std::invalid_argument naming what is wrong.
struct Listener {
  sockaddr_storage address{};
  bool ipv6 = false;
};
Listener ParseListener(const std::string& text);

struct HttpOptions {
  int threads = 8;
  int connections = 256;
  int timeout_seconds = 30;
  std::size_t connection_memory = 64 * 1024;
  std::string user;  // the log-on the requests are served under, for the access log
};

class HttpServer {
 public:
  // Listens and starts the workers; throws std::runtime_error with a line
  // saying why it cannot (the address in use, not this machine's).
  HttpServer(const Listener& listener, const HttpOptions& options, Handler handler);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Stops taking connections and waits (up to MOST) for the requests in
  // progress to be answered; the destructor then closes the rest.
  void Drain(std::chrono::seconds most);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace kvistur::web
