// How long a failed log-on takes: a wrong password for a user who exists
// against any password for a user who does not.  The two must take the same
// time (the unknown user is checked against a decoy hash made with the same
// Argon2id parameters), so that timing the answer does not tell whether a
// user name is real.  Compare the two lines' times; they should agree within
// the noise of the machine.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/workgroup.h"

namespace {

using namespace kvistur;

const std::string& workgroup() {
  static const std::string file = [] {
    std::string f = (std::filesystem::temp_directory_path() / ("kvistur-logon-" + std::to_string(getpid()) + ".mdw")).string();
    std::filesystem::remove(f);
    db::workgroup_init(f);
    for (int i = 0; i < 50; ++i) db::workgroup_set_user(f, u"notandi" + from_utf8(std::to_string(i)), u"lykilorð");
    return f;
  }();
  return file;
}

void check(benchmark::State& state, TextView user) {
  const std::string& f = workgroup();
  for (auto _ : state) {
    try {
      db::workgroup_check(f, user, u"rangt");
    } catch (const std::exception&) {
    }
  }
}

void BM_WrongPasswordKnownUser(benchmark::State& state) { check(state, u"notandi17"); }
void BM_UnknownUser(benchmark::State& state) { check(state, u"enginn"); }
BENCHMARK(BM_WrongPasswordKnownUser)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_UnknownUser)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  std::filesystem::remove(workgroup());
  return 0;
}
