#include "search/stored_index.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>

#include "search/progress.h"
#include "search/record_order.h"

namespace kvistur {

namespace stored {

int index_bits(uint64_t masks) {
  int bits = 0;
  while ((uint64_t(1) << bits) < masks) ++bits;
  return bits;
}

void PutVarint(std::string& out, uint64_t v) {
  while (v >= 0x80) {
    out.push_back(char(uint8_t(v) | 0x80));
    v >>= 7;
  }
  out.push_back(char(v));
}

uint64_t GetVarint(std::string_view s, std::size_t& at) {
  uint64_t v = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    if (at >= s.size()) throw std::runtime_error("a packed row ends early");
    uint8_t b = uint8_t(s[at++]);
    v |= uint64_t(b & 0x7F) << shift;
    if (!(b & 0x80)) return v;
  }
  throw std::runtime_error("a packed row holds a number too long");
}

// A row: the number of entries, the distinct masks, the first position,
// the skip points, then the entries in blocks of kBlock.  An entry is
// position - previous position - 1, shifted left by the bits the index of
// a mask takes (none for one mask), with the index of its mask in those
// bits; the previous position of the first entry is the first position
// less one;
// a block is the width in bits of its largest entry (one byte) and its
// entries at that width, packed from the lowest bit up.  Skip point b (for
// blocks 1..) is six bytes, little-endian: the last position of block b - 1
// (four) and the byte offset of block b among the blocks (two), so that
// the block of a position is found by a binary search.
std::string PackEntries(const Entry* entries, std::size_t n) {
  std::vector<uint64_t> masks;
  for (std::size_t i = 0; i < n; ++i)
    if (std::find(masks.begin(), masks.end(), entries[i].mask) == masks.end()) masks.push_back(entries[i].mask);
  const uint64_t k = masks.size();
  const int shift = index_bits(k);
  std::string body, skips;
  const int64_t base = n ? int64_t(entries[0].position) - 1 : -1;
  int64_t prev = base;
  for (std::size_t from = 0; from < n; from += kBlock) {
    if (from > 0) {
      if (body.size() > 0xFFFF) throw std::runtime_error("a packed row too long");
      for (int b = 0; b < 4; ++b) skips.push_back(char(uint32_t(prev) >> (8 * b)));
      for (int b = 0; b < 2; ++b) skips.push_back(char(body.size() >> (8 * b)));
    }
    std::size_t count = std::min(kBlock, n - from);
    uint64_t values[kBlock];
    int width = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const Entry& e = entries[from + i];
      uint64_t index = uint64_t(std::find(masks.begin(), masks.end(), e.mask) - masks.begin());
      values[i] = uint64_t(int64_t(e.position) - prev - 1) << shift | index;
      prev = e.position;
      while (width < 64 && (values[i] >> width) != 0) ++width;
    }
    body.push_back(char(width));
    uint64_t acc = 0;
    int bits = 0;
    if (width > 56) throw std::runtime_error("an entry too large to pack");
    for (std::size_t i = 0; i < count; ++i) {
      // Fewer than 8 bits are waiting, so the entry fits beside them.
      acc |= values[i] << bits;
      bits += width;
      while (bits >= 8) {
        body.push_back(char(acc));
        acc >>= 8;
        bits -= 8;
      }
    }
    if (bits > 0) body.push_back(char(acc));
  }
  std::string out;
  PutVarint(out, n);
  PutVarint(out, k);
  for (uint64_t m : masks) PutVarint(out, m);
  PutVarint(out, uint64_t(base + 1));
  return out + skips + body;
}

void PackedRow::open(std::string_view packed, uint64_t mask) {
  packed_ = packed;
  std::size_t at = 0;
  n_ = GetVarint(packed, at);
  k_ = GetVarint(packed, at);
  if (k_ == 0 || k_ > n_ || n_ > packed.size() * kBlock || k_ > kPackedBytes)
    throw std::runtime_error("a packed row that is not one");
  all_ = true;
  for (uint64_t i = 0; i < k_; ++i) {
    take_[i] = (GetVarint(packed, at) & mask) != 0;
    all_ = all_ && take_[i];
  }
  shift_ = index_bits(k_);
  for (uint64_t i = k_; i < (uint64_t(1) << shift_); ++i) take_[i] = false;  // indexes no entry has
  base_ = int64_t(GetVarint(packed, at)) - 1;
  blocks_ = (n_ + kBlock - 1) / kBlock;
  skips_ = at;
  body_ = at + 6 * (blocks_ - 1);
  if (body_ >= packed.size()) throw std::runtime_error("a packed row that is not one");
}

