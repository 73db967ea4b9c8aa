// The search's stored index: data worked out from the catalogue's tables
// by kvistur's own tools (build, generate, index, update; the writer is
// src/import/search_index.cpp) and kept beside them in the catalogue, so
// that even the first search of a process finds the order of all records
// and each word's records without reading Móðurtafla or Tengill.
//
// Positions.  Every record gets a position: first the records in the order
// of their sort texts (records with equal texts side by side, by record
// number), then the records the order cannot place (a null sort text, or
// an identifying string or kind the result table cannot take: the search
// must read those one by one), then the record numbers Tengill holds
// without a Móðurtafla row.  A word's records are kept as their positions,
// ascending, so the hits of a search come out already in sort-text order.
//
//   kv_search_meta  one row: format, build (a random number, also in each
//                   kv_order row), positions, ordered (positions below it
//                   are in order), records (Móðurtafla rows; positions from
//                   ordered up to it are the records the order cannot
//                   place), absent_rank, specials (a byte per such record:
//                   1 null sort text, 2 cannot be read into the result
//                   table, 3 both), postings (1 when kv_postings is there),
//                   built_records, built_links (the stamp's counters when
//                   written, platform/content_stamp.h)
//   kv_order        (chunk, build, ids, starts): for positions chunk * 480
//                   on, the record numbers (4 bytes each, little-endian) and
//                   a bit per position that starts a new sort text.  The
//                   rank of an ordered position's text is twice the number
//                   of texts up to it, so that absent_rank, the rank of the
//                   empty text, can lie between two when no record has it
//   kv_combos       (bit, grp, field): each (HópID, Orðtag) pair of Tengill,
//                   at most 64
//   kv_postings     (word, upto, packed): word's positions up to upto, each
//                   with the pairs it occurs in as a mask of kv_combos bits,
//                   in blocks of kBlock bit-packed, with a skip point for
//                   each block (PackEntries)
//
// The stored index is used only when it was written at the stamp the
// catalogue has now (the counters of Móðurtafla and Tengill changes are
// the ones it was written at); anything else is read from the tables.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/engine.h"
#include "platform/kept_memory.h"

namespace kvistur {

class RecordOrder;

namespace stored {

inline constexpr int kFormat = 5;
inline constexpr uint32_t kChunk = 480;  // positions per kv_order row: two rows fill a page of 4096 bytes
inline constexpr std::size_t kPackedBytes = 900;      // the most bytes of one kv_postings row
inline constexpr std::size_t kMaxCombos = 64;

// Kinds of the records the order cannot place (bits of a specials byte).
inline constexpr uint8_t kNullKey = 1;
inline constexpr uint8_t kUnreadable = 2;

// One entry of a word's list: a position and the mask of its pairs.
struct Entry {
  uint32_t position;
  uint64_t mask;
};

// Entries of a row are decoded in blocks of this many: a position looked
// for costs the decoding of one block.
inline constexpr std::size_t kBlock = 64;

// The packed form of one kv_postings row.  Entries ascending.
std::string PackEntries(const Entry* entries, std::size_t n);

// One packed row read back: the positions of the entries whose mask meets
// MASK, a block at a time.  Throws std::runtime_error on bytes that are not
// a packed row.  PACKED must outlive it.
class PackedRow {
 public:
  void open(std::string_view packed, uint64_t mask);
  std::size_t entries() const { return n_; }
  std::size_t blocks() const { return blocks_; }
  // The block that holds the first entry at or after P, if the row has it.
  std::size_t block_for(uint32_t p) const;
  // Block B's positions into OUT (room for kBlock); how many were written.
  std::size_t decode(std::size_t b, uint32_t* out) const;

 private:
  int64_t prev(std::size_t b) const;        // the last position before block B
  std::size_t offset(std::size_t b) const;  // where block B starts among the blocks
  std::string_view packed_;
  uint64_t n_ = 0, k_ = 1;
  bool take_[2 * kPackedBytes];  // by mask index (room for every index the bits can hold)
  bool all_ = true;
  int shift_ = 0;                // bits of the mask index
  int64_t base_ = -1;
  std::size_t blocks_ = 0, skips_ = 0, body_ = 0;
};

// Appends the positions of the row's entries whose mask meets MASK.
void UnpackPositions(std::string_view packed, uint64_t mask, std::vector<uint32_t>& out);

void PutVarint(std::string& out, uint64_t v);
// The bits an index of one of MASKS masks takes.
int index_bits(uint64_t masks);
// Reads a varint at *AT, moving it on; throws std::runtime_error at the end.
uint64_t GetVarint(std::string_view s, std::size_t& at);

}  // namespace stored

// The stored index of one state of one catalogue, shared by every thread
// that reads that state.  Chunks of the order are read when first needed
// and kept; reads need no lock.  What it keeps is charged to the process's
// budget (platform/kept_memory.h): a chunk without room is not kept, and
// the call that wanted it fails (std::runtime_error), so that the search
// reads the tables instead; a whole order without room serves only the
// search that asked for it.
class StoredIndex {
 public:
  // The stored index of DATABASE at STAMP, or null when there is none
  // written at this state (or it cannot be read).
  static std::shared_ptr<StoredIndex> Open(db::Database& database, const db::ContentStamp& stamp);
  ~StoredIndex();

