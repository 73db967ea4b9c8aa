#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kvistur::import {

// Text -> number for the many lookups of a build (a word of every record,
// a record's control number, the control numbers of the input read):
// open addressing over one array of slots, the texts themselves in one
// buffer, so that a lookup touches memory once or twice, and nothing is
// allocated a text.
class TextNumbers {
 public:
  // The number of TEXT, 0 when it has none.
  int32_t find(std::string_view text) const { return find(text, hash_of(text)); }
  // The same, for a TEXT whose hash_of is HASH.
  int32_t find(std::string_view text, uint32_t hash) const;
  static uint32_t hash_of(std::string_view text);
  // Asks memory for the slot a text of HASH starts looking in, and (once
  // that is there) for the text it holds: a caller with many texts to look
  // up asks for them all first, so that their cache misses (two a text in
  // a table of millions) overlap rather than follow one another.
  void prefetch_slot(uint32_t hash) const { __builtin_prefetch(&slots_[home(hash)]); }
  void prefetch_text(uint32_t hash) const {
    const Slot& s = slots_[home(hash)];
    if (s.number) __builtin_prefetch(text_.data() + s.at);
  }
  // Gives TEXT the NUMBER (not 0) unless it has one; returns the number it
  // has then.  Throws std::length_error past 4 GiB of texts.
  int32_t emplace(std::string_view text, int32_t number);
  std::size_t size() const { return used_; }
  // Calls FN(text, number) for every text held; the views stay valid until
  // the next emplace.
  template <class Fn>
  void for_each(Fn&& fn) const {
    for (const Slot& s : slots_)
      if (s.number) fn(std::string_view(text_).substr(s.at, s.length), s.number);
  }

 private:
  // 16 bytes: the hash's 32 bits are enough to place and to tell apart
  // up to 2^32 slots.
  struct Slot {
    uint32_t hash = 0;
    uint32_t at = 0, length = 0;
    int32_t number = 0;  // 0: free
  };
  std::size_t home(uint32_t hash) const { return hash & (slots_.size() - 1); }
  std::vector<Slot> slots_ = std::vector<Slot>(1024);
  std::string text_;
  std::size_t used_ = 0;
};

}  // namespace kvistur::import