int64_t PackedRow::prev(std::size_t b) const {
  if (b == 0) return base_;
  const auto* q = reinterpret_cast<const uint8_t*>(packed_.data()) + skips_ + 6 * (b - 1);
  return int64_t(uint32_t(q[0]) | uint32_t(q[1]) << 8 | uint32_t(q[2]) << 16 | uint32_t(q[3]) << 24);
}

std::size_t PackedRow::offset(std::size_t b) const {
  if (b == 0) return 0;
  const auto* q = reinterpret_cast<const uint8_t*>(packed_.data()) + skips_ + 6 * (b - 1) + 4;
  return std::size_t(q[0]) | std::size_t(q[1]) << 8;
}

std::size_t PackedRow::block_for(uint32_t p) const {
  // The last block whose previous position lies before P.
  std::size_t lo = 0, hi = blocks_;
  while (hi - lo > 1) {
    std::size_t mid = (lo + hi) / 2;
    if (prev(mid) < int64_t(p)) lo = mid;
    else hi = mid;
  }
  return lo;
}

std::size_t PackedRow::decode(std::size_t b, uint32_t* out) const {
  std::size_t at = body_ + offset(b);
  const std::size_t count = std::min<std::size_t>(kBlock, n_ - b * kBlock);
  if (at >= packed_.size()) throw std::runtime_error("a packed row ends early");
  const int width = uint8_t(packed_[at++]);
  if (width > 56 || at + (count * std::size_t(width) + 7) / 8 > packed_.size())
    throw std::runtime_error("a packed row that is not one");
  const auto* data = reinterpret_cast<const uint8_t*>(packed_.data()) + at;
  const std::size_t avail = packed_.size() - at;
  const uint64_t low = width ? ~uint64_t(0) >> (64 - width) : 0;
  const uint64_t index_mask = (uint64_t(1) << shift_) - 1;
  // Entry I's bits, read through the eight bytes from the one it starts in
  // (fewer at the row's end): it has at most 56 bits, so it lies within.
  auto entry = [&](std::size_t i) -> uint64_t {
    std::size_t bit = i * std::size_t(width), byte = bit >> 3;
    uint64_t w = 0;
    if (byte + 8 <= avail) {
      std::memcpy(&w, data + byte, 8);
      if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
    } else {
      for (std::size_t j = 0; byte + j < avail; ++j) w |= uint64_t(data[byte + j]) << (8 * j);
    }
    return (w >> (bit & 7)) & low;
  };
  uint32_t* o = out;
  uint64_t prev = uint64_t(this->prev(b));  // may be -1: the first step lands on the first position
  if (all_ && shift_ == 0) {
    for (std::size_t i = 0; i < count; ++i) *o++ = uint32_t(prev += entry(i) + 1);
  } else {
    for (std::size_t i = 0; i < count; ++i) {
      uint64_t v = entry(i);
      prev += (v >> shift_) + 1;
      if (all_ || take_[v & index_mask]) *o++ = uint32_t(prev);
    }
  }
  if (prev + 1 > uint64_t(UINT32_MAX) + 1) throw std::runtime_error("a position out of range");
  if (b + 1 < blocks_ && int64_t(prev) != this->prev(b + 1)) throw std::runtime_error("a packed row that is not one");
  return std::size_t(o - out);
}

void UnpackPositions(std::string_view packed, uint64_t mask, std::vector<uint32_t>& out) {
  PackedRow row;
  row.open(packed, mask);
  std::size_t first = out.size();
  out.resize(first + row.entries());
  uint32_t* o = out.data() + first;
  for (std::size_t b = 0; b < row.blocks(); ++b) o += row.decode(b, o);
  out.resize(std::size_t(o - out.data()));
}

}  // namespace stored

namespace {

Text number(int64_t v) { return from_utf8(std::to_string(v)); }

}  // namespace

