#include "search/stored_search.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <iterator>
#include <numeric>
#include <stdexcept>

#include "platform/sqlite_functions.h"
#include "search/stored_delta.h"

namespace kvistur {

namespace {

// A term answered through the stored index cannot be answered (and the
// caller goes the usual way) when a word's number is not an integer: the
// join compares it with Tengill's numbers in ways a list cannot stand for.
struct NotAnswerable {};

// Whether TERM is looked up as a Like pattern (a `*` at either end) rather
// than as a word.
bool is_pattern(const Text& term) { return !term.empty() && (term.front() == u'*' || term.back() == u'*'); }

// The rows of Orð a term's condition finds.  A word, and a pattern that
// is a text followed by one `*`, are looked up through a query of the same
// text for every term, the term its literal; any other term (a pattern of
// another form, or a term the condition's quotes cannot hold) through its
// condition as written.
std::unique_ptr<db::Cursor> open_term_words(db::Database& database, const Text& term) {
  if (term.find(u'\'') == Text::npos) {
    try {
      return database.OpenCursorWith(is_pattern(term) ? u"SELECT O0.ID FROM Orð AS O0 WHERE (((O0.Orð) Like 'x*'))"
                                                      : u"SELECT O0.ID FROM Orð AS O0 WHERE (((O0.Orð) = ''))",
                                     {term});
    } catch (const Error& e) {
      if (e.number() != 3251) throw;
    }
  }
  return database.OpenCursor(u"SELECT O0.ID FROM Orð AS O0 WHERE " + TermCondition(term));
}

// Whether TERM's text goes to SQLite as the same UTF-8 as to_utf8 makes of
// it: no unpaired surrogate, no NUL.
bool plain_text(const Text& term) {
  for (std::size_t i = 0; i < term.size(); ++i) {
    const char16_t c = term[i];
    if (c == 0 || (c >= 0xDC00 && c <= 0xDFFF)) return false;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 == term.size() || term[i + 1] < 0xDC00 || term[i + 1] > 0xDFFF) return false;
      ++i;
    }
  }
  return true;
}

// The fold of the prefix of TERM, when the term is a text followed by one
// `*` and its fold is of a length the index keeps prefix lists of.
std::optional<std::string> prefix_fold(const Text& term) {
  if (term.size() < 2 || term.back() != u'*') return std::nullopt;
  const Text start = term.substr(0, term.size() - 1);
  if (start.find_first_of(u"*?#[") != Text::npos) return std::nullopt;
  std::string fold = db::fold_utf8(to_utf8(start));
  const std::size_t points = stored::CodePoints(fold);
  if (points < stored::kPrefixShortest || points > stored::kPrefixLongest) return std::nullopt;
  return fold;
}

// The words a term's condition finds, each once: a word (not a pattern)
// from the word file's vocabulary when it holds Orð's words at this state
// (the condition compares the folds of the two texts), and a prefix and
// `*` from the file's list of the prefix or, for a prefix without one,
// its words there (the pattern finds the words whose folds begin with the
// prefix's fold, which the file's entry was made of); otherwise from Orð.
std::vector<int64_t> term_words(db::Database& database, const StoredIndex& index, const Text& term) {
  if (index.vocabulary() && plain_text(term)) {
    if (!is_pattern(term)) return index.word_file()->words(db::fold_utf8(to_utf8(term)));
    if (std::optional<std::string> fold = prefix_fold(term)) {
      if (std::optional<stored::WordFile::Prefix> p = index.word_file()->prefix(*fold)) return std::move(p->words);
      if (std::optional<std::vector<int64_t>> words = index.word_file()->prefix_words(*fold)) return std::move(*words);
    }
  }
  auto rows = open_term_words(database, term);
  std::vector<int64_t> words;
  while (rows->Next()) {
    if (!rows->IsInteger(0)) throw NotAnswerable{};
    words.push_back(rows->Integer(0));
  }
  std::sort(words.begin(), words.end());
  words.erase(std::unique(words.begin(), words.end()), words.end());
  return words;
}

// The key of the stored prefix list of TERM, when the term is a text
// followed by one `*` whose fold is a prefix the index keeps a list of, and
// the list covers exactly WORDS, the words the term's condition found (an
// update that added or removed a word of the prefix, or changed one's
// text, makes them differ: the term is then read word by word).
std::optional<int64_t> prefix_list(db::Database& database, const StoredIndex& index, const Text& term,
                                   const std::vector<int64_t>& words) {
  if (words.size() < stored::kPrefixWords) return std::nullopt;
  std::optional<std::string> fold = prefix_fold(term);
  return fold ? index.prefix_list(database, *fold, words) : std::nullopt;
}

