#include "search/word_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kvistur/error.h"
#include "platform/sqlite_functions.h"
#include "search/stored_index.h"

namespace kvistur::stored {

namespace {

constexpr char kMagic[8] = {'k', 'v', 'w', 'o', 'r', 'd', 's', '\0'};
// Format 2 adds the prefix lists (and 16 bytes to the header), format 3
// the order's chunks (16 more), format 4 the words of the prefixes without
// a list (16 more); a file of an earlier format is read as one without
// them.
constexpr uint64_t kWordFileFormat = 4, kPrefixWordsFormat = 4, kOrderFormat = 3, kPrefixFormat = 2, kFirstFormat = 1;
constexpr std::size_t kHeader = 112, kOrderHeader = 96, kPrefixHeader = 80, kFirstHeader = 64;
constexpr std::size_t kRowEntry = 16;  // upto (4), bytes (4), checksum (8)
// A list this small is read whole with its row table.
constexpr uint64_t kReadWhole = 4096;
// A larger list's rows are read as they are asked for: one row after a
// jump, and while they are asked for one after another, twice as many
// rows at a time each read, up to this many bytes (a list read whole, for
// a count or to be kept, takes a few reads, not one a row).
constexpr uint64_t kReadAheadAtMost = 256 * 1024;
// The most bytes one bucket may have: more means the table is not ours.
constexpr uint64_t kMaxBucket = uint64_t(1) << 24;
// About this many words to a bucket.
constexpr std::size_t kWordsPerBucket = 12;
// A chunk of the order in the file: its ids (4 bytes each), its starts
// (8 bytes for each 64 positions or part) and its checksum; every chunk
// but the last is whole, so chunk C is at C times a whole one's bytes.
constexpr uint64_t order_bytes(uint64_t n) { return n * 4 + (n + 63) / 64 * 8 + 8; }
constexpr uint64_t kWholeChunkBytes = order_bytes(kChunk);
// The bytes of the chunks of an order of N positions.
constexpr uint64_t order_section(uint64_t n) {
  return n / kChunk * kWholeChunkBytes + (n % kChunk ? order_bytes(n % kChunk) : 0);
}
// The bytes the writer gathers before it writes them.
constexpr std::size_t kWriteAtLeast = 1 << 20;
// The lists found that a file remembers, at most (then it starts again).
constexpr std::size_t kKnownAtMost = 1 << 14;

void put64(std::string& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out += char(v >> (8 * i));
}
void put32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out += char(v >> (8 * i));
}
// One load each: a list's row table is read a number at a time, and a
// loop of eight shifts a number was most of opening a common word's list.
uint64_t get64(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}
uint32_t get32(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

// Which bucket a fold's words are in.
uint64_t bucket_of(std::string_view fold, uint64_t buckets) {
  return uint64_t(Checksum(0).add(fold).value()) % buckets;
}
int64_t bucket_sum(int64_t build, uint64_t b, std::string_view bytes) {
  return Checksum(build).add(uint64_t(4)).add(b).add(bytes).value();
}
int64_t prefix_bucket_sum(int64_t build, uint64_t b, std::string_view bytes) {
  return Checksum(build).add(uint64_t(6)).add(b).add(bytes).value();
}
int64_t prefix_word_bucket_sum(int64_t build, uint64_t b, std::string_view bytes) {
  return Checksum(build).add(uint64_t(7)).add(b).add(bytes).value();
}
int64_t header_sum(std::string_view bytes) { return Checksum(0).add(uint64_t(5)).add(bytes).value(); }

// The next entry of a bucket's BODY from AT: its key (a fold, a prefix)
// and what the bucket holds for it; AT moves past both.
std::pair<std::string_view, std::string_view> next_entry(std::string_view body, std::size_t& at) {
  const uint64_t n = GetVarint(body, at);
  if (n > body.size() - at) throw WordFileDamaged("word file: a key past its bucket");
  const std::string_view key = body.substr(at, std::size_t(n));
  at += std::size_t(n);
  const uint64_t length = GetVarint(body, at);
  if (length > body.size() - at) throw WordFileDamaged("word file: an entry past its bucket");
  const std::string_view entry = body.substr(at, std::size_t(length));
  at += std::size_t(length);
  return {key, entry};
}

// A row's upto as the file keeps it: 32 bits, the last row's as 2^32 - 1.
uint32_t file_upto(int64_t upto) { return uint32_t(std::min(upto, kLastRow - 1)); }
int64_t row_upto(uint32_t u) { return u == uint32_t(kLastRow - 1) ? kLastRow : int64_t(u); }

// Writes all of BYTES at the file's end; false on an error.
bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(std::size_t(n));
  }
  return true;
}

