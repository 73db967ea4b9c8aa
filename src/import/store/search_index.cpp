#include "import/store/search_index.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <functional>
#include <future>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "import/store/indexes.h"
#include "import/store/sqlite_statement.h"
#include "platform/content_stamp.h"
#include "platform/sqlite_functions.h"
#include "search/id_map.h"
#include "search/record_order.h"
#include "search/stored_codec.h"
#include "search/word_file.h"

namespace kvistur::import {

namespace {

// A record's position when none was laid out for it.
constexpr uint32_t kNoPosition = UINT32_MAX;

struct Layout {
  std::vector<int32_t> ids;     // by position
  std::vector<uint64_t> starts;  // a bit per ordered position that starts a text
  uint32_t ordered = 0, records = 0;
  int64_t absent_rank = 0;
  std::string specials;
  IdMap<uint32_t> at;  // record number to position
  std::vector<uint32_t> counts;  // Tengill's rows of each position
};

// The positions of Móðurtafla's records (see stored_index.h), from the
// ranks the search itself would work out.
bool lay_out(RankedRecords r, Layout& out) {
  std::vector<uint32_t> ordered, special;
  for (std::size_t i = 0; i < r.ids.size(); ++i) {
    bool unreadable = std::binary_search(r.unreadable.begin(), r.unreadable.end(), r.ids[i]);
    (r.ranks[i] < 0 || unreadable ? special : ordered).push_back(uint32_t(i));
  }
  std::sort(ordered.begin(), ordered.end(), [&](uint32_t a, uint32_t b) {
    return r.ranks[a] != r.ranks[b] ? r.ranks[a] < r.ranks[b] : r.ids[a] < r.ids[b];
  });
  std::sort(special.begin(), special.end(), [&](uint32_t a, uint32_t b) { return r.ids[a] < r.ids[b]; });
  out.ordered = uint32_t(ordered.size());
  out.records = uint32_t(r.ids.size());
  out.starts.assign((ordered.size() + 63) / 64, 0);
  out.ids.reserve(r.ids.size());
  // Texts are ranked 2, 4, 6, ...; the empty text, when no record has it,
  // takes the odd rank just below the first text that sorts after it.
  int64_t texts = 0;
  bool absent_placed = false;
  for (std::size_t p = 0; p < ordered.size(); ++p) {
    int32_t rank = r.ranks[ordered[p]];
    if (p == 0 || rank != r.ranks[ordered[p - 1]]) {
      ++texts;
      out.starts[p / 64] |= uint64_t(1) << (p % 64);
    }
    if (!absent_placed && rank >= r.absent) {
      out.absent_rank = rank == r.absent ? 2 * texts : 2 * texts - 1;
      absent_placed = true;
    }
    out.ids.push_back(r.ids[ordered[p]]);
  }
  if (!absent_placed) out.absent_rank = 2 * texts + 1;
  if (2 * texts + 1 > INT32_MAX) return false;
  for (uint32_t i : special) {
    out.ids.push_back(r.ids[i]);
    bool unreadable = std::binary_search(r.unreadable.begin(), r.unreadable.end(), r.ids[i]);
    out.specials.push_back(char((r.ranks[i] < 0 ? stored::kNullKey : 0) | (unreadable ? stored::kUnreadable : 0)));
  }
  std::vector<uint32_t> positions(out.ids.size());
  for (std::size_t p = 0; p < positions.size(); ++p) positions[p] = uint32_t(p);
  out.at = IdMap<uint32_t>(out.ids, positions, kNoPosition);
  return true;
}

// Each word's rows of kv_postings from Tengill's rows, given word by word
// (a word's rows in any order), handed on as they are made.  Record
// numbers Tengill holds without a Móðurtafla row get positions after the
// records; every word of Orð gets rows, an empty one when no link has it,
// so that a word without rows is one the index does not know.
class Postings {
 public:
  using Sink = std::function<void(int64_t word, stored::PostingsRow& row)>;
  // WORDS: the integer numbers of Orð's words, ascending, each once.
  Postings(Layout& layout, int64_t build, std::vector<int64_t> words, Sink sink)
      : layout_(layout), build_(build), words_(std::move(words)), sink_(std::move(sink)) {}

