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
//   5  a word file: the rest after a header that holds (of 1 + byte 1 % 64
//      buckets, the table where bytes 2-3 put it, an order of positions
//      they give when its chunks fit, buckets of prefixes' words when byte
//      1 says so), each bucket the tables place given its checksum; every
//      fold and prefix walked, looked up and its words' rows read, every
//      chunk of the order read
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "search/stored_codec.h"
#include "search/word_file.h"

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

void put64(std::string& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out += char(v >> (8 * i));
}

void word_file(std::string_view bytes, uint8_t b1, uint16_t at) {
  static const std::string dir = [] {
    char name[] = "/tmp/fuzz-word-file-XXXXXX";
    if (!mkdtemp(name)) std::abort();
    return std::string(name);
  }();
  const std::string database = dir + "/catalogue.sqlite";
  if (bytes.size() < 16) return;
  const uint64_t size = 112 + bytes.size();
  const uint64_t buckets = 1 + b1 % std::min<uint64_t>(64, bytes.size() / 8 - 1);
  const uint64_t table = 112 + at % (bytes.size() - (buckets + 1) * 8 + 1);  // within the file
  // Prefix buckets too when the top bit says so and there is room, their
  // table after the other.
  uint64_t prefix_buckets = b1 & 0x80 ? 1 + (b1 >> 3) % 8 : 0;
  if (size - table < (prefix_buckets + 1) * 8 + (buckets + 1) * 8) prefix_buckets = 0;
  const uint64_t prefix_table =
      prefix_buckets ? table + (uint64_t(at) * 31) % (size - table - (prefix_buckets + 1) * 8 + 1) : table;
  // Buckets of prefixes' words when bit 6 says so and there is room, their
  // table after the prefix buckets'.
  uint64_t word_buckets = b1 & 0x40 ? 1 + (b1 >> 2) % 4 : 0;
  if (size - prefix_table < (word_buckets + 1) * 8 + (prefix_buckets + 1) * 8) word_buckets = 0;
  const uint64_t word_table =
      word_buckets ? prefix_table + (uint64_t(at) * 17) % (size - prefix_table - (word_buckets + 1) * 8 + 1) : prefix_table;
  std::string head("kvwords\0", 8);
  put64(head, 4);
  put64(head, 7);  // the build
  put64(head, 0);
  put64(head, buckets);
  put64(head, table);
  put64(head, size);
  put64(head, prefix_buckets);
  put64(head, prefix_table);
  // An order of up to 600 positions right after the header, when its
  // chunks fit in the file (each takes at most 5 bytes a position and 16).
  uint64_t positions = (uint64_t(at) * 7 + b1) % 600;
  if (5 * positions + 16 * (positions / 480 + 1) > bytes.size()) positions = 0;
  put64(head, 112);
  put64(head, positions);
  put64(head, word_buckets);
  put64(head, word_table);
  put64(head, uint64_t(Checksum(0).add(uint64_t(5)).add(std::string_view(head)).value()));
  // Each bucket the tables place within the file gets the checksum its
  // bytes need, so that what is behind the checksums is reached.
  std::string file_bytes = head + std::string(bytes);
  auto get64 = [&](uint64_t p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | uint8_t(file_bytes[p + i]);
    return v;
  };
  auto sum_buckets = [&](uint64_t at_table, uint64_t n, uint64_t from, uint64_t kind) {
    for (uint64_t b = 0; b < n; ++b) {
      const uint64_t start = get64(at_table + 8 * b), end = get64(at_table + 8 * b + 8);
      if (start < from || start > end || end - start < 8 || end > at_table) continue;
      const std::string_view body = std::string_view(file_bytes).substr(start, end - start - 8);
      const uint64_t sum = uint64_t(Checksum(7).add(kind).add(b).add(body).value());
      for (int i = 0; i < 8; ++i) file_bytes[end - 8 + i] = char(sum >> (8 * i));
    }
  };
  sum_buckets(table, buckets, 112, 4);  // after the header, which a checksum must not overwrite
  sum_buckets(prefix_table, prefix_buckets, table, 6);
  sum_buckets(word_table, word_buckets, prefix_table, 7);
  std::ofstream(WordFileOf(database), std::ios::binary | std::ios::trunc) << file_bytes;
  auto file = WordFile::Open(database, 7);
  if (!file) __builtin_trap();  // the header holds
  std::vector<std::string> folds = {"", "a", "saga"};
  try {
    file->Walk([&](std::string_view fold, int64_t, const WordFile::List&) {
      if (folds.size() < 64) folds.emplace_back(fold);
    });
  } catch (const Damaged&) {
  }
  for (const std::string& f : folds) {
    try {
      for (int64_t w : file->words(f)) {
        auto rows = file->rows(w, PostingKey(w, 0), PostingKey(w, kLastRow));
        if (!rows) __builtin_trap();  // words() found its list
        while (rows->Next()) {
          if (rows->Bytes(1).size() > kPackedBytes || (rows->Integer(0) >> 32) != w) __builtin_trap();
          (void)rows->Integer(2);
        }
      }
    } catch (const Damaged&) {
    }
  }
  for (uint32_t c = 0; c <= positions / 480 + 1; ++c) {
    try {
      if (std::optional<OrderChunk> got = file->order_chunk(c, uint32_t(positions))) {
        if (c * 480 >= positions || got->ids.size() != std::min<uint64_t>(480, positions - c * 480)) __builtin_trap();
      }
      if (file->order_chunk(c, uint32_t(positions) + 1)) __builtin_trap();  // another index's order
    } catch (const Damaged&) {
    }
  }
  std::vector<std::string> starts = {"sag", "a"};
  try {
    file->WalkPrefixWords([&](std::string_view p, int64_t, const WordFile::List&) {
      if (starts.size() < 64) starts.emplace_back(p);
    });
  } catch (const Damaged&) {
  }
  for (const std::string& p : starts) {
    try {
      if (std::optional<std::vector<int64_t>> words = file->prefix_words(p))
        for (int64_t w : *words)
          if (!file->rows(w, PostingKey(w, 0), PostingKey(w, kLastRow))) __builtin_trap();  // its list is known
    } catch (const Damaged&) {
    }
  }
  std::vector<std::string> prefixes = {"sag", "a"};
  try {
    file->WalkPrefixes([&](const std::string& p, const WordFile::Prefix&) {
      if (prefixes.size() < 64) prefixes.push_back(p);
    });
  } catch (const Damaged&) {
  }
  for (const std::string& p : prefixes) {
    try {
      if (std::optional<WordFile::Prefix> found = file->prefix(p)) {
        auto rows = file->prefix_rows(found->key, 0);
        if (!rows || found->words.empty()) __builtin_trap();  // prefix() found its list, of some words
        while (rows->Next())
          if (rows->Bytes(1).size() > kPackedBytes) __builtin_trap();
      }
    } catch (const Damaged&) {
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const uint64_t mask = data[1] == 0 ? ~uint64_t(0) : uint64_t(data[1]);
  try {
    switch (data[0] % 6) {
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
      case 5:
        word_file(bytes.substr(4), data[1], uint16_t(data[2] | data[3] << 8));
        break;
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