// A word's rows read from the file: its row table, and its bytes when the
// list is small enough to be read whole.
class FileRows : public db::Cursor {
 public:
  // PREFIX: the rows of a prefix list, keyed by their upto alone.
  FileRows(std::shared_ptr<const WordFile> file, int64_t word, const WordFile::List& list, int64_t from, int64_t to,
           bool prefix = false)
      : file_(std::move(file)), word_(word), list_(list), prefix_(prefix) {
    const uint64_t table = uint64_t(list.rows) * kRowEntry;
    // Read over at once: neither buffer is filled with zeros first.
    whole_size_ = std::size_t(list.bytes <= kReadWhole ? list.bytes : table);
    whole_ = std::make_unique_for_overwrite<char[]>(whole_size_);
    file_->read(list.offset, whole_.get(), whole_size_);
    starts_ = std::make_unique_for_overwrite<uint64_t[]>(std::size_t(list.rows) + 1);
    starts_[0] = list.offset + table;
    for (uint32_t r = 0; r < list.rows; ++r) {
      const uint32_t bytes = get32(whole_.get() + r * kRowEntry + 4);
      if (bytes > kPackedBytes) throw WordFileDamaged("word file: a row longer than a row may be");
      starts_[r + 1] = starts_[r] + bytes;
    }
    if (starts_[list.rows] != list.offset + list.bytes) throw WordFileDamaged("word file: a list whose rows do not fill it");
    whole_read_ = list.bytes <= kReadWhole;
    range(from, to);
  }
  bool Next() override {
    at_ = started_ ? at_ + 1 : at_;
    started_ = true;
    if (at_ >= list_.rows || key(at_) > to_) return false;
    if (!whole_read_ && (at_ < first_ || at_ >= end_)) read_rows();
    return true;
  }
  bool IsNull(int) override { return false; }
  bool IsInteger(int i) override { return i != 1; }
  int64_t Integer(int i) override {
    if (i == 0) return key(at_);
    return int64_t(get64(whole_.get() + at_ * kRowEntry + 8));
  }
  std::string_view Bytes(int) override {
    if (!whole_read_)
      return std::string_view(rows_).substr(std::size_t(starts_[at_] - starts_[first_]), std::size_t(starts_[at_ + 1] - starts_[at_]));
    return std::string_view(whole_.get(), whole_size_)
        .substr(std::size_t(starts_[at_] - list_.offset), std::size_t(starts_[at_ + 1] - starts_[at_]));
  }
  Variant Value(int i) override { return i == 1 ? Variant() : Variant(double(Integer(i))); }
  void Again(const std::vector<db::Literal>& literals) override {
    const int64_t* first = literals.size() == 2 ? std::get_if<int64_t>(&literals[0]) : nullptr;
    const int64_t* second = literals.size() == 2 ? std::get_if<int64_t>(&literals[1]) : nullptr;
    // Only the same list's rows: another list is another cursor.
    if (!first || !second || (prefix_ ? *first : *first >> 32) != word_)
      throw Error(3251, u"DAO.Recordset", u"Operation is not supported for this type of object.");
    if (prefix_) range(*second, kLastRow);
    else range(*first, *second);
  }

 private:
  // Reads row AT_ and, when it follows the rows read last, as many again
  // as they were (within the range and the most bytes a read takes).
  void read_rows() {
    const std::size_t ahead = at_ == end_ && end_ > first_ ? 2 * (end_ - first_) : 1;
    std::size_t end = at_ + 1;
    while (end < list_.rows && end - at_ < ahead && starts_[end + 1] - starts_[at_] <= kReadAheadAtMost &&
           key(end) <= to_)
      ++end;
    rows_.resize(std::size_t(starts_[end] - starts_[at_]));
    file_->read(starts_[at_], rows_.data(), rows_.size());
    first_ = at_;
    end_ = end;
  }
  int64_t key(std::size_t r) const {
    const int64_t upto = row_upto(get32(whole_.get() + r * kRowEntry));
    return prefix_ ? upto : PostingKey(word_, upto);
  }
  void range(int64_t from, int64_t to) {
    std::size_t lo = 0, hi = list_.rows;
    while (lo < hi) {
      const std::size_t mid = (lo + hi) / 2;
      if (key(mid) < from) lo = mid + 1;
      else hi = mid;
    }
    at_ = lo;
    to_ = to;
    started_ = false;
  }
  std::shared_ptr<const WordFile> file_;
  int64_t word_;
  WordFile::List list_;
  bool prefix_;
  std::unique_ptr<char[]> whole_;  // the row table, and the rows when read whole
  std::size_t whole_size_ = 0;
  bool whole_read_ = false;
  std::unique_ptr<uint64_t[]> starts_;  // each row's first byte in the file, and the list's end
  std::string rows_;               // rows first_ to end_, when not read whole
  std::size_t first_ = 0, end_ = 0;
  std::size_t at_ = 0;
  int64_t to_ = 0;
  bool started_ = false;
};

}  // namespace