  // One row of Tengill.  False, and nothing more to be added, when the
  // index cannot stand for it: a record or word number that is not a
  // 32-bit integer, more pairs of group and field than a mask can hold.
  bool add(int64_t w, int64_t record, int64_t group, int64_t field) {
    if (record < INT32_MIN || record > INT32_MAX || !stored::KeyedWord(w)) return false;
    std::size_t bit = 0;
    while (bit < combos_.size() && (combos_[bit].first != group || combos_[bit].second != field)) ++bit;
    if (bit == combos_.size()) {
      if (combos_.size() == stored::kMaxCombos) return false;
      combos_.emplace_back(group, field);
    }
    uint32_t p = layout_.at.find(int32_t(record));
    if (p == kNoPosition) {
      auto o = orphans_.find(int32_t(record));
      if (o == orphans_.end()) {
        if (layout_.ids.size() >= uint64_t(stored::kMaxPositions)) return false;
        o = orphans_.emplace(int32_t(record), uint32_t(layout_.ids.size())).first;
        layout_.ids.push_back(int32_t(record));
      }
      p = o->second;
    }
    if (layout_.counts.size() < layout_.ids.size()) layout_.counts.resize(layout_.ids.size());
    ++layout_.counts[p];
    if (any_ && w != word_) {
      write_word(word_, entries_);
      entries_.clear();
    }
    if (!any_ || w != word_) empty_words_before(w);
    any_ = true;
    word_ = w;
    entries_.push_back({p, uint64_t(1) << bit});
    return true;
  }

  // The rows of the last word and of Orð's words after it; the (HópID,
  // Orðtag) pairs by bit.
  std::vector<std::pair<int64_t, int64_t>> finish() {
    if (any_) write_word(word_, entries_);
    empty_words_before(INT64_MAX);
    return std::move(combos_);
  }

 private:
  // One word's entries, sorted and each position once, as its rows.
  void write_word(int64_t word, std::vector<stored::Entry>& entries) {
    sort_by_position(entries);
    std::size_t n = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (n > 0 && entries[n - 1].position == entries[i].position) entries[n - 1].mask |= entries[i].mask;
      else entries[n++] = entries[i];
    }
    for (stored::PostingsRow& row : stored::EncodePostings(build_, word, std::span(entries.data(), n))) sink_(word, row);
  }
  // ENTRIES by position.  A common word has hundreds of thousands: those
  // are sorted by the position's bytes, a pass for each byte any of them
  // has (two or three), rather than by comparisons.
  void sort_by_position(std::vector<stored::Entry>& entries) {
    constexpr std::size_t kCompared = 256;
    if (entries.size() <= kCompared) {
      std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.position < b.position; });
      return;
    }
    uint32_t any = 0;
    for (const stored::Entry& e : entries) any |= e.position;
    spare_.resize(entries.size());
    for (int shift = 0; shift < 32 && (any >> shift) != 0; shift += 8) {
      std::size_t at[257] = {};
      for (const stored::Entry& e : entries) ++at[(e.position >> shift & 0xFF) + 1];
      for (int b = 0; b < 256; ++b) at[b + 1] += at[b];
      for (const stored::Entry& e : entries) spare_[at[e.position >> shift & 0xFF]++] = e;
      entries.swap(spare_);
    }
  }
  // The words of Orð before W that no link has.
  void empty_words_before(int64_t w) {
    for (; next_word_ < words_.size() && words_[next_word_] < w; ++next_word_) write_word(words_[next_word_], none_);
    if (next_word_ < words_.size() && words_[next_word_] == w) ++next_word_;
  }

  Layout& layout_;
  int64_t build_;
  std::vector<int64_t> words_;
  Sink sink_;
  std::vector<std::pair<int64_t, int64_t>> combos_;  // by bit, in the order first met
  std::unordered_map<int32_t, uint32_t> orphans_;
  std::size_t next_word_ = 0;
  std::vector<stored::Entry> entries_, none_, spare_;
  int64_t word_ = 0;
  bool any_ = false;
};

