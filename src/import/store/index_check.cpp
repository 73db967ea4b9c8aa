#include "import/store/index_check.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <unordered_map>
#include <stdexcept>
#include <vector>

#include "import/store/facet_writer.h"
#include "import/store/indexes.h"
#include "import/store/search_index.h"
#include "import/store/sqlite_statement.h"
#include "platform/content_stamp.h"
#include "platform/sqlite_functions.h"
#include "search/record_order.h"
#include "search/stored_codec.h"
#include "search/stored_delta.h"
#include "search/word_file.h"

namespace kvistur::import {

namespace {

const char* const kNotUsed = ": the search does not use it until `kvistur index` writes it again";

// A word's rows of kv_postings (PREFIX: a prefix list's rows of
// kv_prefix_postings), one list at a time, in order.
class StoredLists {
 public:
  StoredLists(sqlite3* db, int64_t build, std::function<void(const std::string&)> find, bool prefix = false)
      : st_(db, prefix ? "SELECT list, upto, packed, checksum FROM kv_prefix_postings ORDER BY list, upto"
                       : "SELECT key >> 32, key, packed, checksum FROM kv_postings ORDER BY key"),
        build_(build), find_(std::move(find)), prefix_(prefix) {
    more_ = st_.step();
  }
  bool more() const { return more_; }
  int64_t word() const { return st_.integer(0); }
  int64_t upto() const { return prefix_ ? st_.integer(1) : stored::UptoOfKey(st_.integer(1)); }
  // The next word's entries; false when a row of it is damaged (said).
  bool next(std::vector<stored::Entry>& out) {
    out.clear();
    const int64_t w = word();
    stored::RowChain chain;
    bool sound = true;
    for (; more_ && st_.integer(0) == w; more_ = st_.step()) {
      ++rows_;
      if (!sound) continue;
      try {
        stored::PackedRow row;
        row.open(build_, w, upto(), st_.bytes(2), st_.is_integer(3) ? st_.integer(3) : 0, ~uint64_t(0), prefix_);
        chain.next(upto(), row.before(), row.last());
        std::vector<stored::Entry> entries = row.all_entries();
        out.insert(out.end(), entries.begin(), entries.end());
      } catch (const stored::Damaged& d) {
        find_(d.what());
        sound = false;
      }
    }
    try {
      if (sound) chain.end();
    } catch (const stored::Damaged& d) {
      find_(std::string(d.what()) + (prefix_ ? " (prefix list " : " (word ") + std::to_string(w) + ")");
      sound = false;
    }
    return sound;
  }
  long rows() const { return rows_; }

