#include "platform/kept_memory.h"

namespace kvistur {

namespace {

std::atomic<std::size_t> used{0};
std::atomic<std::size_t> limit{KeptMemory::kDefaultLimit};
std::atomic<KeptMemory::RoomMaker> room_maker{nullptr};

bool try_reserve(std::size_t bytes) {
  std::size_t now = used.load(std::memory_order_relaxed);
  do {
    if (bytes > limit.load(std::memory_order_relaxed) || now > limit.load(std::memory_order_relaxed) - bytes)
      return false;
  } while (!used.compare_exchange_weak(now, now + bytes, std::memory_order_relaxed));
  return true;
}

}  // namespace

bool KeptMemory::Reserve(std::size_t bytes) {
  if (try_reserve(bytes)) return true;
  // What the room maker lets go of may charge nothing new, but a holder it
  // frees could in principle ask again: one room maker per thread at a time.
  thread_local bool making_room = false;
  RoomMaker maker = room_maker.load(std::memory_order_acquire);
  if (!maker || making_room || bytes > Limit()) return false;
  making_room = true;
  bool freed = maker(bytes);
  making_room = false;
  return freed && try_reserve(bytes);
}

void KeptMemory::Release(std::size_t bytes) { used.fetch_sub(bytes, std::memory_order_relaxed); }

std::size_t KeptMemory::Used() { return used.load(std::memory_order_relaxed); }

std::size_t KeptMemory::Limit() { return limit.load(std::memory_order_relaxed); }

void KeptMemory::SetLimit(std::size_t bytes) { limit.store(bytes, std::memory_order_relaxed); }

void KeptMemory::SetRoomMaker(RoomMaker maker) { room_maker.store(maker, std::memory_order_release); }

}  // namespace kvistur
