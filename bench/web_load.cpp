// kvistur web on a catalogue of any size, from a client on the same machine:
//
//  1. one client asks for the first result page of every query of the
//     search benchmarks' mix (query_mix.h), REPS times after a first run:
//     the time of each class's pages (median and 95th percentile, the
//     server's time and loopback's) and the largest page;
//  2. the same client opens the record page of each query's first hit:
//     their time;
//  3. CLIENTS clients at once, each a thread on a connection of its own
//     kept alive, ask for result pages of the mix and record pages in turn
//     for SECONDS: requests a second, latencies and failures (any answer but
//     200, any connection lost).
//
//   web_load http://127.0.0.1:8080 --catalogue DIR [--queries N] [--reps N] [--clients N] [--seconds N]
//
// DIR is the catalogue the server reads (the mix is worked out from its
// word index, once, and kept beside it).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "query_mix.h"
#include "web/address.h"

using namespace kvistur::bench;
using Clock = std::chrono::steady_clock;

namespace {

double ms_since(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[std::min(v.size() - 1, std::size_t(p * double(v.size() - 1) + 0.5))];
}

std::string search_path(const Query& q) {
  std::string words;
  for (auto& t : q.terms) words += (words.empty() ? "" : " ") + t;
  std::string p = "/search?q=" + kvistur::web::PercentEncode(words);
  if (q.group >= 0) p += "&group=" + std::to_string(q.group);
  if (q.field >= 0) p += "&field=" + std::to_string(q.field);
  return p;
}

struct Answer {
  int status = 0;  // 0: the connection failed
  std::string body;
};

// HTTP/1.1 GETs over one connection kept alive, made again when the
// server has closed it.
class Client {
 public:
  Client(const std::string& host, int port) : host_(host), port_(port) {}
  ~Client() { drop(); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  Answer get(const std::string& path) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (fd_ < 0 && !connect_now()) return {};
      std::string request = "GET " + path + " HTTP/1.1\r\nHost: " + host_ + "\r\nAccept-Language: is\r\n\r\n";
      if (::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
        Answer a = read_answer();
        if (a.status) return a;
      }
      drop();  // closed while idle: once more on a new connection
    }
    return {};
  }

 private:
  bool connect_now() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port_));
    inet_pton(AF_INET, host_.c_str(), &a.sin_addr);
    int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return true;
    drop();
    return false;
  }
  void drop() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    buffer_.clear();
  }
  bool fill() {
    char buf[65536];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return false;
    buffer_.append(buf, std::size_t(n));
    return true;
  }
  Answer read_answer() {
    std::size_t end;
    while ((end = buffer_.find("\r\n\r\n")) == std::string::npos)
      if (!fill()) return {};
    std::string head = buffer_.substr(0, end);
    buffer_.erase(0, end + 4);
    Answer a;
    a.status = head.size() > 12 ? std::atoi(head.c_str() + 9) : 0;
    std::smatch m;
    std::size_t length = 0;
    if (std::regex_search(head, m, std::regex("Content-Length: *([0-9]+)", std::regex::icase)))
      length = std::stoul(m[1].str());
    while (buffer_.size() < length)
      if (!fill()) return {};
    a.body = buffer_.substr(0, length);
    buffer_.erase(0, length);
    if (head.find("Connection: close") != std::string::npos) drop();
    return a;
  }

  std::string host_;
  int port_;
  int fd_ = -1;
  std::string buffer_;
};

int first_hit(const std::string& page) {
  std::smatch m;
  return std::regex_search(page, m, std::regex("<li data-id=\"([0-9]+)\"")) ? std::stoi(m[1].str()) : -1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string url, dir;
  std::size_t per_class = 5;
  int reps = 5, clients = 32, seconds = 20;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--catalogue") dir = next();
    else if (a == "--queries") per_class = std::size_t(std::atoi(next().c_str()));
    else if (a == "--reps") reps = std::atoi(next().c_str());
    else if (a == "--clients") clients = std::atoi(next().c_str());
    else if (a == "--seconds") seconds = std::atoi(next().c_str());
    else url = a;
  }
  std::smatch m;
  if (dir.empty() || !std::regex_match(url, m, std::regex("http://([0-9.]+):([0-9]+)/?")))
    die("usage: web_load http://ADDRESS:PORT --catalogue DIR [--queries N] [--reps N] [--clients N] [--seconds N]");
  const std::string host = m[1].str();
  const int port = std::stoi(m[2].str());
  std::vector<Query> queries = make_queries(dir, per_class);

  // 1 and 2: one client, the server's time for each page.
  Client one(host, port);
  std::map<std::string, std::vector<double>> times;
  std::map<std::string, std::size_t> largest;
  std::vector<double> record_times;
  std::vector<std::string> record_paths;
  for (int rep = 0; rep <= reps; ++rep) {
    for (const Query& q : queries) {
      Clock::time_point t0 = Clock::now();
      Answer a = one.get(search_path(q));
      double ms = ms_since(t0);
      if (a.status != 200) die("HTTP " + std::to_string(a.status) + " for " + search_path(q));
      if (rep > 0) times[q.cls].push_back(ms);
      largest[q.cls] = std::max(largest[q.cls], a.body.size());
      if (rep == 0 && first_hit(a.body) > 0) record_paths.push_back("/record/" + std::to_string(first_hit(a.body)));
    }
  }
  for (int rep = 0; rep <= reps; ++rep)
    for (const std::string& p : record_paths) {
      Clock::time_point t0 = Clock::now();
      Answer a = one.get(p);
      if (a.status != 200) die("HTTP " + std::to_string(a.status) + " for " + p);
      if (rep > 0) record_times.push_back(ms_since(t0));
    }
  std::printf("| page (first of its results) | median ms | 95th ms | largest KB |\n|---|---|---|---|\n");
  for (auto& [cls, v] : times)
    std::printf("| %s | %.1f | %.1f | %.1f |\n", cls.c_str(), percentile(v, 0.5), percentile(v, 0.95),
                double(largest[cls]) / 1000);
  std::printf("| record page | %.1f | %.1f | |\n\n", percentile(record_times, 0.5), percentile(record_times, 0.95));

  // 3: many clients at once.
  std::atomic<long long> requests{0}, failures{0};
  std::vector<std::vector<double>> latencies(static_cast<std::size_t>(clients));
  Clock::time_point until = Clock::now() + std::chrono::seconds(seconds);
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c)
    threads.emplace_back([&, c] {
      Client client(host, port);
      for (std::size_t i = std::size_t(c);; ++i) {
        if (Clock::now() >= until) return;
        std::string path = i % 2 ? record_paths[(i / 2) % record_paths.size()] : search_path(queries[(i / 2) % queries.size()]);
        Clock::time_point t0 = Clock::now();
        Answer a = client.get(path);
        latencies[std::size_t(c)].push_back(ms_since(t0));
        ++requests;
        if (a.status != 200) ++failures;
      }
    });
  Clock::time_point start = Clock::now();
  for (auto& t : threads) t.join();
  double elapsed = ms_since(start) / 1000;
  std::vector<double> all;
  for (auto& v : latencies) all.insert(all.end(), v.begin(), v.end());
  std::printf("%d clients for %d s: %lld requests, %lld failed, %.0f requests/s; latency ms median %.1f, 95th %.1f, 99th %.1f\n",
              clients, seconds, requests.load(), failures.load(), double(requests.load()) / elapsed,
              percentile(all, 0.5), percentile(all, 0.95), percentile(all, 0.99));
  return failures.load() ? 1 : 0;
}