// The integer numbers of Orð's words, ascending, each once.
std::vector<int64_t> word_numbers(sqlite3* db) {
  std::vector<int64_t> out;
  SqliteStatement st(db, "SELECT ID FROM Orð WHERE typeof(ID) = 'integer' ORDER BY ID");
  while (st.step()) out.push_back(st.integer(0));
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

// kv_postings, created and filled in key order, many rows to an INSERT:
// SQLite's work per statement is then spent once for them all.
class PostingsTable {
 public:
  static constexpr int kRowsPerInsert = 32;
  // PREFIX: kv_prefix_postings, whose rows are keyed by the prefix list's number.
  explicit PostingsTable(sqlite3* db, bool prefix = false)
      : db_(create(db, prefix)), prefix_(prefix), many_(db, inserts(kRowsPerInsert, prefix)), one_(db, inserts(1, prefix)) {
    rows_.reserve(kRowsPerInsert);
  }
  void add(int64_t word, stored::PostingsRow&& row) {
    rows_.emplace_back(word, std::move(row));
    if (rows_.size() == kRowsPerInsert) flush();
  }
  // Writes the rows added since the last INSERT.
  void flush() {
    SqliteStatement& st = rows_.size() == kRowsPerInsert ? many_ : one_;
    for (std::size_t at = 0; at < rows_.size();) {
      for (int k = 0; k < (&st == &many_ ? kRowsPerInsert : 1); ++k, ++at) {
        const auto& [word, row] = rows_[at];
        if (prefix_) {
          st.bind(4 * k + 1, word).bind(4 * k + 2, row.upto).bind_blob_in_place(4 * k + 3, row.packed);
          st.bind(4 * k + 4, row.checksum);
        } else {
          st.bind(3 * k + 1, stored::PostingKey(word, row.upto)).bind_blob_in_place(3 * k + 2, row.packed);
          st.bind(3 * k + 3, row.checksum);
        }
      }
      st.run();
    }
    rows_.clear();
  }

 private:
  static sqlite3* create(sqlite3* db, bool prefix) {
    ExecSql(db, prefix ? "CREATE TABLE kv_prefix_postings (list INTEGER NOT NULL, upto INTEGER NOT NULL, packed BLOB NOT "
                         "NULL, checksum INTEGER NOT NULL, PRIMARY KEY (list, upto)) WITHOUT ROWID;"
                       : "CREATE TABLE kv_postings (key INTEGER PRIMARY KEY, packed BLOB NOT NULL, checksum INTEGER NOT "
                         "NULL);");
    return db;
  }
  static std::string inserts(int rows, bool prefix) {
    std::string sql = prefix ? "INSERT INTO kv_prefix_postings (list, upto, packed, checksum) VALUES (?, ?, ?, ?)"
                             : "INSERT INTO kv_postings (key, packed, checksum) VALUES (?, ?, ?)";
    for (int i = 1; i < rows; ++i) sql += prefix ? ", (?, ?, ?, ?)" : ", (?, ?, ?)";
    return sql;
  }
  sqlite3* db_;
  bool prefix_;
  SqliteStatement many_, one_;
  std::vector<std::pair<int64_t, stored::PostingsRow>> rows_;
};

// kv_prefixes and kv_prefix_postings: for each prefix of kPrefixShortest
// to kPrefixLongest code points that at least kPrefixWords words' folds
// start with, the union of those words' entries, each position's mask the
// OR of theirs (a position a truncated term restricted to some pairs takes
// when any of its words occurs there with one of them).
struct PrefixLists {
  std::vector<stored::PrefixRow> prefixes;                     // by prefix
  std::vector<std::pair<int64_t, stored::PostingsRow>> rows;   // each list's in order
  // The lists whose words are exactly those Orð's pattern of the prefix
  // and `*` finds, with those words, for the word file.
  std::vector<stored::FilePrefix> file;
};

// FOLDS: (fold, word) of every word of Orð with an integer number; WORDS:
// kv_postings' rows in key order; POSITIONS: the positions of the index.
PrefixLists make_prefix_lists(int64_t build, std::size_t positions, std::vector<std::pair<std::string_view, int64_t>> folds,
                              const std::vector<std::pair<int64_t, stored::PostingsRow>>& words) {
  PrefixLists out;
  // In the order of their first kPrefixLongest code points' bytes (at most
  // 16, as two numbers), which puts the words of each prefix side by side.
  {
    struct Keyed {
      uint64_t hi, lo;
      std::size_t at;
    };
    std::vector<Keyed> keyed(folds.size());
    for (std::size_t i = 0; i < folds.size(); ++i) {
      std::string_view f = folds[i].first;
      std::string_view p = stored::CodePointPrefix(f, stored::kPrefixLongest);
      if (p.empty()) p = f;  // shorter: the whole fold
      unsigned char b[16] = {};
      std::copy_n(p.data(), std::min<std::size_t>(p.size(), 16), b);
      uint64_t hi = 0, lo = 0;
      for (int k = 0; k < 8; ++k) hi = hi << 8 | b[k];
      for (int k = 8; k < 16; ++k) lo = lo << 8 | b[k];
      keyed[i] = {hi, lo, i};
    }
    std::sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
      return a.hi != b.hi ? a.hi < b.hi : a.lo != b.lo ? a.lo < b.lo : a.at < b.at;
    });
    std::vector<std::pair<std::string_view, int64_t>> sorted(folds.size());
    for (std::size_t i = 0; i < keyed.size(); ++i) sorted[i] = folds[keyed[i].at];
    folds.swap(sorted);
  }
  // The union being made: the masks by position, a bit for each position
  // with entries (by 64), and the 64s with any, in the order first met.
  std::vector<uint64_t> masks(positions, 0), seen((positions + 63) / 64, 0);
  std::vector<uint32_t> touched;
  std::vector<stored::Entry> entries, read;  // the list; a row of a word's
  std::vector<int64_t> ids;
  std::unordered_set<int64_t> keys;
  stored::PackedRow row;
  auto add_entry = [&](const stored::Entry& e) {
    if (e.position >= positions) throw std::runtime_error("a position out of range");
    masks[e.position] |= e.mask;
    uint64_t& bits = seen[e.position / 64];
    if (bits == 0) touched.push_back(e.position / 64);
    bits |= uint64_t(1) << (e.position % 64);
  };
  auto add_word = [&](int64_t w) {
    auto at = std::lower_bound(words.begin(), words.end(), w, [](const auto& r, int64_t x) { return r.first < x; });
    for (; at != words.end() && at->first == w; ++at) {
      row.open(at->second.packed, ~uint64_t(0));
      read.clear();
      row.append_entries(read);
      for (const stored::Entry& e : read) add_entry(e);
    }
  };
  // The list of PREFIX, the prefix of the words of FOLDS[from, to): its
  // row in OUT.prefixes (the index it has there), or none when its words
  // are too few or another prefix has its key (the first to come has it).
  constexpr std::size_t kNoList = std::size_t(-1);
  auto new_list = [&](std::string_view prefix, std::size_t from, std::size_t to) {
    ids.clear();
    for (std::size_t i = from; i < to; ++i) ids.push_back(folds[i].second);
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    if (ids.size() < stored::kPrefixWords) return kNoList;
    const int64_t key = stored::PrefixKey(prefix);
    if (!keys.insert(key).second) return kNoList;
    stored::PrefixRow r;
    r.key = key;
    r.prefix = std::string(prefix);
    r.words = int64_t(ids.size());
    r.hash = stored::WordsHash(ids);
    r.checksum = r.sum(build);
    out.prefixes.push_back(std::move(r));
    // The pattern finds the folds from the prefix up to its upper bound
    // (the prefix and U+10FFFF): all of the run but a fold that goes on
    // with that code point, which only the file would then leave out.
    const std::string bound = db::prefix_upper_bound(std::string(prefix));
    if (std::none_of(folds.begin() + std::ptrdiff_t(from), folds.begin() + std::ptrdiff_t(to),
                     [&](const auto& f) { return f.first >= bound; }))
      out.file.push_back({key, std::string(prefix), ids});
    return out.prefixes.size() - 1;
  };
  // A longer prefix's list as made, for the shorter prefix it starts with:
  // the words it covers are not read again, its entries are.
  struct Made {
    std::size_t from, to;
    std::vector<stored::Entry> entries;
  };
  // ENTRIES: the union of the entries of the words of FOLDS[from, to), the
  // lists in PARTS (within the range, in its order) standing for theirs.
  auto make_union = [&](std::size_t from, std::size_t to, const std::vector<Made>& parts) {
    touched.clear();
    std::size_t i = from;
    for (const Made& m : parts) {
      for (; i < m.from; ++i) add_word(folds[i].second);
      for (const stored::Entry& e : m.entries) add_entry(e);
      i = m.to;
    }
    for (; i < to; ++i) add_word(folds[i].second);
    // The positions in order from the bits: those of every 64 when many
    // have some (a pass over them costs less than sorting), else of the
    // 64s met, sorted.
    entries.clear();
    auto take = [&](std::size_t at) {
      for (uint64_t bits = seen[at]; bits != 0; bits &= bits - 1) {
        const uint32_t p = uint32_t(at * 64 + std::size_t(std::countr_zero(bits)));
        entries.push_back({p, masks[p]});
        masks[p] = 0;
      }
      seen[at] = 0;
    };
    if (touched.size() > seen.size() / 16) {
      for (std::size_t at = 0; at < seen.size(); ++at)
        if (seen[at] != 0) take(at);
    } else {
      std::sort(touched.begin(), touched.end());
      for (uint32_t at : touched) take(at);
    }
  };
  // The runs of folds with one prefix of N code points within [FROM, TO),
  // a prefix's key taken before those of the longer ones it starts (the
  // order of the texts), its list made after theirs, from theirs; each
  // list made is added to MADE when given.
  std::function<void(std::size_t, std::size_t, std::size_t, std::vector<Made>*)> runs =
      [&](std::size_t n, std::size_t from, std::size_t to, std::vector<Made>* made) {
        for (std::size_t i = from; i < to;) {
          std::string_view p = stored::CodePointPrefix(folds[i].first, n);
          std::size_t j = i + 1;
          if (p.empty()) {
            ++i;
            continue;
          }
          while (j < to && folds[j].first.substr(0, p.size()) == p) ++j;
          if (j - i >= stored::kPrefixWords) {
            const std::size_t list = new_list(p, i, j);
            std::vector<Made> parts;
            if (n < stored::kPrefixLongest) runs(n + 1, i, j, list == kNoList ? nullptr : &parts);
            if (list != kNoList) {
              make_union(i, j, parts);
              const int64_t key = out.prefixes[list].key;
              for (stored::PostingsRow& r : stored::EncodePostings(build, key, entries, true))
                out.rows.emplace_back(key, std::move(r));
              if (made) made->push_back({i, j, std::move(entries)});  // ENTRIES is made anew for each list
            }
          }
          i = j;
        }
      };
  runs(stored::kPrefixShortest, 0, folds.size(), nullptr);
  // Written in key order (each list's rows stay in theirs).
  std::stable_sort(out.rows.begin(), out.rows.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  return out;
}

