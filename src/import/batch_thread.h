// One thread that works through batches in the order they are handed to
// it, while the thread that hands them over makes the next ones: a build
// maps records on one core while SQLite writes those mapped before on the
// other.  At most a few batches wait, so memory stays bounded when the
// worker is the slower of the two.
//
//   BatchThread<Rows> writer([&](Rows& rows) { write(rows); });
//   writer.Hand(std::move(rows));  // rethrows what the worker met
//   writer.Finish();               // every batch done, or what it met rethrown
//
// The first exception the work throws stops the thread: the batches still
// waiting are dropped, and the next Hand or Finish rethrows it.  A batch
// is destroyed on the worker, once done.
#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

namespace kvistur::import {

template <typename Batch>
class BatchThread {
 public:
  // Batches that may wait for the worker before Hand waits for room.
  static constexpr std::size_t kWaiting = 4;

  explicit BatchThread(std::function<void(Batch&)> work) : work_(std::move(work)), thread_([this] { run(); }) {}
  // Stops the worker after the batch it is on; the rest are dropped.
  ~BatchThread() {
    {
      std::lock_guard<std::mutex> lock(m_);
      stop_ = true;
    }
    ready_.notify_one();
    if (thread_.joinable()) thread_.join();
  }
  BatchThread(const BatchThread&) = delete;
  BatchThread& operator=(const BatchThread&) = delete;

  void Hand(Batch batch) {
    std::unique_lock<std::mutex> lock(m_);
    room_.wait(lock, [&] { return queue_.size() < kWaiting || failure_; });
    if (failure_) std::rethrow_exception(failure_);
    queue_.push_back(std::move(batch));
    lock.unlock();
    ready_.notify_one();
  }

  // Waits until every batch is done and the worker has ended.
  void Finish() {
    {
      std::lock_guard<std::mutex> lock(m_);
      closing_ = true;
    }
    ready_.notify_one();
    if (thread_.joinable()) thread_.join();
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  void run() {
    for (;;) {
      Batch batch;
      {
        std::unique_lock<std::mutex> lock(m_);
        ready_.wait(lock, [&] { return stop_ || closing_ || !queue_.empty(); });
        if (stop_ || queue_.empty()) return;
        batch = std::move(queue_.front());
        queue_.pop_front();
      }
      room_.notify_one();
      try {
        work_(batch);
      } catch (...) {
        {
          std::lock_guard<std::mutex> lock(m_);
          failure_ = std::current_exception();
          queue_.clear();
        }
        room_.notify_one();
        return;
      }
    }
  }

  std::function<void(Batch&)> work_;
  std::mutex m_;
  std::condition_variable ready_, room_;
  std::deque<Batch> queue_;
  bool closing_ = false, stop_ = false;
  std::exception_ptr failure_;
  std::thread thread_;  // last: it starts once the rest is in place
};

}  // namespace kvistur::import
