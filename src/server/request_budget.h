// What one request may take: time, checked between the steps of its work,
// and memory for the lists of record numbers its evaluation holds at once,
// counted against the request's own limit and against what all requests
// at once may hold, so that many sessions cannot together take the
// machine either.  Nothing is ever waited for: a request over a limit is
// refused with its diagnostic and everything it held is let go.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <utility>

#include "server/limits.h"

namespace kvistur::server {

// The memory all requests at once may hold.
class MemoryPool {
 public:
  explicit MemoryPool(int64_t bytes) : limit_(bytes) {}
  MemoryPool(const MemoryPool&) = delete;
  MemoryPool& operator=(const MemoryPool&) = delete;

  bool take(int64_t bytes);  // false, and nothing taken, when not that much is left
  void give_back(int64_t bytes) { used_ -= bytes; }
  int64_t used() const { return used_; }

 private:
  const int64_t limit_;
  std::atomic<int64_t> used_{0};
};

class RequestBudget {
 public:
  using Clock = std::chrono::steady_clock;

  // From now on, for LIMITS' time and memory, from POOL.
  RequestBudget(const Limits& limits, MemoryPool& pool);
  RequestBudget(const RequestBudget&) = delete;
  RequestBudget& operator=(const RequestBudget&) = delete;

  bool past_deadline() const { return Clock::now() > deadline_; }
  // Refuses the request (Bib-1 31) when its time is up.
  void check_time() const;
  int64_t held() const { return held_; }

 private:
  friend class Charge;
  void take(int64_t bytes);  // refuses (Bib-1 31, or 2 when the pool is short)
  void give_back(int64_t bytes);

  const Limits& limits_;
  MemoryPool& pool_;
  Clock::time_point deadline_;
  int64_t held_ = 0;
};

// BYTES of a request's memory, held while the object lives.
class Charge {
 public:
  Charge() = default;
  Charge(RequestBudget& budget, int64_t bytes);
  Charge(Charge&& other) noexcept { *this = std::move(other); }
  Charge& operator=(Charge&& other) noexcept;
  ~Charge() { release(); }

  bool held() const { return budget_ != nullptr; }

 private:
  void release();

  RequestBudget* budget_ = nullptr;
  int64_t bytes_ = 0;
};

}  // namespace kvistur::server
