// The stored index's format (docs/stored-index.md): every table's rows
// encoded and decoded in one place, for the writer (import/store/search_index.cpp),
// the reader (stored_index.cpp, stored_search.cpp) and the check
// (import/store/index_check.cpp); and the rows of the facet data beside it, for
// import/store/facet_writer.cpp and facet_table.cpp.
//
// Every row carries a checksum over its key, its values and the build it
// belongs to, and every decoder checks it before it trusts a byte: a row
// that does not match throws Damaged, and the reader then answers from the
// tables.  Decoders also hold what they read to the bounds of the bytes
// there (positions ascend, counts and lengths fit the bytes, no number
// overflows), so that bytes that are no row of ours give an exception,
// never a read past a buffer.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kvistur::stored {

// The version of the format.  A reader that does not know the version in
// kv_search_meta reads nothing else of the stored index and uses the tables.
inline constexpr int kFormat = 9;

inline constexpr uint32_t kChunk = 480;          // positions per kv_order row: two rows fill a page of 4096 bytes
inline constexpr std::size_t kPackedBytes = 900;  // the most bytes of one kv_postings row
inline constexpr std::size_t kMaxCombos = 64;     // (HópID, Orðtag) pairs: the bits of a mask
// Entries of a kv_postings row are decoded in blocks of this many: a
// position looked for costs the decoding of one block.
inline constexpr std::size_t kBlock = 64;
// The key (upto) of every word's last kv_postings row, above every
// position, so that a look for any position finds at least that row and a
// word whose last row is missing is seen to be damaged.
inline constexpr int64_t kLastRow = int64_t(1) << 32;
// kv_postings is keyed by one whole number, its rowid: the word times 2^32
// plus the row's upto, kLastRow written as 2^32 - 1 (still above every
// position).  A word's rows lie side by side in key order, and the
// table's interior pages hold keys alone, so a row is three pages from the
// root even at millions of words (keyed by the two numbers, without a
// rowid, each interior cell carried a row and the tree was six deep).
// Only a word of 32 bits has rows: an index is written with postings only
// when every word fits.
inline bool KeyedWord(int64_t word) { return word >= INT32_MIN && word <= INT32_MAX; }
inline int64_t PostingKey(int64_t word, int64_t upto) { return word * kLastRow + std::min(upto, kLastRow - 1); }
inline int64_t UptoOfKey(int64_t key) {
  const int64_t upto = key & (kLastRow - 1);
  return upto == kLastRow - 1 ? kLastRow : upto;
}
// The most positions an index holds (positions are kept as 32-bit numbers
// and record numbers as int32).
inline constexpr int64_t kMaxPositions = INT32_MAX;

// Kinds of the records the order cannot place (bits of a specials byte,
// and of a kv_delta row's kind).
inline constexpr uint8_t kNullKey = 1;
inline constexpr uint8_t kUnreadable = 2;
// The other kinds of a kv_delta row: a record number Tengill holds without
// a Móðurtafla row (it sorts as the empty text), one with neither (gone:
// its base position is only masked out), and a record the order places.
inline constexpr uint8_t kNoRow = 4;
inline constexpr uint8_t kGone = 8;
inline constexpr uint8_t kPlaced = 16;

// Bytes or values that are not what the writer wrote.
struct Damaged : std::runtime_error {
  using std::runtime_error::runtime_error;
};
// Damage found in the word file beside the catalogue (word_file.h): the
// file is left aside, the catalogue's own rows stand.
struct WordFileDamaged : Damaged {
  using Damaged::Damaged;
};

// The checksum of a row: 64 bits over the values added, in order.
class Checksum {
 public:
  explicit Checksum(int64_t build) { add(uint64_t(build)); }
  Checksum& add(uint64_t v);
  Checksum& add(std::string_view bytes);
  int64_t value() const;

 private:
  uint64_t h_ = 0x9E3779B97F4A7C15ull;
};

