// The word file: the stored index's word lists, the folds of Orð's words
// and the order's chunks, written beside a catalogue file (FILE-words) each
// time the stored index is written whole, so that a search finds a word's
// records, and the record at each of their places, without running an SQL
// statement: the words of a term are found by the hash of their fold, and
// their lists and the chunks of the order read with pread.  SQLite's statement
// machinery is most of what a first search costs when other work has
// emptied the processor's caches (docs/benchmarks.md).
//
// The file is an accelerator: kv_postings stays in the catalogue, and a
// catalogue without the file (copied without it, or on a server) reads its
// lists from there.  It is written under a temporary name and renamed over
// the old one before the writing's transaction commits; it names the
// stored index's build, so a file of another writing (a crash between the
// rename and the commit, a catalogue copied over another) is never used.
// Every byte a reader trusts is under a checksum: the header, each
// bucket of the vocabulary, each row of a list (the row's kv_postings
// checksum), each chunk of the order (its kv_order checksum); a file that does not hold throws stored::Damaged, and the
// search then reads the tables, as for a damaged row of kv_postings.  It
// is read with pread, never mapped: a read error stays an error.
//
// The vocabulary is Orð's words as they were when the file was written
// (kv_state.words); a state whose counter has moved on looks its words up
// in Orð.  The lists are the base's: an update that writes a delta leaves
// them right (its delta masks records out of them, as out of kv_postings).
//
// The layout is in docs/stored-index.md.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/engine.h"
#include "platform/kept_memory.h"
#include "search/stored_codec.h"

namespace kvistur::stored {

// The word file of the catalogue in DATABASE_FILE (the file itself, as
// SQLite names it, not a link to it): its name and this suffix.
inline constexpr char kWordFileSuffix[] = "-words";
std::string WordFileOf(const std::string& database_file);

// A prefix list as the word file keeps it: its key (kv_prefixes), its
// prefix, and the words a pattern of the prefix and `*` finds in Orð.
struct FilePrefix {
  int64_t key = 0;
  std::string prefix;
  std::vector<int64_t> words;  // ascending
};

// Writes the word file of DATABASE_FILE for the stored index BUILD: ROWS
// are kv_postings' rows in key order (word, row); FOLDS the (fold, word)
// of every word of Orð with a text, or none when some word's number is
// not an integer (the file then has no vocabulary, and no prefixes);
// PREFIXES the prefix lists whose words are those of their pattern, with
// PREFIX_ROWS their rows of kv_prefix_postings in key order (list, row);
// WORDS_COUNTER is kv_state.words at the writing; ORDER the rows of
// kv_order, chunk by chunk (none: the file has no order).  On an error the
// file is not there (nor any older one), and the search reads kv_postings;
// says why on standard error.
void WriteWordFile(const std::string& database_file, int64_t build, int64_t words_counter,
                   const std::vector<std::pair<int64_t, PostingsRow>>& rows,
                   std::vector<std::pair<std::string_view, int64_t>> folds, const std::vector<FilePrefix>& prefixes = {},
                   const std::vector<std::pair<int64_t, PostingsRow>>& prefix_rows = {},
                   const std::vector<OrderRow>& order = {});

// A word file opened for reading, shared by every state of the catalogue
// that has the stored index it was written with (an update that writes a
// delta keeps the index, and with it the file).
class WordFile : public std::enable_shared_from_this<WordFile> {
 public:
  // The file of DATABASE_FILE written with the stored index BUILD, or null
  // when there is none of that build (a damaged header is said once on
  // standard error).  A file already open for that build is shared.
  static std::shared_ptr<WordFile> Open(const std::string& database_file, int64_t build);
  ~WordFile();
  WordFile(const WordFile&) = delete;
  WordFile& operator=(const WordFile&) = delete;

  // Whether its vocabulary is Orð's words at the state whose kv_state.words
  // is WORDS_COUNTER.
  bool vocabulary_at(int64_t words_counter) const { return buckets_ > 0 && words_counter == words_counter_; }
  // The numbers of the words whose fold is FOLD, ascending, each once; the
  // file remembers where their lists are.  Throws Damaged.
  std::vector<int64_t> words(std::string_view fold);
  // WORD's rows whose keys lie from FROM to TO (kv_postings' keys), as
  // WordRowsFrom's cursor gives them (key, packed, checksum); null when
  // the file does not know where WORD's list is (words() has not found
  // it).  Reading throws Damaged.
  std::unique_ptr<db::Cursor> rows(int64_t word, int64_t from, int64_t to);

  // A list's place: its row table at OFFSET, ROWS rows, BYTES in all.
  struct List {
    uint64_t offset = 0;
    uint32_t rows = 0;
    uint64_t bytes = 0;
  };
  // The prefix list of the fold FOLD (of kPrefixShortest to kPrefixLongest
  // code points): its key, its words (those whose folds Orð's pattern of
  // the prefix and `*` finds, when the vocabulary is at the state) and
  // its list; none when the file has no list of that prefix.  The file
  // remembers where the list is.  Throws Damaged.
  struct Prefix {
    int64_t key = 0;
    std::vector<int64_t> words;
    List list;
  };
  std::optional<Prefix> prefix(std::string_view fold);
  // The rows of the prefix list KEY from position FROM on, as WordRowsFrom
  // gives a prefix list's (upto, packed, checksum); null when the file does
  // not know where that list is (prefix() has not found it).
  std::unique_ptr<db::Cursor> prefix_rows(int64_t key, int64_t from);
  // The key of the prefix list of FOLD that prefix() has found, when its
  // words are WORDS; none when it has not found it or they differ.
  std::optional<int64_t> found_prefix(std::string_view fold, std::span<const int64_t> words);

