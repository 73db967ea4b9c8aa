#include "import/store/search_index.h"

#include <sqlite3.h>

#include <algorithm>
#include <map>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "import/store/indexes.h"
#include "import/store/sqlite_statement.h"
#include "platform/content_stamp.h"
#include "platform/sqlite_functions.h"
#include "search/id_map.h"
#include "search/record_order.h"
#include "search/stored_codec.h"

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
bool lay_out(sqlite3* db, Layout& out) {
  RankedRecords r;
  if (!ReadRanks(db, r)) return false;
  std::vector<uint32_t> ordered, special;
  std::vector<uint32_t> unreadable_at;
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

// One word's entries, sorted and each position once, as its rows.
void write_word(SqliteStatement& insert, int64_t build, int64_t word, std::vector<stored::Entry>& entries) {
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.position < b.position; });
  std::size_t n = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (n > 0 && entries[n - 1].position == entries[i].position) entries[n - 1].mask |= entries[i].mask;
    else entries[n++] = entries[i];
  }
  for (const stored::PostingsRow& row : stored::EncodePostings(build, word, std::span(entries.data(), n))) {
    insert.bind(1, word).bind(2, row.upto).bind_blob(3, row.packed).bind(4, row.checksum);
    insert.run();
  }
}

// The integer numbers of Orð's words, ascending, each once: every one gets
// rows, an empty one when no link has it, so that a word without rows is
// one the index does not know.
std::vector<int64_t> word_numbers(sqlite3* db) {
  std::vector<int64_t> out;
  SqliteStatement st(db, "SELECT ID FROM Orð WHERE typeof(ID) = 'integer' ORDER BY ID");
  while (st.step()) out.push_back(st.integer(0));
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

// Each word's positions from Tengill; record numbers Tengill holds without
// a Móðurtafla row get positions after the records.  False (with nothing
// kept) when Tengill holds a number that is not a 32-bit integer or more
// pairs of group and field than a mask can hold.
bool write_postings(sqlite3* db, Layout& layout, int64_t build, std::vector<std::pair<int64_t, int64_t>>& pairs) {
  ExecSql(db,
          "CREATE TABLE kv_postings (word INTEGER NOT NULL, upto INTEGER NOT NULL, packed BLOB NOT NULL, "
          "checksum INTEGER NOT NULL, PRIMARY KEY (word, upto)) WITHOUT ROWID;");
  SqliteStatement insert(db, "INSERT INTO kv_postings (word, upto, packed, checksum) VALUES (?, ?, ?, ?)");
  std::map<std::pair<int64_t, int64_t>, int> combos;
  std::unordered_map<int32_t, uint32_t> orphans;
  const std::vector<int64_t> words = word_numbers(db);
  std::size_t next_word = 0;
  std::vector<stored::Entry> entries, none;
  // The words of Orð before W that no link has.
  auto empty_words_before = [&](int64_t w) {
    for (; next_word < words.size() && words[next_word] < w; ++next_word) write_word(insert, build, words[next_word], none);
    if (next_word < words.size() && words[next_word] == w) ++next_word;
  };
  SqliteStatement rows(db, "SELECT OrðID, FærsluID, HópID, Orðtag FROM Tengill ORDER BY OrðID");
  int64_t word = 0;
  bool any = false;
  while (rows.step()) {
    for (int i = 0; i < 4; ++i)
      if (!rows.is_integer(i)) return false;
    int64_t w = rows.integer(0), record = rows.integer(1);
    if (record < INT32_MIN || record > INT32_MAX) return false;
    auto pair = std::make_pair(rows.integer(2), rows.integer(3));
    auto c = combos.find(pair);
    if (c == combos.end()) {
      if (combos.size() == stored::kMaxCombos) return false;
      c = combos.emplace(pair, int(combos.size())).first;
    }
    uint32_t p = layout.at.find(int32_t(record));
    if (p == kNoPosition) {
      auto o = orphans.find(int32_t(record));
      if (o == orphans.end()) {
        if (layout.ids.size() >= uint64_t(stored::kMaxPositions)) return false;
        o = orphans.emplace(int32_t(record), uint32_t(layout.ids.size())).first;
        layout.ids.push_back(int32_t(record));
      }
      p = o->second;
    }
    if (layout.counts.size() < layout.ids.size()) layout.counts.resize(layout.ids.size());
    ++layout.counts[p];
    if (any && w != word) {
      write_word(insert, build, word, entries);
      entries.clear();
    }
    if (!any || w != word) empty_words_before(w);
    any = true;
    word = w;
    entries.push_back({p, uint64_t(1) << c->second});
  }
  if (any) write_word(insert, build, word, entries);
  empty_words_before(INT64_MAX);
  pairs.assign(combos.size(), {});
  for (auto& [pair, bit] : combos) pairs[std::size_t(bit)] = pair;
  return true;
}

// The number of Tengill's rows of each position, in chunks as the order's.
void write_counts(sqlite3* db, Layout& layout, int64_t build) {
  ExecSql(db, "CREATE TABLE kv_counts (chunk INTEGER PRIMARY KEY, counts BLOB NOT NULL, checksum INTEGER NOT NULL);");
  SqliteStatement insert(db, "INSERT INTO kv_counts (chunk, counts, checksum) VALUES (?, ?, ?)");
  layout.counts.resize(layout.ids.size());
  for (std::size_t from = 0, c = 0; from < layout.counts.size(); from += stored::kChunk, ++c) {
    std::size_t len = std::min<std::size_t>(stored::kChunk, layout.counts.size() - from);
    stored::CountsRow row = stored::EncodeCounts(build, int64_t(c), std::span(layout.counts.data() + from, len));
    insert.bind(1, int64_t(c)).bind_blob(2, row.counts).bind(3, row.checksum).run();
  }
}

void write_order(sqlite3* db, const Layout& layout, int64_t build) {
  ExecSql(db, "CREATE TABLE kv_order (chunk INTEGER PRIMARY KEY, ids BLOB NOT NULL, starts BLOB NOT NULL, "
              "checksum INTEGER NOT NULL);");
  SqliteStatement insert(db, "INSERT INTO kv_order (chunk, ids, starts, checksum) VALUES (?, ?, ?, ?)");
  const std::size_t n = layout.ids.size();
  std::vector<uint64_t> starts;
  for (std::size_t from = 0, c = 0; from < n; from += stored::kChunk, ++c) {
    std::size_t len = std::min<std::size_t>(stored::kChunk, n - from);
    starts.assign((len + 63) / 64, 0);
    for (std::size_t i = 0; i < len; ++i) {
      std::size_t p = from + i;
      if (p < layout.ordered && (layout.starts[p / 64] >> (p % 64) & 1)) starts[i / 64] |= uint64_t(1) << (i % 64);
    }
    stored::OrderRow row = stored::EncodeOrder(build, int64_t(c), std::span(layout.ids.data() + from, len), starts);
    insert.bind(1, int64_t(c)).bind_blob(2, row.ids).bind_blob(3, row.starts).bind(4, row.checksum).run();
  }
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

void WriteSearchIndex(sqlite3* db) {
  ExecSql(db,
          "DROP TABLE IF EXISTS kv_search_meta; DROP TABLE IF EXISTS kv_order; DROP TABLE IF EXISTS kv_postings;"
          "DROP TABLE IF EXISTS kv_combos; DROP TABLE IF EXISTS kv_counts; DROP TABLE IF EXISTS kv_delta;"
          "DROP TABLE IF EXISTS kv_delta_postings;");
  if (!HasTable(db, "Móðurtafla") || !HasTable(db, "Tengill") || !HasTable(db, "Orð")) return;
  db::InstallContentStamp(db);

  Layout layout;
  if (!lay_out(db, layout)) return;  // the stamp alone: readers share what they work out
  stored::Summary meta;
  meta.build = db::RandomInstance();
  meta.collator = collation_version();
  ExecSql(db, "SAVEPOINT kv_postings");
  meta.postings = write_postings(db, layout, meta.build, meta.combos);
  if (!meta.postings) {
    ExecSql(db, "ROLLBACK TO kv_postings");
    layout.ids.resize(layout.records);  // no positions for Tengill's numbers
    meta.combos.clear();
  }
  ExecSql(db, "RELEASE kv_postings");
  // Updates write beside the index what they change (index_delta.h); they
  // need the counts, and the lists to change.
  if (meta.postings) {
    write_counts(db, layout, meta.build);
    ExecSql(db,
            "CREATE TABLE kv_delta (id INTEGER PRIMARY KEY, base INTEGER NOT NULL, kind INTEGER NOT NULL, place INTEGER "
            "NOT NULL, equal INTEGER NOT NULL, key BLOB NOT NULL, links BLOB NOT NULL, checksum INTEGER NOT NULL);"
            "CREATE TABLE kv_delta_postings (word INTEGER PRIMARY KEY, packed BLOB NOT NULL, checksum INTEGER NOT NULL);");
  }

  write_order(db, layout, meta.build);
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

}  // namespace kvistur::import