std::shared_ptr<StoredIndex> StoredIndex::Open(db::Database& database, const db::ContentStamp& stamp) {
  if (stamp.token.empty()) return nullptr;
  try {
    auto meta = database.OpenCursor(
        u"SELECT s.format, s.build, s.positions, s.ordered, s.records, s.absent_rank, s.specials, s.postings, "
        u"s.built_records, s.built_links FROM kv_search_meta AS s");
    if (!meta->Next()) return nullptr;
    for (int i = 0; i < 10; ++i)
      if (i != 6 && !meta->IsInteger(i)) return nullptr;
    if (meta->Integer(0) != stored::kFormat || meta->Integer(8) != stamp.records) return nullptr;
    auto index = std::make_shared<StoredIndex>();
    index->build_ = meta->Integer(1);
    int64_t positions = meta->Integer(2), ordered = meta->Integer(3), records = meta->Integer(4);
    if (positions < 0 || positions > INT32_MAX || ordered < 0 || ordered > records || records > positions) return nullptr;
    index->positions_ = uint32_t(positions);
    index->ordered_ = uint32_t(ordered);
    index->records_ = uint32_t(records);
    index->absent_rank_ = meta->Integer(5);
    index->specials_ = std::string(meta->Bytes(6));
    if (index->specials_.size() != std::size_t(records - ordered)) return nullptr;
    index->postings_ = meta->Integer(7) == 1 && meta->Integer(9) == stamp.links;
    if (meta->Next()) return nullptr;  // one row only
    meta.reset();
    if (index->postings_) {
      auto combos = database.OpenCursor(u"SELECT c.bit, c.grp, c.field FROM kv_combos AS c ORDER BY c.bit");
      while (combos->Next()) {
        if (combos->Integer(0) != int64_t(index->combos_.size()) || index->combos_.size() == stored::kMaxCombos)
          return nullptr;
        index->combos_.push_back({combos->Integer(1), combos->Integer(2)});
      }
    }
    index->chunk_count_ = uint32_t((uint64_t(positions) + stored::kChunk - 1) / stored::kChunk);
    index->chunks_ = std::make_unique<std::atomic<const Chunk*>[]>(index->chunk_count_);
    for (uint32_t c = 0; c < index->chunk_count_; ++c) index->chunks_[c].store(nullptr, std::memory_order_relaxed);
    const std::size_t bytes = sizeof(StoredIndex) + 2 * sizeof(long) + KeptMemory::kPerBlock +
                              HeapBytes(index->specials_) + HeapBytes(index->combos_) +
                              std::size_t(index->chunk_count_) * sizeof(void*) + KeptMemory::kPerBlock;
    if (!index->kept_.Add(bytes)) return nullptr;  // no room: the tables are read
    return index;
  } catch (const Error&) {
    return nullptr;  // no stored index, or one this engine cannot read
  }
}

StoredIndex::~StoredIndex() {
  for (uint32_t c = 0; chunks_ && c < chunk_count_; ++c) delete chunks_[c].load();
}

uint64_t StoredIndex::mask(int32_t group, int32_t field) const {
  uint64_t m = 0;
  for (std::size_t bit = 0; bit < combos_.size(); ++bit)
    if ((group < 0 || combos_[bit].first == group) && (field < 0 || combos_[bit].second == field)) m |= uint64_t(1) << bit;
  return m;
}

std::unique_ptr<StoredIndex::Chunk> StoredIndex::read_chunk_row(db::Cursor& rows, uint32_t c) const {
  if (!rows.IsInteger(0) || rows.Integer(0) != int64_t(c) || rows.Integer(1) != build_)
    throw std::runtime_error("a chunk of the order from another build");
  uint32_t n = std::min(stored::kChunk, positions_ - c * stored::kChunk);
  std::string_view ids = rows.Bytes(2), starts = rows.Bytes(3);
  if (ids.size() != std::size_t(n) * 4 || starts.size() != (std::size_t(n) + 63) / 64 * 8)
    throw std::runtime_error("a chunk of the order of the wrong size");
  auto chunk = std::make_unique<Chunk>();
  chunk->ids.resize(n);
  for (uint32_t i = 0; i < n; ++i) {
    const auto* b = reinterpret_cast<const uint8_t*>(ids.data()) + 4 * i;
    chunk->ids[i] = int32_t(uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24);
  }
  chunk->starts.resize(starts.size() / 8);
  for (std::size_t w = 0; w < chunk->starts.size(); ++w) {
    uint64_t v = 0;
    for (int b = 7; b >= 0; --b) v = v << 8 | uint8_t(starts[w * 8 + std::size_t(b)]);
    chunk->starts[w] = v;
  }
  return chunk;
}

std::size_t StoredIndex::charge(const Chunk& chunk) {
  const std::size_t bytes = sizeof(Chunk) + KeptMemory::kPerBlock + HeapBytes(chunk.ids) + HeapBytes(chunk.starts);
  if (!kept_.Add(bytes)) throw std::runtime_error("no room to keep the order");
  return bytes;
}

