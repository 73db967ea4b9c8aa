#include "stage_progress.h"

#include <unistd.h>

#include <cstdio>

namespace kvistur::cli {

namespace {

// How often a terminal line is rewritten.
constexpr std::chrono::milliseconds kRefresh{200};

double seconds_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

}  // namespace

StageProgress::StageProgress(std::string stage, long total, std::string unit)
    : stage_(std::move(stage)), unit_(std::move(unit)), total_(total), terminal_(isatty(2) == 1),
      start_(std::chrono::steady_clock::now()), shown_(start_) {}

std::string StageProgress::line(long done, double fraction) const {
  double s = seconds_since(start_);
  char buf[200];
  int n = std::snprintf(buf, sizeof buf, "%s: %ld", stage_.c_str(), done);
  if (total_ > 0) n += std::snprintf(buf + n, sizeof buf - std::size_t(n), " of %ld", total_);
  n += std::snprintf(buf + n, sizeof buf - std::size_t(n), " %s", unit_.c_str());
  if (s > 0.05) n += std::snprintf(buf + n, sizeof buf - std::size_t(n), ", %.0f/s", double(done) / s);
  if (fraction < 0 && total_ > 0) fraction = double(done) / double(total_);
  if (fraction > 0.01 && fraction < 1)
    std::snprintf(buf + n, sizeof buf - std::size_t(n), ", %.0f s left", s / fraction - s);
  return buf;
}

void StageProgress::Update(long done, double fraction) {
  if (!terminal_) return;
  auto now = std::chrono::steady_clock::now();
  if (now - shown_ < kRefresh) return;
  shown_ = now;
  std::fprintf(stderr, "\r%-78s", line(done, fraction).c_str());
  std::fflush(stderr);
}

void StageProgress::Done(long done) {
  double s = seconds_since(start_);
  std::string text = stage_ + ": " + (unit_.empty() ? "done" : std::to_string(done) + " " + unit_);
  char tail[64];
  std::snprintf(tail, sizeof tail, " in %.1f s", s);
  text += tail;
  if (s > 0.05 && done > 0 && !unit_.empty()) {
    std::snprintf(tail, sizeof tail, " (%.0f/s)", double(done) / s);
    text += tail;
  }
  if (terminal_) std::fprintf(stderr, "\r%-78s\n", text.c_str());
  else std::fprintf(stderr, "%s\n", text.c_str());
}

}  // namespace kvistur::cli
