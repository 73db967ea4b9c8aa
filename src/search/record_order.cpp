#include "search/record_order.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "platform/kept_memory.h"
#include "search/hits.h"
#include "search/progress.h"

namespace kvistur {

// Makes the collation keys of sort texts on a second thread while the
// first reads the table on: the two take about as long each.  Batches are
// handed over in order, and at most a few wait at a time.
class RecordRows::KeyMaker {
 public:
  KeyMaker() : worker_([this] { run(); }) {}
  ~KeyMaker() { finish(); }
  void add(Variant v) {
    batch_.push_back(std::move(v));
    if (batch_.size() == kBatch) hand_over();
  }
  // Waits for the last batch; rethrows what the worker met.
  KeyClasses& classes() {
    finish();
    if (failure_) std::rethrow_exception(failure_);
    return classes_;
  }

 private:
  static constexpr std::size_t kBatch = 4096, kWaiting = 4;
  void hand_over() {
    std::unique_lock<std::mutex> lock(m_);
    room_.wait(lock, [&] { return queue_.size() < kWaiting; });
    queue_.push_back(std::move(batch_));
    batch_.clear();
    ready_.notify_one();
  }
  void finish() {
    if (!worker_.joinable()) return;
    if (!batch_.empty()) hand_over();
    {
      std::lock_guard<std::mutex> lock(m_);
      done_ = true;
    }
    ready_.notify_one();
    worker_.join();
  }
  void run() {
    for (;;) {
      std::vector<Variant> batch;
      {
        std::unique_lock<std::mutex> lock(m_);
        ready_.wait(lock, [&] { return !queue_.empty() || done_; });
        if (queue_.empty()) return;
        batch = std::move(queue_.front());
        queue_.pop_front();
        room_.notify_one();
      }
      if (failure_) continue;  // keep taking batches so the reader never waits for nothing
      try {
        for (const Variant& v : batch) classes_.add(v);
      } catch (...) {
        failure_ = std::current_exception();
      }
    }
  }

  KeyClasses classes_;
  std::vector<Variant> batch_;
  std::deque<std::vector<Variant>> queue_;
  std::mutex m_;
  std::condition_variable ready_, room_;
  bool done_ = false;
  std::exception_ptr failure_;
  std::thread worker_;
};

RecordRows::RecordRows() : keys_(std::make_unique<KeyMaker>()) {}
RecordRows::~RecordRows() = default;

void RecordRows::add(const Variant& id, Variant key, bool null_identity, const Variant& tag) {
  if (id.type() == VarType::String) throw std::runtime_error("a record number held as text in Móðurtafla");
  // A number that is not a whole 32-bit number can never be a hit.
  if (id.is_null() || !id.is_numeric()) return;
  double d = id.to_double();
  // The range first: converting a number outside it (or NaN) is undefined.
  if (!(d >= INT32_MIN && d <= INT32_MAX) || d != std::trunc(d)) return;
  out_.ids.push_back(int32_t(d));
  keys_->add(std::move(key));
  // What reading the hit's row into the result table would fail on.
  bool unreadable = null_identity;
  if (!unreadable) {
    try {
      tag.to_i16();
    } catch (const Error&) {
      unreadable = true;
    }
  }
  if (unreadable) out_.unreadable.push_back(int32_t(d));
}

RankedRecords RecordRows::finish() {
  keys_->add(Variant(Text()));  // what a missing record sorts as
  out_.ranks = keys_->classes().classes();
  out_.absent = out_.ranks.back();
  out_.ranks.pop_back();
  std::vector<int32_t> sorted = out_.ids;
  std::sort(sorted.begin(), sorted.end());
  if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end())
    throw std::runtime_error("a record number twice in Móðurtafla");
  std::sort(out_.unreadable.begin(), out_.unreadable.end());
  return std::move(out_);
}

std::shared_ptr<const RecordOrder> RecordOrder::Build(db::Database& database) {
  const Text sql = u"select m.ID, m.Röðunarsvið, m.Einkennisstrengur, m.Tag FROM Móðurtafla m";
  RecordRows rows;
  std::unique_ptr<db::Cursor> cursor;
  try {
    cursor = database.OpenCursor(sql);
  } catch (const Error& e) {
    if (e.number() != 3251) throw;
  }
  constexpr std::string_view kWork = "working out the order of all records";
  int64_t read = 0;
  auto tell = [&] {
    if (++read % 16384 == 0) ReportWork(kWork, read, 0);
  };
  if (cursor) {
    while (cursor->Next()) {
      rows.add(cursor->Value(0), cursor->Value(1), cursor->IsNull(2), cursor->Value(3));
      tell();
    }
  } else {
    auto rs = database.OpenRecordset(sql, db::kSnapshot);
    rs->ForEachRow([&](std::vector<Variant>& row) {
      rows.add(row[0], std::move(row[1]), row[2].is_null(), row[3]);
      tell();
    });
    rs->Close();
  }
  auto order = std::make_shared<RecordOrder>(rows.finish());
  ReportWork({}, 0, 0);
  return order;
}

RecordOrder::RecordOrder(RankedRecords r)
    : ranks_(r.ids, r.ranks, r.absent), unreadable_(std::move(r.unreadable)) {}

std::size_t RecordOrder::memory() const { return sizeof(RecordOrder) + ranks_.heap_bytes() + HeapBytes(unreadable_); }

bool RecordOrder::unreadable(int32_t id) const {
  return std::binary_search(unreadable_.begin(), unreadable_.end(), id);
}

}  // namespace kvistur
