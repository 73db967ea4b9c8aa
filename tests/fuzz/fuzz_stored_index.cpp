// Fuzzes the stored index's decoders (search/stored_codec.h) with bytes
// that are no row of ours, as a damaged file gives them once a checksum
// has been passed (or before it is looked at): every decoder must give
// positions in order and within bounds, or throw Damaged, never read past
// a buffer or overflow.
//
// Byte 0 chooses the decoder and byte 1 a mask; the rest is the row:
//   0  a kv_postings row: its header, every block, every entry, and the
//      block of positions looked for from several places
//   1  a kv_order row: ids and starts (split at byte 2), of a chunk of
//      byte 3 positions
//   2  the pairs of kv_search_meta
//   3  a delta record's links or a word's delta list: in order, as many
//      as the bytes can hold
//   4  a kv_counts row of a chunk of byte 3 positions
#include <algorithm>
#include <cstdint>
#include <string>

#include "search/stored_codec.h"

using namespace kvistur::stored;

namespace {

void postings(std::string_view row, uint64_t mask) {
  PackedRow r;
  r.open(row, mask);
  if (r.entries() > row.size() * kBlock) __builtin_trap();
  uint32_t block[kBlock];
  int64_t last = -1;
  for (std::size_t b = 0; b < r.blocks(); ++b) {
    std::size_t n = r.decode(b, block);
    if (n > kBlock) __builtin_trap();
    for (std::size_t i = 0; i < n; ++i) {
      if (int64_t(block[i]) <= last) __builtin_trap();  // ascending, each once
      last = block[i];
    }
  }
  std::vector<Entry> all = r.all_entries();
  if (all.size() != r.entries()) __builtin_trap();
  for (uint32_t p : {uint32_t(0), uint32_t(last < 0 ? 0 : last), uint32_t(1) << 20, UINT32_MAX})
    if (r.blocks() > 0 && r.block_for(p) >= r.blocks()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const uint64_t mask = data[1] == 0 ? ~uint64_t(0) : uint64_t(data[1]);
  try {
    switch (data[0] % 5) {
      case 0:
        postings(bytes.substr(2), mask);
        break;
      case 1: {
        std::string_view rest = bytes.substr(4);
        std::size_t split = std::min<std::size_t>(data[2] * 4u, rest.size());
        OrderChunk c = DecodeOrder(0, 0, data[3], rest.substr(0, split), rest.substr(split),
                                   OrderSum(0, 0, rest.substr(0, split), rest.substr(split)));
        if (c.ids.size() != data[3] || c.starts.size() * 64 < c.ids.size()) __builtin_trap();
        break;
      }
      case 2:
        if (Summary::DecodeCombos(bytes.substr(2)).size() > kMaxCombos) __builtin_trap();
        break;
      case 3: {
        std::vector<Link> links = DecodeLinks(bytes.substr(2));
        if (links.size() > size || !std::is_sorted(links.begin(), links.end())) __builtin_trap();
        break;
      }
      default: {
        std::string_view counts = bytes.substr(4);
        Checksum sum(0);
        sum.add(0).add(counts);
        if (DecodeCounts(0, 0, data[3], counts, sum.value()).size() != data[3]) __builtin_trap();
      }
    }
  } catch (const Damaged&) {
  }
  return 0;
}
