// Fuzzes the Jet reader with damaged files: whatever the bytes, libmdb and
// the reader's own checks run in this process, so that a crash, a hang or
// an out-of-bounds access inside libmdb is a finding, as one in our code
// is.  The seeds are the Jet files of the test data (scripts/test).
#include <cstdint>
#include <cstdio>
#include <span>

#include "import/jet/jet_file.h"

using namespace kvistur::import;

namespace {

struct Sink : JetSink {
  void Tables(const JetInfo&) override {}
  void BeginTable(std::size_t) override {}
  void Row(std::span<const Cell>) override {}
  void EndTable(std::size_t, uint64_t) override {}
};

}  // namespace

// libmdb writes warnings and page dumps to standard error and output for
// most damaged pages: tens of megabytes a minute.  Its stdio streams are
// pointed elsewhere; libFuzzer and the sanitizers keep the one they took at
// start-up (or write to the file descriptor), so their reports are seen.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (FILE* null = std::fopen("/dev/null", "w")) stderr = stdout = null;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Sink sink;
  try {
    ReadJetBytes(std::span(data, size), 0, sink);
  } catch (const JetError&) {
  }
  return 0;
}