void PutVarint(std::string& out, uint64_t v);
// A signed number as a varint takes it: 2v for v >= 0, -2v - 1 otherwise.
inline uint64_t ZigZag(int64_t v) { return (uint64_t(v) << 1) ^ uint64_t(v >> 63); }
inline int64_t UnZigZag(uint64_t v) { return int64_t(v >> 1) ^ -int64_t(v & 1); }
// Reads a varint at *AT, moving it on; throws Damaged at the end of S or
// for a number longer than 64 bits.
uint64_t GetVarint(std::string_view s, std::size_t& at);

// kv_search_meta: the summary of one index.
struct Summary {
  int64_t format = kFormat;
  int64_t build = 0;
  std::string collator;  // the version of the collation the order was made with
  int64_t positions = 0, ordered = 0, records = 0, absent_rank = 0;
  std::string specials;  // a kind byte per position from ordered up to records
  std::vector<std::pair<int64_t, int64_t>> combos;  // (HópID, Orðtag) by bit
  bool postings = false;
  int64_t built_records = 0, built_links = 0;  // the content stamp's counters when written or updated
  int64_t delta_records = 0, delta_words = 0;  // the rows of kv_delta and kv_delta_postings
  int64_t checksum = 0;

  // The checksum of every value above it.
  int64_t sum() const;
  // Throws Damaged when the checksum or the values do not hold together.
  void check() const;
  static std::string EncodeCombos(const std::vector<std::pair<int64_t, int64_t>>& combos);
  static std::vector<std::pair<int64_t, int64_t>> DecodeCombos(std::string_view bytes);

  // The columns of kv_search_meta, in the order Read takes them.
  static constexpr const char* kColumns[] = {"format",        "build",       "collator",      "positions",
                                             "ordered",       "records",     "absent_rank",   "specials",
                                             "combos",        "postings",    "built_records", "built_links",
                                             "delta_records", "delta_words", "checksum"};
  // The summary from a row of those columns (ROW.integer(i), ROW.bytes(i),
  // ROW.is_integer(i)); Damaged when a number is not one.  The format is
  // read first: a caller looks at it before anything else.
  template <typename Row>
  static Summary Read(Row& row) {
    Summary s;
    for (int i : {0, 1, 3, 4, 5, 6, 9, 10, 11, 12, 13, 14})
      if (!row.is_integer(i)) throw Damaged("kv_search_meta: a number that is not one");
    s.format = row.integer(0);
    s.build = row.integer(1);
    s.collator = std::string(row.bytes(2));
    s.positions = row.integer(3);
    s.ordered = row.integer(4);
    s.records = row.integer(5);
    s.absent_rank = row.integer(6);
    s.specials = std::string(row.bytes(7));
    s.combos = DecodeCombos(row.bytes(8));
    s.postings = row.integer(9) == 1;
    s.built_records = row.integer(10);
    s.built_links = row.integer(11);
    s.delta_records = row.integer(12);
    s.delta_words = row.integer(13);
    s.checksum = row.integer(14);
    return s;
  }
};

// kv_order: the record numbers of positions chunk * kChunk on, and a bit
// per position that starts a new sort text.
struct OrderChunk {
  std::vector<int32_t> ids;
  std::vector<uint64_t> starts;  // bit i % 64 of word i / 64
  bool starts_text(std::size_t i) const { return starts[i / 64] >> (i % 64) & 1; }
};
struct OrderRow {
  std::string ids, starts;
  int64_t checksum = 0;
};
int64_t OrderSum(int64_t build, int64_t chunk, std::string_view ids, std::string_view starts);
// STARTS: the bits of positions FROM.., as OrderChunk keeps them.
OrderRow EncodeOrder(int64_t build, int64_t chunk, std::span<const int32_t> ids, std::span<const uint64_t> starts);
// The row of chunk CHUNK of an index of POSITIONS positions.
OrderChunk DecodeOrder(int64_t build, int64_t chunk, int64_t positions, std::string_view ids, std::string_view starts,
                       int64_t checksum);

// kv_counts: the number of Tengill rows of each position (for an update,
// which must know that it removed every one of a record's rows).
struct CountsRow {
  std::string counts;
  int64_t checksum = 0;
};
CountsRow EncodeCounts(int64_t build, int64_t chunk, std::span<const uint32_t> counts);
std::vector<uint32_t> DecodeCounts(int64_t build, int64_t chunk, int64_t positions, std::string_view counts,
                                   int64_t checksum);