void write_prefix_lists(sqlite3* db, const PrefixLists& lists) {
  ExecSql(db, "CREATE TABLE kv_prefixes (key INTEGER PRIMARY KEY, prefix BLOB NOT NULL, words INTEGER NOT NULL, "
              "hash INTEGER NOT NULL, checksum INTEGER NOT NULL);");
  SqliteStatement insert(db, "INSERT INTO kv_prefixes (key, prefix, words, hash, checksum) VALUES (?, ?, ?, ?, ?)");
  for (const stored::PrefixRow& r : lists.prefixes)
    insert.bind(1, r.key).bind_blob(2, r.prefix).bind(3, r.words).bind(4, r.hash).bind(5, r.checksum).run();
  PostingsTable table(db, true);
  for (const auto& [list, row] : lists.rows) table.add(list, stored::PostingsRow(row));
  table.flush();
}

// Each word's positions from Tengill into kv_postings (and a copy of its
// rows into COPY, for the prefix lists).  False (with nothing kept) when
// Tengill or Orð holds a number that is not a 32-bit integer or Tengill
// more pairs of group and field than a mask can hold.
bool write_postings(sqlite3* db, Layout& layout, int64_t build, std::vector<std::pair<int64_t, int64_t>>& pairs,
                    std::vector<std::pair<int64_t, stored::PostingsRow>>& copy) {
  std::vector<int64_t> words = word_numbers(db);  // ascending
  if (!words.empty() && (!stored::KeyedWord(words.front()) || !stored::KeyedWord(words.back()))) return false;
  PostingsTable table(db);
  Postings postings(layout, build, std::move(words), [&](int64_t word, stored::PostingsRow& row) {
    copy.emplace_back(word, row);
    table.add(word, std::move(row));
  });
  SqliteStatement rows(db, "SELECT OrðID, FærsluID, HópID, Orðtag FROM Tengill ORDER BY OrðID");
  while (rows.step()) {
    for (int i = 0; i < 4; ++i)
      if (!rows.is_integer(i)) return false;
    if (!postings.add(rows.integer(0), rows.integer(1), rows.integer(2), rows.integer(3))) return false;
  }
  pairs = postings.finish();
  table.flush();
  return true;
}

