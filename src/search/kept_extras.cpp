#include "search/kept.h"

#include <algorithm>

namespace kvistur {

std::shared_ptr<const void> KeptSearch::extra(const std::string& key, const std::function<Extra()>& make,
                                              int64_t version) {
  std::lock_guard<std::mutex> lock(extras_mutex_);
  auto it = std::find_if(extras_.begin(), extras_.end(), [&](const KeptExtra& e) { return e.key == key; });
  if (it != extras_.end() && it->version == version) return it->value;
  Extra made = make();
  if (!made.value || !made.keep) return made.value;
  if (it != extras_.end()) {
    // The other version goes (searches holding it keep it until they end).
    extras_kept_.Remove(it->bytes);
    extras_.erase(it);
  }
  const std::size_t bytes = made.bytes + HeapBytesOfLength<char>(key.size());
  if (extras_kept_.Add(bytes)) extras_.push_back({key, version, made.value, bytes});
  return made.value;
}

}  // namespace kvistur
