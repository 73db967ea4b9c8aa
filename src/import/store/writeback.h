// Has the disk take a file's new data while the file is still being
// written.  A build writes a catalogue of gigabytes into the page cache and
// makes it durable with one sync at the end; with memory to spare the
// kernel starts writing dirty pages back only after half a minute or
// gigabytes, so that sync would find the whole file still to write and the
// build would wait seconds for the disk with every core idle.  Started
// while the rows are written, the disk works beside the mapping, and the
// last sync finds little left.
//
//   Writeback early(db);   // the file of connection DB, until it goes out of scope
//
// It only starts writing (sync_file_range): durability still comes from the
// sync before the file is moved into place (output.h), and nothing here
// waits for the disk on the threads that write the file.
#pragma once

#include <sqlite3.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace kvistur::import {

class Writeback {
 public:
  // The main file of DB.  A file that cannot be opened is left to the
  // final sync: this is only ever a saving of time.
  explicit Writeback(sqlite3* db);
  ~Writeback();
  Writeback(const Writeback&) = delete;
  Writeback& operator=(const Writeback&) = delete;

 private:
  void run();
  int fd_ = -1;
  std::mutex m_;
  std::condition_variable stopping_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace kvistur::import