 private:
  SqliteStatement st_;
  int64_t build_;
  std::function<void(const std::string&)> find_;
  bool prefix_;
  bool more_ = false;
  long rows_ = 0;
};

using Triple = std::tuple<int64_t, int64_t, int64_t>;  // (record, group, field)

// Tengill's rows, one word at a time, each (record, group, field) once;
// and how many rows each record has.
class TableWords {
 public:
  explicit TableWords(sqlite3* db) : st_(db, "SELECT OrðID, FærsluID, HópID, Orðtag FROM Tengill ORDER BY OrðID") {
    more_ = st_.step();
  }
  bool more() const { return more_; }
  int64_t word() const { return st_.integer(0); }
  void next(std::vector<Triple>& out) {
    out.clear();
    const int64_t w = word();
    for (; more_ && st_.integer(0) == w; more_ = st_.step()) {
      out.emplace_back(st_.integer(1), st_.integer(2), st_.integer(3));
      ++rows_of_[st_.integer(1)];
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
  }
  // Once every word has been read.
  const std::unordered_map<int64_t, uint32_t>& rows_of() const { return rows_of_; }

 private:
  SqliteStatement st_;
  bool more_ = false;
  std::unordered_map<int64_t, uint32_t> rows_of_;
};

// Where two orders of the same records differ, or "".  Records that cannot
// be read into the result table are never ranked against others (the
// search fails at them), so only their being so is compared.
std::string compare_orders(const RankedRecords& tables, const RankedRecords& stored) {
  std::vector<int32_t> a = tables.ids, b = stored.ids;
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  if (a != b) return "kv_order: holds other records than Móðurtafla (" + std::to_string(b.size()) + " against " +
                      std::to_string(a.size()) + ")";
  if (tables.unreadable != stored.unreadable) return "kv_order: other records marked unreadable than Móðurtafla has";
  auto by_id = [](const RankedRecords& r) {
    std::vector<std::pair<int32_t, int32_t>> v;
    for (std::size_t i = 0; i < r.ids.size(); ++i) v.push_back({r.ids[i], r.ranks[i]});
    std::sort(v.begin(), v.end());
    return v;
  };
  auto ta = by_id(tables), sa = by_id(stored);
  struct Ranks {
    int32_t id, table, stored;
  };
  std::vector<Ranks> ranked;
  for (std::size_t i = 0; i < ta.size(); ++i) {
    if (std::binary_search(tables.unreadable.begin(), tables.unreadable.end(), ta[i].first)) continue;
    if ((ta[i].second < 0) != (sa[i].second < 0))
      return "kv_order: record " + std::to_string(ta[i].first) + " is placed where its sort text is null, or the other way";
    if (ta[i].second < 0) continue;
    auto side = [](int32_t r, int32_t absent) { return r < absent ? -1 : r > absent ? 1 : 0; };
    if (side(ta[i].second, tables.absent) != side(sa[i].second, stored.absent))
      return "kv_order: record " + std::to_string(ta[i].first) + " is on the wrong side of the empty text";
    ranked.push_back({ta[i].first, ta[i].second, sa[i].second});
  }
  std::sort(ranked.begin(), ranked.end(), [](const Ranks& x, const Ranks& y) { return x.table < y.table; });
  for (std::size_t i = 1; i < ranked.size(); ++i) {
    const Ranks &x = ranked[i - 1], &y = ranked[i];
    if ((x.table < y.table) != (x.stored < y.stored) || (x.table == y.table) != (x.stored == y.stored))
      return "kv_order: records " + std::to_string(x.id) + " and " + std::to_string(y.id) +
             " are not in the order of their sort texts";
  }
  return "";
}

}  // namespace

void IndexCheck::find(const std::string& line) {
  if (++findings_ <= kMaxLines) out_ << line << "\n";
  else if (findings_ == kMaxLines + 1) out_ << "(more findings are counted, not shown)\n";
}

void IndexCheck::Sqlite(sqlite3* db) {
  SqliteStatement st(db, "PRAGMA integrity_check(100)");
  while (st.step()) {
    std::string line = st.blob(0);
    if (line != "ok") find("SQLite: " + line);
  }
}

void IndexCheck::ContentStamp(sqlite3* db) {
  if (HasTable(db, "kv_search_meta") && !db::ContentStampInstalled(db))
    find(std::string("kv_state: the content stamp's triggers are missing or changed") + kNotUsed);
}

void IndexCheck::StoredIndex(sqlite3* db) {
  if (!HasTable(db, "kv_search_meta")) {
    summary_ = "no stored search index (searches read the tables)";
    return;
  }
  stored::Summary meta;
  const int64_t format = StoredFormat(db);
  if (format < 0) return find(std::string("kv_search_meta: no row with a format") + kNotUsed);
  if (format != stored::kFormat)
    return find("kv_search_meta: format " + std::to_string(format) + ", which this version does not read" + kNotUsed);
  try {
    meta = ReadSummary(db);
  } catch (const stored::Damaged& d) {
    return find(d.what() + std::string(kNotUsed));
  }
  // The tables the summary says are there: one missing is damage the
  // search meets as any other, never a reason to stop the check.
  std::vector<const char*> tables = {kOrderTable};
  if (meta.postings) tables.insert(tables.end(), std::begin(kListTables), std::end(kListTables));
  const long before = findings_;
  for (const char* t : tables)
    if (!HasTable(db, t)) find(std::string(t) + ": missing" + kNotUsed);
  if (findings_ != before) return;
  bool order_fresh = true, postings_fresh = meta.postings;
  if (meta.collator != collation_version()) {
    find("kv_search_meta: ordered with the collation of version " + meta.collator + ", the search sorts by " +
         collation_version() + kNotUsed);
    order_fresh = postings_fresh = false;
  }
  if (std::optional<db::StampCounters> stamp = db::ReadStampCounters(db); !stamp || stamp->records != meta.built_records) {
    find(std::string("kv_search_meta: written at another state of Móðurtafla") + kNotUsed);
    order_fresh = postings_fresh = false;
  } else if (meta.postings && stamp->links != meta.built_links) {
    find(std::string("kv_search_meta: written at another state of Tengill (its word lists)") + kNotUsed);
    postings_fresh = false;
  }

  // Every chunk of the order, the delta and the counts, in turn.
  const uint32_t chunks = uint32_t((meta.positions + stored::kChunk - 1) / stored::kChunk);
  std::vector<std::optional<stored::OrderChunk>> order(chunks);
  bool order_whole = read_chunks(db, meta, "kv_order", chunks, [&](SqliteStatement& st, int64_t c) {
    order[std::size_t(c)] = stored::DecodeOrder(meta.build, c, meta.positions, st.bytes(1), st.bytes(2), st.integer(3));
  });
  std::unique_ptr<StoredDelta> delta;
  std::map<int32_t, std::vector<stored::Link>> delta_links;  // by record
  std::map<int64_t, std::vector<stored::Link>> delta_words;  // by word: (record, group, field)
  bool delta_whole = read_delta(db, meta, delta, delta_links, delta_words);

  if (order_whole && delta_whole && order_fresh) {
    RankedRecords tables;
    if (!ReadRanks(db, tables)) {
      find("Móðurtafla: cannot be ordered (a record number twice or held as text)");
    } else {
      try {
        std::string differs = compare_orders(
            tables, StoredRanks(meta, [&](uint32_t c) -> const stored::OrderChunk& { return *order[c]; }, delta.get()));
        if (!differs.empty()) find(differs);
      } catch (const stored::Damaged& d) {
        find(d.what());
      }
    }
  }

  long words = 0, rows = 0;
  if (meta.postings) {
    std::vector<uint32_t> counts;
    bool counts_whole = read_chunks(db, meta, "kv_counts", chunks, [&](SqliteStatement& st, int64_t c) {
      std::vector<uint32_t> these = stored::DecodeCounts(meta.build, c, meta.positions, st.bytes(1), st.integer(2));
      counts.insert(counts.end(), these.begin(), these.end());
    });
    auto id_at = [&](uint32_t p) { return order[p / stored::kChunk]->ids[p % stored::kChunk]; };
    auto live = [&](uint32_t p) { return !delta || !delta->masked(p); };
    StoredLists stored(db, meta.build, [&](const std::string& line) { find(line); });
    std::optional<TableWords> table;
    const bool compare = postings_fresh && order_whole && delta_whole;
    if (compare) table.emplace(db);
    auto next_delta = delta_words.begin();
    std::vector<stored::Entry> entries;
    std::vector<Triple> want, got;
    for (;;) {
      int64_t w = INT64_MAX;
      if (stored.more()) w = stored.word();
      if (table && table->more()) w = std::min(w, table->word());
      if (next_delta != delta_words.end()) w = std::min(w, next_delta->first);
      if (w == INT64_MAX) break;
      got.clear();
      bool in_delta = next_delta != delta_words.end() && next_delta->first == w;
      if (in_delta) {
        for (const stored::Link& l : next_delta->second) got.emplace_back(l.a, l.group, l.field);
        ++next_delta;
      }
      bool has_rows = stored.more() && stored.word() == w, sound = true;
      if (has_rows) {
        ++words;
        sound = stored.next(entries);
      } else {
        entries.clear();
      }
      want.clear();
      if (table && table->more() && table->word() == w) table->next(want);
      // A word without rows anywhere is one the search reads from the
      // tables (a word of Orð that came later): only its links, if it has
      // any, are missing.
      if (!compare || !sound) continue;
      bool in_range = true;
      for (const stored::Entry& e : entries) {
        if (e.position >= meta.positions) {
          in_range = false;
          break;
        }
        if (!live(e.position)) continue;
        for (std::size_t bit = 0; bit < meta.combos.size(); ++bit)
          if (e.mask >> bit & 1) got.emplace_back(id_at(e.position), meta.combos[bit].first, meta.combos[bit].second);
      }
      std::sort(got.begin(), got.end());
      if (!in_range || got != want)
        find("kv_postings: word " + std::to_string(w) + " gives " + std::to_string(got.size()) +
             " record, group and field triples, Tengill " + std::to_string(want.size()));
    }
    rows = stored.rows();
    prefix_lists(db, meta, compare);
    // Each record's rows of Tengill, as many as the index counted (an
    // update relies on them to know it saw every row of a record).
    if (compare && counts_whole && table) {
      const auto& tengill = table->rows_of();
      auto rows_of = [&](int64_t id) {
        auto it = tengill.find(id);
        return it == tengill.end() ? 0u : it->second;
      };
      for (uint32_t p = 0; p < counts.size(); ++p)
        if (live(p) && counts[p] != rows_of(id_at(p)))
          find("kv_counts: position " + std::to_string(p) + " counts " + std::to_string(counts[p]) + " rows of record " +
               std::to_string(id_at(p)) + ", Tengill has " + std::to_string(rows_of(id_at(p))));
      for (const auto& [id, links] : delta_links)
        if (links.size() != rows_of(id))
          find("kv_delta: record " + std::to_string(id) + " holds " + std::to_string(links.size()) + " rows of Tengill, "
               "Tengill has " + std::to_string(rows_of(id)));
    }
  }
  summary_ = "stored search index of " + std::to_string(meta.records) + " records, " + std::to_string(chunks) +
             " rows of the order, " + std::to_string(words) + " words in " + std::to_string(rows) + " rows";
  if (meta.delta_records)
    summary_ += ", updated since for " + std::to_string(meta.delta_records) + " records in " +
                std::to_string(meta.delta_words) + " words";
  if (meta.postings) word_file(db, meta);
}

void IndexCheck::word_file(sqlite3* db, const stored::Summary& meta) {
  const char* name = sqlite3_db_filename(db, "main");
  if (!name || !*name) return;
  const std::string path = stored::WordFileOf(name);
  const std::string not_used = ": the search reads the word lists from the catalogue until `kvistur index` writes it again";
  // None (a copy, a server's schema read into a file): the lists come
  // from kv_postings, which the check has read.
  struct ::stat st {};
  if (::stat(path.c_str(), &st) != 0) return;
  std::shared_ptr<stored::WordFile> file = stored::WordFile::Open(name, meta.build);
  if (!file) return find(path + ": written with another stored index, or damaged" + not_used);
  std::map<int64_t, stored::WordFile::List> lists;
  std::map<std::string, std::vector<int64_t>, std::less<>> folds;
  try {
    file->Walk([&](std::string_view fold, int64_t word, const stored::WordFile::List& list) {
      folds[std::string(fold)].push_back(word);
      lists[word] = list;
    });
  } catch (const stored::Damaged& d) {
    return find(path + ": " + d.what() + not_used);
  }
  const long before = findings_;
  // Each list the vocabulary names, row for row as kv_postings has it.
  SqliteStatement st_rows(db, "SELECT key >> 32, key, packed, checksum FROM kv_postings ORDER BY key");
  bool more = st_rows.step();
  std::size_t compared = 0;
  for (const auto& [word, list] : lists) {
    while (more && st_rows.integer(0) < word) more = st_rows.step();
    try {
      auto got = file->ListRows(word, list, stored::PostingKey(word, 0), stored::PostingKey(word, stored::kLastRow));
      bool same = true;
      for (; more && st_rows.integer(0) == word; more = st_rows.step())
        same = same && got->Next() && got->Integer(0) == st_rows.integer(1) && got->Bytes(1) == st_rows.bytes(2) &&
               got->Integer(2) == st_rows.integer(3);
      if (!same || got->Next()) find(path + ": word " + std::to_string(word) + "'s list is not its rows of kv_postings" + not_used);
      ++compared;
    } catch (const stored::Damaged& d) {
      find(path + ": word " + std::to_string(word) + ": " + d.what() + not_used);
    }
    if (findings_ - before >= kMaxLines) break;
  }
  // The order's chunks, each as kv_order has it (a file of an earlier
  // format holds none, and the search reads kv_order).
  if (file->order_positions() != 0) {
    if (int64_t(file->order_positions()) != meta.positions) {
      find(path + ": an order of " + std::to_string(file->order_positions()) + " positions, the index has " +
           std::to_string(meta.positions) + not_used);
    } else {
      SqliteStatement order(db, "SELECT chunk, ids, starts, checksum FROM kv_order ORDER BY chunk");
      uint32_t c = 0;
      for (; order.step() && findings_ - before < kMaxLines; ++c) {
        try {
          std::optional<stored::OrderRow> got = file->order_row(uint32_t(order.integer(0)));
          if (!got || order.integer(0) != int64_t(c) || got->ids != order.blob(1) || got->starts != order.blob(2) ||
              got->checksum != order.integer(3))
            find(path + ": chunk " + std::to_string(c) + " of the order is not kv_order's row" + not_used);
        } catch (const stored::Damaged& d) {
          find(path + ": chunk " + std::to_string(c) + " of the order: " + d.what() + not_used);
        }
      }
    }
  }
  // The vocabulary, when it stands for Orð now: each fold's words as Orð has them.
  std::optional<db::StampCounters> stamp = db::ReadStampCounters(db);
  const bool at_state = stamp && file->vocabulary_at(stamp->words);
  std::map<std::string, std::vector<int64_t>, std::less<>> orð;
  if (at_state) {
    for (auto& [fold, word] : WordFolds(db)) orð[fold].push_back(word);
    for (auto& [fold, words] : orð) {
      std::sort(words.begin(), words.end());
      words.erase(std::unique(words.begin(), words.end()), words.end());
    }
    for (auto& [fold, words] : folds) std::sort(words.begin(), words.end());
    if (orð != folds) {
      std::size_t differ = 0;
      for (auto& [fold, words] : orð) differ += folds.count(fold) == 0 || folds.at(fold) != words;
      for (auto& [fold, words] : folds) differ += orð.count(fold) == 0;
      find(path + ": " + std::to_string(differ) + " folds whose words are not Orð's" + not_used);
    }
  }
  // The words Orð's pattern of PREFIX and `*` finds: those of the folds from
  // the prefix up to it and U+10FFFF, ascending, each once.
  auto pattern_words = [&](const std::string& prefix) {
    std::vector<int64_t> found;
    const std::string end = db::prefix_upper_bound(prefix);
    for (auto at = orð.lower_bound(prefix); at != orð.end() && at->first < end; ++at)
      found.insert(found.end(), at->second.begin(), at->second.end());
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    return found;
  };
  // The words of each prefix without a list: each word's list the one the
  // vocabulary gives it and, at Orð's state, the words those its pattern
  // finds (the folds from the prefix up to it and U+10FFFF).
  try {
    std::map<std::string, std::vector<int64_t>, std::less<>> prefix_words;
    file->WalkPrefixWords([&](std::string_view prefix, int64_t word, const stored::WordFile::List& list) {
      auto known = lists.find(word);
      if (known == lists.end() || known->second.offset != list.offset || known->second.rows != list.rows ||
          known->second.bytes != list.bytes)
        find(path + ": word " + std::to_string(word) + " of prefix " + std::string(prefix) +
             " has another list than its fold's" + not_used);
      prefix_words[std::string(prefix)].push_back(word);
    });
    if (at_state)
      for (const auto& [prefix, words] : prefix_words) {
        if (findings_ - before >= kMaxLines) break;
        if (pattern_words(prefix) != words) find(path + ": the words of prefix " + prefix + " are not those Orð's pattern of it finds" + not_used);
      }
  } catch (const stored::Damaged& d) {
    find(path + ": " + d.what() + not_used);
  }
  // Each prefix list: its prefix and words as kv_prefixes has them (and,
  // when the vocabulary stands for Orð, the words a pattern of the prefix
  // finds), its rows as kv_prefix_postings has them.
  std::size_t prefixes = 0;
  try {
    SqliteStatement known(db, "SELECT prefix, words, hash FROM kv_prefixes WHERE key = ?");
    SqliteStatement rows(db, "SELECT upto, packed, checksum FROM kv_prefix_postings WHERE list = ? ORDER BY upto");
    file->WalkPrefixes([&](const std::string& prefix, const stored::WordFile::Prefix& p) {
      ++prefixes;
      if (findings_ - before >= kMaxLines) return;
      const std::string where = path + ": the list of prefix key " + std::to_string(p.key);
      known.bind(1, p.key);
      const bool same = known.step() && known.blob(0) == prefix && known.integer(1) == int64_t(p.words.size()) &&
                        known.integer(2) == stored::WordsHash(p.words);
      known.reset();
      if (!same) return find(where + " is not kv_prefixes' list of its prefix" + not_used);
      if (at_state && pattern_words(prefix) != p.words)
        return find(where + ": its words are not those Orð's pattern of it finds" + not_used);
      try {
        auto got = file->PrefixListRows(p.key, p.list, 0);
        bool rows_same = true;
        for (rows.bind(1, p.key); rows.step();)
          rows_same = rows_same && got->Next() && got->Integer(0) == rows.integer(0) && got->Bytes(1) == rows.bytes(1) &&
                      got->Integer(2) == rows.integer(2);
        rows.reset();
        if (!rows_same || got->Next()) find(where + " is not its rows of kv_prefix_postings" + not_used);
      } catch (const stored::Damaged& d) {
        rows.reset();
        find(where + ": " + d.what() + not_used);
      }
    });
  } catch (const stored::Damaged& d) {
    find(path + ": " + d.what() + not_used);
  }
  summary_ += "; a word file of " + std::to_string(folds.size()) + " folds, " + std::to_string(compared) + " lists and " +
              std::to_string(prefixes) + " prefix lists";
}

void IndexCheck::prefix_lists(sqlite3* db, const stored::Summary& meta, bool compare) {
  std::map<int64_t, stored::PrefixRow> prefixes;
  {
    SqliteStatement st(db, "SELECT key, prefix, words, hash, checksum FROM kv_prefixes ORDER BY key");
    while (st.step()) {
      stored::PrefixRow r;
      r.key = st.integer(0);
      r.prefix = st.blob(1);
      r.words = st.integer(2);
      r.hash = st.integer(3);
      r.checksum = st.integer(4);
      const std::string where = "kv_prefixes key " + std::to_string(r.key);
      bool numbers = st.is_integer(0) && st.is_integer(2) && st.is_integer(3) && st.is_integer(4);
      if (!numbers || r.checksum != r.sum(meta.build)) find(where + ": the checksum does not match");
      else if (r.key != stored::PrefixKey(r.prefix)) find(where + ": not the key of its prefix");
      else prefixes.emplace(r.key, std::move(r));
    }
  }
  // The folds of Orð's words, for the words each prefix starts.
  std::vector<std::pair<std::string, int64_t>> folds;
  if (compare) {
    folds = WordFolds(db);
    std::sort(folds.begin(), folds.end());
  }
  SqliteStatement word_rows(db, "SELECT key, packed, checksum FROM kv_postings WHERE key BETWEEN ? AND ? ORDER BY key");
  // The union of the words' entries, or none when a row of one is damaged
  // (found already).
  auto union_of = [&](const std::vector<int64_t>& words) -> std::optional<std::vector<stored::Entry>> {
    std::map<uint32_t, uint64_t> masks;
    for (int64_t w : words) {
      if (!stored::KeyedWord(w)) return std::nullopt;  // a word the index could not hold (found already)
      word_rows.bind(1, stored::PostingKey(w, 0)).bind(2, stored::PostingKey(w, stored::kLastRow));
      try {
        stored::PackedRow row;
        while (word_rows.step()) {
          row.open(meta.build, w, stored::UptoOfKey(word_rows.integer(0)), word_rows.bytes(1), word_rows.integer(2),
                   ~uint64_t(0));
          for (const stored::Entry& e : row.all_entries()) masks[e.position] |= e.mask;
        }
      } catch (const stored::Damaged&) {
        word_rows.reset();
        return std::nullopt;
      }
      word_rows.reset();
    }
    std::vector<stored::Entry> out;
    for (auto [p, m] : masks) out.push_back({p, m});
    return out;
  };
  auto compare_list = [&](const stored::PrefixRow& r, const std::vector<stored::Entry>& entries) {
    auto from = std::lower_bound(folds.begin(), folds.end(), std::make_pair(r.prefix, INT64_MIN));
    std::vector<int64_t> words;
    for (auto at = from; at != folds.end() && at->first.compare(0, r.prefix.size(), r.prefix) == 0; ++at)
      words.push_back(at->second);
    std::sort(words.begin(), words.end());
    words.erase(std::unique(words.begin(), words.end()), words.end());
    if (int64_t(words.size()) != r.words || stored::WordsHash(words) != r.hash) return;
    std::optional<std::vector<stored::Entry>> want = union_of(words);
    bool same = want && want->size() == entries.size();
    for (std::size_t i = 0; same && i < entries.size(); ++i)
      same = (*want)[i].position == entries[i].position && (*want)[i].mask == entries[i].mask;
    if (want && !same)
      find("kv_prefix_postings: the list of key " + std::to_string(r.key) + " has " + std::to_string(entries.size()) +
           " entries, not the union of its " + std::to_string(words.size()) + " words' lists (" +
           std::to_string(want->size()) + ")");
  };
  StoredLists lists(db, meta.build, [&](const std::string& line) { find(line); }, true);
  std::set<int64_t> listed;
  while (lists.more()) {
    const int64_t list = lists.word();
    std::vector<stored::Entry> entries;
    const bool sound = lists.next(entries);
    listed.insert(list);
    auto r = prefixes.find(list);
    if (r == prefixes.end()) {
      find("kv_prefix_postings: list " + std::to_string(list) + " of no prefix");
      continue;
    }
    bool in_range = true;
    for (const stored::Entry& e : entries) in_range = in_range && e.position < meta.positions;
    if (!in_range) find("kv_prefix_postings: list " + std::to_string(list) + ": a position out of range");
    else if (sound && compare) compare_list(r->second, entries);
  }
  for (const auto& [key, r] : prefixes)
    if (!listed.count(key)) find("kv_prefixes key " + std::to_string(key) + ": its list has no rows");
}

bool IndexCheck::read_chunks(sqlite3* db, const stored::Summary& meta, const std::string& table, uint32_t chunks,
                             const std::function<void(SqliteStatement&, int64_t)>& decode) {
  std::vector<bool> seen(chunks), sound(chunks);
  const std::string columns = table == "kv_order" ? "chunk, ids, starts, checksum" : "chunk, counts, checksum";
  SqliteStatement st(db, "SELECT " + columns + " FROM " + table + " ORDER BY chunk");
  while (st.step()) {
    const int64_t c = st.integer(0);
    if (!st.is_integer(0) || c < 0 || c >= int64_t(chunks) || seen[std::size_t(c)]) {
      find(table + ": a row of no chunk (" + st.text(0) + ")");
      continue;
    }
    seen[std::size_t(c)] = true;
    try {
      decode(st, c);
      sound[std::size_t(c)] = true;
    } catch (const stored::Damaged& d) {
      find(d.what());
    }
  }
  bool whole = true;
  for (uint32_t c = 0; c < chunks; ++c) {
    whole = whole && sound[c];
    if (!seen[c]) find(table + " chunk " + std::to_string(c) + ": missing");
  }
  return whole;
}

bool IndexCheck::read_delta(sqlite3* db, const stored::Summary& meta, std::unique_ptr<StoredDelta>& delta,
                            std::map<int32_t, std::vector<stored::Link>>& links,
                            std::map<int64_t, std::vector<stored::Link>>& words) {
  if (!meta.postings) return true;
  const long before = findings_;
  std::vector<stored::DeltaRecord> records;
  {
    SqliteStatement st(db, "SELECT id, base, kind, place, equal, key, links, checksum FROM kv_delta");
    while (st.step()) {
      try {
        stored::DeltaRecord d = stored::DeltaRecord::Read(st);
        d.check(meta);
        links[int32_t(d.id)] = d.links;
        records.push_back(std::move(d));
      } catch (const stored::Damaged& d) {
        find(d.what());
      }
    }
  }
  if (int64_t(records.size()) != meta.delta_records)
    find("kv_delta: " + std::to_string(records.size()) + " sound rows, the summary says " +
         std::to_string(meta.delta_records));
  try {
    delta = std::make_unique<StoredDelta>(meta, std::move(records));
  } catch (const stored::Damaged& d) {
    find(d.what());
    return false;
  }
  SqliteStatement st(db, "SELECT word, packed, checksum FROM kv_delta_postings");
  int64_t rows = 0;
  while (st.step()) {
    ++rows;
    const int64_t w = st.integer(0);
    const std::string where = "kv_delta_postings word " + std::to_string(w);
    if (st.integer(2) != stored::DeltaPostingsSum(meta.build, w, st.bytes(1))) {
      find(where + ": the checksum does not match");
      continue;
    }
    try {
      words[w] = stored::DecodeLinks(st.bytes(1));
      for (const stored::Link& l : words[w]) {
        const StoredDelta::Record* d = l.a == int32_t(l.a) ? delta->find(int32_t(l.a)) : nullptr;
        if (!d || d->kind == stored::kGone) throw stored::Damaged(where + ": a record not in kv_delta");
      }
    } catch (const stored::Damaged& d) {
      find(d.what());
    }
  }
  if (rows != meta.delta_words)
    find("kv_delta_postings: " + std::to_string(rows) + " rows, the summary says " + std::to_string(meta.delta_words));
  return findings_ == before;
}

namespace {

const char* const kNotRead = ": the facets are worked out from the tables until `kvistur index` writes it again";

// The first entry where A and B differ, by record (or holder) number; the
// places compared by name.
std::string first_difference(const facets::FacetRows& a, const facets::FacetRows& b) {
  for (std::size_t i = 0; i < std::max(a.records.size(), b.records.size()); ++i) {
    if (i < a.records.size() && i < b.records.size() && a.records[i] == b.records[i]) continue;
    int32_t id = i < a.records.size() && (i >= b.records.size() || a.records[i].id <= b.records[i].id) ? a.records[i].id
                                                                                                     : b.records[i].id;
    return "kv_facets: record " + std::to_string(id) + " is not as the tables have it";
  }
  auto names = [](const facets::FacetRows& r, const stored::FacetHolder& h) {
    std::vector<std::string> out;
    for (uint16_t p : h.places) out.push_back(r.places[p]);
    std::sort(out.begin(), out.end());
    return out;
  };
  for (std::size_t i = 0; i < std::max(a.holders.size(), b.holders.size()); ++i) {
    if (i < a.holders.size() && i < b.holders.size() && a.holders[i].id == b.holders[i].id &&
        a.holders[i].copies == b.holders[i].copies && names(a, a.holders[i]) == names(b, b.holders[i]))
      continue;
    int32_t id = i < a.holders.size() && (i >= b.holders.size() || a.holders[i].id <= b.holders[i].id)
                     ? a.holders[i].id
                     : b.holders[i].id;
    return "kv_facet_copies: the copies of record " + std::to_string(id) + " are not as the tables have them";
  }
  return "";
}

}  // namespace

void IndexCheck::Facets(sqlite3* db) {
  if (!HasTable(db, "kv_facet_meta")) {
    summary_ += (summary_.empty() ? "" : "; ") + std::string("no facet data (the facets are worked out from the tables)");
    return;
  }
  facets::StoredFacets data;
  try {
    facets::Stored got = facets::ReadStoredFacets(SqliteRows(db), data);
    if (got == facets::Stored::kNone) return find(std::string("kv_facet_meta: no row") + kNotRead);
    if (got == facets::Stored::kOtherFormat)
      return find(std::string("kv_facet_meta: a format this version does not read") + kNotRead);
  } catch (const stored::Damaged& d) {
    return find(d.what() + std::string(kNotRead));
  } catch (const std::runtime_error& e) {
    return find(std::string("the facet data cannot be read (") + e.what() + ")" + kNotRead);
  }
  std::optional<db::StampCounters> stamp = db::ReadStampCounters(db);
  if (!stamp || stamp->records != data.meta.built_records || stamp->links != data.meta.built_links)
    return find(std::string("kv_facet_meta: written at another state of Móðurtafla or Tengill") + kNotRead);
  if (stamp->facts != data.meta.built_facts)
    return find(std::string("kv_facet_meta: written at another state of the copies or source records") + kNotRead);
  if (!db::FactsStampInstalled(db))
    return find(std::string("kv_state: the triggers of facts are missing or changed") + kNotRead);
  std::string differs = first_difference(data.rows, FacetRowsOfTables(db));
  if (!differs.empty()) find(differs);
  summary_ += (summary_.empty() ? "" : "; ") + std::string("facet data of ") + std::to_string(data.meta.records) +
              " records";
}

long CheckCatalogueFile(const std::string& file, const std::string& shown, bool whole_file, std::ostream& out) {
  db::SqliteConnection db = OpenSqlite(file, SQLITE_OPEN_READONLY);
  // A writer's commit in progress is waited for, as a host's read waits.
  constexpr int kBusyTimeoutMs = 10000;
  sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
  IndexCheck check(out);
  try {
    RegisterKvFunctions(db.get());
    if (!HasTable(db.get(), "Orð") || !HasTable(db.get(), "Tengill"))
      throw std::runtime_error("not a catalogue (no tables Orð and Tengill)");
    // One state of the file throughout.
    ExecSql(db.get(), "BEGIN");
    if (whole_file) check.Sqlite(db.get());
    if (whole_file) check.ContentStamp(db.get());
    check.StoredIndex(db.get());
    check.Facets(db.get());
  } catch (const std::exception& e) {
    throw std::runtime_error(shown + ": " + e.what());
  }
  out << shown << ": " << (check.findings() ? std::to_string(check.findings()) + " findings" : std::string("sound"))
      << "; " << check.summary() << "\n";
  return check.findings();
}

}  // namespace kvistur::import