std::string WordFileOf(const std::string& database_file) { return database_file + kWordFileSuffix; }

void WriteWordFile(const std::string& database_file, int64_t build, int64_t words_counter,
                   const std::vector<std::pair<int64_t, PostingsRow>>& rows,
                   std::vector<std::pair<std::string_view, int64_t>> folds, const std::vector<FilePrefix>& prefixes,
                   const std::vector<std::pair<int64_t, PostingsRow>>& prefix_rows, const std::vector<OrderRow>& order) {
  const std::string file = WordFileOf(database_file);
  const std::string temporary = file + ".tmp";
  auto fail = [&](const std::string& why) {
    std::fprintf(stderr, "kvistur: %s: %s; searches read the word lists from the catalogue\n", file.c_str(), why.c_str());
    ::unlink(temporary.c_str());
    ::unlink(file.c_str());
  };
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return fail(std::string("cannot be written: ") + std::strerror(errno));
  // What is written is handed to the kernel a megabyte at a time: a write
  // a list and a bucket would be 800 000 system calls at a million records.
  std::string pending(kHeader, '\0');
  bool ok = true;
  auto put = [&](std::string_view bytes) {
    if (!ok) return;  // the file fails as a whole: nothing more is kept
    pending += bytes;
    if (pending.size() >= kWriteAtLeast) {
      ok = write_all(fd, pending);
      pending.clear();
    }
  };
  // The lists, list by list, and where each is.
  struct Placed {
    int64_t word;
    WordFile::List list;
  };
  uint64_t at = kHeader;
  std::string out;
  // The order first, chunk by chunk as kv_order has them: whole ones of
  // kChunk positions, the last of the rest.
  uint64_t order_positions = 0;
  for (std::size_t c = 0; c < order.size(); ++c) {
    const OrderRow& r = order[c];
    const uint64_t n = r.ids.size() / 4;
    if (r.ids.size() % 4 || (c + 1 < order.size() && n != kChunk) || n == 0 || n > kChunk ||
        r.starts.size() != (n + 63) / 64 * 8) {
      ::close(fd);
      return fail("an order chunk of the wrong size");
    }
    out.assign(r.ids);
    out += r.starts;
    put64(out, uint64_t(r.checksum));
    order_positions += n;
    at += out.size();
    put(out);
  }
  // LISTS' lists (only those whose keys ONLY holds, when given).
  auto write_lists = [&](const std::vector<std::pair<int64_t, PostingsRow>>& lists, const std::vector<int64_t>* only) {
    std::vector<Placed> placed;
    for (std::size_t i = 0, end = 0; ok && i < lists.size(); i = end) {
      end = i;
      while (end < lists.size() && lists[end].first == lists[i].first) ++end;
      if (only && !std::binary_search(only->begin(), only->end(), lists[i].first)) continue;
      out.clear();
      for (std::size_t r = i; r < end; ++r) {
        put32(out, file_upto(lists[r].second.upto));
        put32(out, uint32_t(lists[r].second.packed.size()));
        put64(out, uint64_t(lists[r].second.checksum));
      }
      for (std::size_t r = i; r < end; ++r) out += lists[r].second.packed;
      placed.push_back({lists[i].first, {at, uint32_t(end - i), out.size()}});
      at += out.size();
      put(out);
    }
    return placed;
  };
  auto find = [](const std::vector<Placed>& placed, int64_t w) -> const WordFile::List* {
    auto it = std::lower_bound(placed.begin(), placed.end(), w, [](const Placed& p, int64_t x) { return p.word < x; });
    return it == placed.end() || it->word != w ? nullptr : &it->list;
  };
  auto put_list = [](std::string& body, const WordFile::List& l) {
    PutVarint(body, l.offset);
    PutVarint(body, l.rows);
    PutVarint(body, l.bytes);
  };
  const std::vector<Placed> placed = write_lists(rows, nullptr);
  // The lists of the prefixes the file names, and no others (none without
  // a vocabulary).
  std::vector<int64_t> named;
  if (!folds.empty())
    for (const FilePrefix& p : prefixes) named.push_back(p.key);
  std::sort(named.begin(), named.end());
  const std::vector<Placed> placed_prefixes = write_lists(prefix_rows, &named);
  // ENTRIES (key, body) into buckets by their keys' hash: each bucket's
  // entries after one another, and its checksum by SUM; then the table of
  // where each bucket starts.  The number of buckets, 0 for none.
  auto write_buckets = [&](std::vector<std::pair<std::string_view, std::string>>& entries, std::size_t per_bucket,
                           int64_t (*sum)(int64_t, uint64_t, std::string_view), uint64_t& table) -> uint64_t {
    table = at;
    if (!ok || entries.empty()) return 0;
    const uint64_t buckets = std::max<uint64_t>(1, entries.size() / per_bucket);
    std::vector<std::pair<uint64_t, std::size_t>> order(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) order[i] = {bucket_of(entries[i].first, buckets), i};
    std::sort(order.begin(), order.end());
    std::vector<uint64_t> starts;
    starts.reserve(buckets + 1);
    for (std::size_t k = 0, b = 0; ok && b < buckets; ++b) {
      out.clear();
      for (; k < order.size() && order[k].first == b; ++k) {
        const auto& [key, body] = entries[order[k].second];
        PutVarint(out, key.size());
        out += key;
        PutVarint(out, body.size());
        out += body;
      }
      put64(out, uint64_t(sum(build, b, out)));
      starts.push_back(at);
      at += out.size();
      put(out);
    }
    starts.push_back(at);
    out.clear();
    for (uint64_t start : starts) put64(out, start);
    table = at;
    at += out.size();
    put(out);
    return buckets;
  };
  // The vocabulary: each fold's words (in the order of their folds, then
  // words) in the bucket of its hash.
  std::sort(folds.begin(), folds.end());
  std::vector<std::pair<std::string_view, std::string>> entries;
  for (std::size_t k = 0; k < folds.size();) {
    const std::string_view fold = folds[k].first;
    std::vector<int64_t> words;
    for (; k < folds.size() && folds[k].first == fold; ++k)
      if (words.empty() || words.back() != folds[k].second) words.push_back(folds[k].second);
    // Its words after their length, so that a look for another fold
    // passes over them unread.
    std::string body;
    PutVarint(body, words.size());
    for (int64_t w : words) {
      const WordFile::List* l = find(placed, w);
      // A word of Orð without rows: the index was written without
      // postings for it, so the file cannot stand for Orð.
      if (!l) {
        ::close(fd);
        return fail("a word of Orð without a list");
      }
      PutVarint(body, ZigZag(w));
      put_list(body, *l);
    }
    entries.emplace_back(fold, std::move(body));
  }
  uint64_t table = 0, prefix_table = 0;
  const uint64_t buckets = write_buckets(entries, kWordsPerBucket, bucket_sum, table);
  // The prefix lists (with a vocabulary only): each prefix's key, words
  // (the first, then each one's distance from the one before) and list.
  entries.clear();
  std::vector<std::string_view> listed;  // the prefixes the file has a list of
  for (const FilePrefix& p : prefixes) {
    const WordFile::List* l = find(placed_prefixes, p.key);
    if (!l) continue;  // no vocabulary, or a list without rows
    listed.push_back(p.prefix);
    std::string body;
    PutVarint(body, ZigZag(p.key));
    PutVarint(body, p.words.size());
    for (std::size_t i = 0; i < p.words.size(); ++i) PutVarint(body, i ? uint64_t(p.words[i] - p.words[i - 1]) : ZigZag(p.words[0]));
    put_list(body, *l);
    entries.emplace_back(p.prefix, std::move(body));
  }
  const uint64_t prefix_buckets = write_buckets(entries, 1, prefix_bucket_sum, prefix_table);
  // Every other prefix of kPrefixShortest to kPrefixLongest code points
  // that folds begin with: its words, as a fold's are in the vocabulary,
  // so that a prefix and `*` finds them without Orð.  Only a run of folds
  // that a pattern of the prefix finds whole (none goes on with U+10FFFF).
  std::sort(listed.begin(), listed.end());
  entries.clear();
  for (std::size_t n = kPrefixShortest; n <= kPrefixLongest && !folds.empty(); ++n)
    for (std::size_t i = 0; i < folds.size();) {
      const std::string_view p = CodePointPrefix(folds[i].first, n);
      if (p.empty()) {
        ++i;
        continue;
      }
      std::size_t j = i + 1;
      while (j < folds.size() && folds[j].first.substr(0, p.size()) == p) ++j;
      if (!std::binary_search(listed.begin(), listed.end(), p) &&
          folds[j - 1].first < db::prefix_upper_bound(std::string(p))) {
        std::vector<int64_t> words;
        for (std::size_t k = i; k < j; ++k) words.push_back(folds[k].second);
        std::sort(words.begin(), words.end());
        words.erase(std::unique(words.begin(), words.end()), words.end());
        std::string body;
        PutVarint(body, words.size());
        for (int64_t w : words) {
          PutVarint(body, ZigZag(w));
          put_list(body, *find(placed, w));  // every word's list is there (the vocabulary was written)
        }
        entries.emplace_back(p, std::move(body));
      }
      i = j;
    }
  uint64_t prefix_word_table = 0;
  const uint64_t prefix_word_buckets = write_buckets(entries, kWordsPerBucket, prefix_word_bucket_sum, prefix_word_table);
  if (ok) ok = write_all(fd, pending);
  if (ok) {
    std::string head(kMagic, sizeof kMagic);
    put64(head, kWordFileFormat);
    put64(head, uint64_t(build));
    put64(head, uint64_t(words_counter));
    put64(head, buckets);
    put64(head, table);
    put64(head, at);
    put64(head, prefix_buckets);
    put64(head, prefix_table);
    put64(head, kHeader);
    put64(head, order_positions);
    put64(head, prefix_word_buckets);
    put64(head, prefix_word_table);
    put64(head, uint64_t(header_sum(head)));
    ok = ::pwrite(fd, head.data(), head.size(), 0) == ssize_t(head.size());
  }
  // Not synced: a file the disk did not keep whole fails its checksums and
  // is not used; the catalogue's own lists are there.
  if (::close(fd) != 0) ok = false;
  if (!ok) return fail(std::string("cannot be written: ") + std::strerror(errno));
  if (::rename(temporary.c_str(), file.c_str()) != 0) return fail(std::string("cannot be renamed: ") + std::strerror(errno));
}

