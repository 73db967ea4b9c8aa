#include "search/term_lists.h"

namespace kvistur {

TermLists& TermLists::For(db::Database& database) {
  std::shared_ptr<void>& slot = database.Derived("kvistur.search.term-lists");
  if (!slot) slot = std::make_shared<TermLists>();
  return *static_cast<TermLists*>(slot.get());
}

RecordNumbers TermLists::find(const Text& query) {
  auto it = by_query_.find(query);
  if (it == by_query_.end()) return nullptr;
  recent_.splice(recent_.begin(), recent_, it->second);
  return it->second->second;
}

void TermLists::keep(const Text& query, RecordNumbers numbers) {
  if (!numbers || numbers->size() > max_) return;
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
