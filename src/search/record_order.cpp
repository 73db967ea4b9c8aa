#include "search/record_order.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "search/hits.h"

namespace kvistur {

namespace {

constexpr std::string_view kSlot = "kvistur.search.record-order";

// What the slot holds: the order, or null when it cannot be worked out (so
// that the next search does not try again until the contents change).
struct Slot {
  std::shared_ptr<const RecordOrder> order;
};

}  // namespace

// Makes the collation keys of sort texts on a second thread while the
// first reads the table on: the two take about as long each.  Batches are
// handed over in order, and at most a few wait at a time.
class KeyMaker {
 public:
  KeyMaker() : worker_([this] { run(); }) {}
  ~KeyMaker() {
    finish();
  }
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

std::shared_ptr<const RecordOrder> RecordOrder::Build(db::Database& database) {
  std::vector<int32_t> ids;
  std::vector<int32_t> cls;
  {
    KeyMaker keys;
    auto rs = database.OpenRecordset(u"select m.ID, m.Röðunarsvið FROM Móðurtafla m", db::kSnapshot);
    rs->ForEachRow([&](std::vector<Variant>& row) {
      // A number that is not a whole 32-bit number can never be a hit.
      const Variant& id = row[0];
      if (id.is_null() || !id.is_numeric()) return;
      double d = id.to_double();
      if (d != double(int32_t(d)) || d < INT32_MIN || d > INT32_MAX) return;
      ids.push_back(int32_t(d));
      keys.add(std::move(row[1]));
    });
    rs->Close();
    keys.add(Variant(Text()));  // what a missing record sorts as
    cls = keys.classes().classes();
  }

  auto order = std::make_shared<RecordOrder>();
  order->absent_ = cls.back();
  cls.pop_back();
  if (ids.empty()) return order;
  auto [lo, hi] = std::minmax_element(ids.begin(), ids.end());
  int64_t span = int64_t(*hi) - *lo + 1;
  if (span <= int64_t(ids.size()) * 2 + 1024) {
    order->first_id_ = *lo;
    order->dense_.assign(std::size_t(span), INT32_MIN);
    for (std::size_t i = 0; i < ids.size(); ++i) {
      int32_t& slot = order->dense_[std::size_t(int64_t(ids[i]) - *lo)];
      // The look-up of a record number that is there twice takes whichever
      // row the engine meets first; that cannot be told from here.
      if (slot != INT32_MIN) throw std::runtime_error("a record number twice in Móðurtafla");
      slot = cls[i];
    }
    for (int32_t& slot : order->dense_)
      if (slot == INT32_MIN) slot = order->absent_;
  } else {
    order->sparse_.reserve(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) order->sparse_.push_back({ids[i], cls[i]});
    std::sort(order->sparse_.begin(), order->sparse_.end());
    for (std::size_t i = 1; i < order->sparse_.size(); ++i)
      if (order->sparse_[i].first == order->sparse_[i - 1].first)
        throw std::runtime_error("a record number twice in Móðurtafla");
  }
  return order;
}

int32_t RecordOrder::rank(int32_t id) const {
  if (!dense_.empty()) {
    int64_t at = int64_t(id) - first_id_;
    return at >= 0 && at < int64_t(dense_.size()) ? dense_[std::size_t(at)] : absent_;
  }
  auto it = std::lower_bound(sparse_.begin(), sparse_.end(), std::pair<int32_t, int32_t>{id, INT32_MIN});
  return it != sparse_.end() && it->first == id ? it->second : absent_;
}

std::shared_ptr<const RecordOrder> KeptRecordOrder(db::Database& database, bool build) {
  std::shared_ptr<void>& slot = database.Derived(kSlot);
  if (slot) return static_cast<const Slot*>(slot.get())->order;
  if (!build) return nullptr;
  // Kept even when the catalogue changes while the table is read: the
  // engine's next look at the data version, at the next call, sees that
  // change and empties the slot.
  auto built = std::make_shared<Slot>();
  try {
    built->order = RecordOrder::Build(database);
  } catch (...) {
    built->order = nullptr;
  }
  database.Derived(kSlot) = built;
  return built->order;
}

}  // namespace kvistur