std::shared_ptr<WordFile> WordFile::Open(const std::string& database_file, int64_t build) {
  const std::string file = WordFileOf(database_file);
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  std::shared_ptr<WordFile> f(new WordFile);
  f->fd_ = fd;
  char head[kHeader] = {};
  struct stat st {};
  if (::fstat(fd, &st) != 0 || ::pread(fd, head, kHeader, 0) < ssize_t(kFirstHeader)) return nullptr;
  // One object for one file of one writing: what it has found and read is
  // every state's.
  static std::mutex open_mutex;
  static auto* open_files = new std::unordered_map<std::string, std::weak_ptr<WordFile>>;  // threads may outlive it
  const std::string key = file + "\n" + std::to_string(build) + "\n" + std::to_string(st.st_dev) + "\n" +
                          std::to_string(st.st_ino) + "\n" + std::to_string(st.st_size) + "\n" +
                          std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
  std::lock_guard<std::mutex> lock(open_mutex);
  if (auto it = open_files->find(key); it != open_files->end()) {
    if (auto open = it->second.lock()) return open;
  }
  for (auto it = open_files->begin(); it != open_files->end();) it = it->second.expired() ? open_files->erase(it) : std::next(it);
  const uint64_t format = get64(head + 8);
  if (std::memcmp(head, kMagic, sizeof kMagic) != 0 || format < kFirstFormat || format > kWordFileFormat) return nullptr;
  if (int64_t(get64(head + 16)) != build) return nullptr;  // another writing's
  const std::size_t summed = (format == kFirstFormat    ? kFirstHeader
                              : format == kPrefixFormat ? kPrefixHeader
                              : format == kOrderFormat  ? kOrderHeader
                                                        : kHeader) -
                             8;
  const uint64_t length = get64(head + 48), table = get64(head + 40), buckets = get64(head + 32);
  const uint64_t prefix_buckets = format == kFirstFormat ? 0 : get64(head + 56);
  const uint64_t prefix_table = format == kFirstFormat ? table : get64(head + 64);
  const uint64_t order_offset = format >= kOrderFormat ? get64(head + 72) : 0;
  const uint64_t order_positions = format >= kOrderFormat ? get64(head + 80) : 0;
  const uint64_t prefix_word_buckets = format >= kPrefixWordsFormat ? get64(head + 88) : 0;
  const uint64_t prefix_word_table = format >= kPrefixWordsFormat ? get64(head + 96) : prefix_table;
  // Each table within the file, after what comes before it; the numbers
  // of buckets bounded first, so that no product overflows.
  const bool sound = int64_t(get64(head + summed)) == header_sum(std::string_view(head, summed)) &&
                     length == uint64_t(st.st_size) && buckets < length && prefix_buckets < length &&
                     table <= length && (buckets == 0 || table + (buckets + 1) * 8 <= length) &&
                     (prefix_buckets == 0 || (prefix_table >= table && prefix_table + (prefix_buckets + 1) * 8 <= length)) &&
                     (order_positions == 0 || (order_positions <= UINT32_MAX && order_offset >= summed + 8 &&
                                               order_offset <= length && order_section(order_positions) <= length - order_offset)) &&
                     prefix_word_buckets < length &&
                     (prefix_word_buckets == 0 ||
                      (prefix_word_table >= prefix_table && prefix_word_table + (prefix_word_buckets + 1) * 8 <= length));
  if (!sound) {
    SayOnce(file, "the word file is damaged; searches read the word lists from the catalogue until `kvistur index` writes it again");
    return nullptr;
  }
  f->build_ = build;
  f->words_counter_ = int64_t(get64(head + 24));
  f->buckets_ = get64(head + 32);
  f->table_ = table;
  f->prefix_buckets_ = prefix_buckets;
  f->prefix_table_ = prefix_table;
  f->order_offset_ = order_offset;
  f->prefix_word_buckets_ = prefix_word_buckets;
  f->prefix_word_table_ = prefix_word_table;
  f->order_positions_ = uint32_t(order_positions);
  f->size_ = length;
  (*open_files)[key] = f;
  return f;
}

