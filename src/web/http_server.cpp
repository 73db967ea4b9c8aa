#include "web/http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "settings/access_log.h"

namespace kvistur::web {

namespace {

using Clock = std::chrono::steady_clock;

// What one request carries from its first line to its access-log line.
struct Exchange {
  std::string target;  // as the client wrote it
  std::string method;
  Clock::time_point start = Clock::now();
  int64_t hits = 0;
  bool headers_read = false;
  std::size_t body_bytes = 0;  // of a GET or HEAD that sent a body, which is read and let go
  bool answered = false;
};

// A body a GET or HEAD may send that is read and let go; past it the
// connection is closed.
constexpr std::size_t kMaxIgnoredBody = 64 * 1024;

std::string client_of(MHD_Connection* c) {
  const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  char text[INET6_ADDRSTRLEN] = "-";
  if (info && info->client_addr) {
    const sockaddr* a = info->client_addr;
    if (a->sa_family == AF_INET)
      inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a)->sin_addr, text, sizeof text);
    else if (a->sa_family == AF_INET6)
      inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr, text, sizeof text);
  }
  return text;
}

std::string header(MHD_Connection* c, const char* name) {
  const char* v = MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
  return v ? v : "";
}

MHD_Result add_argument(void* cls, MHD_ValueKind, const char* key, const char* value) {
  static_cast<Request*>(cls)->query.emplace_back(key ? key : "", value ? value : "");
  return MHD_YES;
}

// A socket listening on LISTENER, so that a failure can be told with its
// reason (libmicrohttpd's own gives none).
int listen_on(const Listener& l) {
  int family = l.ipv6 ? AF_INET6 : AF_INET;
  int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error(std::string("cannot make a socket: ") + std::strerror(errno));
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  socklen_t size = l.ipv6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&l.address), size) != 0 || ::listen(fd, SOMAXCONN) != 0) {
    int e = errno;
    ::close(fd);
    throw std::runtime_error(std::strerror(e));
  }
  return fd;
}

}  // namespace

const std::string* Request::param(std::string_view name) const {
  for (auto& [k, v] : query)
    if (k == name) return &v;
  return nullptr;
}

std::vector<std::string> Request::params(std::string_view name) const {
  std::vector<std::string> out;
  for (auto& [k, v] : query)
    if (k == name) out.push_back(v);
  return out;
}

Listener ParseListener(const std::string& text) {
  std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon + 1 == text.size())
    throw std::invalid_argument("a listener is ADDRESS:PORT, not " + text);
  std::string host = text.substr(0, colon), port = text.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (port.find_first_not_of("0123456789") != std::string::npos || port.size() > 5 || std::stoi(port) < 1 ||
      std::stoi(port) > 65535)
    throw std::invalid_argument("the port of " + text + " is not a number from 1 to 65535");
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | AI_PASSIVE;
  addrinfo* found = nullptr;
  int r = ::getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &found);
  if (r != 0 || !found) throw std::invalid_argument("cannot listen on " + text + ": " + gai_strerror(r));
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> owned(found, ::freeaddrinfo);
  Listener l;
  std::memcpy(&l.address, found->ai_addr, found->ai_addrlen);
  l.ipv6 = found->ai_family == AF_INET6;
  return l;
}

struct HttpServer::State {
  Handler handler;
  HttpOptions options;
  std::atomic<int> in_progress{0};
  std::unique_ptr<MHD_Daemon, void (*)(MHD_Daemon*)> daemon{nullptr, MHD_stop_daemon};
  int listen_fd = -1;  // ours until the daemon starts

  static void* begin(void* cls, const char* uri, MHD_Connection*) {
    auto* s = static_cast<State*>(cls);
    ++s->in_progress;
    auto* e = new Exchange;  // owned by the connection until done() takes it back
    e->target = uri ? uri : "";
    return e;
  }