// Every position of the prefix list keyed KEY whose pairs meet MASK,
// ascending, without those the delta masks out.
std::vector<uint32_t> prefix_positions(db::Database& database, StoredIndex& index, int64_t key, uint64_t mask) {
  std::vector<uint32_t> out;
  std::unique_ptr<WordRows> rows = ReadWordRows(database, index, key, false, true);
  stored::PackedRow row;
  for (std::size_t r = 0; r < rows->uptos.size(); ++r) {
    row.open(std::string_view(rows->bytes).substr(rows->starts[r], rows->starts[r + 1] - rows->starts[r]), mask);
    stored::AppendPositions(row, out);
  }
  if (index.delta()) out.erase(std::remove_if(out.begin(), out.end(), [&](uint32_t p) { return index.masked(p); }), out.end());
  return out;
}

// Every position of the words whose pairs meet MASK, ascending, each once,
// without those the delta masks out.  Each word's rows are checked and
// must hold together; a word without rows cannot be answered from the
// index, unless the delta has it (IN_DELTA).  Many positions are put in
// order through a bit per position, few by sorting them.
std::vector<uint32_t> all_positions(db::Database& database, StoredIndex& index, const std::vector<int64_t>& words,
                                    uint64_t mask, const std::vector<bool>& in_delta) {
  std::vector<uint32_t> out;
  stored::PackedRow row;
  // Each word's rows in turn, by the range of its keys.
  for (std::size_t w = 0; w < words.size(); ++w) {
    const int64_t word = words[w];
    auto rows = WordRowsFrom(database, index, word, 0);
    stored::RowChain chain;
    while (rows && rows->Next()) {
      const int64_t upto = RowUpto(*rows);
      row.open(index.build(), word, upto, rows->Bytes(1), rows->IsInteger(2) ? rows->Integer(2) : 0, mask);
      chain.next(upto, row.before(), row.last());
      stored::AppendPositions(row, out);
    }
    if (!chain.end() && !in_delta[w]) throw WordNotIndexed{};
  }
  if (index.delta()) out.erase(std::remove_if(out.begin(), out.end(), [&](uint32_t p) { return index.masked(p); }), out.end());
  if (std::adjacent_find(out.begin(), out.end(), std::greater_equal<uint32_t>()) == out.end())
    return out;  // ascending and each once already (one word's rows, in order)
  // A bit per position costs a pass over positions / 64 words (about
  // positions / 4 instructions), sorting N positions about 4 N log N: the
  // bits cost less from about positions / 128 on (callgrind).
  if (out.size() > index.positions() / 128) {
    std::vector<uint64_t> bits((std::size_t(index.positions()) + 63) / 64, 0);
    for (uint32_t p : out) {
      if (p >= index.positions()) throw stored::Damaged("kv_postings: a position out of range");
      bits[p / 64] |= uint64_t(1) << (p % 64);
    }
    out.clear();
    for (std::size_t w = 0; w < bits.size(); ++w)
      for (uint64_t b = bits[w]; b; b &= b - 1) out.push_back(uint32_t(w * 64 + std::size_t(__builtin_ctzll(b))));
    return out;
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

// The positions of one term, ascending, read as they are needed.
class TermStream {
 public:
  virtual ~TermStream() = default;
  // Moves to the first position at or after P; false when there is none.
  virtual bool seek(uint32_t p) = 0;
  virtual uint32_t current() const = 0;
  // The word cursors it reads through (none for positions read whole).
  virtual std::vector<const PostingCursor*> cursors() const { return {}; }
  // The one word's cursor, when the term is one word read as needed.
  virtual PostingCursor* single_cursor() { return nullptr; }
};

// Positions read whole (kept as numbers, below 2^31).
class ListStream : public TermStream {
 public:
  explicit ListStream(RecordNumbers ps) : keep_(std::move(ps)), ps_(*keep_) {}
  bool seek(uint32_t p) override {
    const int32_t want = int32_t(p);
    if (at_ >= ps_.size() || ps_[at_] >= want) return at_ < ps_.size();
    // Steps that double from where the last look ended, then a binary
    // search within the last step.
    std::size_t lo = at_, step = 1, hi = at_ + 1;
    while (hi < ps_.size() && ps_[hi] < want) {
      lo = hi;
      step *= 2;
      hi += step;
    }
    hi = std::min(hi, ps_.size());
    at_ = std::size_t(std::lower_bound(ps_.begin() + std::ptrdiff_t(lo), ps_.begin() + std::ptrdiff_t(hi), want) -
                      ps_.begin());
    return at_ < ps_.size();
  }
  uint32_t current() const override { return uint32_t(ps_[at_]); }

 private:
  RecordNumbers keep_;
  const std::vector<int32_t>& ps_;
  std::size_t at_ = 0;
};

// A few words read side by side.
class WordsStream : public TermStream {
 public:
  WordsStream(db::Database& database, const StoredIndex& index, const std::vector<int64_t>& words, uint64_t mask,
              const std::vector<const WordRows*>& kept, const std::vector<bool>& in_delta) {
    for (std::size_t i = 0; i < words.size(); ++i) {
      all_.push_back(std::make_unique<PostingCursor>(database, index, words[i], mask, kept[i], in_delta[i]));
      cursors_.push_back(all_.back().get());
    }
  }
  bool seek(uint32_t p) override {
    bool any = false;
    for (std::size_t i = 0; i < cursors_.size();) {
      PostingCursor& c = *cursors_[i];
      if (!c.seek(p)) {
        cursors_.erase(cursors_.begin() + std::ptrdiff_t(i));
        continue;
      }
      if (!any || c.current() < current_) current_ = c.current();
      any = true;
      ++i;
    }
    return any;
  }
  uint32_t current() const override { return current_; }
  std::vector<const PostingCursor*> cursors() const override {
    std::vector<const PostingCursor*> out;
    for (const auto& c : all_) out.push_back(c.get());
    return out;
  }

 private:
  std::vector<std::unique_ptr<PostingCursor>> all_;
  std::vector<PostingCursor*> cursors_;  // those not at their end
  uint32_t current_ = 0;
};

// One word, read as it is needed.
class WordStream : public TermStream {
 public:
  // PREFIX: WORD is the key of a prefix list.
  WordStream(db::Database& database, const StoredIndex& index, int64_t word, uint64_t mask, const WordRows* kept,
             bool in_delta, bool prefix = false)
      : cursor_(database, index, word, mask, kept, in_delta, prefix) {}
  bool seek(uint32_t p) override { return cursor_.seek(p); }
  uint32_t current() const override { return cursor_.current(); }
  std::vector<const PostingCursor*> cursors() const override { return {&cursor_}; }
  PostingCursor* single_cursor() override { return &cursor_; }

 private:
  PostingCursor cursor_;
};

// Moves two words' cursors on to the first position at or after CANDIDATE
// that both have, and leaves it in CANDIDATE; false when one ends.  The
// decoded blocks are run through side by side, a position a step, so that
// two common words that seldom meet cost a comparison a position rather
// than a seek.
bool agree_two(PostingCursor& a, PostingCursor& b, uint32_t& candidate) {
  if (!a.seek(candidate) || !b.seek(candidate)) return false;
  for (;;) {
    const uint32_t *pa = a.rest(), *pb = b.rest();
    const std::size_t na = a.rest_size(), nb = b.rest_size();
    std::size_t i = 0, j = 0;
    while (i < na && j < nb) {
      const uint32_t x = pa[i], y = pb[j];
      if (x == y) {
        a.skip(i);
        b.skip(j);
        candidate = x;
        return true;
      }
      i += x < y;
      j += y < x;
    }
    // One block is passed: its cursor moves on to the other's position.
    if (i == na) {
      b.skip(j);
      if (!a.seek(pb[j])) return false;
    } else {
      a.skip(i);
      if (!b.seek(pa[i])) return false;
    }
  }
}

// Moves the streams (SEEK(t, p), CURRENT(t)) on to the first position at
// or after CANDIDATE that every one has, and leaves it in CANDIDATE; false
// when a stream ends.  ORDER (the streams' numbers, kept from one call to
// the next) is the order they are asked in: the first gives the candidate,
// the others move to it in turn, and one that lands beyond it gives the
// next candidate and goes to the front.  So the streams that seldom have
// the candidate are asked first, and a common one is moved only when the
// rarer ones agree: a move far into a common word's list is what a search
// of a rare and a common word costs most.
template <typename Seek, typename Current>
bool agree_from(std::vector<std::size_t>& order, uint32_t& candidate, Seek&& seek, Current&& current) {
  if (!seek(order[0], candidate)) return false;
  candidate = current(order[0]);
  for (std::size_t i = 1; i < order.size();) {
    const std::size_t t = order[i];
    if (!seek(t, candidate)) return false;
    const uint32_t c = current(t);
    if (c == candidate) {
      ++i;
      continue;
    }
    candidate = c;
    for (std::size_t j = i; j > 0; --j) order[j] = order[j - 1];
    order[0] = t;
    i = 1;
  }
  return true;
}

// Up to this many words are read side by side; a term of more words (a
// truncated term) has its positions read whole.
constexpr std::size_t kSideBySide = 8;

// The key of a word's kept rows (PREFIX: of the prefix list keyed WORD),
// the one a search finds them by and the one it keeps them under.
std::string rows_key(int64_t word, bool prefix = false) { return (prefix ? "prefix " : "") + std::to_string(word); }

}  // namespace

namespace {

// The rows of words whose lists this search looked far into (more than a
// few rows) or followed to their last row, read whole to be kept (or taken
// as the search read them, when it read every one), the second time that
// happens: later searches then look into them without reading the table.
// (A list of which only the first rows were needed is not kept; a list of
// a row or two, all of which were needed, is.)
void keep_rows_sought(db::Database& database, const StoredIndex& index,
                      const std::vector<std::unique_ptr<TermStream>>& streams, KeptSearch& kept, FirstHits& out) {
  constexpr int kFar = 3;
  for (const auto& stream : streams)
    for (const PostingCursor* c : stream->cursors()) {
      if (c->kept() || (c->rows_read() < kFar && !c->at_last_row())) continue;
      std::string key = rows_key(c->word(), c->prefix());
      if (!kept.word_rows().note_use(key)) continue;
      std::shared_ptr<WordRows> read = c->rows_seen();
      if (!read) read = ReadWordRows(database, index, c->word(), index.delta() != nullptr && !c->prefix(), c->prefix());
      std::size_t bytes = read->memory();
      out.to_keep.push_back([&kept, key, read, bytes] {
        kept.word_rows().keep(key, std::make_unique<const WordRows>(std::move(*read)), bytes);
      });
    }
}

}  // namespace

Text TermCondition(const Text& term) {
  return is_pattern(term) ? u"(((O0.Orð) Like '" + term + u"'))" : u"(((O0.Orð) = '" + term + u"'))";
}

Text PositionsKey(const Text& term, int32_t group, int32_t field) {
  return u"positions " + from_utf8(std::to_string(group)) + u" " + from_utf8(std::to_string(field)) + u" " + term;
}

namespace {

FirstHits first_hits(db::Database& database, StoredIndex& index, const std::vector<Text>& terms, int32_t group,
                     int32_t field, int32_t max, KeptSearch* kept) {
  FirstHits out;
  const uint64_t mask = index.mask(group, field);
  // Every term's words first, as every term's query runs first.
  std::vector<std::vector<int64_t>> words;
  for (const Text& t : terms) {
    std::string key = to_utf8(t);
    const std::vector<int64_t>* known = kept ? kept->term_words().find(key) : nullptr;
    if (known) {
      words.push_back(*known);
      continue;
    }
    words.push_back(term_words(database, index, t));
    if (kept && kept->term_words().note_use(key))
      out.to_keep.push_back([kept, key, w = words.back()] {
        kept->term_words().keep(key, std::make_unique<const std::vector<int64_t>>(w), key.size() + w.size() * 8 + 64);
      });
  }
  out.outcome = FirstHits::kFound;
  if (max == 0) return out;
  for (const auto& w : words)
    if (w.empty()) return out;

  // The records of the delta that have every term, in order; the words
  // it has may have no rows in the base.
  const StoredDelta* delta = index.delta();
  std::vector<std::vector<bool>> in_delta(words.size());
  std::vector<const StoredDelta::Record*> delta_hits;
  if (delta) {
    std::vector<int32_t> ids;
    for (std::size_t i = 0; i < words.size(); ++i) {
      std::vector<int32_t> these = index.delta_records(database, words[i], group, field, in_delta[i]);
      if (i > 0) {
        std::vector<int32_t> both;
        std::set_intersection(ids.begin(), ids.end(), these.begin(), these.end(), std::back_inserter(both));
        these.swap(both);
      }
      ids.swap(these);
    }
    for (int32_t id : ids) {
      const StoredDelta::Record* r = delta->find(id);
      // A record the order cannot place: every hit must be read the usual way.
      if (r->kind != stored::kPlaced) {
        out.outcome = FirstHits::kSortEveryHit;
        return out;
      }
      delta_hits.push_back(r);
    }
    std::sort(delta_hits.begin(), delta_hits.end(), [](auto* a, auto* b) { return a->rank < b->rank; });
  } else {
    for (std::size_t i = 0; i < words.size(); ++i) in_delta[i].assign(words[i].size(), false);
  }

  const std::size_t want = std::size_t(max) + 1;
  std::vector<uint32_t> hits;
  std::vector<std::unique_ptr<TermStream>> streams;
  if (mask != 0) {
    for (std::size_t i = 0; i < words.size(); ++i) {
      const auto& w = words[i];
      if (w.size() <= kSideBySide) {
        std::vector<const WordRows*> rows;
        for (int64_t word : w) rows.push_back(kept ? kept->word_rows().find(rows_key(word)) : nullptr);
        if (w.size() == 1) streams.push_back(std::make_unique<WordStream>(database, index, w[0], mask, rows[0], in_delta[i][0]));
        else streams.push_back(std::make_unique<WordsStream>(database, index, w, mask, rows, in_delta[i]));
      } else {
        Text key = PositionsKey(terms[i], group, field);
        RecordNumbers ps = kept ? kept->term_lists().find(key) : nullptr;
        std::optional<int64_t> list;
        if (!ps) list = prefix_list(database, index, terms[i], w);
        // The prefix's own list, read as it is needed; the second time
        // the term is searched for in this group and field, read whole
        // and kept as the term's places, as a term of many words is.
        if (list && kept && kept->word_rows().note_use("prefix places " + to_utf8(key))) {
          const std::vector<uint32_t> got = prefix_positions(database, index, *list, mask);
          ps = std::make_shared<const std::vector<int32_t>>(got.begin(), got.end());
          out.to_keep.push_back([kept, key, ps] { kept->term_lists().keep(key, ps); });
        } else if (list) {
          streams.push_back(std::make_unique<WordStream>(
              database, index, *list, mask, kept ? kept->word_rows().find(rows_key(*list, true)) : nullptr, false, true));
        } else if (!ps) {
          // Copied in one allocation (a prefix's positions can be many).
          const std::vector<uint32_t> got = all_positions(database, index, w, mask, in_delta[i]);
          ps = std::make_shared<const std::vector<int32_t>>(got.begin(), got.end());
          out.to_keep.push_back([kept, key, ps] {
            if (kept) kept->term_lists().keep(key, ps);
          });
        }
        if (ps) streams.push_back(std::make_unique<ListStream>(ps));
      }
    }

    // The positions every term has, in order.  Where every term is one
    // word, its cursor is moved directly: two very common words that
    // seldom meet take millions of steps, and a call through the stream
    // a step was most of their cost.
    const std::size_t n = streams.size();
    std::vector<PostingCursor*> direct;
    for (const auto& stream : streams) direct.push_back(stream->single_cursor());
    const bool all_direct = std::find(direct.begin(), direct.end(), nullptr) == direct.end();
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t(0));
    // Three words or more are asked rarest first.  A common word asked at
    // each position of a rarer one reads a row for most of them; asked
    // only where the rarer words agree, it reads few.  Each word's first
    // row, which its first seek reads in any case, tells how closely its
    // positions lie.
    if (all_direct && n > 2) {
      std::vector<double> density(n);
      bool every = true;
      for (std::size_t t = 0; t < n && every; ++t) {
        every = direct[t]->seek(0);
        if (every) density[t] = direct[t]->density();
      }
      if (every)
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return density[a] < density[b]; });
    }
    uint32_t p = 0;
    bool past_ordered = false;
    for (;;) {
      uint32_t candidate = p;
      const bool found =
          all_direct && n == 2 ? agree_two(*direct[0], *direct[1], candidate)
          : all_direct ? agree_from(
                           order, candidate, [&](std::size_t t, uint32_t at) { return direct[t]->seek(at); },
                           [&](std::size_t t) { return direct[t]->current(); })
                     : agree_from(
                           order, candidate, [&](std::size_t t, uint32_t at) { return streams[t]->seek(at); },
                           [&](std::size_t t) { return streams[t]->current(); });
      if (!found) break;
      p = candidate + 1;
      if (index.masked(candidate)) continue;  // a record an update changed or removed
      // A hit the order cannot place: every hit must be read the usual way.
      if (candidate >= index.ordered()) {
        out.outcome = FirstHits::kSortEveryHit;
        return out;
      }
      hits.push_back(candidate);
      if (hits.size() == want && !past_ordered) {
        // Enough in order; any hit left would be one the order cannot place.
        if (index.ordered() == index.positions()) break;
        past_ordered = true;
        p = index.ordered();
      }
    }
  }

  // The base's hits and the delta's in one order: a delta record sorts
  // just before its place.  Equal texts among the first hits are ordered
  // by the sort's steps over every hit.
  struct Hit {
    uint32_t base;
    const StoredDelta::Record* delta;
  };
  std::vector<Hit> merged;
  for (std::size_t i = 0, j = 0; merged.size() < want && (i < hits.size() || j < delta_hits.size());) {
    if (j < delta_hits.size() && (i == hits.size() || delta_hits[j]->place <= hits[i])) merged.push_back({0, delta_hits[j++]});
    else merged.push_back({hits[i++], nullptr});
  }
  for (std::size_t i = 1; i < merged.size(); ++i) {
    const Hit &a = merged[i - 1], &b = merged[i];
    const bool same = !a.delta && !b.delta   ? index.same_text(database, a.base, b.base)
                      : a.delta && b.delta   ? a.delta->key == b.delta->key
                      : a.delta              ? a.delta->equal && index.same_text(database, a.delta->place, b.base)
                                             : false;  // a delta record after a base one sorts after its text
    if (same) {
      out.outcome = FirstHits::kSortEveryHit;
      return out;
    }
  }
  std::size_t k = std::min(merged.size(), std::size_t(max));
  for (std::size_t i = 0; i < k; ++i)
    out.ids.push_back(merged[i].delta ? merged[i].delta->id : index.record_at(database, merged[i].base));
  if (kept) keep_rows_sought(database, index, streams, *kept, out);
  return out;
}