WordFile::~WordFile() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<OrderRow> WordFile::order_row(uint32_t c) const {
  if (uint64_t(c) * kChunk >= order_positions_) return std::nullopt;
  const uint64_t n = std::min<uint64_t>(kChunk, order_positions_ - uint64_t(c) * kChunk);
  std::string bytes(std::size_t(order_bytes(n)), '\0');
  read(order_offset_ + c * kWholeChunkBytes, bytes.data(), bytes.size());
  OrderRow r;
  r.ids = bytes.substr(0, std::size_t(n * 4));
  r.starts = bytes.substr(std::size_t(n * 4), std::size_t((n + 63) / 64 * 8));
  r.checksum = int64_t(get64(bytes.data() + bytes.size() - 8));
  return r;
}

std::optional<OrderChunk> WordFile::order_chunk(uint32_t c, uint32_t positions) const {
  if (positions != order_positions_) return std::nullopt;
  std::optional<OrderRow> row = order_row(c);
  if (!row) return std::nullopt;
  try {
    return DecodeOrder(build_, c, positions, row->ids, row->starts, row->checksum);
  } catch (const WordFileDamaged&) {
    throw;
  } catch (const Damaged& d) {
    throw WordFileDamaged(std::string("word file: ") + d.what());
  }
}

void WordFile::read(uint64_t offset, char* out, std::size_t n) const {
  if (offset > size_ || n > size_ - offset) throw WordFileDamaged("word file: a place past its end");
  while (n > 0) {
    ssize_t got = ::pread(fd_, out, n, off_t(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) throw WordFileDamaged(std::string("word file: cannot be read (") + (got < 0 ? std::strerror(errno) : "short") + ")");
    out += got;
    offset += uint64_t(got);
    n -= std::size_t(got);
  }
}

std::string_view WordFile::bucket(uint64_t b, uint64_t start, uint64_t end, std::string& buffer, Kind kind) const {
  // Each kind of bucket between what comes before it and its table.
  const uint64_t low = kind == kFolds ? 0 : kind == kPrefixes ? table_ : prefix_table_;
  const uint64_t high = kind == kFolds ? table_ : kind == kPrefixes ? prefix_table_ : prefix_word_table_;
  if (start > end || end - start < 8 || end - start > kMaxBucket || start < low || end > high)
    throw WordFileDamaged("word file: a bucket out of place");
  buffer.resize(std::size_t(end - start));
  read(start, buffer.data(), buffer.size());
  const std::string_view body = std::string_view(buffer).substr(0, buffer.size() - 8);
  const int64_t sum = kind == kFolds      ? bucket_sum(build_, b, body)
                      : kind == kPrefixes ? prefix_bucket_sum(build_, b, body)
                                          : prefix_word_bucket_sum(build_, b, body);
  if (int64_t(get64(buffer.data() + body.size())) != sum) throw WordFileDamaged("word file: a bucket's checksum does not match");
  return body;
}

WordFile::List WordFile::entry_list(std::string_view entry, std::size_t& at) const {
  List l;
  l.offset = GetVarint(entry, at);
  const uint64_t rows = GetVarint(entry, at);
  l.bytes = GetVarint(entry, at);
  if (rows == 0 || rows > l.bytes || l.offset < kFirstHeader || l.offset > table_ || l.bytes > table_ - l.offset ||
      rows * kRowEntry > l.bytes)
    throw WordFileDamaged("word file: a list out of place");
  l.rows = uint32_t(rows);
  return l;
}

std::pair<int64_t, WordFile::List> WordFile::entry_word(std::string_view entry, std::size_t& at) const {
  const int64_t word = UnZigZag(GetVarint(entry, at));
  return {word, entry_list(entry, at)};
}

WordFile::Prefix WordFile::entry_prefix(std::string_view entry) const {
  Prefix p;
  std::size_t at = 0;
  p.key = UnZigZag(GetVarint(entry, at));
  const uint64_t count = GetVarint(entry, at);
  if (count == 0 || count > entry.size()) throw WordFileDamaged("word file: a prefix of more words than bytes");
  p.words.reserve(std::size_t(count));
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t v = GetVarint(entry, at);
    if (i == 0) {
      p.words.push_back(UnZigZag(v));
    } else {
      // Ascending, each once: a step of at least one, to at most INT64_MAX
      // (the room left is worked out without a signed overflow, from a
      // word below zero too).
      const uint64_t last = uint64_t(p.words.back());
      if (v == 0 || v > uint64_t(INT64_MAX) - last) throw WordFileDamaged("word file: a prefix's words out of order");
      p.words.push_back(int64_t(last + v));
    }
  }
  p.list = entry_list(entry, at);
  if (at != entry.size()) throw WordFileDamaged("word file: bytes after a prefix's list");
  return p;
}