// The number of Tengill's rows of each position, in chunks as the order's.
std::vector<stored::CountsRow> encode_counts(Layout& layout, int64_t build) {
  std::vector<stored::CountsRow> out;
  layout.counts.resize(layout.ids.size());
  for (std::size_t from = 0, c = 0; from < layout.counts.size(); from += stored::kChunk, ++c) {
    std::size_t len = std::min<std::size_t>(stored::kChunk, layout.counts.size() - from);
    out.push_back(stored::EncodeCounts(build, int64_t(c), std::span(layout.counts.data() + from, len)));
  }
  return out;
}

void write_counts(sqlite3* db, const std::vector<stored::CountsRow>& rows) {
  ExecSql(db, "CREATE TABLE kv_counts (chunk INTEGER PRIMARY KEY, counts BLOB NOT NULL, checksum INTEGER NOT NULL);");
  SqliteStatement insert(db, "INSERT INTO kv_counts (chunk, counts, checksum) VALUES (?, ?, ?)");
  for (std::size_t c = 0; c < rows.size(); ++c)
    insert.bind(1, int64_t(c)).bind_blob(2, rows[c].counts).bind(3, rows[c].checksum).run();
}

// Updates write beside the index what they change (index_delta.h); they
// need the counts, and the lists to change.
void create_delta(sqlite3* db) {
  ExecSql(db,
          "CREATE TABLE kv_delta (id INTEGER PRIMARY KEY, base INTEGER NOT NULL, kind INTEGER NOT NULL, place INTEGER "
          "NOT NULL, equal INTEGER NOT NULL, key BLOB NOT NULL, links BLOB NOT NULL, checksum INTEGER NOT NULL);"
          "CREATE TABLE kv_delta_postings (word INTEGER PRIMARY KEY, packed BLOB NOT NULL, checksum INTEGER NOT NULL);");
}