RecordNumbers term_records(db::Database& database, StoredIndex& index, const Text& term, int32_t group,
                           int32_t field) {
  std::vector<int64_t> words = term_words(database, index, term);
  std::vector<bool> in_delta(words.size(), false);
  std::vector<int32_t> delta_ids;
  if (index.delta()) delta_ids = index.delta_records(database, words, group, field, in_delta);
  const uint64_t mask = index.mask(group, field);
  std::vector<uint32_t> ps;
  if (mask != 0 && !words.empty()) {
    std::optional<int64_t> list = prefix_list(database, index, term, words);
    ps = list ? prefix_positions(database, index, *list, mask) : all_positions(database, index, words, mask, in_delta);
  }
  auto ids = std::make_shared<std::vector<int32_t>>(1, 0);
  index.records_of(database, ps, *ids);
  ids->insert(ids->end(), delta_ids.begin(), delta_ids.end());
  std::sort(ids->begin() + 1, ids->end());
  return ids;
}

// FIND's answer; what it cannot answer, NONE (the caller reads the
// tables).  Damage found in the word file leaves the file aside and FIND
// runs again on the catalogue's rows.  A row that does not hold, read
// while the file was in use, may be the file's: FIND runs again without
// the file, and when that holds, the file is left aside; damage found
// otherwise leaves the stored index aside.
template <typename Answer>
Answer answered(StoredIndex& index, const std::function<Answer()>& find, Answer none) {
  std::optional<std::string> file_suspect;
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::optional<WithoutWordFile> without;
    if (file_suspect) without.emplace();
    try {
      Answer a = find();
      if (file_suspect) index.set_file_damaged(*file_suspect);
      return a;
    } catch (const NotAnswerable&) {
    } catch (const WordNotIndexed&) {
    } catch (const stored::WordFileDamaged& d) {
      if (attempt == 0) {
        index.set_file_damaged(d.what());
        continue;
      }
      index.set_damaged(d.what());
    } catch (const stored::Damaged& d) {
      if (attempt == 0 && index.word_file()) {
        file_suspect = d.what();
        continue;
      }
      index.set_damaged(d.what());
    } catch (const Error&) {
    } catch (const std::exception&) {
    }
    break;
  }
  return none;
}

}  // namespace

FirstHits FindFirstHits(db::Database& database, StoredIndex& index, const std::vector<Text>& terms, int32_t group,
                        int32_t field, int32_t max, KeptSearch* kept) {
  return answered<FirstHits>(
      index, [&] { return first_hits(database, index, terms, group, field, max, kept); }, FirstHits{});
}

RecordNumbers StoredTermRecords(db::Database& database, StoredIndex& index, const Text& term, int32_t group,
                                int32_t field) {
  return answered<RecordNumbers>(
      index, [&] { return term_records(database, index, term, group, field); }, nullptr);
}

}  // namespace kvistur
