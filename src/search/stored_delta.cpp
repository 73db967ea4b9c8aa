#include "search/stored_delta.h"

#include <algorithm>

#include "platform/kept_memory.h"
#include "search/record_order.h"

namespace kvistur {

StoredDelta::StoredDelta(const stored::Summary& meta, std::vector<stored::DeltaRecord> rows) {
  masked_.assign((std::size_t(meta.positions) + 63) / 64, 0);
  records_.reserve(rows.size());
  for (stored::DeltaRecord& r : rows) {
    if (r.base >= 0) {
      uint64_t& word = masked_[std::size_t(r.base) / 64];
      if (word >> (r.base % 64) & 1) throw stored::Damaged("kv_delta: a base position masked twice");
      word |= uint64_t(1) << (r.base % 64);
    }
    records_.push_back(Record{int32_t(r.id), r.kind, uint32_t(r.place), r.equal, std::move(r.key), 0});
  }
  std::sort(records_.begin(), records_.end(), [](const Record& a, const Record& b) { return a.id < b.id; });
  for (std::size_t i = 1; i < records_.size(); ++i)
    if (records_[i].id == records_[i - 1].id) throw stored::Damaged("kv_delta: a record twice");
  for (const Record& r : records_)
    if (r.kind == stored::kPlaced) {
      // The writer keeps every place on a position that is not masked out.
      if (r.place < meta.ordered && masked(r.place)) throw stored::Damaged("kv_delta: a record placed on a masked position");
      placed_.push_back(&r);
    }
  std::sort(placed_.begin(), placed_.end(),
            [](const Record* a, const Record* b) { return a->place != b->place ? a->place < b->place : a->key < b->key; });
  for (std::size_t i = 0; i < placed_.size(); ++i) const_cast<Record*>(placed_[i])->rank = uint32_t(i);
}

std::size_t StoredDelta::memory() const {
  std::size_t bytes = sizeof(StoredDelta) + HeapBytes(masked_) + HeapBytes(records_) + HeapBytes(placed_);
  for (const Record& r : records_) bytes += HeapBytes(r.key);
  return bytes;
}

const StoredDelta::Record* StoredDelta::find(int32_t id) const {
  auto it = std::lower_bound(records_.begin(), records_.end(), id, [](const Record& r, int32_t v) { return r.id < v; });
  return it != records_.end() && it->id == id ? &*it : nullptr;
}

RankedRecords StoredRanks(const stored::Summary& meta, const std::function<const stored::OrderChunk&(uint32_t)>& chunk,
                          const StoredDelta* delta) {
  const uint32_t ordered = uint32_t(meta.ordered), records = uint32_t(meta.records);
  auto masked = [&](uint32_t p) { return delta && delta->masked(p); };
  auto starts = [&](uint32_t p) { return chunk(p / stored::kChunk).starts_text(p % stored::kChunk); };

  // The empty text (what a record number without a row sorts as) is one
  // more element to place: its rank in the base is 2t when it is text t,
  // 2t - 1 just before it.  Its place, like every delta record's, is moved
  // on past positions masked out.
  struct Element {
    uint32_t place;
    bool equal;
    const std::string* key;
    int32_t id;  // 0 for the empty text
    bool absent;
  };
  static const std::string kEmptyText(1, '\x02');
  const int64_t text = (meta.absent_rank + 1) / 2;
  uint32_t place = 0;
  for (int64_t seen = 0; place < ordered; ++place)
    if (starts(place) && ++seen == text) break;
  bool equal = meta.absent_rank % 2 == 0 && place < ordered;
  for (; place < ordered && masked(place); ++place)
    if (place + 1 < ordered && starts(place + 1)) equal = false;
  if (place == ordered) equal = false;
  std::vector<Element> elements;
  if (delta)
    for (const StoredDelta::Record* r : delta->placed()) elements.push_back({r->place, r->equal, &r->key, r->id, false});
  Element absent{place, equal, &kEmptyText, 0, true};
  elements.insert(std::upper_bound(elements.begin(), elements.end(), absent,
                                   [](const Element& a, const Element& b) {
                                     return a.place != b.place ? a.place < b.place : *a.key < *b.key;
                                   }),
                  absent);

  // One walk in order: each element's rank is the last one's when it holds
  // the same text, the next otherwise.
  RankedRecords r;
  r.ids.reserve(records);
  r.ranks.reserve(records);
  int32_t rank = 0;
  enum { kNone, kBase, kDelta } prev = kNone;
  int64_t texts = 0, prev_text = 0;  // the base text of the last base position, or the one a delta record is at
  const Element* prev_element = nullptr;
  std::size_t next = 0;
  for (uint32_t p = 0;; ++p) {
    const bool end = p == ordered;
    if (!end && starts(p)) ++texts;
    if (!end && texts == 0) throw stored::Damaged("kv_order: an order that does not start a text");
    for (; next < elements.size() && elements[next].place <= p; ++next) {
      const Element& e = elements[next];
      if (!(prev == kDelta && *prev_element->key == *e.key)) ++rank;
      if (e.absent) {
        r.absent = rank;
      } else {
        r.ids.push_back(e.id);
        r.ranks.push_back(rank);
      }
      prev = kDelta;
      prev_element = &e;
      prev_text = texts;
    }
    if (end) break;
    if (masked(p)) continue;
    const bool same = (prev == kBase && prev_text == texts) || (prev == kDelta && prev_element->equal && prev_text == texts);
    if (!same) ++rank;
    r.ids.push_back(chunk(p / stored::kChunk).ids[p % stored::kChunk]);
    r.ranks.push_back(rank);
    prev = kBase;
    prev_text = texts;
  }
  // The records the order cannot place: a null text ranks -1; one that
  // cannot be read fails the search before any sorting, so its rank is
  // never compared.
  auto special = [&](int32_t id, uint8_t kind) {
    r.ids.push_back(id);
    r.ranks.push_back(kind & stored::kNullKey ? -1 : r.absent);
    if (kind & stored::kUnreadable) r.unreadable.push_back(id);
  };
  for (uint32_t p = ordered; p < records; ++p)
    if (!masked(p)) special(chunk(p / stored::kChunk).ids[p % stored::kChunk], uint8_t(meta.specials[p - ordered]));
  if (delta)
    for (const StoredDelta::Record& d : delta->records())
      if (d.kind <= (stored::kNullKey | stored::kUnreadable)) special(d.id, d.kind);
  std::sort(r.unreadable.begin(), r.unreadable.end());
  return r;
}

}  // namespace kvistur