std::vector<stored::OrderRow> encode_order(const Layout& layout, int64_t build) {
  std::vector<stored::OrderRow> out;
  const std::size_t n = layout.ids.size();
  std::vector<uint64_t> starts;
  for (std::size_t from = 0, c = 0; from < n; from += stored::kChunk, ++c) {
    std::size_t len = std::min<std::size_t>(stored::kChunk, n - from);
    starts.assign((len + 63) / 64, 0);
    for (std::size_t i = 0; i < len; ++i) {
      std::size_t p = from + i;
      if (p < layout.ordered && (layout.starts[p / 64] >> (p % 64) & 1)) starts[i / 64] |= uint64_t(1) << (i % 64);
    }
    out.push_back(stored::EncodeOrder(build, int64_t(c), std::span(layout.ids.data() + from, len), starts));
  }
  return out;
}

void write_order(sqlite3* db, const std::vector<stored::OrderRow>& rows) {
  ExecSql(db, "CREATE TABLE kv_order (chunk INTEGER PRIMARY KEY, ids BLOB NOT NULL, starts BLOB NOT NULL, "
              "checksum INTEGER NOT NULL);");
  SqliteStatement insert(db, "INSERT INTO kv_order (chunk, ids, starts, checksum) VALUES (?, ?, ?, ?)");
  for (std::size_t c = 0; c < rows.size(); ++c)
    insert.bind(1, int64_t(c)).bind_blob(2, rows[c].ids).bind_blob(3, rows[c].starts).bind(4, rows[c].checksum).run();
}

// Clears what an earlier writing left; false when the catalogue has no
// tables to index (the stamp is then not installed either).
bool start_index(sqlite3* db) {
  ExecSql(db,
          "DROP TABLE IF EXISTS kv_search_meta; DROP TABLE IF EXISTS kv_order; DROP TABLE IF EXISTS kv_postings;"
          "DROP TABLE IF EXISTS kv_combos; DROP TABLE IF EXISTS kv_counts; DROP TABLE IF EXISTS kv_delta;"
          "DROP TABLE IF EXISTS kv_delta_postings; DROP TABLE IF EXISTS kv_prefixes; DROP TABLE IF EXISTS kv_prefix_postings;");
  if (!HasTable(db, "Móðurtafla") || !HasTable(db, "Tengill") || !HasTable(db, "Orð")) return false;
  db::InstallContentStamp(db);
  return true;
}

// kv_search_meta, from what the other tables were written with.
void write_meta(sqlite3* db, stored::Summary& meta, const Layout& layout) {
  std::optional<db::StampCounters> stamp = db::ReadStampCounters(db);
  if (!stamp) throw std::runtime_error("the content stamp has no row");
  meta.built_records = stamp->records;
  meta.built_links = stamp->links;
  meta.positions = int64_t(layout.ids.size());
  meta.ordered = layout.ordered;
  meta.records = layout.records;
  meta.absent_rank = layout.absent_rank;
  meta.specials = layout.specials;
  ExecSql(db,
          "CREATE TABLE kv_search_meta (format INTEGER, build INTEGER, collator TEXT, positions INTEGER, ordered INTEGER, "
          "records INTEGER, absent_rank INTEGER, specials BLOB, combos BLOB, postings INTEGER, built_records INTEGER, "
          "built_links INTEGER, delta_records INTEGER, delta_words INTEGER, checksum INTEGER);");
  WriteSummary(db, meta);
}

}  // namespace

bool ReadRanks(sqlite3* db, RankedRecords& out) {
  try {
    RecordRows rows;
    SqliteStatement st(db, "SELECT ID, Röðunarsvið, Einkennisstrengur, Tag FROM Móðurtafla");
    while (st.step())
      rows.add(db::column_variant(st.get(), 0), db::column_variant(st.get(), 1), sqlite3_column_type(st.get(), 2) == SQLITE_NULL,
               db::column_variant(st.get(), 3));
    out = rows.finish();
    return true;
  } catch (const std::exception&) {
    return false;  // a record number twice or held as text, a sort text the order cannot class, no such column
  }
}

std::vector<std::pair<std::string, int64_t>> WordFolds(sqlite3* db) {
  std::vector<std::pair<std::string, int64_t>> out;
  SqliteStatement st(db, "SELECT kv_fold(Orð), ID FROM Orð WHERE typeof(ID) = 'integer' AND Orð IS NOT NULL");
  while (st.step()) out.emplace_back(st.text(0), st.integer(1));
  return out;
}