std::string_view WordFile::bucket(Kind kind, uint64_t b, std::string& buffer) const {
  char bounds[16];
  read((kind == kPrefixes ? prefix_table_ : prefix_word_table_) + b * 8, bounds, sizeof bounds);
  return bucket(b, get64(bounds), get64(bounds + 8), buffer, kind);
}

std::optional<WordFile::Prefix> WordFile::prefix(std::string_view fold) {
  if (prefix_buckets_ == 0) return std::nullopt;
  const uint64_t b = bucket_of(fold, prefix_buckets_);
  thread_local std::string buffer;
  const std::string_view body = bucket(kPrefixes, b, buffer);
  for (std::size_t at = 0; at < body.size();) {
    const auto [key, entry] = next_entry(body, at);
    if (key != fold) continue;
    Prefix p = entry_prefix(entry);
    std::lock_guard<std::mutex> lock(mutex_);
    if (known_prefixes_.size() >= kKnownAtMost) known_prefixes_.clear();
    known_prefixes_[p.key] = {std::string(fold), p.words.size(), WordsHash(p.words), p.list};
    return p;
  }
  return std::nullopt;
}

void WordFile::WalkPrefixes(const std::function<void(const std::string&, const Prefix&)>& each) const {
  std::string buffer;
  for (uint64_t b = 0; b < prefix_buckets_; ++b) {
    const std::string_view body = bucket(kPrefixes, b, buffer);
    for (std::size_t at = 0; at < body.size();) {
      const auto [prefix, entry] = next_entry(body, at);
      if (bucket_of(prefix, prefix_buckets_) != b) throw WordFileDamaged("word file: a prefix in another's bucket");
      each(std::string(prefix), entry_prefix(entry));
    }
  }
}

