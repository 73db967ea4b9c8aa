// A table of values kept with one state of a catalogue (kept.h), each made
// once and then read by any thread without a lock.
//
// A key is noted at its first use and its value made at the second (what
// is asked once is not worth keeping).  The table holds at most kSlots keys
// and MAX_BYTES of values, and keeps nothing more once full; a value is
// never changed or let go while the table lives, so a reader may use what
// it found for as long as it holds the state.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace kvistur {

template <typename V>
class OnceTable {
 public:
  static constexpr std::size_t kSlots = std::size_t(1) << 16;
  static constexpr std::size_t kProbes = 16;

  // The slots start null (value-initialized: one clearing of the memory).
  explicit OnceTable(std::size_t max_bytes) : max_bytes_(max_bytes), slots_(new std::atomic<Node*>[kSlots]()) {}
  ~OnceTable() {
    for (std::size_t i = 0; i < kSlots; ++i) {
      Node* n = slots_[i].load(std::memory_order_relaxed);
      if (n) delete n->value.load(std::memory_order_relaxed);
      delete n;
    }
  }
  OnceTable(const OnceTable&) = delete;
  OnceTable& operator=(const OnceTable&) = delete;

  // KEY's value, or null when it is not made.
  const V* find(std::string_view key) const {
    Node* n = locate(key, false);
    return n ? n->value.load(std::memory_order_acquire) : nullptr;
  }
  // Notes a use of KEY: true when this is the use that should make its
  // value (the second, with room left).
  bool note_use(std::string_view key) {
    if (bytes_.load(std::memory_order_relaxed) >= max_bytes_) return false;
    Node* n = locate(key, true);
    return n && n->uses.fetch_add(1, std::memory_order_relaxed) == 1;
  }
  // Keeps VALUE (of BYTES) as KEY's, unless one is kept already.
  void keep(std::string_view key, std::unique_ptr<const V> value, std::size_t bytes) {
    Node* n = locate(key, true);
    if (!n) return;
    const V* expected = nullptr;
    if (n->value.compare_exchange_strong(expected, value.get(), std::memory_order_acq_rel)) {
      value.release();
      bytes_.fetch_add(bytes, std::memory_order_relaxed);
    }
  }

 private:
  struct Node {
    explicit Node(std::string_view k) : key(k) {}
    const std::string key;
    std::atomic<int> uses{0};
    std::atomic<const V*> value{nullptr};
  };
  // KEY's node, made when CREATE; null when the table is too full.
  Node* locate(std::string_view key, bool create) const {
    std::size_t h = std::hash<std::string_view>()(key);
    for (std::size_t i = 0; i < kProbes; ++i) {
      std::atomic<Node*>& slot = slots_[(h + i) & (kSlots - 1)];
      Node* n = slot.load(std::memory_order_acquire);
      if (!n) {
        if (!create) return nullptr;
        auto mine = std::make_unique<Node>(key);
        if (slot.compare_exchange_strong(n, mine.get(), std::memory_order_acq_rel)) return mine.release();
        // Another thread took the slot first: N is its node.
      }
      if (n->key == key) return n;
    }
    return nullptr;
  }

  const std::size_t max_bytes_;
  std::atomic<std::size_t> bytes_{0};
  std::unique_ptr<std::atomic<Node*>[]> slots_;
};

}  // namespace kvistur
