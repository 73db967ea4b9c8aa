#include "search/kept.h"

namespace kvistur {

std::shared_ptr<const void> KeptSearch::extra(const std::string& key, const std::function<Extra()>& make) {
  std::lock_guard<std::mutex> lock(extras_mutex_);
  for (auto& [k, v] : extras_)
    if (k == key) return v;
  Extra made = make();
  if (made.value && made.keep && extras_kept_.Add(made.bytes + HeapBytesOfLength<char>(key.size())))
    extras_.emplace_back(key, made.value);
  return made.value;
}

}  // namespace kvistur