std::vector<int64_t> WordFile::words(std::string_view fold) {
  std::call_once(table_once_, [this] {
    const std::size_t n = std::size_t(buckets_ + 1);
    if (!kept_.Add(n * 8)) return;
    std::string bytes(n * 8, '\0');
    try {
      read(table_, bytes.data(), bytes.size());
    } catch (const Damaged&) {
      kept_.Clear();
      return;  // each look reads its own and finds the damage
    }
    starts_.resize(n);
    for (std::size_t i = 0; i < n; ++i) starts_[i] = get64(bytes.data() + 8 * i);
  });
  const uint64_t b = bucket_of(fold, buckets_);
  uint64_t start, end;
  if (!starts_.empty()) {
    start = starts_[b];
    end = starts_[b + 1];
  } else {
    char bounds[16];
    read(table_ + b * 8, bounds, sizeof bounds);
    start = get64(bounds);
    end = get64(bounds + 8);
  }
  // Most buckets fit a buffer of the thread's own.
  thread_local std::string buffer;
  const std::string_view body = bucket(b, start, end, buffer, kFolds);
  for (std::size_t at = 0; at < body.size();) {
    const auto [key, entry] = next_entry(body, at);
    if (key == fold) return take_words(entry);
  }
  return {};
}

template <class Each>
void WordFile::entry_words(std::string_view entry, Each&& each) const {
  std::size_t e = 0;
  const uint64_t count = GetVarint(entry, e);
  if (count == 0 || count > entry.size()) throw WordFileDamaged("word file: more words than bytes, or none");
  int64_t last = 0;
  for (uint64_t i = 0; i < count; ++i) {
    const auto [word, list] = entry_word(entry, e);
    if (i > 0 && word <= last) throw WordFileDamaged("word file: an entry's words out of order");
    last = word;
    each(word, list);
  }
  if (e != entry.size()) throw WordFileDamaged("word file: bytes after an entry's words");
}