const StoredIndex::Chunk& StoredIndex::chunk(db::Database& database, uint32_t c) {
  if (c >= chunk_count_) throw std::runtime_error("a position out of range");
  if (const Chunk* got = chunks_[c].load(std::memory_order_acquire)) return *got;
  auto rows = database.OpenCursor(u"SELECT o.chunk, o.build, o.ids, o.starts FROM kv_order AS o WHERE o.chunk = " +
                                  number(c));
  if (!rows->Next()) throw std::runtime_error("a chunk of the order missing");
  std::unique_ptr<Chunk> mine = read_chunk_row(*rows, c);
  const std::size_t bytes = charge(*mine);
  const Chunk* expected = nullptr;
  if (chunks_[c].compare_exchange_strong(expected, mine.get(), std::memory_order_acq_rel)) return *mine.release();
  kept_.Remove(bytes);
  return *expected;  // another thread read it first
}

void StoredIndex::load_all(db::Database& database) {
  uint32_t missing = 0;
  for (uint32_t c = 0; c < chunk_count_; ++c) missing += chunks_[c].load(std::memory_order_acquire) ? 0 : 1;
  if (missing < 8) {
    for (uint32_t c = 0; c < chunk_count_; ++c) chunk(database, c);
    return;
  }
  auto rows = database.OpenCursor(u"SELECT o.chunk, o.build, o.ids, o.starts FROM kv_order AS o ORDER BY o.chunk");
  uint32_t c = 0;
  for (; rows->Next(); ++c) {
    if (c % 256 == 0) ReportWork("reading the order of all records", c, chunk_count_);
    if (c >= chunk_count_) throw std::runtime_error("too many chunks of the order");
    if (chunks_[c].load(std::memory_order_acquire)) continue;
    std::unique_ptr<Chunk> mine = read_chunk_row(*rows, c);
    const std::size_t bytes = charge(*mine);
    const Chunk* expected = nullptr;
    if (chunks_[c].compare_exchange_strong(expected, mine.get(), std::memory_order_acq_rel)) mine.release();
    else kept_.Remove(bytes);
  }
  ReportWork({}, 0, 0);
  if (c != chunk_count_) throw std::runtime_error("a chunk of the order missing");
}

int32_t StoredIndex::record_at(db::Database& database, uint32_t p) {
  return chunk(database, p / stored::kChunk).ids[p % stored::kChunk];
}

bool StoredIndex::same_text(db::Database& database, uint32_t a, uint32_t b) {
  // The same text exactly when no position after A up to B starts one.
  for (uint32_t p = a + 1; p <= b;) {
    const Chunk& ch = chunk(database, p / stored::kChunk);
    uint32_t i = p % stored::kChunk;
    uint32_t end = std::min<uint32_t>(b - (p - i), uint32_t(ch.ids.size()) - 1);  // last index in this chunk
    for (uint32_t w = i / 64; w <= end / 64; ++w) {
      uint64_t bits = ch.starts[w];
      if (w == i / 64) bits &= ~uint64_t(0) << (i % 64);
      if (w == end / 64 && end % 64 != 63) bits &= (uint64_t(1) << (end % 64 + 1)) - 1;
      if (bits) return false;
    }
    p += end - i + 1;
  }
  return true;
}

std::shared_ptr<const RecordOrder> StoredIndex::whole_order(db::Database& database) {
  if (whole_ready_.load(std::memory_order_acquire)) return whole_;
  std::lock_guard<std::mutex> lock(whole_mutex_);
  if (whole_ready_.load(std::memory_order_relaxed)) return whole_;
  load_all(database);
  RankedRecords r;
  r.ids.reserve(records_);
  r.ranks.reserve(records_);
  int64_t texts = 0;
  for (uint32_t p = 0; p < records_; ++p) {
    const Chunk& ch = *chunks_[p / stored::kChunk].load(std::memory_order_acquire);
    uint32_t i = p % stored::kChunk;
    r.ids.push_back(ch.ids[i]);
    if (p < ordered_) {
      if (ch.starts[i / 64] >> (i % 64) & 1) ++texts;
      if (texts == 0 || 2 * texts > INT32_MAX) throw std::runtime_error("an order that does not start a text");
      r.ranks.push_back(int32_t(2 * texts));
    } else {
      uint8_t kind = uint8_t(specials_[p - ordered_]);
      // A hit that cannot be read fails the search before any sorting, so
      // its rank is never compared.
      r.ranks.push_back(kind & stored::kNullKey ? -1 : int32_t(absent_rank_));
      if (kind & stored::kUnreadable) r.unreadable.push_back(ch.ids[i]);
    }
  }
  r.absent = int32_t(absent_rank_);
  std::sort(r.unreadable.begin(), r.unreadable.end());
  auto whole = std::make_shared<RecordOrder>(std::move(r));
  // Without room to keep it, it serves this search alone.
  if (!kept_.Add(whole->memory() + 2 * sizeof(long) + KeptMemory::kPerBlock)) return whole;
  whole_ = std::move(whole);
  whole_ready_.store(true, std::memory_order_release);
  return whole_;
}

