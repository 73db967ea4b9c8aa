#include "search/stored_index.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <stdexcept>

#include "platform/open_database.h"
#include "search/progress.h"
#include "search/record_order.h"
#include "search/stored_delta.h"
#include "settings/settings.h"

namespace kvistur {

namespace stored {

void SayOnce(const std::string& token, const std::string& line) {
  static std::mutex m;
  static std::vector<std::string>* said = new std::vector<std::string>;  // never destroyed: threads may outlive it
  constexpr std::size_t kRemembered = 256;
  {
    std::lock_guard<std::mutex> lock(m);
    if (std::find(said->begin(), said->end(), token) != said->end()) return;
    if (said->size() == kRemembered) said->erase(said->begin());
    said->push_back(token);
  }
  std::string file;
  try {
    file = file_path(catalogue_path()) + ": ";
  } catch (...) {
  }
  std::fputs(("kvistur: " + file + line + "\n").c_str(), stderr);
}

}  // namespace stored

namespace {

// Every row of kv_delta, each checked, and as many as the summary says.
std::unique_ptr<StoredDelta> read_delta(db::Database& database, const stored::Summary& meta) {
  auto rows = database.OpenCursor(u"SELECT " + stored::Columns(stored::DeltaRecord::kColumns, "d") + u" FROM kv_delta AS d");
  std::vector<stored::DeltaRecord> records;
  while (rows->Next()) {
    if (records.size() == std::size_t(meta.delta_records)) throw stored::Damaged("kv_delta: more rows than the summary says");
    stored::CursorRow r{*rows};
    records.push_back(stored::DeltaRecord::Read(r));
    records.back().check(meta);
    records.back().links.clear();  // checked; only the writer and the check need them
  }
  if (records.size() != std::size_t(meta.delta_records)) throw stored::Damaged("kv_delta: fewer rows than the summary says");
  return std::make_unique<StoredDelta>(meta, std::move(records));
}

// The most bytes a word's rows read whole are given room for at once.
constexpr uint64_t kReserveAtMost = uint64_t(64) << 20;

// A word's rows (PREFIX: a prefix list's) that stopped before its last:
// a prefix list always has rows, so that is damage; a word without rows is
// one the index does not know, unless OPTIONAL (the delta has it).
void rows_ended_early(int64_t word, bool prefix, bool optional) {
  if (prefix) throw stored::Damaged("kv_prefix_postings list " + std::to_string(word) + ": no rows");
  if (!optional) throw WordNotIndexed{};
}

// The values of WordRowsFrom's query for WORD's rows from position FROM on.
std::vector<db::Literal> rows_from(int64_t word, int64_t from, bool prefix) {
  if (prefix) return {word, from};
  return {stored::PostingKey(word, from), stored::PostingKey(word, stored::kLastRow)};
}

}  // namespace

std::unique_ptr<db::Cursor> WordRowsFrom(db::Database& database, const StoredIndex& index, int64_t word, int64_t from,
                                         bool prefix) {
  if (!prefix && !stored::KeyedWord(word)) return nullptr;
  if (stored::WordFile* file = index.word_file()) {
    auto rows = prefix ? file->prefix_rows(word, from)
                       : file->rows(word, stored::PostingKey(word, from), stored::PostingKey(word, stored::kLastRow));
    if (rows) return rows;
  }
  return database.OpenCursorWith(
      prefix ? u"SELECT P.upto, P.packed, P.checksum FROM kv_prefix_postings AS P WHERE P.list = 0 AND P.upto >= 0 "
               u"ORDER BY P.upto"
             : u"SELECT P.key, P.packed, P.checksum FROM kv_postings AS P WHERE P.key >= 0 AND P.key <= 0 ORDER BY P.key",
      rows_from(word, from, prefix));
}

int64_t RowUpto(db::Cursor& rows, bool prefix) {
  return prefix ? rows.Integer(0) : stored::UptoOfKey(rows.Integer(0));
}

std::unique_ptr<db::Cursor> OpenWithList(db::Database& database, const Text& head, const std::vector<int64_t>& numbers,
                                         const Text& tail) {
  if (numbers.size() == 1) return database.OpenCursorWith(head + u"0" + tail, {numbers[0]});
  return database.OpenCursorWith(head + u"?" + tail, {numbers});
}

std::vector<int32_t> StoredIndex::delta_records(db::Database& database, const std::vector<int64_t>& words,
                                                int32_t group, int32_t field, std::vector<bool>& has) const {
  has.assign(words.size(), false);
  std::vector<int32_t> out;
  if (meta_.delta_words == 0) return out;
  auto rows = OpenWithList(database, u"SELECT d.word, d.packed, d.checksum FROM kv_delta_postings AS d WHERE d.word IN (",
                           words, u")");
  while (rows->Next()) {
    const int64_t word = rows->Integer(0);
    std::string_view packed = rows->Bytes(1);
    const std::string where = "kv_delta_postings word " + std::to_string(word);
    if (!rows->IsInteger(2) || rows->Integer(2) != stored::DeltaPostingsSum(meta_.build, word, packed))
      throw stored::Damaged(where + ": the checksum does not match");
    auto at = std::lower_bound(words.begin(), words.end(), word);
    if (at == words.end() || *at != word) throw stored::Damaged(where + ": not asked for");
    has[std::size_t(at - words.begin())] = true;
    for (const stored::Link& l : stored::DecodeLinks(packed)) {
      const StoredDelta::Record* r = l.a == int32_t(l.a) && delta_ ? delta_->find(int32_t(l.a)) : nullptr;
      if (!r || r->kind == stored::kGone) throw stored::Damaged(where + ": a record not in kv_delta");
      if ((group < 0 || l.group == group) && (field < 0 || l.field == field)) out.push_back(int32_t(l.a));
    }
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

std::optional<int64_t> StoredIndex::prefix_list(db::Database& database, std::string_view fold,
                                                const std::vector<int64_t>& words) const {
  // The word file's list, found by the term's words or when they were
  // looked up; a prefix it has with other words is no list here either
  // (kv_prefixes has the same).
  stored::WordFile* file = word_file();
  if (file && file->prefix_buckets() > 0) {
    if (std::optional<int64_t> key = file->found_prefix(fold, words)) return key;
    if (std::optional<stored::WordFile::Prefix> p = file->prefix(fold))
      return p->words == words ? std::optional<int64_t>(p->key) : std::nullopt;
  }
  const int64_t key = stored::PrefixKey(fold);
  auto rows = database.OpenCursorWith(
      u"SELECT x.key, x.prefix, x.words, x.hash, x.checksum FROM kv_prefixes AS x WHERE x.key = 0", {key});
  if (!rows->Next()) return std::nullopt;
  stored::PrefixRow r;
  for (int i : {0, 2, 3, 4})
    if (!rows->IsInteger(i)) throw stored::Damaged("kv_prefixes: a number that is not one");
  r.key = rows->Integer(0);
  r.prefix = std::string(rows->Bytes(1));
  r.words = rows->Integer(2);
  r.hash = rows->Integer(3);
  r.checksum = rows->Integer(4);
  if (r.key != key || r.checksum != r.sum(meta_.build))
    throw stored::Damaged("kv_prefixes key " + std::to_string(key) + ": the checksum does not match");
  if (r.prefix != fold || r.words != int64_t(words.size()) || r.hash != stored::WordsHash(words)) return std::nullopt;
  return key;
}

std::shared_ptr<StoredIndex> StoredIndex::Open(db::Database& database, const db::ContentStamp& stamp) {
  if (stamp.token.empty()) return nullptr;
  stored::Summary meta;
  std::unique_ptr<StoredDelta> delta;
  try {
    // The format first: of an index in a format this reader does not know,
    // nothing else is read.
    auto format = database.OpenCursor(u"SELECT s.format FROM kv_search_meta AS s");
    if (!format->Next()) return nullptr;
    if (!format->IsInteger(0) || format->Integer(0) != stored::kFormat) {
      stored::SayOnce(stamp.token + " format", "the stored search index is in a format this version does not read; searches "
                                         "read the tables until `kvistur index` writes it again");
      return nullptr;
    }
    format.reset();
    auto row = database.OpenCursor(u"SELECT " + stored::Columns(stored::Summary::kColumns, "s") + u" FROM kv_search_meta AS s");
    if (!row->Next()) return nullptr;
    stored::CursorRow r{*row};
    meta = stored::Summary::Read(r);
    if (row->Next()) throw stored::Damaged("kv_search_meta: more than one row");
    meta.check();
    row.reset();
    if (meta.built_records == stamp.records && meta.delta_records > 0) delta = read_delta(database, meta);
  } catch (const stored::Damaged& d) {
    stored::SayOnce(stamp.token, std::string("the stored search index is damaged (") + d.what() +
                              "); searches read the tables until `kvistur index` writes it again");
    return nullptr;
  } catch (const Error&) {
    return nullptr;  // no stored index, or one this engine cannot read
  }
  if (meta.built_records != stamp.records) return nullptr;
  if (meta.collator != collation_version()) {
    stored::SayOnce(stamp.token + " collator",
             "the stored search index was ordered with another version of the collation (" + meta.collator +
                 ", now " + collation_version() + "); searches read the tables until `kvistur index` writes it again");
    return nullptr;
  }
  auto index = std::make_shared<StoredIndex>();
  index->token_ = stamp.token;
  index->positions_ = uint32_t(meta.positions);
  index->ordered_ = uint32_t(meta.ordered);
  index->postings_ = meta.postings && meta.built_links == stamp.links;
  index->meta_ = std::move(meta);
  index->delta_ = std::move(delta);
  // The word file, when this engine reads a file and the index has lists
  // written at this state.
  if (index->postings_) {
    const std::string file = database.FileName();
    if (!file.empty()) index->word_file_ = stored::WordFile::Open(file, index->meta_.build);
    index->vocabulary_ = index->word_file_ && index->word_file_->vocabulary_at(stamp.words);
  }
  index->chunk_count_ = uint32_t((uint64_t(index->positions_) + stored::kChunk - 1) / stored::kChunk);
  index->chunks_ = std::make_unique<std::atomic<const Chunk*>[]>(index->chunk_count_);
  for (uint32_t c = 0; c < index->chunk_count_; ++c) index->chunks_[c].store(nullptr, std::memory_order_relaxed);
  const std::size_t bytes = sizeof(StoredIndex) + 2 * sizeof(long) + KeptMemory::kPerBlock +
                            HeapBytes(index->meta_.specials) + HeapBytes(index->meta_.combos) +
                            HeapBytes(index->meta_.collator) + std::size_t(index->chunk_count_) * sizeof(void*) +
                            KeptMemory::kPerBlock + (index->delta_ ? index->delta_->memory() : 0);
  if (!index->kept_.Add(bytes)) return nullptr;  // no room: the tables are read
  return index;
}

void StoredIndex::set_damaged(const std::string& what) {
  damaged_.store(true, std::memory_order_release);
  stored::SayOnce(token_, "the stored search index is damaged (" + what +
                       "); searches read the tables until `kvistur index` writes it again");
}

namespace {
thread_local int without_word_file = 0;
}  // namespace

WithoutWordFile::WithoutWordFile() { ++without_word_file; }
WithoutWordFile::~WithoutWordFile() { --without_word_file; }

stored::WordFile* StoredIndex::word_file() const {
  if (without_word_file > 0 || file_damaged_.load(std::memory_order_acquire)) return nullptr;
  return word_file_.get();
}

void StoredIndex::set_file_damaged(const std::string& what) {
  file_damaged_.store(true, std::memory_order_release);
  stored::SayOnce(token_ + " word file", "the word file is damaged (" + what +
                                             "); searches read the word lists from the catalogue until `kvistur index` "
                                             "writes it again");
}

bool StoredIndex::masked(uint32_t p) const { return delta_ && delta_->masked(p); }

StoredIndex::~StoredIndex() {
  for (uint32_t c = 0; chunks_ && c < chunk_count_; ++c) delete chunks_[c].load();
}

uint64_t StoredIndex::mask(int32_t group, int32_t field) const {
  uint64_t m = 0;
  const auto& combos = meta_.combos;
  for (std::size_t bit = 0; bit < combos.size(); ++bit)
    if ((group < 0 || combos[bit].first == group) && (field < 0 || combos[bit].second == field)) m |= uint64_t(1) << bit;
  return m;
}

std::unique_ptr<StoredIndex::Chunk> StoredIndex::read_chunk_row(db::Cursor& rows, uint32_t c) const {
  if (!rows.IsInteger(0) || rows.Integer(0) != int64_t(c) || !rows.IsInteger(3))
    throw stored::Damaged("kv_order chunk " + std::to_string(c) + ": missing or out of place");
  return std::make_unique<Chunk>(
      stored::DecodeOrder(meta_.build, c, positions_, rows.Bytes(1), rows.Bytes(2), rows.Integer(3)));
}

std::size_t StoredIndex::charge(const Chunk& chunk) {
  const std::size_t bytes = sizeof(Chunk) + KeptMemory::kPerBlock + HeapBytes(chunk.ids) + HeapBytes(chunk.starts);
  if (!kept_.Add(bytes)) throw std::runtime_error("no room to keep the order");
  return bytes;
}

const StoredIndex::Chunk& StoredIndex::chunk(db::Database& database, uint32_t c) {
  if (c >= chunk_count_) throw stored::Damaged("a position out of range");
  if (const Chunk* got = chunks_[c].load(std::memory_order_acquire)) return *got;
  std::unique_ptr<Chunk> mine;
  // The word file holds the same rows under the same checksums: one pread
  // where the table takes a statement (a search's first look at a place).
  // A chunk there that does not hold leaves the file aside for this state.
  if (stored::WordFile* file = word_file()) {
    try {
      if (std::optional<Chunk> got = file->order_chunk(c, positions_)) mine = std::make_unique<Chunk>(std::move(*got));
    } catch (const stored::WordFileDamaged& d) {
      set_file_damaged(d.what());
    }
  }
  if (!mine) {
    auto rows = database.OpenCursorWith(u"SELECT o.chunk, o.ids, o.starts, o.checksum FROM kv_order AS o WHERE o.chunk = 0",
                                        {int64_t(c)});
    if (!rows->Next()) throw stored::Damaged("kv_order chunk " + std::to_string(c) + ": missing");
    mine = read_chunk_row(*rows, c);
  }
  const std::size_t bytes = charge(*mine);
  const Chunk* expected = nullptr;
  if (chunks_[c].compare_exchange_strong(expected, mine.get(), std::memory_order_acq_rel)) return *mine.release();
  kept_.Remove(bytes);
  return *expected;  // another thread read it first
}

void StoredIndex::load_all(db::Database& database) {
  uint32_t missing = 0;
  for (uint32_t c = 0; c < chunk_count_; ++c) missing += chunks_[c].load(std::memory_order_acquire) ? 0 : 1;
  if (missing < 8) {
    for (uint32_t c = 0; c < chunk_count_; ++c) chunk(database, c);
    return;
  }
  auto rows = database.OpenCursor(u"SELECT o.chunk, o.ids, o.starts, o.checksum FROM kv_order AS o ORDER BY o.chunk");
  uint32_t c = 0;
  for (; rows->Next(); ++c) {
    if (c % 256 == 0) ReportWork("reading the order of all records", c, chunk_count_);
    if (c >= chunk_count_) throw stored::Damaged("kv_order: more chunks than positions");
    if (chunks_[c].load(std::memory_order_acquire)) continue;
    std::unique_ptr<Chunk> mine = read_chunk_row(*rows, c);
    const std::size_t bytes = charge(*mine);
    const Chunk* expected = nullptr;
    if (chunks_[c].compare_exchange_strong(expected, mine.get(), std::memory_order_acq_rel)) mine.release();
    else kept_.Remove(bytes);
  }
  ReportWork({}, 0, 0);
  if (c != chunk_count_) throw stored::Damaged("kv_order: a chunk missing");
}

int32_t StoredIndex::record_at(db::Database& database, uint32_t p) {
  if (p >= positions_) throw stored::Damaged("a position out of range");
  return chunk(database, p / stored::kChunk).ids[p % stored::kChunk];
}

bool StoredIndex::same_text(db::Database& database, uint32_t a, uint32_t b) {
  // The same text exactly when no position after A up to B starts one.
  for (uint32_t p = a + 1; p <= b;) {
    const Chunk& ch = chunk(database, p / stored::kChunk);
    uint32_t i = p % stored::kChunk;
    uint32_t end = std::min<uint32_t>(b - (p - i), uint32_t(ch.ids.size()) - 1);  // last index in this chunk
    for (uint32_t w = i / 64; w <= end / 64; ++w) {
      uint64_t bits = ch.starts[w];
      if (w == i / 64) bits &= ~uint64_t(0) << (i % 64);
      if (w == end / 64 && end % 64 != 63) bits &= (uint64_t(1) << (end % 64 + 1)) - 1;
      if (bits) return false;
    }
    p += end - i + 1;
  }
  return true;
}

std::shared_ptr<const RecordOrder> StoredIndex::whole_order(db::Database& database) {
  if (whole_ready_.load(std::memory_order_acquire)) return whole_;
  std::lock_guard<std::mutex> lock(whole_mutex_);
  if (whole_ready_.load(std::memory_order_relaxed)) return whole_;
  load_all(database);
  auto whole = std::make_shared<RecordOrder>(StoredRanks(
      meta_, [&](uint32_t c) -> const Chunk& { return *chunks_[c].load(std::memory_order_acquire); }, delta_.get()));
  // Without room to keep it, it serves this search alone.
  if (!kept_.Add(whole->memory() + 2 * sizeof(long) + KeptMemory::kPerBlock)) return whole;
  whole_ = std::move(whole);
  whole_ready_.store(true, std::memory_order_release);
  return whole_;
}

void StoredIndex::records_of(db::Database& database, const std::vector<uint32_t>& ps, std::vector<int32_t>& out) {
  if (ps.size() > std::size_t(chunk_count_) * 4) load_all(database);
  out.reserve(out.size() + ps.size());
  for (uint32_t p : ps) out.push_back(record_at(database, p));
}

std::unique_ptr<WordRows> ReadWordRows(db::Database& database, const StoredIndex& index, int64_t word, bool optional,
                                       bool prefix) {
  auto rows = std::make_unique<WordRows>();
  auto cursor = WordRowsFrom(database, index, word, 0, prefix);
  stored::RowChain chain;
  while (cursor && cursor->Next()) {
    int64_t upto = RowUpto(*cursor, prefix);
    std::string_view packed = cursor->Bytes(1);
    // Each row's checksum and its place in the chain now; its body when a
    // search opens it.
    const auto [before, last] = stored::PackedRow::CheckedHeader(
        index.build(), word, upto, packed, cursor->IsInteger(2) ? cursor->Integer(2) : 0, prefix);
    chain.next(upto, before, last);
    if (rows->uptos.empty() && !last) {
      // Room for the whole list, as if the rest were as dense as its first
      // row: a long list grown a row at a time would be copied over and
      // over as it grew.
      const uint64_t span = uint64_t(std::max<int64_t>(upto - before, 1));
      const uint64_t rest = uint64_t(std::max<int64_t>(int64_t(index.positions()) - 1 - upto, 0));
      const uint64_t more = std::min<uint64_t>(rest / span + 1, uint64_t(index.positions()));
      rows->bytes.reserve(std::size_t(std::min<uint64_t>((more + 1) * packed.size() * 9 / 8, kReserveAtMost)));
      rows->uptos.reserve(std::size_t(std::min<uint64_t>(more + 1, kReserveAtMost / 8)));
      rows->starts.reserve(rows->uptos.capacity() + 1);
    }
    rows->uptos.push_back(upto);
    rows->bytes += packed;
    rows->starts.push_back(rows->bytes.size());
  }
  if (!chain.end()) rows_ended_early(word, prefix, optional);
  // A list denser at its start than further on leaves room unused.
  if (rows->bytes.capacity() > 2 * rows->bytes.size() + 4096) rows->bytes.shrink_to_fit();
  return rows;
}

PostingCursor::PostingCursor(db::Database& database, const StoredIndex& index, int64_t word, uint64_t mask,
                             const WordRows* kept, bool optional, bool prefix)
    : database_(database), index_(index), word_(word), mask_(mask), kept_(kept), optional_(optional), prefix_(prefix) {}

bool PostingCursor::open_row(int64_t upto, uint32_t p) {
  span_ = std::max<int64_t>(upto - upto_, 1);
  upto_ = upto;
  block_ = row_.block_for(p);
  n_ = row_.decode(block_, got_);
  at_ = 0;
  return true;
}

void PostingCursor::see_row(int64_t upto, std::string_view packed) {
  if (rows_read_ == 1 && row_.before() == -1) seen_rows_ = 0;
  if (seen_rows_ < 0) return;
  if (seen_rows_ == kSeenRows) {
    seen_rows_ = -1;
    return;
  }
  seen_ += packed;
  seen_uptos_[seen_rows_] = upto;
  seen_ends_[seen_rows_++] = seen_.size();
}

std::unique_ptr<WordRows> PostingCursor::rows_seen() const {
  if (seen_rows_ <= 0 || upto_ != seen_uptos_[seen_rows_ - 1] || !row_.last()) return nullptr;
  auto rows = std::make_unique<WordRows>();
  rows->uptos.assign(seen_uptos_, seen_uptos_ + seen_rows_);
  rows->starts.insert(rows->starts.end(), seen_ends_, seen_ends_ + seen_rows_);
  rows->bytes = seen_;
  return rows;
}

bool PostingCursor::row_for(uint32_t p) {
  if (kept_) {
    // Far ahead: the row looked up; otherwise the rows passed over.  Their
    // checksums were checked when they were kept.
    std::size_t r = kept_next_;
    const auto& uptos = kept_->uptos;
    if (int64_t(p) > upto_ + 4 * span_) r = std::size_t(std::lower_bound(uptos.begin() + std::ptrdiff_t(r), uptos.end(), int64_t(p)) - uptos.begin());
    while (r < uptos.size() && uptos[r] < int64_t(p)) ++r;
    if (r >= uptos.size()) {
      done_ = true;
      return false;
    }
    kept_next_ = r + 1;
    std::string_view packed = std::string_view(kept_->bytes).substr(kept_->starts[r], kept_->starts[r + 1] - kept_->starts[r]);
    row_.open(packed, mask_);
    return open_row(uptos[r], p);
  }
  // Far ahead of the rows read (more than a few rows' spans): the row is
  // looked up by its key.
  if (!rows_ || int64_t(p) > upto_ + 4 * span_) {
    if (rows_ && again_) {
      try {
        rows_->Again(rows_from(word_, p, prefix_));
      } catch (const Error& e) {
        if (e.number() != 3251) throw;
        again_ = false;
        rows_.reset();
      }
    } else {
      rows_.reset();
    }
    if (!rows_) rows_ = WordRowsFrom(database_, index_, word_, p, prefix_);
    if (!rows_) {  // a word that can have no rows
      rows_ended_early(word_, prefix_, optional_);
      done_ = true;
      return false;
    }
    chain_.restart(p);
    if (rows_read_ > 0) seen_rows_ = -1;  // rows passed over by the lookup
  }
  while (rows_->Next()) {
    ++rows_read_;
    int64_t upto = RowUpto(*rows_, prefix_);
    std::string_view packed = rows_->Bytes(1);
    if (upto < int64_t(p)) {
      // Passed over without decoding; it must still follow the row before.
      auto [before, last] = stored::PackedRow::Header(packed);
      chain_.next(upto, before, last);
      span_ = std::max<int64_t>(upto - upto_, 1);
      upto_ = upto;
      seen_rows_ = -1;  // not checked
      continue;
    }
    row_.open(index_.build(), word_, upto, packed, rows_->IsInteger(2) ? rows_->Integer(2) : 0, mask_, prefix_);
    chain_.next(upto, row_.before(), row_.last());
    see_row(upto, packed);
    return open_row(upto, p);
  }
  if (!chain_.end()) rows_ended_early(word_, prefix_, optional_);
  done_ = true;
  return false;
}

double PostingCursor::density() const {
  const int64_t last = std::min<int64_t>(upto_, int64_t(index_.positions()) - 1);
  return double(row_.entries()) / double(std::max<int64_t>(last - row_.before(), 1));
}

bool PostingCursor::seek_further(uint32_t p) {
  for (;;) {
    if (at_ < n_) {
      if (got_[at_] >= p) return true;
      if (got_[n_ - 1] >= p) {
        at_ = std::size_t(std::lower_bound(got_ + at_, got_ + n_, p) - got_);
        return true;
      }
    }
    // The rest of this row, when P lies within it: the block that holds it.
    if ((rows_ || kept_) && !done_ && int64_t(p) <= upto_ && block_ + 1 < row_.blocks()) {
      block_ = std::max(block_ + 1, row_.block_for(p));
      n_ = row_.decode(block_, got_);
      at_ = 0;
      continue;
    }
    // Past the word's last row: no row follows it (its key is the
    // largest), so the table is not stepped again to find that out.
    if (!done_ && upto_ >= 0 && row_.last()) done_ = true;
    if (done_ || !row_for(p)) return false;
  }
}

}  // namespace kvistur
