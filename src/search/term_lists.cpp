#include "search/term_lists.h"

namespace kvistur {

std::size_t TermLists::numbers() const {
  std::lock_guard<std::mutex> lock(m_);
  return held_;
}

RecordNumbers TermLists::find(const Text& query) {
  std::lock_guard<std::mutex> lock(m_);
  auto it = by_query_.find(query);
  if (it == by_query_.end()) return nullptr;
  recent_.splice(recent_.begin(), recent_, it->second);
  return it->second->second;
}

void TermLists::keep(const Text& query, RecordNumbers numbers) {
  if (!numbers || numbers->size() > max_) return;
  std::lock_guard<std::mutex> lock(m_);
  auto it = by_query_.find(query);
  if (it != by_query_.end()) {
    held_ -= it->second->second->size();
    recent_.erase(it->second);
    by_query_.erase(it);
  }
  held_ += numbers->size();
  recent_.emplace_front(query, std::move(numbers));
  by_query_[query] = recent_.begin();
  while (held_ > max_ && !recent_.empty()) {
    held_ -= recent_.back().second->size();
    by_query_.erase(recent_.back().first);
    recent_.pop_back();
  }
}

}  // namespace kvistur
