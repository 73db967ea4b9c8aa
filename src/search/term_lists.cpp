#include "search/term_lists.h"

namespace kvistur {

std::size_t TermLists::cost(const Text& query, const std::vector<int32_t>& numbers) {
  constexpr std::size_t kPerBlock = KeptMemory::kPerBlock;
  // The list's node with the entry and its copy of the query, the
  // numbers' shared block (made with them) and their own block, the map's
  // node with its bucket slot.
  return sizeof(Entry) + 2 * sizeof(void*) + kPerBlock + HeapBytesOfLength<char16_t>(query.size()) +
         sizeof(numbers) + 2 * sizeof(long) +
         kPerBlock + HeapBytes(numbers) + sizeof(std::pair<TextView, void*>) + 2 * sizeof(void*) + kPerBlock +
         sizeof(void*);
}

std::size_t TermLists::size() const {
  std::lock_guard<std::mutex> lock(m_);
  return recent_.size();
}

RecordNumbers TermLists::find(const Text& query) {
  std::lock_guard<std::mutex> lock(m_);
  auto it = by_query_.find(query);
  if (it == by_query_.end()) return nullptr;
  recent_.splice(recent_.begin(), recent_, it->second);
  return it->second->numbers;
}

void TermLists::drop(std::list<Entry>::iterator it) {
  kept_.Remove(it->bytes);
  by_query_.erase(TextView(it->query));
  recent_.erase(it);
}

bool TermLists::drop_oldest() {
  if (recent_.empty()) return false;
  drop(std::prev(recent_.end()));
  return true;
}

void TermLists::clear() {
  std::lock_guard<std::mutex> lock(m_);
  while (drop_oldest()) {
  }
}

void TermLists::keep(const Text& query, RecordNumbers numbers) {
  if (!numbers) return;
  const std::size_t bytes = cost(query, *numbers);
  if (bytes > max_) return;
  {
    std::lock_guard<std::mutex> lock(m_);
    auto it = by_query_.find(query);
    if (it != by_query_.end()) drop(it->second);  // kept again: replaced, not counted twice
    while (kept_.held() + bytes > max_ && drop_oldest()) {
    }
  }
  // When the process's budget is full, this table's own oldest lists go
  // before the new one is refused.  The charge is taken outside the lock:
  // making room may clear other tables.
  while (!kept_.Add(bytes)) {
    std::lock_guard<std::mutex> lock(m_);
    if (!drop_oldest()) return;
  }
  std::lock_guard<std::mutex> lock(m_);
  if (by_query_.count(query)) {  // kept by another thread meanwhile
    kept_.Remove(bytes);
    return;
  }
  recent_.push_front(Entry{query, std::move(numbers), bytes});
  by_query_.emplace(TextView(recent_.front().query), recent_.begin());
  while (kept_.held() > max_ && drop_oldest()) {
  }
}

}  // namespace kvistur
