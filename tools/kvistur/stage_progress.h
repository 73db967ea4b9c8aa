// Progress of a long command (build, update) on standard error, one stage
// at a time.  On a terminal the stage's line is rewritten as work goes on
// (count, rate, time left when the total is known); otherwise each stage
// writes one line when it is done, so that logs stay short.
//
//   StageProgress p("reading", 0);
//   for (...) p.Update(n, fraction_done);
//   p.Done(n);            // "reading: 100000 records in 1.9 s (52631/s)"
#pragma once

#include <chrono>
#include <string>

namespace kvistur::cli {

class StageProgress {
 public:
  // TOTAL is the number the stage will reach, 0 when not known; UNIT
  // names what is counted ("" for a stage that counts nothing).
  StageProgress(std::string stage, long total, std::string unit = "records");
  // DONE so far; FRACTION (0..1) of the work when it is known otherwise
  // (bytes of a file read), negative when DONE and TOTAL tell it.
  void Update(long done, double fraction = -1);
  void Done(long done);

 private:
  std::string line(long done, double fraction) const;
  std::string stage_, unit_;
  long total_;
  bool terminal_;
  std::chrono::steady_clock::time_point start_, shown_;
};

}  // namespace kvistur::cli
