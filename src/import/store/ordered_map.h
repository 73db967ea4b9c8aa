// Maps items on several threads and hands the results over in the items'
// order, on the calling thread: a build maps records on every core, and
// numbers and writes them in the order of the input.
//
//   MapInOrder<Row>(n, helpers,
//                   [&](std::size_t i, Row& out) { out = map(items[i]); },   // any thread
//                   [&](std::size_t i, Row& row) { write(row); });          // the caller, in order
//
// Items go out in chunks; the caller maps chunks too while the one it
// hands over next is not ready, so the work goes on at the speed of the
// threads that get a core.  At most a few chunks per thread are mapped
// ahead of the one handed over.  What MAP throws is rethrown on the
// calling thread when its chunk's turn comes; what CONSUME throws ends the
// mapping.  A Row slot is reused for later items: MAP must set all of it.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace kvistur::import {

// Items mapped by one thread before it looks for more.
inline constexpr std::size_t kItemsPerChunk = 64;
// The most helper threads worth starting, whatever the machine.
inline constexpr unsigned kMaxHelpers = 15;

// Helper threads for the mapping beside the calling thread: one for each
// other core the machine has.
inline unsigned MappingHelpers() {
  unsigned cores = std::thread::hardware_concurrency();
  return cores > 1 ? std::min(cores - 1, kMaxHelpers) : 0;
}

template <typename Row, typename Map, typename Consume>
void MapInOrder(std::size_t n, unsigned helpers, Map map, Consume consume) {
  const std::size_t chunks = (n + kItemsPerChunk - 1) / kItemsPerChunk;
  if (helpers == 0 || chunks < 2) {
    Row row;
    for (std::size_t i = 0; i < n; ++i) {
      map(i, row);
      consume(i, row);
    }
    return;
  }
  const std::size_t window = 4 * (std::size_t(helpers) + 1);
  struct Slot {
    std::vector<Row> rows;
    bool done = false;
    std::exception_ptr failure;
  };
  std::vector<Slot> slots(window);
  std::mutex m;
  std::condition_variable changed;
  std::size_t next = 0;      // the next chunk to take
  std::size_t consumed = 0;  // chunks handed over
  bool stop = false;

  auto work = [&](std::size_t c) {
    Slot& s = slots[c % window];
    std::size_t from = c * kItemsPerChunk, to = std::min(n, from + kItemsPerChunk);
    s.rows.resize(to - from);
    try {
      for (std::size_t i = from; i < to; ++i) map(i, s.rows[i - from]);
    } catch (...) {
      s.failure = std::current_exception();
    }
    {
      std::lock_guard<std::mutex> lock(m);
      s.done = true;
    }
    changed.notify_all();
  };

  // Stops and joins the helpers however the caller leaves.
  struct Helpers {
    std::vector<std::thread> threads;
    std::mutex& m;
    std::condition_variable& changed;
    bool& stop;
    ~Helpers() {
      {
        std::lock_guard<std::mutex> lock(m);
        stop = true;
      }
      changed.notify_all();
      for (auto& t : threads) t.join();
    }
  } running{{}, m, changed, stop};
  for (unsigned h = 0; h < helpers; ++h)
    running.threads.emplace_back([&] {
      for (;;) {
        std::unique_lock<std::mutex> lock(m);
        changed.wait(lock, [&] { return stop || next >= chunks || next < consumed + window; });
        if (stop || next >= chunks) return;
        std::size_t c = next++;
        lock.unlock();
        work(c);
      }
    });

  for (std::size_t c = 0; c < chunks; ++c) {
    Slot& s = slots[c % window];
    {
      // Until chunk C is mapped the caller maps the next chunk no helper
      // has taken, C itself first when none has: a caller that only waited
      // would leave its core idle while its helpers are all busy.
      std::unique_lock<std::mutex> lock(m);
      while (!s.done) {
        if (next < chunks && next < consumed + window) {
          std::size_t d = next++;
          lock.unlock();
          work(d);
          lock.lock();
          continue;
        }
        changed.wait(lock);
      }
    }
    if (s.failure) std::rethrow_exception(s.failure);
    std::size_t from = c * kItemsPerChunk;
    for (std::size_t i = 0; i < s.rows.size(); ++i) consume(from + i, s.rows[i]);
    {
      std::lock_guard<std::mutex> lock(m);
      s.done = false;
      ++consumed;
    }
    changed.notify_all();
  }
}

}  // namespace kvistur::import
