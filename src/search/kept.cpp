#include "search/kept.h"

#include <algorithm>
#include <vector>

#include "settings/thread_state.h"

namespace kvistur {

namespace {

// The states kept by the process, most recently made first.  GENERATION
// changes whenever the list does, so that a thread's remembered state is
// used only while it is still listed.
struct Registry {
  std::mutex m;
  std::vector<std::shared_ptr<KeptSearch>> states;
  std::atomic<uint64_t> generation{1};
};

Registry& registry() {
  static Registry* r = new Registry;  // never destroyed: threads may outlive static destruction
  return *r;
}

// What a thread remembers: the state it used last and the generation of
// the list it found it in.
struct Remembered {
  uint64_t generation = 0;
  std::shared_ptr<KeptSearch> kept;
};

// The file part of a token (everything before the stamp's numbers).
std::string_view file_of(const std::string& token) {
  std::size_t colon = token.find(':');
  colon = colon == std::string::npos ? colon : token.find(':', colon + 1);
  return std::string_view(token).substr(0, colon);
}

}  // namespace

std::shared_ptr<KeptSearch> KeptSearch::For(db::Database& database) {
  try {
    return find_or_make(database);
  } catch (...) {
    return std::make_shared<KeptSearch>(db::ContentStamp{});  // nothing kept this time
  }
}

std::shared_ptr<KeptSearch> KeptSearch::find_or_make(db::Database& database) {
  db::ContentStamp stamp = database.Stamp();
  if (stamp.token.empty()) {
    // Kept with the thread's connection, emptied when the file changes.
    std::shared_ptr<void>& slot = database.Derived("kvistur.search.kept");
    if (!slot) slot = std::make_shared<KeptSearch>(stamp);
    return std::static_pointer_cast<KeptSearch>(slot);
  }

  Registry& reg = registry();
  std::shared_ptr<void>& mine = thread_state().search_kept;
  if (!mine) mine = std::make_shared<Remembered>();
  Remembered& remembered = *static_cast<Remembered*>(mine.get());
  if (remembered.kept && remembered.generation == reg.generation.load(std::memory_order_acquire) &&
      remembered.kept->stamp_.token == stamp.token)
    return remembered.kept;

  auto find = [&]() -> std::shared_ptr<KeptSearch> {
    for (auto& s : reg.states)
      if (s->stamp_.token == stamp.token) return s;
    return nullptr;
  };
  std::shared_ptr<KeptSearch> kept;
  {
    std::lock_guard<std::mutex> lock(reg.m);
    kept = find();
    if (kept) {
      remembered = {reg.generation.load(std::memory_order_relaxed), kept};
      return kept;
    }
  }
  // A state not seen yet: its stored index is opened outside the lock (it
  // reads the file), and the state is listed only when the stamp read
  // again afterwards is the same, so nothing of another state is ever
  // listed under this one.
  kept = std::make_shared<KeptSearch>(stamp);
  kept->stored_ = StoredIndex::Open(database, stamp);
  if (database.Stamp().token != stamp.token) return kept;
  std::lock_guard<std::mutex> lock(reg.m);
  if (auto other = find()) {
    kept = other;
  } else {
    std::string_view file = file_of(stamp.token);
    // A new state of a file lets its older states go.
    reg.states.erase(std::remove_if(reg.states.begin(), reg.states.end(),
                                    [&](const auto& s) { return file_of(s->stamp_.token) == file; }),
                     reg.states.end());
    reg.states.insert(reg.states.begin(), kept);
    if (reg.states.size() > kMaxStates) reg.states.resize(kMaxStates);
    reg.generation.fetch_add(1, std::memory_order_acq_rel);
  }
  remembered = {reg.generation.load(std::memory_order_relaxed), kept};
  return kept;
}

std::shared_ptr<const RecordOrder> KeptSearch::order_if_ready() const {
  if (stored_) {
    if (auto whole = stored_->whole_if_ready()) return whole;  // read whole, every row checked
    if (!stored_->damaged()) return nullptr;
  }
  return order_tried_.load(std::memory_order_acquire) ? order_ : nullptr;
}

bool KeptSearch::worth_making(int32_t m, double enough) {
  int64_t before = read_one_by_one_.load(std::memory_order_relaxed);
  if (double(m) >= enough || double(before + m) >= enough) return true;
  read_one_by_one_.fetch_add(m, std::memory_order_relaxed);
  return false;
}

double KeptSearch::records(db::Database& database) {
  int64_t highest = highest_.load(std::memory_order_relaxed);
  if (highest >= 0) return double(highest);
  try {
    auto rs = database.OpenRecordset(u"select Max(m.ID) AS Hæst FROM Móðurtafla m", db::kSnapshot);
    Variant v = rs->RecordCount() > 0 ? rs->field(u"Hæst") : Variant::null();
    rs->Close();
    highest = v.is_numeric() ? int64_t(std::max(0.0, v.to_double())) : 0;
  } catch (const Error&) {
    return -1;
  }
  highest_.store(highest, std::memory_order_relaxed);
  return double(highest);
}

std::shared_ptr<const RecordOrder> KeptSearch::order(db::Database& database, int32_t m) {
  if (auto ready = order_if_ready()) return ready;
  if (StoredIndex* stored = this->stored()) {
    if (!worth_making(m, double(stored->positions()) / 500)) return nullptr;
    try {
      return stored->whole_order(database);
    } catch (const stored::Damaged& d) {
      stored->set_damaged(d.what());  // worked out from the table below
    } catch (...) {
      return nullptr;  // read one by one
    }
  }
  if (order_tried_.load(std::memory_order_acquire)) return nullptr;
  if (m < 8) {
    // Too few to be worth asking for the highest record number; counted.
    read_one_by_one_.fetch_add(m, std::memory_order_relaxed);
    return nullptr;
  }
  double highest = records(database);
  if (highest < 0 || !worth_making(m, highest / 4)) return nullptr;
  std::lock_guard<std::mutex> lock(order_mutex_);
  if (order_tried_.load(std::memory_order_relaxed)) return order_;
  std::shared_ptr<const RecordOrder> built;
  try {
    built = RecordOrder::Build(database);
  } catch (...) {
    built = nullptr;  // kept as such: not tried again until the catalogue changes
  }
  // Shared with other threads only when it is the state they read: the
  // stamp read again shows that nothing changed while the table was read.
  if (shared() && database.Stamp().token != stamp_.token) return built;
  order_ = built;
  order_tried_.store(true, std::memory_order_release);
  return built;
}

}  // namespace kvistur
