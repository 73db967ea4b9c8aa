#include "search/stored_codec.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <utility>

namespace kvistur::stored {

// Each 64-bit word is spread by a multiplication and folded into the state
// by steps that are each one-to-one (xor with a constant, rotation,
// multiplication by an odd number), so two inputs of one length that
// differ in a single word always give different sums.
Checksum& Checksum::add(uint64_t v) {
  h_ ^= v * 0x87C37B91114253D5ull;
  h_ = std::rotl(h_, 31) * 0x4CF5AD432745937Full;
  return *this;
}

Checksum& Checksum::add(std::string_view bytes) {
  add(uint64_t(bytes.size()));
  std::size_t i = 0;
  // Eight bytes at a time, little-endian: one load each, not eight.
  for (; i + 8 <= bytes.size(); i += 8) {
    uint64_t w;
    std::memcpy(&w, bytes.data() + i, 8);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
    add(w);
  }
  if (i < bytes.size()) {
    uint64_t w = 0;
    for (std::size_t b = bytes.size(); b > i; --b) w = w << 8 | uint8_t(bytes[b - 1]);
    add(w);
  }
  return *this;
}

int64_t Checksum::value() const {
  uint64_t h = h_;
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ull;
  h ^= h >> 33;
  return int64_t(h);
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
    if (at >= s.size()) throw Damaged("a stored row ends early");
    uint8_t b = uint8_t(s[at++]);
    if (shift == 63 && b > 1) break;
    v |= uint64_t(b & 0x7F) << shift;
    if (!(b & 0x80)) return v;
  }
  throw Damaged("a stored row holds a number too long");
}