  bool has_postings() const { return postings_; }
  uint32_t positions() const { return positions_; }
  uint32_t ordered() const { return ordered_; }
  // The mask of the pairs a search in GROUP and FIELD (each -1 for any)
  // takes; 0 when no pair fits.
  uint64_t mask(int32_t group, int32_t field) const;

  // The record at position P, and whether positions A < B (both below
  // ordered()) hold the same sort text.  Throws when the chunk cannot be
  // read or belongs to another build.
  int32_t record_at(db::Database& database, uint32_t p);
  bool same_text(db::Database& database, uint32_t a, uint32_t b);

  // The order of all records (record number to rank), read whole once.
  std::shared_ptr<const RecordOrder> whole_order(db::Database& database);
  std::shared_ptr<const RecordOrder> whole_if_ready() const {
    return whole_ready_.load(std::memory_order_acquire) ? whole_ : nullptr;
  }
  // Record numbers of positions, read through the whole order's chunks.
  void records_of(db::Database& database, const std::vector<uint32_t>& ps, std::vector<int32_t>& out);

 private:
  struct Chunk {
    std::vector<int32_t> ids;
    std::vector<uint64_t> starts;
  };
  const Chunk& chunk(db::Database& database, uint32_t c);
  void load_all(db::Database& database);
  std::unique_ptr<Chunk> read_chunk_row(db::Cursor& rows, uint32_t c) const;
  // Charges a chunk read to be kept; throws when there is no room.
  std::size_t charge(const Chunk& chunk);

  KeptBytes kept_;

  int64_t build_ = 0;
  uint32_t positions_ = 0, ordered_ = 0, records_ = 0;
  int64_t absent_rank_ = 0;
  std::string specials_;
  bool postings_ = false;
  std::vector<std::pair<int64_t, int64_t>> combos_;  // by bit
  std::unique_ptr<std::atomic<const Chunk*>[]> chunks_;
  uint32_t chunk_count_ = 0;
  std::mutex whole_mutex_;
  std::atomic<bool> whole_ready_{false};
  std::shared_ptr<const RecordOrder> whole_;
};

// A word's rows of kv_postings read whole, to be kept (kept.h): row R is
// bytes[starts[R], starts[R + 1]), holding positions up to uptos[R].
struct WordRows {
  std::vector<int64_t> uptos;
  std::vector<std::size_t> starts{0};
  std::string bytes;
  std::size_t memory() const { return bytes.size() + uptos.size() * 16 + sizeof(WordRows); }
};
std::unique_ptr<WordRows> ReadWordRows(db::Database& database, int64_t word);

// The positions of one word whose pairs meet a mask, read from kv_postings
// a row at a time, in order.  Of a row only the block that holds the
// position looked for is decoded; a row that does not hold it is passed
// over, and a position far ahead is looked up by the row's key rather than
// reached by reading the rows between.
class PostingCursor {
 public:
  // With KEPT, the word's rows are read from there rather than the table.
  PostingCursor(db::Database& database, int64_t word, uint64_t mask, const WordRows* kept = nullptr);
  // Moves to the first position at or after P (never back); false when
  // there is none.
  bool seek(uint32_t p) {
    // Mostly the position looked for is one of the next few.
    for (std::size_t end = std::min(at_ + 4, n_); at_ < end; ++at_)
      if (got_[at_] >= p) return true;
    return seek_further(p);
  }
  uint32_t current() const { return got_[at_]; }
  int64_t word() const { return word_; }
  bool kept() const { return kept_ != nullptr; }
  // How many rows of the table it has read so far, and whether it has
  // passed the word's last position.
  int rows_read() const { return rows_read_; }
  bool at_end() const { return done_; }

 private:
  bool seek_further(uint32_t p);
  // Reads rows from the one that holds P (or the next), opening the first
  // whose span reaches P; false at the end.
  bool row_for(uint32_t p);
  db::Database& database_;
  int64_t word_;
  uint64_t mask_;
  const WordRows* kept_;
  std::size_t kept_next_ = 0;  // the next kept row to look at
  std::unique_ptr<db::Cursor> rows_;
  bool again_ = true;     // rows_ can be run again with new numbers
  stored::PackedRow row_;      // the row open now
  std::size_t block_ = 0;      // its block decoded into got_
  uint32_t got_[stored::kBlock];  // the block's positions at 0..n_-1
  std::size_t n_ = 0, at_ = 0;
  int64_t upto_ = -1;     // the last position of the rows read so far
  int64_t span_ = 1;      // how many positions the last row read covered
  bool done_ = false;
  int rows_read_ = 0;
};

}  // namespace kvistur