void StoredIndex::records_of(db::Database& database, const std::vector<uint32_t>& ps, std::vector<int32_t>& out) {
  if (ps.size() > std::size_t(chunk_count_) * 4) load_all(database);
  out.reserve(out.size() + ps.size());
  for (uint32_t p : ps) out.push_back(record_at(database, p));
}

std::unique_ptr<WordRows> ReadWordRows(db::Database& database, int64_t word) {
  auto rows = std::make_unique<WordRows>();
  auto cursor = database.OpenCursor(u"SELECT P.upto, P.packed FROM kv_postings AS P WHERE P.word = " + number(word) +
                                    u" ORDER BY P.upto");
  while (cursor->Next()) {
    rows->uptos.push_back(cursor->Integer(0));
    rows->bytes += cursor->Bytes(1);
    rows->starts.push_back(rows->bytes.size());
  }
  return rows;
}

PostingCursor::PostingCursor(db::Database& database, int64_t word, uint64_t mask, const WordRows* kept)
    : database_(database), word_(word), mask_(mask), kept_(kept) {}

bool PostingCursor::row_for(uint32_t p) {
  if (kept_) {
    // Far ahead: the row looked up; otherwise the rows passed over.
    std::size_t r = kept_next_;
    const auto& uptos = kept_->uptos;
    if (int64_t(p) > upto_ + 4 * span_) r = std::size_t(std::lower_bound(uptos.begin() + std::ptrdiff_t(r), uptos.end(), int64_t(p)) - uptos.begin());
    while (r < uptos.size() && uptos[r] < int64_t(p)) ++r;
    if (r >= uptos.size()) {
      done_ = true;
      return false;
    }
    span_ = std::max<int64_t>(uptos[r] - upto_, 1);
    upto_ = uptos[r];
    kept_next_ = r + 1;
    row_.open(std::string_view(kept_->bytes).substr(kept_->starts[r], kept_->starts[r + 1] - kept_->starts[r]), mask_);
    block_ = row_.block_for(p);
    n_ = row_.decode(block_, got_);
    at_ = 0;
    return true;
  }
  // Far ahead of the rows read (more than a few rows' spans): the row is
  // looked up by its key.
  if (!rows_ || int64_t(p) > upto_ + 4 * span_) {
    if (rows_ && again_) {
      try {
        rows_->Again({word_, int64_t(p)});
      } catch (const Error& e) {
        if (e.number() != 3251) throw;
        again_ = false;
        rows_.reset();
      }
    } else {
      rows_.reset();
    }
    if (!rows_)
      rows_ = database_.OpenCursor(u"SELECT P.upto, P.packed FROM kv_postings AS P WHERE P.word = " + number(word_) +
                                   u" AND P.upto >= " + number(p) + u" ORDER BY P.upto");
  }
  while (rows_->Next()) {
    ++rows_read_;
    int64_t upto = rows_->Integer(0);
    span_ = std::max<int64_t>(upto - upto_, 1);
    upto_ = upto;
    if (upto < int64_t(p)) continue;  // passed over without decoding
    row_.open(rows_->Bytes(1), mask_);
    block_ = row_.block_for(p);
    n_ = row_.decode(block_, got_);
    at_ = 0;
    return true;
  }
  done_ = true;
  return false;
}

bool PostingCursor::seek_further(uint32_t p) {
  for (;;) {
    if (at_ < n_) {
      if (got_[at_] >= p) return true;
      if (got_[n_ - 1] >= p) {
        at_ = std::size_t(std::lower_bound(got_ + at_, got_ + n_, p) - got_);
        return true;
      }
    }
    // The rest of this row, when P lies within it: the block that holds it.
    if ((rows_ || kept_) && !done_ && int64_t(p) <= upto_ && block_ + 1 < row_.blocks()) {
      block_ = std::max(block_ + 1, row_.block_for(p));
      n_ = row_.decode(block_, got_);
      at_ = 0;
      continue;
    }
    if (done_ || !row_for(p)) return false;
  }
}

}  // namespace kvistur