int64_t StoredFormat(sqlite3* db) {
  if (!HasTable(db, "kv_search_meta")) return -1;
  SqliteStatement format(db, "SELECT format FROM kv_search_meta");
  return format.step() && format.is_integer(0) ? format.integer(0) : -1;
}

stored::Summary ReadSummary(sqlite3* db) {
  std::string columns;
  for (const char* c : stored::Summary::kColumns) columns += (columns.empty() ? "" : ", ") + std::string(c);
  SqliteStatement row(db, "SELECT " + columns + " FROM kv_search_meta");
  if (!row.step()) throw stored::Damaged("kv_search_meta: no row");
  stored::Summary meta = stored::Summary::Read(row);
  meta.check();
  if (row.step()) throw stored::Damaged("kv_search_meta: more than one row");
  return meta;
}

void WriteSummary(sqlite3* db, stored::Summary& meta) {
  meta.checksum = meta.sum();
  ExecSql(db, "DELETE FROM kv_search_meta");
  SqliteStatement insert(db, "INSERT INTO kv_search_meta VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  insert.bind(1, meta.format).bind(2, meta.build).bind(3, meta.collator).bind(4, meta.positions).bind(5, meta.ordered);
  insert.bind(6, meta.records).bind(7, meta.absent_rank).bind_blob(8, meta.specials);
  insert.bind_blob(9, stored::Summary::EncodeCombos(meta.combos)).bind(10, meta.postings ? 1 : 0);
  insert.bind(11, meta.built_records).bind(12, meta.built_links).bind(13, meta.delta_records).bind(14, meta.delta_words);
  insert.bind(15, meta.checksum).run();
}

// The word file beside DB's file (search/word_file.h), for the index
// BUILD written in this transaction: written and renamed into place
// before the transaction commits, so that a file of another writing is
// there only after a crash or a rollback, and its build then tells it
// apart.
// Where DB's word file goes and the words counter it is written for:
// nothing for a database in memory.
std::optional<std::pair<std::string, int64_t>> word_file_target(sqlite3* db) {
  const char* file = sqlite3_db_filename(db, "main");
  if (!file || !*file) return std::nullopt;
  std::optional<db::StampCounters> stamp = db::ReadStampCounters(db);
  if (!stamp) throw std::runtime_error("the content stamp has no row");
  return std::make_pair(std::string(file), stamp->words);
}

void write_word_file(sqlite3* db, int64_t build, const std::vector<std::pair<int64_t, stored::PostingsRow>>& rows,
                     std::vector<std::pair<std::string_view, int64_t>> folds, const PrefixLists& prefixes,
                     const std::vector<stored::OrderRow>& order) {
  if (auto target = word_file_target(db))
    stored::WriteWordFile(target->first, build, target->second, rows, std::move(folds), prefixes.file, prefixes.rows,
                          order);
}

// An index without lists has no word file: an older one goes.
void remove_word_file(sqlite3* db) {
  const char* file = sqlite3_db_filename(db, "main");
  if (file && *file) ::unlink(stored::WordFileOf(file).c_str());
}

void WriteSearchIndex(sqlite3* db) {
  if (!start_index(db)) return;
  Layout layout;
  RankedRecords ranks;
  if (!ReadRanks(db, ranks) || !lay_out(std::move(ranks), layout)) return;  // the stamp alone: readers share what they work out
  stored::Summary meta;
  meta.build = db::RandomInstance();
  meta.collator = collation_version();
  ExecSql(db, "SAVEPOINT kv_postings");
  std::vector<std::pair<int64_t, stored::PostingsRow>> rows;
  meta.postings = write_postings(db, layout, meta.build, meta.combos, rows);
  if (!meta.postings) {
    ExecSql(db, "ROLLBACK TO kv_postings");
    layout.ids.resize(layout.records);  // no positions for Tengill's numbers
    meta.combos.clear();
  }
  ExecSql(db, "RELEASE kv_postings");
  const std::vector<stored::OrderRow> order = encode_order(layout, meta.build);
  if (meta.postings) {
    write_counts(db, encode_counts(layout, meta.build));
    create_delta(db);
    std::vector<std::pair<std::string, int64_t>> folds = WordFolds(db);
    std::vector<std::pair<std::string_view, int64_t>> views(folds.begin(), folds.end());
    const PrefixLists prefixes = make_prefix_lists(meta.build, layout.ids.size(), views, rows);
    write_prefix_lists(db, prefixes);
    // The vocabulary stands for Orð only when every word's number is an
    // integer (a term that finds another kind is read from the tables).
    SqliteStatement odd(db, "SELECT EXISTS (SELECT 1 FROM Orð WHERE typeof(ID) <> 'integer')");
    if (!odd.step() || odd.integer(0) != 0) views.clear();
    write_word_file(db, meta.build, rows, std::move(views), prefixes, order);
  } else {
    remove_word_file(db);
  }
  write_order(db, order);
  write_meta(db, meta, layout);
}

class PreparedSearchIndex {
 public:
  bool laid_out = false;
  Layout layout;
  int64_t build = 0;
  bool postings = false;
  std::vector<std::pair<int64_t, int64_t>> combos;
  std::vector<std::pair<int64_t, stored::PostingsRow>> words;  // kv_postings' rows in key order
  std::vector<stored::CountsRow> counts;
  std::vector<stored::OrderRow> order;
  PrefixLists prefixes;
  // The folds of words 1 to N, one after another, for the word file.
  std::string folds;
  std::vector<std::size_t> fold_ends;
};

void PreparedSearchIndexDeleter::operator()(PreparedSearchIndex* p) const { delete p; }

PreparedIndex PrepareSearchIndex(const std::function<void(::kvistur::RecordRows&)>& records, int32_t words,
                                 std::span<const WordLink> links, std::span<const std::string_view> folds) {
  PreparedIndex out(new PreparedSearchIndex);
  PreparedSearchIndex& x = *out;
  RankedRecords ranks;
  try {
    RecordRows rows;
    records(rows);
    ranks = rows.finish();
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception&) {
    return out;  // as ReadRanks: rows the order cannot class
  }
  if (!lay_out(std::move(ranks), x.layout)) return out;
  x.laid_out = true;
  x.build = db::RandomInstance();
  std::vector<int64_t> numbers(std::size_t(std::max(words, 0)));
  for (std::size_t i = 0; i < numbers.size(); ++i) numbers[i] = int64_t(i) + 1;
  Postings postings(x.layout, x.build, std::move(numbers),
                    [&](int64_t word, stored::PostingsRow& row) { x.words.emplace_back(word, std::move(row)); });
  x.postings = true;
  for (const WordLink& l : links)
    if (!postings.add(l.word, l.record, l.group, l.field)) {
      x.postings = false;
      break;
    }
  if (x.postings) {
    x.combos = postings.finish();
    x.counts = encode_counts(x.layout, x.build);
    std::vector<std::pair<std::string_view, int64_t>> by_fold;
    by_fold.reserve(folds.size());
    for (std::size_t i = 0; i < folds.size(); ++i) by_fold.emplace_back(folds[i], int64_t(i) + 1);
    x.prefixes = make_prefix_lists(x.build, x.layout.ids.size(), std::move(by_fold), x.words);
    std::size_t bytes = 0;
    for (std::string_view f : folds) bytes += f.size();
    x.folds.reserve(bytes);
    x.fold_ends.reserve(folds.size());
    for (std::string_view f : folds) {
      x.folds += f;
      x.fold_ends.push_back(x.folds.size());
    }
  } else {
    std::vector<std::pair<int64_t, stored::PostingsRow>>().swap(x.words);
    x.layout.ids.resize(x.layout.records);
  }
  x.order = encode_order(x.layout, x.build);
  return out;
}

void WriteSearchIndex(sqlite3* db, const PreparedSearchIndex& x, const std::function<void(sqlite3*)>& also) {
  if (!start_index(db) || !x.laid_out) {
    if (also) also(db);
    return;
  }
  stored::Summary meta;
  meta.build = x.build;
  meta.collator = collation_version();
  meta.postings = x.postings;
  // The word file is a file of its own, written from X alone: on another
  // thread while this one writes the tables (a second or more at a million
  // records).  Waited for however this ends, before X can go.
  std::future<void> word_file;
  if (!x.postings) {
    remove_word_file(db);
  } else if (auto target = word_file_target(db)) {
    word_file = std::async(std::launch::async, [&x, target = std::move(*target)] {
      std::vector<std::pair<std::string_view, int64_t>> folds;
      folds.reserve(x.fold_ends.size());
      for (std::size_t i = 0, start = 0; i < x.fold_ends.size(); start = x.fold_ends[i++])
        folds.emplace_back(std::string_view(x.folds).substr(start, x.fold_ends[i] - start), int64_t(i) + 1);
      stored::WriteWordFile(target.first, x.build, target.second, x.words, std::move(folds), x.prefixes.file,
                            x.prefixes.rows, x.order);
    });
  }
  if (x.postings) {
    meta.combos = x.combos;
    PostingsTable table(db);
    for (const auto& [word, row] : x.words) table.add(word, stored::PostingsRow(row));
    table.flush();
    write_counts(db, x.counts);
    create_delta(db);
    write_prefix_lists(db, x.prefixes);
  }
  write_order(db, x.order);
  write_meta(db, meta, x.layout);
  if (also) also(db);
  if (word_file.valid()) word_file.get();
}

}  // namespace kvistur::import
