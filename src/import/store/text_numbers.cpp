#include "import/store/text_numbers.h"

#include <functional>
#include <stdexcept>

namespace kvistur::import {

uint32_t TextNumbers::hash_of(std::string_view text) {
  const std::size_t h = std::hash<std::string_view>()(text);
  return uint32_t(h ^ (h >> 32));
}

int32_t TextNumbers::find(std::string_view text, uint32_t h) const {
  for (std::size_t i = home(h);; i = (i + 1) & (slots_.size() - 1)) {
    const Slot& s = slots_[i];
    if (!s.number) return 0;
    if (s.hash == h && std::string_view(text_).substr(s.at, s.length) == text) return s.number;
  }
}

int32_t TextNumbers::emplace(std::string_view text, int32_t number) {
  if (2 * (used_ + 1) > slots_.size()) {  // kept at most half full
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    for (const Slot& s : old)
      if (s.number) {
        std::size_t i = home(s.hash);
        while (slots_[i].number) i = (i + 1) & (slots_.size() - 1);
        slots_[i] = s;
      }
  }
  const uint32_t h = hash_of(text);
  std::size_t i = home(h);
  for (; slots_[i].number; i = (i + 1) & (slots_.size() - 1))
    if (slots_[i].hash == h && std::string_view(text_).substr(slots_[i].at, slots_[i].length) == text)
      return slots_[i].number;
  if (text_.size() + text.size() > UINT32_MAX)
    throw std::length_error("more than 4 GiB of words or control numbers for one build");
  slots_[i] = Slot{h, uint32_t(text_.size()), uint32_t(text.size()), number};
  text_.append(text);
  ++used_;
  return number;
}

}  // namespace kvistur::import
