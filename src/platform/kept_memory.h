// The one budget of the memory the process keeps between calls.
//
// What is kept from one call for the next (what the search keeps of a
// catalogue's states, with their stored index's loaded parts and orders,
// and the engines' translations and prepared statements) is charged here
// with its size when it is kept and let go of when it goes.  The charges
// of the whole process together never exceed the budget, whatever the
// number of threads, catalogues, schemas or roles: what does not fit is
// simply not kept, and is worked out again when it is needed, so what a
// caller gets never depends on it.  Before a charge is refused the room
// maker (set by the search, which knows what it keeps and when it was
// last used) is asked to let go of what was used least recently.
//
// Every holder charges through a KeptBytes, which gives back what it holds
// when it goes.  Sizes are the bytes of the blocks held (HeapBytes), each
// block with what the allocator adds to it.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

namespace kvistur {

class KeptMemory {
 public:
  // The budget when the settings do not give one (setting Leit/Minni, in
  // megabytes, read at every search).
  static constexpr std::size_t kDefaultLimit = std::size_t(256) << 20;
  // What the allocator adds to every block it hands out (its header and
  // rounding), counted with each block.
  static constexpr std::size_t kPerBlock = 16;

  // Asks the holders for room: let go of kept things, least recently used
  // first, until NEEDED bytes have been given back or nothing more can go.
  // False when nothing was given back.
  using RoomMaker = bool (*)(std::size_t needed);

  // Charges BYTES when they fit (after asking the room maker); false, with
  // nothing charged, when they do not.
  static bool Reserve(std::size_t bytes);
  static void Release(std::size_t bytes);
  static std::size_t Used();
  static std::size_t Limit();
  // A new budget; what is kept beyond it goes as new charges ask for room.
  static void SetLimit(std::size_t bytes);
  static void SetRoomMaker(RoomMaker maker);
};

// Bytes charged to the budget by one holder, given back when it goes.
class KeptBytes {
 public:
  KeptBytes() = default;
  ~KeptBytes() { KeptMemory::Release(held_.load(std::memory_order_relaxed)); }
  KeptBytes(const KeptBytes&) = delete;
  KeptBytes& operator=(const KeptBytes&) = delete;

  // Charges BYTES more; false, with nothing charged, when they do not fit.
  bool Add(std::size_t bytes) {
    if (!KeptMemory::Reserve(bytes)) return false;
    held_.fetch_add(bytes, std::memory_order_relaxed);
    return true;
  }
  void Remove(std::size_t bytes) {
    held_.fetch_sub(bytes, std::memory_order_relaxed);
    KeptMemory::Release(bytes);
  }
  void Clear() { Remove(held_.load(std::memory_order_relaxed)); }
  std::size_t held() const { return held_.load(std::memory_order_relaxed); }

 private:
  std::atomic<std::size_t> held_{0};
};

// The bytes of the block a string or vector holds beyond the object itself
// (none for a short string kept inside it, or an empty vector).
template <typename C>
std::size_t HeapBytes(const std::basic_string<C>& s) {
  const char* data = reinterpret_cast<const char*>(s.data());
  const char* self = reinterpret_cast<const char*>(&s);
  bool inside = data >= self && data < self + sizeof s;
  return inside ? 0 : (s.capacity() + 1) * sizeof(C) + KeptMemory::kPerBlock;
}
// The same for a string of LENGTH characters made from a view.
template <typename C>
std::size_t HeapBytesOfLength(std::size_t length) {
  return length > std::basic_string<C>().capacity() ? (length + 1) * sizeof(C) + KeptMemory::kPerBlock : 0;
}
template <typename T>
std::size_t HeapBytes(const std::vector<T>& v) {
  return v.capacity() ? v.capacity() * sizeof(T) + KeptMemory::kPerBlock : 0;
}

}  // namespace kvistur