// A (word, HópID, Orðtag) row of Tengill, or with the record in place of
// the word, a word's (record, HópID, Orðtag).
struct Link {
  int64_t a, group, field;
  friend auto operator<=>(const Link&, const Link&) = default;
};
// Links in order, as a blob and back (Damaged on bytes that are not).
std::string EncodeLinks(std::span<const Link> links);
std::vector<Link> DecodeLinks(std::string_view bytes);

// kv_delta: a record an update added, changed or removed since the index
// was written whole.
struct DeltaRecord {
  int64_t id = 0;
  int64_t base = -1;       // its position in the base index, -1 for none
  uint8_t kind = kGone;
  int64_t place = 0;       // kPlaced: the base position it sorts just before (ordered: after all)
  bool equal = false;      // kPlaced: its sort text is the text of that position
  std::string key;         // kPlaced: its sort text's class (search/hits.h, ClassKey)
  std::vector<Link> links; // its rows of Tengill: (word, HópID, Orðtag)
  int64_t checksum = 0;

  int64_t sum(int64_t build) const;
  // Throws Damaged when the checksum or the values do not hold together
  // with the summary.
  void check(const Summary& meta) const;
  static constexpr const char* kColumns[] = {"id", "base", "kind", "place", "equal", "key", "links", "checksum"};
  template <typename Row>
  static DeltaRecord Read(Row& row) {
    DeltaRecord d;
    for (int i : {0, 1, 2, 3, 4, 7})
      if (!row.is_integer(i)) throw Damaged("kv_delta: a number that is not one");
    d.id = row.integer(0);
    d.base = row.integer(1);
    if (row.integer(2) < 0 || row.integer(2) > 255) throw Damaged("kv_delta: a kind that is not one");
    d.kind = uint8_t(row.integer(2));
    d.place = row.integer(3);
    d.equal = row.integer(4) != 0;
    d.key = std::string(row.bytes(5));
    d.links = DecodeLinks(row.bytes(6));
    d.checksum = row.integer(7);
    return d;
  }
};

// kv_delta_postings: a word's (record, HópID, Orðtag) in the records of
// kv_delta.
int64_t DeltaPostingsSum(int64_t build, int64_t word, std::string_view packed);

// kv_postings: one entry of a word's list, a position and the mask of the
// (HópID, Orðtag) pairs it occurs in.
struct Entry {
  uint32_t position;
  uint64_t mask;
};
struct PostingsRow {
  int64_t upto;  // the last position in the row; kLastRow for the word's last row
  std::string packed;
  int64_t checksum = 0;
};
int64_t PostingsSum(int64_t build, int64_t word, int64_t upto, std::string_view packed);
// The checksum of a kv_prefix_postings row (of the list keyed LIST): the
// number 3 first, so that a word's row never passes as a prefix's.
int64_t PrefixPostingsSum(int64_t build, int64_t list, int64_t upto, std::string_view packed);
// A word's entries (ascending, each position once) as its rows, each at most
// kPackedBytes; a word without entries gets one empty row.  PREFIX: the
// rows of the prefix list keyed WORD (their checksums are the prefix's).
std::vector<PostingsRow> EncodePostings(int64_t build, int64_t word, std::span<const Entry> entries,
                                        bool prefix = false);

