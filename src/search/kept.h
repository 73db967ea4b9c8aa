// What the search keeps of one state of a catalogue: the stored index
// written at that state (if any), the order of all records, the term
// lists, the words of terms and the rows of words asked for again, and how
// many hits have been read one by one.
//
// When the catalogue has a content stamp (platform/content_stamp.h; made by
// kvistur build, generate, index and update), what is kept belongs to the
// stamp's token and is shared by every thread of the process that reads
// that state: a server with many threads works out and holds the order of
// all records once.  The token names everything that decides an answer:
// the file, or the server, database and schema; the role that reads it;
// and the state.  The process lists the states in use (up to kMaxStates);
// a new state of a catalogue lets its older ones go, whoever read them.
// Each thread remembers (without holding it) the state it used last, so a
// search finds it again without taking a lock.  Without a stamp nothing can
// be shared safely: what is kept then lives with the thread's connection,
// in the engine's slot for derived data, and is let go when another
// connection commits.
//
// Everything kept is charged to the process's one budget
// (platform/kept_memory.h).  When a charge does not fit, the states used
// least recently give way: a listed one stops being listed (and goes when
// the last search holding it ends), and its term lists go at once.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/engine.h"
#include "platform/kept_memory.h"
#include "search/once_table.h"
#include "search/record_order.h"
#include "search/stored_index.h"
#include "search/term_lists.h"

namespace kvistur {

class KeptSearch {
 public:
  static constexpr std::size_t kMaxStates = 64;

  // What is kept for DATABASE as this call reads it (found or made).
  static std::shared_ptr<KeptSearch> For(db::Database& database);

  explicit KeptSearch(db::ContentStamp stamp) : stamp_(std::move(stamp)) {}
  const db::ContentStamp& stamp() const { return stamp_; }
  bool shared() const { return !stamp_.token.empty(); }

  // The stored index written at this state, or null (also once a row of
  // it was found damaged).
  StoredIndex* stored() const { return stored_ && !stored_->damaged() ? stored_.get() : nullptr; }
  TermLists& term_lists() { return term_lists_; }
  // Kept for the stored index: the words of a term (by the term's text)
  // once it is asked for, and a word's rows (by its number) once they are
  // asked for a second time.  A term's words take about as many bytes as
  // the note of its text that a second time needs: keeping them at once
  // spares a search of terms that earlier searches had (a search made
  // narrower or wider by a word) their lookups in Orð.
  static constexpr std::size_t kMaxTermWordBytes = std::size_t(8) << 20;
  static constexpr std::size_t kMaxWordRowBytes = std::size_t(64) << 20;
  OnceTable<std::vector<int64_t>>& term_words() { return term_words_; }
  OnceTable<WordRows>& word_rows() { return word_rows_; }

  // The order of all records when it is at hand (null otherwise).  With
  // M hits to sort, it is read or worked out now when that is worth it:
  // reading the stored order costs about as much as reading one record in
  // 500 one by one, working it out from the table about as much as one in
  // four.  So it is made ready when this search alone would read that
  // many one by one, or when the searches of this state have read that
  // many between them (so reading one by one never costs more than twice
  // what making it ready at once would have).  Null also when it cannot be
  // made, or kept (the search then reads the hits one by one).
  std::shared_ptr<const RecordOrder> order(db::Database& database, int32_t m);
  // The order if it is ready, without making it.
  std::shared_ptr<const RecordOrder> order_if_ready() const;

  // What other parts of the search work out from this state (the facets'
  // table, the words suggestions are made from), by KEY: the one kept,
  // else MAKE's, kept when MAKE says it was read at this state and its
  // bytes fit the budget.  Made by one thread at a time.  VERSION is what
  // else it depends on that the state's token does not count (the facets:
  // the stamp's facts): one kept at another version is made again, and the
  // new one takes its place.
  struct Extra {
    std::shared_ptr<const void> value;
    std::size_t bytes = 0;
    bool keep = true;
  };
  std::shared_ptr<const void> extra(const std::string& key, const std::function<Extra()>& make, int64_t version = 0);

  // Lets go at once of what can go while searches still hold the state
  // (its term lists).
  void shed() { term_lists_.clear(); }
  // When the state was last asked for (a count of the process's asks).
  uint64_t last_used() const { return last_used_.load(std::memory_order_relaxed); }
  void touch();

 private:
  static std::shared_ptr<KeptSearch> find_or_make(db::Database& database);
  static std::shared_ptr<KeptSearch> kept_with_connection(db::Database& database, const db::ContentStamp& stamp);
  // Charges the object itself; false when there is no room to keep it.
  bool charge_self();
  // Whether M hits, with those read one by one so far, reach ENOUGH; when
  // not, they are counted.
  bool worth_making(int32_t m, double enough);
  // The highest record number (asked once per state), -1 when it cannot be.
  double records(db::Database& database);

  db::ContentStamp stamp_;
  KeptBytes kept_;
  std::atomic<uint64_t> last_used_{0};
  std::shared_ptr<StoredIndex> stored_;
  TermLists term_lists_;
  OnceTable<std::vector<int64_t>> term_words_{kMaxTermWordBytes, 1};
  OnceTable<WordRows> word_rows_{kMaxWordRowBytes};
  std::mutex order_mutex_;
  std::atomic<bool> order_tried_{false};
  std::shared_ptr<const RecordOrder> order_;
  std::atomic<int64_t> read_one_by_one_{0};
  std::atomic<int64_t> highest_{-1};  // the highest record number, -1 before it is asked
  std::mutex extras_mutex_;
  struct KeptExtra {
    std::string key;
    int64_t version;
    std::shared_ptr<const void> value;
    std::size_t bytes;
  };
  std::vector<KeptExtra> extras_;
  KeptBytes extras_kept_;
};

}  // namespace kvistur