  // The words of a prefix of kPrefixShortest to kPrefixLongest code points
  // that has no list in the file: those whose folds begin with FOLD (the
  // words Orð's pattern of the prefix and `*` finds, when the vocabulary
  // is at the state), ascending; the file remembers where their lists are.
  // None when the file does not know the prefix (no fold begins with it,
  // it has a list, or the file is of an earlier format).  Throws Damaged.
  std::optional<std::vector<int64_t>> prefix_words(std::string_view fold);
  // Each such prefix with each of its words and that word's list, bucket
  // by bucket, each bucket's checksum checked (for the check); throws
  // Damaged at the first that does not hold.
  void WalkPrefixWords(const std::function<void(std::string_view prefix, int64_t word, const List& list)>& each) const;
  // Every fold of the vocabulary with each of its words and that word's
  // list, bucket by bucket, each bucket's checksum checked (for the check);
  // throws Damaged at the first that does not hold.
  void Walk(const std::function<void(std::string_view fold, int64_t word, const List& list)>& each) const;
  // Every prefix list, bucket by bucket, as Walk; throws Damaged.
  void WalkPrefixes(const std::function<void(const std::string& prefix, const Prefix& list)>& each) const;
  // The rows of WORD's list at LIST, as rows() gives them.
  std::unique_ptr<db::Cursor> ListRows(int64_t word, const List& list, int64_t from, int64_t to) const;
  // The rows of the prefix list KEY at LIST, as prefix_rows() gives them.
  std::unique_ptr<db::Cursor> PrefixListRows(int64_t key, const List& list, int64_t from) const;
  uint64_t buckets() const { return buckets_; }
  uint64_t prefix_buckets() const { return prefix_buckets_; }
  int64_t words_counter() const { return words_counter_; }

  // The positions of the order the file holds (0: it holds none, as a
  // file of an earlier format).
  uint32_t order_positions() const { return order_positions_; }
  uint64_t order_offset() const { return order_offset_; }
  // Chunk C of the order as kv_order's row has it (ids, starts, checksum),
  // unchecked; none when the file holds no order or no such chunk.
  // Throws Damaged when it cannot be read.
  std::optional<OrderRow> order_row(uint32_t c) const;
  // Chunk C of an index of POSITIONS positions, its checksum checked; none
  // when the file holds no order of POSITIONS positions.  Throws
  // WordFileDamaged when it does not hold.
  std::optional<OrderChunk> order_chunk(uint32_t c, uint32_t positions) const;

  // Reads N bytes at OFFSET into OUT; Damaged on a short read or an error.
  void read(uint64_t offset, char* out, std::size_t n) const;
  int64_t build() const { return build_; }

 private:
  WordFile() = default;
  // The kinds of buckets: of folds, of prefixes with lists, of the words
  // of prefixes without.
  enum Kind { kFolds, kPrefixes, kPrefixWords };
  // Bucket B of KIND, its bytes from START to END, read into BUFFER and its
  // checksum checked: its entries.
  std::string_view bucket(uint64_t b, uint64_t start, uint64_t end, std::string& buffer, Kind kind) const;
  // Each word of a fold's or a prefix's ENTRY with its list, in order, to
  // EACH; Damaged when there are none, they are not ascending, or bytes
  // follow them.
  template <class Each>
  void entry_words(std::string_view entry, Each&& each) const;
  // The words of a fold's or a prefix's ENTRY, their lists remembered.
  std::vector<int64_t> take_words(std::string_view entry);
  // Bucket B of the prefixes (KIND kPrefixes or kPrefixWords), found in
  // its table, read into BUFFER and checked.
  std::string_view bucket(Kind kind, uint64_t b, std::string& buffer) const;
  // The word at AT of a fold's words, and its list, within the file's lists.
  std::pair<int64_t, List> entry_word(std::string_view entry, std::size_t& at) const;
  // A list's place at AT of an entry, within the file's lists.
  List entry_list(std::string_view entry, std::size_t& at) const;
  // The prefix list of the entry ENTRY (after its prefix).
  Prefix entry_prefix(std::string_view entry) const;
  int fd_ = -1;
  int64_t build_ = 0;
  int64_t words_counter_ = 0;
  uint64_t buckets_ = 0;
  uint64_t table_ = 0;  // the buckets' offsets
  uint64_t prefix_buckets_ = 0;
  uint64_t prefix_table_ = 0;  // the prefix buckets' offsets
  uint64_t size_ = 0;
  uint64_t order_offset_ = 0;  // where the order's chunks start
  uint32_t order_positions_ = 0;
  uint64_t prefix_word_buckets_ = 0;
  uint64_t prefix_word_table_ = 0;  // the table of the buckets of prefixes' words
  std::mutex mutex_;
  std::unordered_map<int64_t, List> known_;  // lists found through words()
  // The prefix lists found through prefix(), by key: the prefix, its
  // words' count and hash (WordsHash), and the list.
  struct KnownPrefix {
    std::string prefix;
    std::size_t words = 0;
    int64_t hash = 0;
    List list;
  };
  std::unordered_map<int64_t, KnownPrefix> known_prefixes_;
  // Where each bucket starts, read whole at the first look for a word (and
  // charged to the process's budget); without room, each look reads its
  // bucket's two numbers.
  std::once_flag table_once_;
  std::vector<uint64_t> starts_;
  KeptBytes kept_;
};

}  // namespace kvistur::stored