// kv_prefixes: a prefix of many words' folds whose list (kv_prefix_postings)
// is the union of those words' lists.  Prefixes of kPrefixShortest to
// kPrefixLongest code points that at least kPrefixWords words start with.
inline constexpr std::size_t kPrefixShortest = 3, kPrefixLongest = 4;
inline constexpr std::size_t kPrefixWords = 9;
// A prefix is looked up by a number made from its bytes (PrefixKey), the
// key of its row and of its list's rows.
struct PrefixRow {
  int64_t key = 0;     // PrefixKey(prefix)
  std::string prefix;  // the folded prefix
  int64_t words = 0;   // how many words it covers
  int64_t hash = 0;    // WordsHash of their numbers
  int64_t checksum = 0;
  int64_t sum(int64_t build) const;
};
int64_t PrefixKey(std::string_view prefix);
// A hash of word numbers, ascending and each once.
int64_t WordsHash(std::span<const int64_t> words);
// The first N code points of the UTF-8 text S, or "" when it has fewer.
std::string_view CodePointPrefix(std::string_view s, std::size_t n);
// The number of code points of the UTF-8 text S.
std::size_t CodePoints(std::string_view s);
// The entries alone, packed (the body of a row, without its header).
std::string PackEntries(const Entry* entries, std::size_t n);

// One kv_postings row read back: its header (the upto of the word's row
// before it, whether it is the last) and the positions of the entries
// whose mask meets MASK, a block at a time.  Throws Damaged on bytes that
// are not a row.  The bytes must outlive it.
class PackedRow {
 public:
  // Checks the checksum first.
  // PREFIX: a row of the prefix list keyed WORD.
  void open(int64_t build, int64_t word, int64_t upto, std::string_view packed, int64_t checksum, uint64_t mask,
            bool prefix = false);
  // Without the checksum: for rows checked when they were read.
  void open(std::string_view packed, uint64_t mask);
  // The header alone, for a row passed over: the upto of the row before
  // (-1 for the first) and whether it is the last.
  static std::pair<int64_t, bool> Header(std::string_view packed);
  // The header after the checksum is checked, for a row kept to be opened
  // later (open(PACKED, MASK) reads its body then).
  static std::pair<int64_t, bool> CheckedHeader(int64_t build, int64_t word, int64_t upto, std::string_view packed,
                                                int64_t checksum, bool prefix = false);

  int64_t before() const { return before_; }
  bool last() const { return last_; }
  std::size_t entries() const { return n_; }
  std::size_t blocks() const { return blocks_; }
  // The block that holds the first entry at or after P, if the row has it.
  std::size_t block_for(uint32_t p) const;
  // Block B's positions into OUT (room for kBlock); how many were written.
  std::size_t decode(std::size_t b, uint32_t* out) const;
  // Every entry with its mask (an index no mask has gives the mask 0).
  std::vector<Entry> all_entries() const;
  // The same, appended to OUT (a buffer used again saves its allocations).
  void append_entries(std::vector<Entry>& out) const;

 private:
  void open_body(std::string_view body, uint64_t mask);
  // Calls EACH(position, index of its mask) for every entry of block B;
  // gives EACH back (state kept in it stays in registers while it runs).
  template <typename Each>
  Each walk(std::size_t b, Each each) const;
  int64_t prev(std::size_t b) const;        // the last position before block B
  std::size_t offset(std::size_t b) const;  // where block B starts among the blocks
  std::string_view packed_;
  int64_t before_ = -1;
  bool last_ = false;
  uint64_t n_ = 0, k_ = 1;
  // Whether the entries of each mask index are taken, a bit an index (room
  // for every index the bits can hold): kept small, since a search makes a
  // row reader for every word it reads.
  uint64_t take_[(2 * kPackedBytes + 63) / 64];
  bool takes(uint64_t index) const { return (take_[index >> 6] >> (index & 63)) & 1; }
  std::size_t masks_at_ = 0;  // where the masks start in packed_
  bool all_ = true;
  int shift_ = 0;                // bits of the mask index
  int64_t base_ = -1;
  std::size_t blocks_ = 0, skips_ = 0, body_ = 0;
};

// Appends the positions of an opened row's entries.
void AppendPositions(const PackedRow& row, std::vector<uint32_t>& out);

// Follows one word's rows in key order and says when they do not hold
// together: a row missing between two, before the first read (when the
// rows were read from position FROM on), or after the last read.
class RowChain {
 public:
  // A new read of the word's rows, of those whose key is at least FROM.
  void restart(int64_t from) {
    from_ = from;
    prev_ = kNone;
  }
  // The next row read; throws Damaged when it does not follow.
  void next(int64_t upto, int64_t before, bool last);
  // The rows read came to their end.  False when no row of the word has
  // been read at all (a word the index does not know); throws Damaged when
  // the last row read was not the word's last.
  bool end() const;

