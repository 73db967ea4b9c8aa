// A table of values kept with one state of a catalogue (kept.h), each made
// once and then read by any thread.
//
// A key is noted at its first use and its value made at the second (what
// is asked once is not worth keeping), or at the first, for a table of
// values as small as their keys.  The table holds at most MAX_BYTES
// of keys and values, and grows with what it holds; everything it holds is
// charged to the process's budget (platform/kept_memory.h), and a key or a
// value that does not fit is not kept.  A value is never changed or let go
// while the table lives, so a reader may use what it found for as long as
// it holds the state.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/kept_memory.h"

namespace kvistur {

template <typename V>
class OnceTable {
 public:
  // MAKE_AT: the use (1 or 2) that makes a key's value.
  explicit OnceTable(std::size_t max_bytes, int make_at = 2) : max_bytes_(max_bytes), make_at_(make_at) {}
  OnceTable(const OnceTable&) = delete;
  OnceTable& operator=(const OnceTable&) = delete;

  // KEY's value, or null when it is not made.
  const V* find(std::string_view key) const {
    std::lock_guard<std::mutex> lock(m_);
    auto it = nodes_.find(key);
    return it == nodes_.end() ? nullptr : it->second.value.get();
  }
  // Notes a use of KEY: true when this is the use that should make its
  // value (MAKE_AT's, with room left).
  bool note_use(std::string_view key) {
    {
      std::lock_guard<std::mutex> lock(m_);
      auto it = nodes_.find(key);
      if (it != nodes_.end()) return ++it->second.uses == make_at_ && !it->second.value;
    }
    // A key seen for the first time, noted when there is room for it (the
    // charge is taken outside the lock: making room may take others).
    const std::size_t bytes = node_bytes(key);
    if (!charge(bytes)) return false;
    std::lock_guard<std::mutex> lock(m_);
    auto [it, added] = nodes_.try_emplace(std::string(key));
    if (!added) {
      kept_.Remove(bytes);
      return ++it->second.uses == make_at_ && !it->second.value;
    }
    it->second.uses = 1;
    return make_at_ == 1;
  }
  // Keeps VALUE (of BYTES) as KEY's, unless one is kept already, the key
  // was not noted, or there is no room.
  void keep(std::string_view key, std::unique_ptr<const V> value, std::size_t bytes) {
    if (!charge(bytes)) return;
    std::lock_guard<std::mutex> lock(m_);
    auto it = nodes_.find(key);
    if (it == nodes_.end() || it->second.value) {
      kept_.Remove(bytes);
      return;
    }
    it->second.value = std::move(value);
  }
  // What the table holds, in bytes.
  std::size_t bytes() const { return kept_.held(); }

 private:
  struct Node {
    int uses = 0;
    std::unique_ptr<const V> value;
  };
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
  };
  using Map = std::unordered_map<std::string, Node, Hash, std::equal_to<>>;

  // A key's node: the map's block (key, node, link and hash) and its slot
  // in the buckets, with the key's own block when it does not fit inside.
  static std::size_t node_bytes(std::string_view key) {
    return sizeof(typename Map::value_type) + 2 * sizeof(void*) + KeptMemory::kPerBlock +
           HeapBytesOfLength<char>(key.size()) + sizeof(void*);
  }
  bool charge(std::size_t bytes) { return kept_.held() + bytes <= max_bytes_ && kept_.Add(bytes); }

  const std::size_t max_bytes_;
  const int make_at_;
  mutable std::mutex m_;
  Map nodes_;
  KeptBytes kept_;
};

}  // namespace kvistur
