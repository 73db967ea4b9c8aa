// Fuzzes the request parser of `kvistur host`: any bytes as JSON lines must
// give one answer line per request line (an answer or a host error), never a
// crash, a hang or a stopped host.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "command.h"

namespace kvistur::host {
int run_host(std::istream& in, std::ostream& out);
}

// The host's sub-command registers itself; the fuzzer has no command line.
namespace kvistur::cli {
bool register_command(const CommandInfo&) { return true; }
}  // namespace kvistur::cli

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("KVISTUR_LOG", "/dev/null", 1);
  setenv("LINDRIT_SETTINGS", "/nonexistent/lindrit.ini", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  std::istringstream in(input);
  std::ostringstream out;
  kvistur::host::run_host(in, out);
  // Every non-blank line gets exactly one answer line.
  std::size_t requests = 0, answers = 0;
  std::istringstream lines(input);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") != std::string::npos) ++requests;
  }
  for (char c : out.str()) answers += c == '\n';
  if (requests != answers) __builtin_trap();
  return 0;
}
