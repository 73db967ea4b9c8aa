// The search's stored index: data worked out from the catalogue's tables
// by kvistur's own tools (build, generate, index, update; the writer is
// src/import/store/search_index.cpp) and kept beside them in the catalogue, so
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
// The tables and their rows are in docs/stored-index.md and their encoding
// in stored_codec.h.
//
// The stored index is used only when it was written at the stamp the
// catalogue has now (the counters of Móðurtafla and Tengill changes are
// the ones it was written at), in a format this reader knows, with the
// collation the search sorts by now; anything else is read from the
// tables.  A row whose checksum does not match makes the index one that is
// not used any more in this state (damaged(), said once on standard
// error), and the search reads the tables instead.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/engine.h"
#include "platform/kept_memory.h"
#include "search/stored_codec.h"
#include "search/word_file.h"

namespace kvistur {

namespace stored {
// Says LINE on standard error, after "kvistur: " and the catalogue's file,
// once per TOKEN in this process: what a reader found of the data stored
// beside a state (damaged, of a format it does not know).
void SayOnce(const std::string& token, const std::string& line);

// A cursor's row as the codec's readers take it.
struct CursorRow {
  db::Cursor& c;
  bool is_integer(int i) { return c.IsInteger(i); }
  int64_t integer(int i) { return c.Integer(i); }
  std::string_view bytes(int i) { return c.Bytes(i); }
};

// The columns of NAMES (a row's kColumns), each after ALIAS and a point,
// for the engine's dialect.
template <std::size_t N>
Text Columns(const char* const (&names)[N], const char* alias) {
  Text out;
  for (const char* n : names) out += (out.empty() ? u"" : u", ") + from_utf8(alias) + u"." + from_utf8(n);
  return out;
}
}  // namespace stored

class RecordOrder;
class StoredDelta;

// A word that has no rows in kv_postings: the index does not know it (the
// word came after the index was written, or its rows are lost), so its
// records are read from the tables.
struct WordNotIndexed {};

// While it lives, this thread's searches read no word file: a search that
// found damage while it read one is made again without it, to tell the
// file's damage from the catalogue's.
class WithoutWordFile {
 public:
  WithoutWordFile();
  ~WithoutWordFile();
  WithoutWordFile(const WithoutWordFile&) = delete;
  WithoutWordFile& operator=(const WithoutWordFile&) = delete;
};

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
  // written at this state, in this format and with this collation (or its
  // summary is damaged).
  static std::shared_ptr<StoredIndex> Open(db::Database& database, const db::ContentStamp& stamp);
  ~StoredIndex();

  bool has_postings() const { return postings_; }
  uint32_t positions() const { return positions_; }
  uint32_t ordered() const { return ordered_; }
  // Whether base position P is masked out by the delta.
  bool masked(uint32_t p) const;
  int64_t build() const { return meta_.build; }
  // The mask of the pairs a search in GROUP and FIELD (each -1 for any)
  // takes; 0 when no pair fits.
  uint64_t mask(int32_t group, int32_t field) const;

  // The word file written with this index beside the catalogue's file
  // (word_file.h), or null; and whether its words are Orð's at this state.
  // None once the file was found damaged (set_file_damaged), and on a
  // thread while a WithoutWordFile lives.
  stored::WordFile* word_file() const;
  bool vocabulary() const { return vocabulary_ && word_file(); }
  // Leaves the word file aside for this state, its lists read from the
  // catalogue's rows (saying so on standard error once for the state).
  void set_file_damaged(const std::string& what);

  // Whether a row read was found damaged: the index is not used any more.
  bool damaged() const { return damaged_.load(std::memory_order_acquire); }
  // Marks it so (saying so on standard error once for this state in the
  // process).
  void set_damaged(const std::string& what);

  // The record at position P, and whether positions A < B (both below
  // ordered()) hold the same sort text.  Throws stored::Damaged when the
  // chunk is damaged, Error when it cannot be read.
  int32_t record_at(db::Database& database, uint32_t p);
  bool same_text(db::Database& database, uint32_t a, uint32_t b);