namespace {

// The bits an index of one of MASKS masks takes.
int index_bits(uint64_t masks) {
  int bits = 0;
  while ((uint64_t(1) << bits) < masks) ++bits;
  return bits;
}

uint32_t get32(const char* p) {
  const auto* b = reinterpret_cast<const uint8_t*>(p);
  return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

}  // namespace

// ---- kv_search_meta

int64_t Summary::sum() const {
  Checksum c(build);
  c.add(uint64_t(format)).add(collator).add(uint64_t(positions)).add(uint64_t(ordered)).add(uint64_t(records));
  c.add(uint64_t(absent_rank)).add(specials).add(EncodeCombos(combos)).add(postings ? 1 : 0);
  c.add(uint64_t(built_records)).add(uint64_t(built_links)).add(uint64_t(delta_records)).add(uint64_t(delta_words));
  return c.value();
}

void Summary::check() const {
  if (checksum != sum()) throw Damaged("kv_search_meta: the checksum does not match");
  if (positions < 0 || positions > kMaxPositions || ordered < 0 || ordered > records || records > positions)
    throw Damaged("kv_search_meta: positions out of range");
  if (specials.size() != std::size_t(records - ordered)) throw Damaged("kv_search_meta: specials of the wrong size");
  for (char k : specials)
    if (uint8_t(k) == 0 || uint8_t(k) > (kNullKey | kUnreadable)) throw Damaged("kv_search_meta: a special of no kind");
  if (absent_rank < 0 || absent_rank > INT32_MAX) throw Damaged("kv_search_meta: the empty text's rank out of range");
  if (combos.size() > kMaxCombos) throw Damaged("kv_search_meta: too many pairs");
  if (delta_records < 0 || delta_words < 0 || ((delta_records || delta_words) && !postings))
    throw Damaged("kv_search_meta: a delta out of range");
}

std::string Summary::EncodeCombos(const std::vector<std::pair<int64_t, int64_t>>& combos) {
  std::string out;
  for (auto [g, f] : combos) {
    PutVarint(out, ZigZag(g));
    PutVarint(out, ZigZag(f));
  }
  return out;
}

std::vector<std::pair<int64_t, int64_t>> Summary::DecodeCombos(std::string_view bytes) {
  std::vector<std::pair<int64_t, int64_t>> out;
  std::size_t at = 0;
  while (at < bytes.size()) {
    if (out.size() == kMaxCombos) throw Damaged("kv_search_meta: too many pairs");
    int64_t g = UnZigZag(GetVarint(bytes, at));
    out.push_back({g, UnZigZag(GetVarint(bytes, at))});
  }
  return out;
}

// ---- kv_order

int64_t OrderSum(int64_t build, int64_t chunk, std::string_view ids, std::string_view starts) {
  return Checksum(build).add(uint64_t(chunk)).add(ids).add(starts).value();
}

OrderRow EncodeOrder(int64_t build, int64_t chunk, std::span<const int32_t> ids, std::span<const uint64_t> starts) {
  OrderRow row;
  for (int32_t id : ids)
    for (int b = 0; b < 4; ++b) row.ids.push_back(char(uint32_t(id) >> (8 * b)));
  for (std::size_t w = 0; w < (ids.size() + 63) / 64; ++w)
    for (int b = 0; b < 8; ++b) row.starts.push_back(char(starts[w] >> (8 * b)));
  row.checksum = OrderSum(build, chunk, row.ids, row.starts);
  return row;
}

OrderChunk DecodeOrder(int64_t build, int64_t chunk, int64_t positions, std::string_view ids, std::string_view starts,
                       int64_t checksum) {
  // The text of a fault is made only when there is one: a chunk is read
  // at a search's first look at its places.
  auto damaged = [chunk](const char* what) { return Damaged("kv_order chunk " + std::to_string(chunk) + what); };
  if (checksum != OrderSum(build, chunk, ids, starts)) throw damaged(": the checksum does not match");
  if (chunk < 0 || chunk * int64_t(kChunk) >= positions) throw damaged(": no such chunk");
  const std::size_t n = std::size_t(std::min<int64_t>(kChunk, positions - chunk * int64_t(kChunk)));
  if (ids.size() != n * 4 || starts.size() != (n + 63) / 64 * 8) throw damaged(": of the wrong size");
  OrderChunk out;
  if constexpr (std::endian::native == std::endian::little) {
    // The row's numbers are little-endian, as this machine keeps them.
    out.ids.resize(n);
    std::memcpy(out.ids.data(), ids.data(), ids.size());
    out.starts.resize(starts.size() / 8);
    std::memcpy(out.starts.data(), starts.data(), starts.size());
    return out;
  }
  out.ids.resize(n);
  for (std::size_t i = 0; i < n; ++i) out.ids[i] = int32_t(get32(ids.data() + 4 * i));
  out.starts.resize(starts.size() / 8);
  for (std::size_t w = 0; w < out.starts.size(); ++w) {
    uint64_t v = 0;
    for (int b = 7; b >= 0; --b) v = v << 8 | uint8_t(starts[w * 8 + std::size_t(b)]);
    out.starts[w] = v;
  }
  return out;
}

// ---- kv_counts

CountsRow EncodeCounts(int64_t build, int64_t chunk, std::span<const uint32_t> counts) {
  CountsRow row;
  for (uint32_t c : counts) PutVarint(row.counts, c);
  row.checksum = Checksum(build).add(uint64_t(chunk)).add(row.counts).value();
  return row;
}

std::vector<uint32_t> DecodeCounts(int64_t build, int64_t chunk, int64_t positions, std::string_view counts,
                                   int64_t checksum) {
  const std::string where = "kv_counts chunk " + std::to_string(chunk);
  if (checksum != Checksum(build).add(uint64_t(chunk)).add(counts).value())
    throw Damaged(where + ": the checksum does not match");
  if (chunk < 0 || chunk * int64_t(kChunk) >= positions) throw Damaged(where + ": no such chunk");
  const std::size_t n = std::size_t(std::min<int64_t>(kChunk, positions - chunk * int64_t(kChunk)));
  std::vector<uint32_t> out;
  std::size_t at = 0;
  while (at < counts.size()) {
    uint64_t c = GetVarint(counts, at);
    if (c > UINT32_MAX || out.size() == n) throw Damaged(where + ": not counts");
    out.push_back(uint32_t(c));
  }
  if (out.size() != n) throw Damaged(where + ": of the wrong size");
  return out;
}

// ---- kv_delta and kv_delta_postings

std::string EncodeLinks(std::span<const Link> links) {
  std::string out;
  PutVarint(out, links.size());
  int64_t prev = 0;
  for (const Link& l : links) {
    PutVarint(out, ZigZag(int64_t(uint64_t(l.a) - uint64_t(prev))));
    PutVarint(out, ZigZag(l.group));
    PutVarint(out, ZigZag(l.field));
    prev = l.a;
  }
  return out;
}

std::vector<Link> DecodeLinks(std::string_view bytes) {
  std::size_t at = 0;
  uint64_t n = GetVarint(bytes, at);
  if (n > bytes.size()) throw Damaged("kv_delta: more links than bytes");  // each takes three bytes at least
  std::vector<Link> out;
  out.reserve(std::size_t(n));
  int64_t prev = 0;
  for (uint64_t i = 0; i < n; ++i) {
    Link l;
    l.a = int64_t(uint64_t(prev) + uint64_t(UnZigZag(GetVarint(bytes, at))));
    l.group = UnZigZag(GetVarint(bytes, at));
    l.field = UnZigZag(GetVarint(bytes, at));
    if (!out.empty() && l < out.back()) throw Damaged("kv_delta: links out of order");
    out.push_back(l);
    prev = l.a;
  }
  if (at != bytes.size()) throw Damaged("kv_delta: bytes after the links");
  return out;
}

int64_t DeltaRecord::sum(int64_t build) const {
  Checksum c(build);
  c.add(uint64_t(id)).add(uint64_t(base)).add(kind).add(uint64_t(place)).add(equal ? 1 : 0).add(key);
  return c.add(EncodeLinks(links)).value();
}

void DeltaRecord::check(const Summary& meta) const {
  const std::string where = "kv_delta record " + std::to_string(id);
  if (checksum != sum(meta.build)) throw Damaged(where + ": the checksum does not match");
  if (id < INT32_MIN || id > INT32_MAX || base < -1 || base >= meta.positions) throw Damaged(where + ": out of range");
  const bool special = kind >= 1 && kind <= (kNullKey | kUnreadable);
  if (!special && kind != kNoRow && kind != kGone && kind != kPlaced) throw Damaged(where + ": of no kind");
  if (kind == kPlaced && (place < 0 || place > meta.ordered || key.empty() || (equal && place == meta.ordered)))
    throw Damaged(where + ": placed out of range");
  if ((kind == kGone && !links.empty()) || (kind == kNoRow && links.empty())) throw Damaged(where + ": links of no record");
}

int64_t DeltaPostingsSum(int64_t build, int64_t word, std::string_view packed) {
  return Checksum(build).add(uint64_t(word)).add(packed).value();
}

// ---- kv_postings
//
// A row: the upto of the word's row before it plus one (a varint; 0 for the
// first row), a flag byte (1: the word's last row), then the entries: their
// number, the distinct masks, the first position, the skip points, then the
// entries in blocks of kBlock.  An entry is position - previous position -
// 1, shifted left by the bits the index of a mask takes (none for one
// mask), with the index of its mask in those bits; the previous position
// of the first entry is the first position less one; a block is the width
// in bits of its largest entry (one byte) and its entries at that width,
// packed from the lowest bit up.  Skip point b (for blocks 1..) is six
// bytes, little-endian: the last position of block b - 1 (four) and the
// byte offset of block b among the blocks (two), so that the block of a
// position is found by a binary search.  A row without entries is the
// number 0 alone.

int64_t PostingsSum(int64_t build, int64_t word, int64_t upto, std::string_view packed) {
  return Checksum(build).add(uint64_t(word)).add(uint64_t(upto)).add(packed).value();
}

std::string PackEntries(const Entry* entries, std::size_t n) {
  std::string out;
  if (n == 0) {
    PutVarint(out, 0);
    return out;
  }
  std::vector<uint64_t> masks;
  for (std::size_t i = 0; i < n; ++i)
    if (std::find(masks.begin(), masks.end(), entries[i].mask) == masks.end()) masks.push_back(entries[i].mask);
  const uint64_t k = masks.size();
  const int shift = index_bits(k);
  std::string body, skips;
  body.reserve(std::min(n * 7 + (n + kBlock - 1) / kBlock, kPackedBytes));
  const int64_t base = int64_t(entries[0].position) - 1;
  int64_t prev = base;
  for (std::size_t from = 0; from < n; from += kBlock) {
    if (from > 0) {
      if (body.size() > 0xFFFF) throw std::runtime_error("a packed row too long");
      for (int b = 0; b < 4; ++b) skips.push_back(char(uint32_t(prev) >> (8 * b)));
      for (int b = 0; b < 2; ++b) skips.push_back(char(body.size() >> (8 * b)));
    }
    std::size_t count = std::min(kBlock, n - from);
    uint64_t values[kBlock];
    uint64_t any = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const Entry& e = entries[from + i];
      uint64_t index = uint64_t(std::find(masks.begin(), masks.end(), e.mask) - masks.begin());
      values[i] = uint64_t(int64_t(e.position) - prev - 1) << shift | index;
      prev = e.position;
      any |= values[i];
    }
    const int width = int(std::bit_width(any));  // that of the largest
    if (width > 56) throw std::runtime_error("an entry too large to pack");
    body.push_back(char(width));
    uint64_t acc = 0;
    int bits = 0;
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
  PutVarint(out, n);
  PutVarint(out, k);
  for (uint64_t m : masks) PutVarint(out, m);
  PutVarint(out, uint64_t(base + 1));
  out.reserve(out.size() + skips.size() + body.size());
  out += skips;
  out += body;
  return out;
}

namespace {

std::size_t varint_size(uint64_t v) {
  std::size_t n = 1;
  for (; v >= 0x80; v >>= 7) ++n;
  return n;
}

// How many of the N entries at E the next row takes: the first of N,
// N * 3 / 4, N * 3 / 4 * 3 / 4, ... (down to 1) whose packed bytes are at
// most LIMIT.  Packing each length in turn finds it too, but packs up to
// ten times the entries a row takes; here the packed size of a length is
// worked out from a summary of each block (its largest step and mask
// index), and since it grows with the length, no block past the first
// that makes the entries too long is looked at.
std::size_t row_length(const Entry* e, std::size_t n, std::size_t limit) {
  // The most bytes N entries can pack to (a mask of its own for each, of
  // ten bytes, every entry 56 bits wide): a row of most words' entries
  // fits whatever they are, and nothing need be worked out.
  const std::size_t most = 2 * varint_size(n) + 10 * n + 5 + 7 * ((n + kBlock - 1) / kBlock) + 7 * n;
  if (most <= limit) return n;
  struct Block {
    int step_bits = -1;  // the bits of its largest step above 1, -1 when every step is 1
    uint64_t top_index = 0;
  };
  std::vector<uint64_t> masks;       // in the order first met
  std::vector<std::size_t> first_met;  // the entry each was first met at
  std::vector<Block> blocks;
  auto index_of = [&](std::size_t i) {
    std::size_t m = std::size_t(std::find(masks.begin(), masks.end(), e[i].mask) - masks.begin());
    if (m == masks.size()) {
      masks.push_back(e[i].mask);
      first_met.push_back(i);
    }
    return uint64_t(m);
  };
  // The summary of entries FROM to TO, all in one block.
  auto summary = [&](std::size_t from, std::size_t to) {
    Block b;
    int64_t prev = from == 0 ? int64_t(e[0].position) - 1 : int64_t(e[from - 1].position);
    for (std::size_t i = from; i < to; ++i) {
      uint64_t index = index_of(i);
      uint64_t step = uint64_t(int64_t(e[i].position) - prev - 1);
      prev = e[i].position;
      if (step > 0) b.step_bits = std::max(b.step_bits, int(std::bit_width(step)));
      b.top_index = std::max(b.top_index, index);
    }
    return b;
  };
  // The bytes PackEntries gives for the first LEN entries, with every
  // block up to LEN summed up already.
  auto size_of = [&](std::size_t len) {
    const std::size_t k = std::size_t(std::lower_bound(first_met.begin(), first_met.end(), len) - first_met.begin());
    const int shift = index_bits(k);
    std::size_t size = varint_size(len) + varint_size(k) + varint_size(e[0].position);
    for (std::size_t m = 0; m < k; ++m) size += varint_size(masks[m]);
    size += 6 * ((len + kBlock - 1) / kBlock - 1);
    // An entry takes the bits of its step shifted past the index, or of
    // its index alone when the step is 0.
    auto block = [&](const Block& b, std::size_t count) {
      std::size_t width = std::size_t(std::max(b.step_bits < 0 ? 0 : b.step_bits + shift, int(std::bit_width(b.top_index))));
      size += 1 + (count * width + 7) / 8;
    };
    const std::size_t full = len / kBlock;
    for (std::size_t b = 0; b < full; ++b) block(blocks[b], kBlock);
    if (len % kBlock) block(summary(full * kBlock, len), len % kBlock);
    return size;
  };
  std::size_t scanned = 0, too_long = n + 1;
  while (scanned < n) {
    std::size_t to = std::min(n, scanned + kBlock);
    blocks.push_back(summary(scanned, to));
    scanned = to;
    if (size_of(scanned) > limit) {
      too_long = scanned;
      break;
    }
  }
  for (std::size_t len = n;; len = len * 3 / 4)
    if (len <= 1 || (len < too_long && size_of(len) <= limit)) return len;
}

}  // namespace

int64_t PrefixPostingsSum(int64_t build, int64_t list, int64_t upto, std::string_view packed) {
  return Checksum(build).add(3).add(uint64_t(list)).add(uint64_t(upto)).add(packed).value();
}

int64_t PrefixRow::sum(int64_t build) const {
  return Checksum(build).add(4).add(uint64_t(key)).add(prefix).add(uint64_t(words)).add(uint64_t(hash)).value();
}

int64_t PrefixKey(std::string_view prefix) { return Checksum(0).add(prefix).value(); }

int64_t WordsHash(std::span<const int64_t> words) {
  Checksum c(0);
  for (int64_t w : words) c.add(uint64_t(w));
  return c.value();
}

std::string_view CodePointPrefix(std::string_view s, std::size_t n) {
  std::size_t points = 0;
  for (std::size_t i = 0; i < s.size(); ++i)
    if ((uint8_t(s[i]) & 0xC0) != 0x80 && points++ == n) return s.substr(0, i);
  return points == n ? s : std::string_view();
}

std::size_t CodePoints(std::string_view s) {
  std::size_t points = 0;
  for (char c : s) points += (uint8_t(c) & 0xC0) != 0x80;
  return points;
}

std::vector<PostingsRow> EncodePostings(int64_t build, int64_t word, std::span<const Entry> entries, bool prefix) {
  std::vector<PostingsRow> rows;
  int64_t before = -1;
  auto add = [&](std::string body, int64_t upto, bool last) {
    PostingsRow row;
    row.upto = last ? kLastRow : upto;
    PutVarint(row.packed, uint64_t(before + 1));
    row.packed.push_back(char(last ? 1 : 0));
    row.packed += body;
    row.checksum = prefix ? PrefixPostingsSum(build, word, row.upto, row.packed) : PostingsSum(build, word, row.upto, row.packed);
    before = row.upto;
    rows.push_back(std::move(row));
  };
  constexpr std::size_t kHeader = 11;  // the longest header: a varint of 33 bits and the flags
  const std::size_t n = entries.size();
  if (n == 0) add(PackEntries(nullptr, 0), kLastRow, true);
  for (std::size_t from = 0; from < n;) {
    // At most 8192 entries, fewer by a quarter at a time until they fit.
    std::size_t len = row_length(&entries[from], std::min<std::size_t>(n - from, 8192), kPackedBytes - kHeader);
    add(PackEntries(&entries[from], len), entries[from + len - 1].position, from + len == n);
    from += len;
  }
  return rows;
}

std::pair<int64_t, bool> PackedRow::Header(std::string_view packed) {
  std::size_t at = 0;
  uint64_t before = GetVarint(packed, at);
  if (before > uint64_t(kLastRow) || at >= packed.size() || uint8_t(packed[at]) > 1)
    throw Damaged("kv_postings: a row's header is not one");
  return {int64_t(before) - 1, packed[at] == 1};
}

namespace {
void check_row_sum(int64_t build, int64_t word, int64_t upto, std::string_view packed, int64_t checksum, bool prefix) {
  if (checksum != (prefix ? PrefixPostingsSum(build, word, upto, packed) : PostingsSum(build, word, upto, packed)))
    throw Damaged((prefix ? "kv_prefix_postings list " : "kv_postings word ") + std::to_string(word) + " row " +
                  std::to_string(upto) + ": the checksum does not match");
}
}  // namespace

std::pair<int64_t, bool> PackedRow::CheckedHeader(int64_t build, int64_t word, int64_t upto, std::string_view packed,
                                                  int64_t checksum, bool prefix) {
  check_row_sum(build, word, upto, packed, checksum, prefix);
  return Header(packed);
}

void PackedRow::open(int64_t build, int64_t word, int64_t upto, std::string_view packed, int64_t checksum,
                     uint64_t mask, bool prefix) {
  check_row_sum(build, word, upto, packed, checksum, prefix);
  open(packed, mask);
}

void PackedRow::open(std::string_view packed, uint64_t mask) {
  auto [before, last] = Header(packed);
  before_ = before;
  last_ = last;
  std::size_t at = 0;
  GetVarint(packed, at);
  open_body(packed.substr(at + 1), mask);
}

void PackedRow::open_body(std::string_view packed, uint64_t mask) {
  packed_ = packed;
  std::size_t at = 0;
  n_ = GetVarint(packed, at);
  if (n_ == 0) {
    if (at != packed.size()) throw Damaged("kv_postings: an empty row with bytes after it");
    blocks_ = 0;
    return;
  }
  k_ = GetVarint(packed, at);
  if (k_ == 0 || k_ > n_ || n_ > packed.size() * kBlock || k_ > kPackedBytes) throw Damaged("kv_postings: a row that is not one");
  all_ = true;
  masks_at_ = at;
  // Indexes no entry has are not taken.
  std::fill(std::begin(take_), std::end(take_), uint64_t(0));
  for (uint64_t i = 0; i < k_; ++i) {
    const bool take = (GetVarint(packed, at) & mask) != 0;
    take_[i >> 6] |= uint64_t(take) << (i & 63);
    all_ = all_ && take;
  }
  shift_ = index_bits(k_);
  uint64_t first = GetVarint(packed, at);
  if (first > UINT32_MAX) throw Damaged("kv_postings: a position out of range");
  base_ = int64_t(first) - 1;
  blocks_ = (n_ + kBlock - 1) / kBlock;
  skips_ = at;
  body_ = at + 6 * (blocks_ - 1);
  if (body_ >= packed.size()) throw Damaged("kv_postings: a row that is not one");
}

int64_t PackedRow::prev(std::size_t b) const {
  if (b == 0) return base_;
  return int64_t(get32(packed_.data() + skips_ + 6 * (b - 1)));
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

namespace {

// Entries of WIDTH bits in groups of eight: a group fills WIDTH bytes, so
// each entry's byte and bit offset are known when this is compiled, and an
// entry costs a load, a shift, a mask and an add.  SHIFTED: the entry is
// its step shifted past the index of its mask (SHIFT bits), else the step
// alone (one mask).  Reads eight bytes from each entry's first byte: the
// caller sees that they are there.
template <int Width, bool Shifted, std::size_t K, typename Each>
[[gnu::always_inline]] inline void step_in_eight(const uint8_t* data, uint64_t& prev, Each& each, int shift) {
  constexpr uint64_t low = Width ? ~uint64_t(0) >> (64 - Width) : 0;
  uint64_t w;
  std::memcpy(&w, data + (K * Width >> 3), 8);
  if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
  const uint64_t v = (w >> ((K * Width) & 7)) & low;
  if constexpr (Shifted) {
    prev += (v >> shift) + 1;
    each(prev, v & ((uint64_t(1) << shift) - 1));
  } else {
    prev += v + 1;
    each(prev, 0);
  }
}
template <int Width, bool Shifted, typename Each, std::size_t... K>
[[gnu::always_inline]] inline void eight_steps(const uint8_t* data, uint64_t& prev, Each& each, int shift,
                                               std::index_sequence<K...>) {
  (step_in_eight<Width, Shifted, K>(data, prev, each, shift), ...);
}
template <int Width, bool Shifted, typename Each>
void steps_in_eights(const uint8_t* data, std::size_t groups, uint64_t& prev_io, Each& each, int shift) {
  uint64_t prev = prev_io;
  for (std::size_t g = 0; g < groups; ++g, data += Width)
    eight_steps<Width, Shifted>(data, prev, each, shift, std::make_index_sequence<8>{});
  prev_io = prev;
}

// The widths up to which steps_in_eights is made, one function a width.
constexpr int kEightsUpTo = 32;
template <typename Each>
using Eights = void (*)(const uint8_t*, std::size_t, uint64_t&, Each&, int);
template <typename Each, bool Shifted, std::size_t... W>
constexpr std::array<Eights<Each>, sizeof...(W)> eights_table(std::index_sequence<W...>) {
  return {&steps_in_eights<int(W), Shifted, Each>...};
}
template <typename Each, bool Shifted>
inline constexpr auto kEights = eights_table<Each, Shifted>(std::make_index_sequence<kEightsUpTo + 1>{});

}  // namespace

template <typename Each>
Each PackedRow::walk(std::size_t b, Each each) const {
  std::size_t at = body_ + offset(b);
  const std::size_t count = std::min<std::size_t>(kBlock, n_ - b * kBlock);
  if (at >= packed_.size()) throw Damaged("kv_postings: a row ends early");
  const int width = uint8_t(packed_[at++]);
  if (width > 56 || at + (count * std::size_t(width) + 7) / 8 > packed_.size())
    throw Damaged("kv_postings: a row that is not one");
  const auto* data = reinterpret_cast<const uint8_t*>(packed_.data()) + at;
  const std::size_t avail = packed_.size() - at;
  const uint64_t low = width ? ~uint64_t(0) >> (64 - width) : 0;
  const int shift = shift_;
  const uint64_t index_mask = (uint64_t(1) << shift) - 1;
  // Unsigned: the first step from -1 lands on the first position, and the
  // sum of at most kBlock steps of 56 bits each from a 32-bit start cannot
  // wrap.
  uint64_t prev = uint64_t(this->prev(b));
  // Entry I's bits are read through the eight bytes from the one it starts
  // in: it has at most 56 bits, so it lies within.  The entries whose eight
  // bytes are all there (all but the last few of a row) take one load each;
  // the rest are read byte by byte.
  std::size_t fast = 0;
  if (avail >= 8) fast = width ? std::min(count, (avail - 8) * 8 / std::size_t(width) + 1) : count;
  std::size_t i = 0, bit = 0;
  if (width <= kEightsUpTo && fast >= 8) {
    const std::size_t groups = fast / 8;
    (shift == 0 ? kEights<Each, false> : kEights<Each, true>)[std::size_t(width)](data, groups, prev, each, shift);
    i = groups * 8;
    bit = i * std::size_t(width);
  }
  if (shift == 0) {
    // One mask (most rows): the entry is the step alone.
    for (; i < fast; ++i, bit += std::size_t(width)) {
      uint64_t w;
      std::memcpy(&w, data + (bit >> 3), 8);
      if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
      prev += ((w >> (bit & 7)) & low) + 1;
      each(prev, 0);
    }
  }
  for (; i < fast; ++i, bit += std::size_t(width)) {
    uint64_t w;
    std::memcpy(&w, data + (bit >> 3), 8);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
    const uint64_t v = (w >> (bit & 7)) & low;
    prev += (v >> shift) + 1;
    each(prev, v & index_mask);
  }
  for (; i < count; ++i, bit += std::size_t(width)) {
    const std::size_t byte = bit >> 3;
    uint64_t w = 0;
    for (std::size_t j = 0; j < 8 && byte + j < avail; ++j) w |= uint64_t(data[byte + j]) << (8 * j);
    const uint64_t v = (w >> (bit & 7)) & low;
    prev += (v >> shift) + 1;
    each(prev, v & index_mask);
  }
  if (prev + 1 > uint64_t(UINT32_MAX) + 1) throw Damaged("kv_postings: a position out of range");
  if (b + 1 < blocks_ && int64_t(prev) != this->prev(b + 1)) throw Damaged("kv_postings: a row that is not one");
  return each;
}

std::size_t PackedRow::decode(std::size_t b, uint32_t* out) const {
  if (b >= blocks_) return 0;
  // The next place to write is held in the function object, not in a
  // variable of this function, so that the loop keeps it in a register.
  struct All {
    uint32_t* o;
    void operator()(uint64_t p, uint64_t) { *o++ = uint32_t(p); }
  };
  struct Taken {
    const PackedRow* row;
    uint32_t* o;
    void operator()(uint64_t p, uint64_t index) {
      if (row->takes(index)) *o++ = uint32_t(p);
    }
  };
  if (all_) return std::size_t(walk(b, All{out}).o - out);
  return std::size_t(walk(b, Taken{this, out}).o - out);
}

std::vector<Entry> PackedRow::all_entries() const {
  std::vector<Entry> out;
  append_entries(out);
  return out;
}

void PackedRow::append_entries(std::vector<Entry>& out) const {
  std::vector<uint64_t> masks;
  if (blocks_ > 0)
    for (std::size_t at = masks_at_; masks.size() < k_;) masks.push_back(GetVarint(packed_, at));
  // Room for them all first, so that each is written without a check.
  const std::size_t from = out.size();
  out.resize(from + n_);
  Entry* o = out.data() + from;
  for (std::size_t b = 0; b < blocks_; ++b)
    walk(b, [&](uint64_t p, uint64_t index) { *o++ = {uint32_t(p), index < k_ ? masks[index] : 0}; });
  out.resize(std::size_t(o - out.data()));
}

void AppendPositions(const PackedRow& row, std::vector<uint32_t>& out) {
  // Through a block's room on the stack: growing OUT to every entry first
  // would fill it with zeros only to overwrite them.
  uint32_t got[kBlock];
  for (std::size_t b = 0; b < row.blocks(); ++b) {
    const std::size_t n = row.decode(b, got);
    out.insert(out.end(), got, got + n);
  }
}

void RowChain::next(int64_t upto, int64_t before, bool last) {
  const bool fits = prev_ == kNone ? before < from_ : before == prev_ && !prev_last_;
  if (!fits || upto <= before || last != (upto == kLastRow)) throw Damaged("kv_postings: a row missing or out of place");
  prev_ = upto;
  prev_last_ = last;
  seen_ = true;
}

bool RowChain::end() const {
  if (!seen_) return false;
  if (prev_ == kNone || !prev_last_) throw Damaged("kv_postings: a word's last row missing");
  return true;
}

int64_t FacetSummary::sum() const {
  Checksum c(build);
  c.add(uint64_t(format)).add(uint64_t(records)).add(uint64_t(holders)).add(uint64_t(places));
  c.add(uint64_t(built_records)).add(uint64_t(built_links)).add(uint64_t(built_facts));
  return c.value();
}

void FacetSummary::check() const {
  if (checksum != sum()) throw Damaged("kv_facet_meta: the checksum does not match");
  if (records < 0 || records > kMaxPositions || holders < 0 || holders > kMaxPositions || places < 0 ||
      places > kMaxFacetPlaces)
    throw Damaged("kv_facet_meta: counts out of range");
}

int64_t FacetRowSum(int64_t build, FacetRowKind table, int64_t chunk, std::string_view data) {
  return Checksum(build).add(uint64_t(table)).add(uint64_t(chunk)).add(data).value();
}

int64_t FacetPlaceSum(int64_t build, int64_t id, std::string_view name) {
  return Checksum(build).add(uint64_t(id)).add(name).value();
}

namespace {

// Entries of a chunk start with the number's step from the one before,
// less one; the first's from the number before the chunk's first.
void put_step(std::string& out, int32_t id, int64_t& prev, bool first) {
  if (first) prev = (FacetChunk(id) << kFacetChunkBits) - 1;
  PutVarint(out, uint64_t(id - prev - 1));
  prev = id;
}
// The number before CHUNK's first; Damaged for a chunk no int32 is in.
int64_t before_chunk(int64_t chunk) {
  if (chunk < FacetChunk(INT32_MIN) || chunk > FacetChunk(INT32_MAX)) throw Damaged("a chunk out of range");
  return (chunk << kFacetChunkBits) - 1;
}
int32_t get_step(int64_t chunk, std::string_view data, std::size_t& at, int64_t& prev) {
  uint64_t step = GetVarint(data, at);
  if (step >= (uint64_t(1) << kFacetChunkBits)) throw Damaged("a number outside its chunk");
  int64_t id = prev + 1 + int64_t(step);
  if (FacetChunk(id) != chunk || id < INT32_MIN || id > INT32_MAX) throw Damaged("a number outside its chunk");
  prev = id;
  return int32_t(id);
}

}  // namespace

std::string EncodeFacetRecords(std::span<const FacetRecord> records) {
  std::string out;
  int64_t prev = 0;
  for (const FacetRecord& r : records) {
    put_step(out, r.id, prev, &r == records.data());
    PutVarint(out, r.kind);
    PutVarint(out, r.year);
    PutVarint(out, !r.has_holder ? 0 : r.holder == r.id ? 1 : 2 + ZigZag(int64_t(r.holder) - r.id));
  }
  return out;
}

std::vector<FacetRecord> DecodeFacetRecords(int64_t chunk, std::string_view data) {
  std::vector<FacetRecord> out;
  std::size_t at = 0;
  int64_t prev = before_chunk(chunk);
  while (at < data.size()) {
    FacetRecord r;
    r.id = get_step(chunk, data, at, prev);
    uint64_t kind = GetVarint(data, at), year = GetVarint(data, at), holder = GetVarint(data, at);
    if (kind >= kFacetKinds || year > kFacetLastYear) throw Damaged("a kind or year out of range");
    int64_t h = holder <= 1 ? r.id : r.id + UnZigZag(holder - 2);
    if (holder > (uint64_t(1) << 34) || h < INT32_MIN || h > INT32_MAX) throw Damaged("a holder out of range");
    r.kind = uint8_t(kind);
    r.year = uint16_t(year);
    r.has_holder = holder != 0;
    r.holder = r.has_holder ? int32_t(h) : 0;
    out.push_back(r);
  }
  if (out.empty()) throw Damaged("a chunk without entries");
  return out;
}

std::string EncodeFacetHolders(std::span<const FacetHolder> holders) {
  std::string out;
  int64_t prev = 0;
  for (const FacetHolder& h : holders) {
    put_step(out, h.id, prev, &h == holders.data());
    PutVarint(out, h.copies);
    PutVarint(out, h.places.size());
    uint64_t before = 0;
    for (uint16_t p : h.places) {
      PutVarint(out, p - before);  // ascending: the first as it is, then steps
      before = p;
    }
  }
  return out;
}

std::vector<FacetHolder> DecodeFacetHolders(int64_t chunk, std::string_view data, int64_t places) {
  std::vector<FacetHolder> out;
  std::size_t at = 0;
  int64_t prev = before_chunk(chunk);
  while (at < data.size()) {
    FacetHolder h;
    h.id = get_step(chunk, data, at, prev);
    uint64_t copies = GetVarint(data, at), n = GetVarint(data, at);
    if (copies > kFacetMostCopies || n > uint64_t(places)) throw Damaged("copies or places out of range");
    uint64_t p = 0;
    for (uint64_t k = 0; k < n; ++k) {
      uint64_t step = GetVarint(data, at);
      if (k > 0 && step == 0) throw Damaged("a place named twice");
      p += step;
      if (step >= uint64_t(places) || p >= uint64_t(places)) throw Damaged("no such place");
      h.places.push_back(uint16_t(p));
    }
    h.copies = uint32_t(copies);
    out.push_back(std::move(h));
  }
  if (out.empty()) throw Damaged("a chunk without entries");
  return out;
}

}  // namespace kvistur::stored
