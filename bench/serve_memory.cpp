// The resident memory of a running `kvistur serve` when every session does
// what its limits allow at worst: CLIENTS sessions at once (one thread and
// connection each, through YAZ's client library), each filling SETS result
// sets with QUERY (a PQF query of many hits) and then presenting records
// from each.  Prints the server's VmRSS and VmHWM (from /proc/PID/status)
// before, at the peak and after the sessions have closed.
//
//   build/serve_memory TARGET PID QUERY [CLIENTS [SETS]]
//   e.g. build/serve_memory tcp:127.0.0.1:2100 $(pidof kvistur) meimrónda 64 20
#include <yaz/zoom.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

long status_kib(const std::string& pid, const std::string& name) {
  std::ifstream f("/proc/" + pid + "/status");
  for (std::string line; std::getline(f, line);)
    if (line.rfind(name + ":", 0) == 0) return std::atol(line.c_str() + name.size() + 1);
  return -1;
}

void print(const char* when, const std::string& pid) {
  std::printf("%-8s VmRSS %7.1f MiB  VmHWM %7.1f MiB\n", when, double(status_kib(pid, "VmRSS")) / 1024,
              double(status_kib(pid, "VmHWM")) / 1024);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: serve_memory TARGET PID QUERY [CLIENTS [SETS]]\n");
    return 2;
  }
  const std::string target = argv[1], pid = argv[2], query = argv[3];
  const int clients = argc > 4 ? std::atoi(argv[4]) : 64, sets = argc > 5 ? std::atoi(argv[5]) : 20;
  print("before", pid);
  std::vector<ZOOM_connection> connections(std::size_t(clients), nullptr);
  std::vector<std::thread> threads;
  long long hits = 0, failures = 0;
  for (int i = 0; i < clients; ++i)
    threads.emplace_back([&, i] {
      ZOOM_connection c = ZOOM_connection_create(nullptr);
      ZOOM_connection_option_set(c, "preferredRecordSyntax", "usmarc");
      ZOOM_connection_connect(c, target.c_str(), 0);
      for (int s = 1; s <= sets; ++s) {
        ZOOM_connection_option_set(c, "setname", std::to_string(s).c_str());
        ZOOM_resultset r = ZOOM_connection_search_pqf(c, query.c_str());
        const char *msg, *info;
        if (ZOOM_connection_error(c, &msg, &info)) {
          __atomic_add_fetch(&failures, 1, __ATOMIC_RELAXED);
        } else {
          __atomic_add_fetch(&hits, (long long)ZOOM_resultset_size(r), __ATOMIC_RELAXED);
          ZOOM_record rec = ZOOM_resultset_record(r, 0);
          (void)rec;
        }
        ZOOM_resultset_destroy(r);
      }
      connections[std::size_t(i)] = c;  // held open: the sessions keep their sets
    });
  for (auto& t : threads) t.join();
  print("peak", pid);
  std::printf("%d sessions x %d sets: %lld records held, %lld refused\n", clients, sets, hits, failures);
  for (ZOOM_connection c : connections) ZOOM_connection_destroy(c);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  print("after", pid);
  return 0;
}