  // The order of all records (record number to rank), read whole once.
  std::shared_ptr<const RecordOrder> whole_order(db::Database& database);
  std::shared_ptr<const RecordOrder> whole_if_ready() const {
    return whole_ready_.load(std::memory_order_acquire) ? whole_ : nullptr;
  }
  // Record numbers of positions, read through the whole order's chunks.
  void records_of(db::Database& database, const std::vector<uint32_t>& ps, std::vector<int32_t>& out);

  // What updates changed since the index was written whole, or null
  // (stored_delta.h).
  const StoredDelta* delta() const { return delta_.get(); }
  // The records of WORDS (ascending) in the delta whose (HópID, Orðtag)
  // fit GROUP and FIELD (-1 for any), ascending, each once; HAS[i] tells
  // whether the delta has word i at all.
  std::vector<int32_t> delta_records(db::Database& database, const std::vector<int64_t>& words, int32_t group,
                                     int32_t field, std::vector<bool>& has) const;
  // The key of the stored list of the folded prefix FOLD (kv_prefixes),
  // when it covers exactly WORDS (ascending, each once); otherwise none.
  // Throws stored::Damaged for a row that does not hold.
  std::optional<int64_t> prefix_list(db::Database& database, std::string_view fold,
                                     const std::vector<int64_t>& words) const;

 private:
  using Chunk = stored::OrderChunk;
  const Chunk& chunk(db::Database& database, uint32_t c);
  void load_all(db::Database& database);
  std::unique_ptr<Chunk> read_chunk_row(db::Cursor& rows, uint32_t c) const;
  // Charges a chunk read to be kept; throws when there is no room.
  std::size_t charge(const Chunk& chunk);

  KeptBytes kept_;

  std::string token_;  // the state's stamp, for saying once that it is damaged
  stored::Summary meta_;
  uint32_t positions_ = 0, ordered_ = 0;
  bool postings_ = false;  // and they were written at this state
  std::unique_ptr<std::atomic<const Chunk*>[]> chunks_;
  uint32_t chunk_count_ = 0;
  std::mutex whole_mutex_;
  std::atomic<bool> whole_ready_{false};
  std::shared_ptr<const RecordOrder> whole_;
  std::atomic<bool> damaged_{false};
  std::atomic<bool> file_damaged_{false};
  std::unique_ptr<StoredDelta> delta_;
  std::shared_ptr<stored::WordFile> word_file_;
  bool vocabulary_ = false;
};

// A cursor over HEAD, a list of whole numbers, then TAIL (a query `... IN (`
// NUMBERS `) ...`), one query text for any length, read and prepared once
// per connection: the numbers go as one list in a list's place (`IN (?)`),
// except a single number, which goes as a literal of its own (SQLite looks
// that up directly, where a list costs it a temporary table a run).
std::unique_ptr<db::Cursor> OpenWithList(db::Database& database, const Text& head, const std::vector<int64_t>& numbers,
                                         const Text& tail);

// A word's rows of kv_postings from the one that holds position FROM on, in
// order (PREFIX: the rows of the prefix list keyed WORD, kv_prefix_postings):
// each row's key, bytes and checksum, one query text for every word; null
// for a word that can have no rows (of more than 32 bits).  RowUpto gives
// the upto of the row the cursor is on.
// The rows come from the index's word file when it knows where the word's
// list is.
std::unique_ptr<db::Cursor> WordRowsFrom(db::Database& database, const StoredIndex& index, int64_t word, int64_t from,
                                         bool prefix = false);
int64_t RowUpto(db::Cursor& rows, bool prefix = false);

// A word's rows of kv_postings read whole, to be kept (kept.h): row R is
// bytes[starts[R], starts[R + 1]), holding positions up to uptos[R].  Each
// row's checksum and its place after the row before are checked as it is
// read; its body when a search opens it.
struct WordRows {
  std::vector<int64_t> uptos;
  std::vector<std::size_t> starts{0};
  std::string bytes;
  std::size_t memory() const {
    return bytes.capacity() + (uptos.capacity() + starts.capacity()) * 8 + sizeof(WordRows);
  }
};
// Throws WordNotIndexed for a word without rows (unless OPTIONAL: the
// delta has it), stored::Damaged for rows that do not hold together.
// PREFIX: the rows of the prefix list keyed WORD (kv_prefix_postings).
std::unique_ptr<WordRows> ReadWordRows(db::Database& database, const StoredIndex& index, int64_t word,
                                       bool optional = false, bool prefix = false);

