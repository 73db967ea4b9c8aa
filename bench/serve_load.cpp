// Requests per second and latency of a Z39.50 server under many clients at
// once: each client (a thread with its own connection, through YAZ's client
// library) searches and then presents up to 10 MARC records, ROUNDS times.
// Run it against `kvistur serve` and against `yaz-ztest -T` (YAZ's own test
// server, which does no work) on the same machine: the second is the
// protocol's floor.
//
//   build/serve_load tcp:127.0.0.1:9999 [CLIENTS [ROUNDS [QUERIES]]]
//
// QUERIES is a file of PQF queries, one a line (by default five queries of
// the sample catalogue's words).
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "../tests/server/load_client.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: serve_load TARGET [CLIENTS [ROUNDS [QUERIES]]]\n");
    return 2;
  }
  int clients = argc > 2 ? std::atoi(argv[2]) : 32, rounds = argc > 3 ? std::atoi(argv[3]) : 100;
  std::vector<std::string> queries = {"@attr 1=4 saga", "@attr 1=1003 einarsson", "@attr 1=21 skáldsögur",
                                            "@attr 1=4 @attr 5=1 sag", "@or @attr 1=4 saga ljóð"};
  if (argc > 4) {
    std::ifstream file(argv[4]);
    if (!file) {
      std::fprintf(stderr, "serve_load: cannot read %s\n", argv[4]);
      return 2;
    }
    queries.clear();
    for (std::string line; std::getline(file, line);)
      if (!line.empty()) queries.push_back(line);
  }
  auto r = kvistur::testing::RunLoad(argv[1], clients, rounds, queries);
  std::printf("%d clients x %d rounds: %lld requests, %lld failed, %.2f s, %.0f requests/s\n", clients, rounds,
              static_cast<long long>(r.requests), static_cast<long long>(r.failures), r.seconds,
              double(r.requests) / r.seconds);
  std::printf("latency ms: median %.2f, 95th %.2f, 99th %.2f\n", r.percentile(0.5) * 1e3, r.percentile(0.95) * 1e3,
              r.percentile(0.99) * 1e3);
  if (!r.first_failure.empty()) std::printf("first failure: %s\n", r.first_failure.c_str());
  return r.failures ? 1 : 0;
}
