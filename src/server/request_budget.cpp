#include "server/request_budget.h"

#include <yaz/diagbib1.h>

#include <string>
#include <utility>

#include "server/diagnostic.h"

namespace kvistur::server {

namespace {
constexpr int64_t kMiB = int64_t(1) << 20;
}  // namespace

bool MemoryPool::take(int64_t bytes) {
  if (used_.fetch_add(bytes) + bytes <= limit_) return true;
  used_ -= bytes;
  return false;
}

RequestBudget::RequestBudget(const Limits& limits, MemoryPool& pool)
    : limits_(limits), pool_(pool), deadline_(Clock::now() + std::chrono::seconds(limits.request_seconds)) {}

void RequestBudget::check_time() const {
  if (past_deadline())
    refuse(YAZ_BIB1_RESOURCES_EXHAUSTED_NO_RESULTS_AVAILABLE,
           "time limit of " + std::to_string(limits_.request_seconds) + " s to a request");
}

void RequestBudget::take(int64_t bytes) {
  if (held_ + bytes > limits_.request_mib * kMiB)
    refuse(YAZ_BIB1_RESOURCES_EXHAUSTED_NO_RESULTS_AVAILABLE,
           "memory limit of " + std::to_string(limits_.request_mib) + " MiB to a request");
  if (!pool_.take(bytes))
    refuse(YAZ_BIB1_TEMPORARY_SYSTEM_ERROR,
           "the " + std::to_string(limits_.all_requests_mib) + " MiB for requests at once are in use");
  held_ += bytes;
}

void RequestBudget::give_back(int64_t bytes) {
  held_ -= bytes;
  pool_.give_back(bytes);
}

Charge::Charge(RequestBudget& budget, int64_t bytes) {
  budget.take(bytes);
  budget_ = &budget;
  bytes_ = bytes;
}

Charge& Charge::operator=(Charge&& other) noexcept {
  if (this != &other) {
    release();
    budget_ = std::exchange(other.budget_, nullptr);
    bytes_ = std::exchange(other.bytes_, 0);
  }
  return *this;
}

void Charge::release() {
  if (budget_) budget_->give_back(bytes_);
  budget_ = nullptr;
  bytes_ = 0;
}

}  // namespace kvistur::server