std::vector<int64_t> WordFile::take_words(std::string_view entry) {
  std::vector<std::pair<int64_t, List>> found;
  entry_words(entry, [&](int64_t word, const List& list) { found.emplace_back(word, list); });
  std::vector<int64_t> out;
  out.reserve(found.size());
  std::lock_guard<std::mutex> lock(mutex_);
  if (known_.size() + found.size() > kKnownAtMost) known_.clear();
  for (const auto& [word, list] : found) {
    out.push_back(word);
    known_[word] = list;
  }
  return out;
}

std::optional<std::vector<int64_t>> WordFile::prefix_words(std::string_view fold) {
  if (prefix_word_buckets_ == 0) return std::nullopt;
  thread_local std::string buffer;
  const std::string_view body = bucket(kPrefixWords, bucket_of(fold, prefix_word_buckets_), buffer);
  for (std::size_t at = 0; at < body.size();) {
    const auto [key, entry] = next_entry(body, at);
    if (key == fold) return take_words(entry);
  }
  return std::nullopt;
}

void WordFile::WalkPrefixWords(const std::function<void(std::string_view, int64_t, const List&)>& each) const {
  std::string buffer;
  for (uint64_t b = 0; b < prefix_word_buckets_; ++b) {
    const std::string_view body = bucket(kPrefixWords, b, buffer);
    for (std::size_t at = 0; at < body.size();) {
      const auto [prefix, entry] = next_entry(body, at);
      if (bucket_of(prefix, prefix_word_buckets_) != b) throw WordFileDamaged("word file: a prefix in another's bucket");
      const std::string_view key = prefix;  // a lambda takes no structured binding
      entry_words(entry, [&](int64_t word, const List& list) { each(key, word, list); });
    }
  }
}

void WordFile::Walk(const std::function<void(std::string_view, int64_t, const List&)>& each) const {
  std::string starts(std::size_t(buckets_ + 1) * 8, '\0');
  read(table_, starts.data(), starts.size());
  if (get64(starts.data()) < kFirstHeader || get64(starts.data() + buckets_ * 8) != table_)
    throw WordFileDamaged("word file: the buckets do not fill their place");
  std::string buffer;
  for (uint64_t b = 0; b < buckets_; ++b) {
    const std::string_view body = bucket(b, get64(starts.data() + b * 8), get64(starts.data() + b * 8 + 8), buffer, kFolds);
    for (std::size_t at = 0; at < body.size();) {
      const auto [fold, entry] = next_entry(body, at);
      if (bucket_of(fold, buckets_) != b) throw WordFileDamaged("word file: a fold in another's bucket");
      const std::string_view key = fold;  // a lambda takes no structured binding
      entry_words(entry, [&](int64_t word, const List& list) { each(key, word, list); });
    }
  }
}

std::unique_ptr<db::Cursor> WordFile::ListRows(int64_t word, const List& list, int64_t from, int64_t to) const {
  return std::make_unique<FileRows>(shared_from_this(), word, list, from, to);
}

std::unique_ptr<db::Cursor> WordFile::PrefixListRows(int64_t key, const List& list, int64_t from) const {
  return std::make_unique<FileRows>(shared_from_this(), key, list, from, kLastRow, true);
}

std::unique_ptr<db::Cursor> WordFile::prefix_rows(int64_t key, int64_t from) {
  List l;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = known_prefixes_.find(key);
    if (it == known_prefixes_.end()) return nullptr;
    l = it->second.list;
  }
  return PrefixListRows(key, l, from);
}

std::optional<int64_t> WordFile::found_prefix(std::string_view fold, std::span<const int64_t> words) {
  const int64_t key = PrefixKey(fold);
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = known_prefixes_.find(key);
  if (it == known_prefixes_.end() || it->second.prefix != fold || it->second.words != words.size() ||
      it->second.hash != WordsHash(words))
    return std::nullopt;
  return key;
}

std::unique_ptr<db::Cursor> WordFile::rows(int64_t word, int64_t from, int64_t to) {
  List l;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = known_.find(word);
    if (it == known_.end()) return nullptr;
    l = it->second;
  }
  return ListRows(word, l, from, to);
}

}  // namespace kvistur::stored
