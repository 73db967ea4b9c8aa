// Z39.50 clients through YAZ's own client API (ZOOM): one session, and
// many at once, each a thread with its own connection that searches and
// presents records in turn.  Used by the server's tests and its benchmark.
#pragma once

#include <yaz/zoom.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kvistur::testing {

// One Z39.50 session to TARGET ("tcp:host:port") that asks for MARC 21.
class Client {
 public:
  struct Answer {
    int error = 0;  // the Bib-1 diagnostic, or YAZ's client error
    std::string addinfo;
    long hits = 0;
  };

  explicit Client(const std::string& target) {
    ZOOM_options_set(options_, "piggyback", "0");
    ZOOM_options_set(options_, "preferredRecordSyntax", "usmarc");
    ZOOM_connection_connect(c_, target.c_str(), 0);
  }
  ~Client() {
    ZOOM_connection_destroy(c_);
    ZOOM_options_destroy(options_);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  ZOOM_connection get() const { return c_; }
  int error(const char** msg = nullptr, const char** info = nullptr) const {
    const char *m, *i;
    return ZOOM_connection_error(c_, msg ? msg : &m, info ? info : &i);
  }
  // A PQF search kept as result set SET in DATABASE.
  Answer search(const std::string& pqf, const std::string& set = "default", const std::string& database = "Default") {
    ZOOM_connection_option_set(c_, "setname", set.c_str());
    ZOOM_connection_option_set(c_, "databaseName", database.c_str());
    std::unique_ptr<ZOOM_resultset_p, void (*)(ZOOM_resultset)> r(ZOOM_connection_search_pqf(c_, pqf.c_str()),
                                                                   ZOOM_resultset_destroy);
    Answer a;
    const char *msg = nullptr, *info = nullptr;
    a.error = error(&msg, &info);
    a.addinfo = info ? info : "";
    if (!a.error) a.hits = long(ZOOM_resultset_size(r.get()));
    return a;
  }

 private:
  ZOOM_options options_ = ZOOM_options_create();
  ZOOM_connection c_ = ZOOM_connection_create(options_);
};

struct LoadResult {
  int64_t requests = 0, failures = 0;
  std::vector<double> latencies;  // seconds, one per request
  double seconds = 0;             // wall time of the whole run
  std::string first_failure;

  double percentile(double p) const {
    if (latencies.empty()) return 0;
    std::vector<double> l = latencies;
    std::sort(l.begin(), l.end());
    return l[std::min(l.size() - 1, std::size_t(p * double(l.size())))];
  }
};

// CLIENTS connections to TARGET ("tcp:host:port"), each making ROUNDS
// searches (the queries in turn, PQF) and, after each, a present of up to
// RECORDS records in MARC 21.
inline LoadResult RunLoad(const std::string& target, int clients, int rounds, const std::vector<std::string>& queries,
                          int records = 10) {
  LoadResult total;
  std::mutex m;
  auto client = [&](int n) {
    LoadResult mine;
    auto failed = [&](const std::string& what) {
      ++mine.failures;
      if (mine.first_failure.empty()) mine.first_failure = what;
    };
    Client session(target);
    ZOOM_connection c = session.get();
    const char *msg = nullptr, *info = nullptr;
    if (session.error(&msg, &info)) {
      failed(std::string("connect: ") + msg);
    } else {
      for (int r = 0; r < rounds; ++r) {
        auto t0 = std::chrono::steady_clock::now();
        ZOOM_resultset rs = ZOOM_connection_search_pqf(c, queries[std::size_t(n + r) % queries.size()].c_str());
        auto t1 = std::chrono::steady_clock::now();
        ++mine.requests;
        mine.latencies.push_back(std::chrono::duration<double>(t1 - t0).count());
        if (ZOOM_connection_error(c, &msg, &info)) {
          failed(std::string("search: ") + msg + " " + (info ? info : ""));
        } else if (std::size_t size = ZOOM_resultset_size(rs); size > 0) {
          std::vector<ZOOM_record> recs(std::min<std::size_t>(size, std::size_t(records)));
          ZOOM_resultset_records(rs, recs.data(), 0, recs.size());
          auto t2 = std::chrono::steady_clock::now();
          ++mine.requests;
          mine.latencies.push_back(std::chrono::duration<double>(t2 - t1).count());
          int len = 0;
          if (ZOOM_connection_error(c, &msg, &info)) failed(std::string("present: ") + msg);
          else
            for (ZOOM_record rec : recs)
              if (!rec || !ZOOM_record_get(rec, "raw", &len) || len <= 0) failed("present: a record missing");
        }
        ZOOM_resultset_destroy(rs);
      }
    }
    std::lock_guard<std::mutex> lock(m);
    total.requests += mine.requests;
    total.failures += mine.failures;
    total.latencies.insert(total.latencies.end(), mine.latencies.begin(), mine.latencies.end());
    if (total.first_failure.empty()) total.first_failure = mine.first_failure;
  };
  auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) threads.emplace_back(client, i);
  for (auto& t : threads) t.join();
  total.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return total;
}

}  // namespace kvistur::testing