  static void done(void* cls, MHD_Connection* c, void** context, MHD_RequestTerminationCode) {
    auto* s = static_cast<State*>(cls);
    std::unique_ptr<Exchange> e(static_cast<Exchange*>(*context));
    *context = nullptr;
    if (!e) return;
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_HTTP_STATUS);
    int status = info ? int(info->http_status) : 0;
    std::string request = e->method.empty() ? e->target : e->method + " " + e->target;
    WriteAccess({client_of(c), s->options.user, request, status, e->hits,
                 std::chrono::duration<double>(Clock::now() - e->start).count()});
    --s->in_progress;
  }

  static MHD_Result answer(void* cls, MHD_Connection* c, const char* url, const char* method, const char*,
                           const char*, size_t* upload_size, void** context) {
    auto* s = static_cast<State*>(cls);
    auto* e = static_cast<Exchange*>(*context);
    if (!e || e->answered) {  // a body after the answer: let it go unread
      *upload_size = 0;
      return MHD_YES;
    }
    // A GET or HEAD is answered once it has been read whole, so that the
    // connection can be kept for the next request; any other method at
    // once (it is refused, and its body never read).
    const std::string m = method ? method : "";
    if ((m == "GET" || m == "HEAD") && !e->headers_read) {
      e->headers_read = true;
      return MHD_YES;
    }
    if (*upload_size > 0 && (m == "GET" || m == "HEAD")) {
      e->body_bytes += *upload_size;
      *upload_size = 0;
      return e->body_bytes > kMaxIgnoredBody ? MHD_NO : MHD_YES;
    }
    Request r;
    r.method = method ? method : "";
    r.path = url ? url : "";
    MHD_get_connection_values(c, MHD_GET_ARGUMENT_KIND, add_argument, &r);
    r.accept_language = header(c, MHD_HTTP_HEADER_ACCEPT_LANGUAGE);
    r.host = header(c, MHD_HTTP_HEADER_HOST);
    e->method = r.method;
    Response out;
    try {
      out = s->handler(r);
    } catch (const std::exception&) {
      out = Response{500, "text/plain; charset=utf-8", "Internal error\n", {}, 0};
    }
    e->answered = true;
    e->hits = out.hits;
    std::unique_ptr<MHD_Response, void (*)(MHD_Response*)> response(
        MHD_create_response_from_buffer(out.body.size(), out.body.data(), MHD_RESPMEM_MUST_COPY),
        MHD_destroy_response);
    if (!response) return MHD_NO;
    MHD_add_response_header(response.get(), MHD_HTTP_HEADER_CONTENT_TYPE, out.content_type.c_str());
    for (auto& [name, value] : out.headers) MHD_add_response_header(response.get(), name.c_str(), value.c_str());
    return MHD_queue_response(c, unsigned(out.status), response.get());
  }
};

HttpServer::HttpServer(const Listener& listener, const HttpOptions& options, Handler handler)
    : state_(std::make_unique<State>()) {
  state_->handler = std::move(handler);
  state_->options = options;
  state_->listen_fd = listen_on(listener);
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ITC | (listener.ipv6 ? MHD_USE_IPv6 : 0);
  state_->daemon.reset(MHD_start_daemon(
      flags, 0, nullptr, nullptr, &State::answer, state_.get(),
      MHD_OPTION_LISTEN_SOCKET, state_->listen_fd,
      MHD_OPTION_THREAD_POOL_SIZE, unsigned(options.threads),
      MHD_OPTION_CONNECTION_LIMIT, unsigned(options.connections),
      MHD_OPTION_CONNECTION_TIMEOUT, unsigned(options.timeout_seconds),
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, options.connection_memory,
      MHD_OPTION_URI_LOG_CALLBACK, &State::begin, state_.get(),
      MHD_OPTION_NOTIFY_COMPLETED, &State::done, state_.get(),
      MHD_OPTION_END));
  if (!state_->daemon) {
    ::close(state_->listen_fd);
    throw std::runtime_error("the HTTP server could not be started");
  }
  state_->listen_fd = -1;  // the daemon's now: it closes it when it stops
}

HttpServer::~HttpServer() { state_->daemon.reset(); }

void HttpServer::Drain(std::chrono::seconds most) {
  if (!state_->daemon) return;
  MHD_socket fd = MHD_quiesce_daemon(state_->daemon.get());
  if (fd != MHD_INVALID_SOCKET) ::close(fd);  // handed back to us by the quiesce
  Clock::time_point until = Clock::now() + most;
  while (state_->in_progress.load() > 0 && Clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

}  // namespace kvistur::web