// The positions of one word whose pairs meet a mask, read from kv_postings
// a row at a time, in order.  Of a row only the block that holds the
// position looked for is decoded (after its checksum is checked); a row
// that does not hold it is passed over, and a position far ahead is looked
// up by the row's key rather than reached by reading the rows between.
// The rows read must follow one another (stored::RowChain), so a row lost
// from the table is seen.  Throws WordNotIndexed and stored::Damaged.
class PostingCursor {
 public:
  // With KEPT, the word's rows are read from there rather than the table.
  // OPTIONAL: the word may have no rows (the delta has it), and then has
  // no positions.
  // PREFIX: WORD is the key of a prefix list, read from kv_prefix_postings
  // (a prefix list without rows is damage).
  PostingCursor(db::Database& database, const StoredIndex& index, int64_t word, uint64_t mask,
                const WordRows* kept = nullptr, bool optional = false, bool prefix = false);
  // Moves to the first position at or after P (never back); false when
  // there is none.
  bool seek(uint32_t p) {
    // Mostly the position looked for is one of the next few.
    for (std::size_t end = std::min(at_ + 4, n_); at_ < end; ++at_)
      if (got_[at_] >= p) return true;
    return seek_further(p);
  }
  uint32_t current() const { return got_[at_]; }
  // After a seek that found a position: the decoded block's positions from
  // the current one on, how many they are (at least one), and a move K
  // places on among them (K below that count).
  const uint32_t* rest() const { return got_ + at_; }
  std::size_t rest_size() const { return n_ - at_; }
  void skip(std::size_t k) { at_ += k; }
  // After a seek that found a position: how closely the open row's
  // positions lie, its entries over the positions it spans (a word's last
  // row spans up to the last position).  A word of a few records has one
  // row spanning every position; a common word's first row spans few.
  double density() const;
  int64_t word() const { return word_; }
  bool prefix() const { return prefix_; }
  bool kept() const { return kept_ != nullptr; }
  // How many rows of the table it has read so far, and whether it has
  // come to the word's last row (or passed its last position).
  int rows_read() const { return rows_read_; }
  bool at_last_row() const { return done_ || (upto_ >= 0 && row_.last()); }
  // The word's rows, when this cursor read every one of them (a few) from
  // the table, from the first to the last, each checked; otherwise null.
  std::unique_ptr<WordRows> rows_seen() const;

 private:
  bool seek_further(uint32_t p);
  // Reads rows from the one that holds P (or the next), opening the first
  // whose span reaches P; false at the end.
  bool row_for(uint32_t p);
  // Makes the row just opened, whose key is UPTO, the current one, at P.
  bool open_row(int64_t upto, uint32_t p);
  // Notes the row just opened (UPTO, PACKED) among the rows seen.
  void see_row(int64_t upto, std::string_view packed);
  db::Database& database_;
  const StoredIndex& index_;
  int64_t word_;
  uint64_t mask_;
  const WordRows* kept_;
  bool optional_;
  bool prefix_;
  std::size_t kept_next_ = 0;  // the next kept row to look at
  std::unique_ptr<db::Cursor> rows_;
  bool again_ = true;     // rows_ can be run again with new numbers
  stored::RowChain chain_;
  stored::PackedRow row_;      // the row open now
  std::size_t block_ = 0;      // its block decoded into got_
  uint32_t got_[stored::kBlock];  // the block's positions at 0..n_-1
  std::size_t n_ = 0, at_ = 0;
  int64_t upto_ = -1;     // the last position of the rows read so far
  int64_t span_ = 1;      // how many positions the last row read covered
  bool done_ = false;
  int rows_read_ = 0;
  // The rows read, each opened, from the word's first on without a row
  // passed over (a few at most): to be kept without reading them again.
  // SEEN_ROWS_ is how many, -1 when they are not such rows.
  static constexpr int kSeenRows = 3;
  int seen_rows_ = -1;
  int64_t seen_uptos_[kSeenRows];
  std::size_t seen_ends_[kSeenRows];
  std::string seen_;
};

}  // namespace kvistur