 private:
  static constexpr int64_t kNone = INT64_MIN;
  int64_t from_ = 0, prev_ = kNone;
  bool prev_last_ = false, seen_ = false;
};

// The facet data (search/facet_table.h): its own summary and version, so
// that it is read, kept current or worked out again apart from the index.
inline constexpr int64_t kFacetFormat = 3;
// Records and holders of copies are kept by number, a row per 1024
// numbers (row c: numbers c * 1024 to c * 1024 + 1023), so that an update
// rewrites the rows of the numbers it changed and no others.
inline constexpr int kFacetChunkBits = 10;
inline int64_t FacetChunk(int64_t id) { return id >> kFacetChunkBits; }  // floor, for numbers below 0 too
// The most locations the data names; copies elsewhere are counted but
// give no location.
inline constexpr int64_t kMaxFacetPlaces = 4096;
// Bounds of a record's kind and year, and of the copies counted.
inline constexpr uint64_t kFacetKinds = 9, kFacetLastYear = 2999, kFacetMostCopies = UINT16_MAX;

// kv_facet_meta: the summary of the facet data.
struct FacetSummary {
  int64_t format = kFacetFormat;
  int64_t build = 0;
  int64_t records = 0, holders = 0, places = 0;  // the rows' entries and kv_facet_places' rows
  // The content stamp's counters when written or updated.
  int64_t built_records = 0, built_links = 0, built_facts = 0;
  int64_t checksum = 0;

  int64_t sum() const;
  void check() const;
  static constexpr const char* kColumns[] = {"format",        "build",       "records",     "holders",  "places",
                                             "built_records", "built_links", "built_facts", "checksum"};
  static constexpr int kFields = int(std::size(kColumns));
  // The fields in the order of kColumns.
  std::array<int64_t*, kFields> fields() {
    return {&format, &build, &records, &holders, &places, &built_records, &built_links, &built_facts, &checksum};
  }
  template <typename Row>
  static FacetSummary Read(Row& row) {
    FacetSummary s;
    for (int i = 0; i < kFields; ++i)
      if (!row.is_integer(i)) throw Damaged("kv_facet_meta: a number that is not one");
    std::array<int64_t*, kFields> f = s.fields();
    for (int i = 0; i < kFields; ++i) *f[std::size_t(i)] = row.integer(i);
    return s;
  }
};

// One record's entry in kv_facets: its kind and year, and the record
// whose copies are its copies (itself, the record it is part of, or none).
struct FacetRecord {
  int32_t id = 0;
  uint8_t kind = 0;
  uint16_t year = 0;
  bool has_holder = false;
  int32_t holder = 0;
  friend bool operator==(const FacetRecord&, const FacetRecord&) = default;
};
// One holder's entry in kv_facet_copies: its copies and their locations
// (numbers of kv_facet_places, ascending, each once).
struct FacetHolder {
  int32_t id = 0;
  uint32_t copies = 0;
  std::vector<uint16_t> places;
  friend bool operator==(const FacetHolder&, const FacetHolder&) = default;
};
// Which table a facet row is of: part of its checksum.
enum class FacetRowKind : uint8_t { kRecords = 1, kHolders = 2 };
int64_t FacetRowSum(int64_t build, FacetRowKind table, int64_t chunk, std::string_view data);
int64_t FacetPlaceSum(int64_t build, int64_t id, std::string_view name);
// Entries of one chunk, ascending by number.
std::string EncodeFacetRecords(std::span<const FacetRecord> records);
std::string EncodeFacetHolders(std::span<const FacetHolder> holders);
// Damaged when the bytes are not entries of CHUNK as the encoders write
// them, or name a place at or past PLACES.
std::vector<FacetRecord> DecodeFacetRecords(int64_t chunk, std::string_view data);
std::vector<FacetHolder> DecodeFacetHolders(int64_t chunk, std::string_view data, int64_t places);

}  // namespace kvistur::stored
