#include "search/kept.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "settings/settings.h"
#include "settings/thread_state.h"

namespace kvistur {

namespace {

// The states the process keeps: the shared ones it lists by token, and the
// ones kept with a connection (looked at only to make room).  GENERATION
// changes whenever the list does, so that a thread's remembered state is
// used only while it is still listed.  CLOCK counts the asks for a state,
// which tells which were used least recently.
struct Registry {
  std::mutex m;
  std::vector<std::shared_ptr<KeptSearch>> listed;
  std::vector<std::weak_ptr<KeptSearch>> loose;
  std::atomic<uint64_t> generation{1};
  std::atomic<uint64_t> clock{0};
};

bool make_room(std::size_t needed);

Registry& registry() {
  static Registry* r = [] {
    KeptMemory::SetRoomMaker(make_room);
    return new Registry;  // never destroyed: threads may outlive static destruction
  }();
  return *r;
}

// Lets go of the least recently used state that can give something back
// (never the one used last, which a search is using now), one at a time,
// until NEEDED bytes are back or none is left.
bool make_room(std::size_t needed) {
  Registry& reg = registry();
  const std::size_t before = KeptMemory::Used();
  auto freed = [&] {
    std::size_t now = KeptMemory::Used();
    return now < before ? before - now : 0;
  };
  for (;;) {
    std::shared_ptr<KeptSearch> victim;  // let go outside the lock
    {
      std::lock_guard<std::mutex> lock(reg.m);
      std::erase_if(reg.loose, [](const auto& w) { return w.expired(); });
      std::vector<std::shared_ptr<KeptSearch>> all(reg.listed);
      for (const auto& w : reg.loose)
        if (auto s = w.lock()) all.push_back(std::move(s));
      uint64_t newest = 0;
      for (const auto& s : all) newest = std::max(newest, s->last_used());
      for (const auto& s : all) {
        bool listed = std::find(reg.listed.begin(), reg.listed.end(), s) != reg.listed.end();
        bool gives = listed || s->term_lists().bytes() > 0;
        if (gives && s->last_used() < newest && (!victim || s->last_used() < victim->last_used())) victim = s;
      }
      if (!victim) return freed() > 0;
      auto it = std::find(reg.listed.begin(), reg.listed.end(), victim);
      if (it != reg.listed.end()) {
        reg.listed.erase(it);
        reg.generation.fetch_add(1, std::memory_order_acq_rel);
      }
    }
    victim->shed();
    victim.reset();
    if (freed() >= needed) return true;
  }
}

// What a thread remembers: the state it used last (without keeping it
// alive) and the generation of the list it found it in.
struct Remembered {
  uint64_t generation = 0;
  std::weak_ptr<KeptSearch> kept;
  KeptBytes charge;
};

// The thread's remembered state; null when there is no room to remember.
Remembered* remembered_state() {
  std::shared_ptr<void>& mine = thread_state().search_kept;
  if (!mine) {
    auto r = std::make_shared<Remembered>();
    if (!r->charge.Add(sizeof(Remembered) + 2 * sizeof(long) + KeptMemory::kPerBlock)) return nullptr;
    mine = std::move(r);
  }
  return static_cast<Remembered*>(mine.get());
}

void remember(Remembered* r, uint64_t generation, const std::shared_ptr<KeptSearch>& kept) {
  if (!r) return;
  r->generation = generation;
  r->kept = kept;
}

// The budget the settings give (Leit/Minni, whole megabytes), read at
// every search like every other setting; the default when it is missing
// or not a number.
void apply_budget_setting() {
  SettingLookup s = lookup_setting(u"Leit", u"Minni");
  std::size_t limit = KeptMemory::kDefaultLimit;
  if (s.failed_at == LookupStage::Ok && !s.value.empty() && s.value.size() <= 9 &&
      std::all_of(s.value.begin(), s.value.end(), [](char16_t c) { return c >= u'0' && c <= u'9'; }))
    limit = std::size_t(std::strtoull(to_utf8(s.value).c_str(), nullptr, 10)) << 20;
  if (limit != KeptMemory::Limit()) KeptMemory::SetLimit(limit);
}

}  // namespace

void KeptSearch::touch() {
  last_used_.store(registry().clock.fetch_add(1, std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

bool KeptSearch::charge_self() {
  // The object in its shared block, and its token's texts.
  return kept_.Add(sizeof(KeptSearch) + 2 * sizeof(long) + KeptMemory::kPerBlock + HeapBytes(stamp_.token) +
                   HeapBytes(stamp_.place));
}

std::shared_ptr<KeptSearch> KeptSearch::For(db::Database& database) {
  try {
    return find_or_make(database);
  } catch (...) {
    return std::make_shared<KeptSearch>(db::ContentStamp{});  // nothing kept this time
  }
}

std::shared_ptr<KeptSearch> KeptSearch::kept_with_connection(db::Database& database, const db::ContentStamp& stamp) {
  // Kept with the thread's connection, emptied when the file changes.
  std::shared_ptr<void>& slot = database.Derived("kvistur.search.kept");
  if (slot) {
    auto kept = std::static_pointer_cast<KeptSearch>(slot);
    kept->touch();
    return kept;
  }
  auto kept = std::make_shared<KeptSearch>(stamp);
  kept->touch();
  if (!kept->charge_self()) return kept;  // no room: for this search alone
  Registry& reg = registry();
  {
    std::lock_guard<std::mutex> lock(reg.m);
    std::erase_if(reg.loose, [](const auto& w) { return w.expired(); });
    reg.loose.push_back(kept);
  }
  slot = kept;
  return kept;
}

std::shared_ptr<KeptSearch> KeptSearch::find_or_make(db::Database& database) {
  apply_budget_setting();
  db::ContentStamp stamp = database.Stamp();
  if (stamp.token.empty()) return kept_with_connection(database, stamp);

  Registry& reg = registry();
  Remembered* remembered = remembered_state();
  if (remembered && remembered->generation == reg.generation.load(std::memory_order_acquire)) {
    std::shared_ptr<KeptSearch> kept = remembered->kept.lock();
    if (kept && kept->stamp_.token == stamp.token) {
      kept->touch();
      return kept;
    }
  }
  auto find = [&]() -> std::shared_ptr<KeptSearch> {
    for (auto& s : reg.listed)
      if (s->stamp_.token == stamp.token) return s;
    return nullptr;
  };
  {
    std::lock_guard<std::mutex> lock(reg.m);
    if (auto kept = find()) {
      remember(remembered, reg.generation.load(std::memory_order_relaxed), kept);
      kept->touch();
      return kept;
    }
  }
  // A state not seen yet: its stored index is opened outside the lock (it
  // reads the file), and the state is listed only when the stamp read
  // again afterwards is the same, so nothing of another state is ever
  // listed under this one.
  auto kept = std::make_shared<KeptSearch>(stamp);
  kept->touch();
  kept->stored_ = StoredIndex::Open(database, stamp);
  if (database.Stamp().token != stamp.token || !kept->charge_self()) return kept;
  std::vector<std::shared_ptr<KeptSearch>> gone;  // let go after the lock
  std::lock_guard<std::mutex> lock(reg.m);
  if (auto other = find()) {
    kept = other;
  } else {
    // A new state of a catalogue lets its older states go, and beyond
    // kMaxStates the one used least recently goes.
    for (auto it = reg.listed.begin(); it != reg.listed.end();) {
      if ((*it)->stamp_.place != stamp.place) {
        ++it;
        continue;
      }
      gone.push_back(std::move(*it));
      it = reg.listed.erase(it);
    }
    reg.listed.insert(reg.listed.begin(), kept);
    if (reg.listed.size() > kMaxStates) {
      auto oldest = std::min_element(reg.listed.begin(), reg.listed.end(),
                                     [](const auto& a, const auto& b) { return a->last_used() < b->last_used(); });
      gone.push_back(std::move(*oldest));
      reg.listed.erase(oldest);
    }
    reg.generation.fetch_add(1, std::memory_order_acq_rel);
  }
  remember(remembered, reg.generation.load(std::memory_order_relaxed), kept);
  kept->touch();
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
    // Checked before the conversion: a server's column may hold NaN, or more than an integer holds.
    double d = v.is_numeric() ? v.to_double() : 0;
    highest = d >= 1 ? int64_t(std::min(d, double(INT32_MAX))) : 0;
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
  // Without room to keep it, it serves this search alone.
  if (built && !kept_.Add(built->memory())) return built;
  order_ = built;
  order_tried_.store(true, std::memory_order_release);
  return built;
}

}  // namespace kvistur
