#include "import/store/writeback.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>

namespace kvistur::import {

namespace {
// How often the pages written since are handed to the disk: often enough
// that they never pile up to more than the disk takes in a moment.
constexpr auto kEvery = std::chrono::milliseconds(250);
}  // namespace

Writeback::Writeback(sqlite3* db) {
  const char* file = sqlite3_db_filename(db, "main");
  if (!file || !*file) return;
  fd_ = ::open(file, O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) return;
  try {
    thread_ = std::thread([this] { run(); });
  } catch (...) {
    ::close(fd_);
    fd_ = -1;
  }
}

Writeback::~Writeback() {
  if (thread_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(m_);
      stop_ = true;
    }
    stopping_.notify_one();
    thread_.join();
  }
  if (fd_ >= 0) ::close(fd_);
}

void Writeback::run() {
  std::unique_lock<std::mutex> lock(m_);
  while (!stopping_.wait_for(lock, kEvery, [&] { return stop_; })) {
    lock.unlock();
    // Starts writing every dirty page of the file and returns; it may wait
    // while the disk's queue is full, which is why it runs on a thread of
    // its own.  A failure here (the disk full, say) shows again where it
    // matters, at the final sync.
    ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
    lock.lock();
  }
}

}  // namespace kvistur::import
