#include "search/search.h"

#include <algorithm>
#include <unordered_map>

#include "kvistur/number.h"
#include "marc/description.h"
#include "marc/text_split.h"
#include "platform/open_database.h"
#include "record/record_fetch.h"
#include "search/hits.h"
#include "search/kept.h"
#include "search/progress.h"
#include "search/record_order.h"
#include "search/stored_search.h"
#include "search/term_lists.h"
#include "search/terms.h"
#include "search/volumes.h"
#include "settings/log.h"
#include "settings/thread_state.h"

namespace kvistur {

namespace {

struct Term {
  Text text;
  int32_t count = 0;
  RecordNumbers hits;  // record numbers at 1..count, ascending, each once

  int32_t hit(int32_t j) const { return (*hits)[std::size_t(j)]; }
};

// The query of one term, exactly as it is written to the log.
Text term_query(const Text& term, int32_t lHópur, int32_t lSvið) {
  Text q = u"SELECT DISTINCT t0.FærsluID ";
  q += u"FROM Tengill AS t0 INNER JOIN Orð AS O0 ON t0.OrðID = O0.ID ";
  q += u"WHERE " + TermCondition(term);
  if (lHópur >= 0) q += u" AND t0.HópID = " + number_text_blank(lHópur);
  if (lSvið >= 0) q += u" AND t0.Orðtag = " + number_text_blank(lSvið);
  return q;
}

// One hit's row of Móðurtafla; a record that is not there sorts as the
// empty text with kind -1.
void read_hit(db::Database& database, int32_t id, HitRecord& e, std::unique_ptr<db::Recordset>& rs, bool& rs_open) {
  rs = database.OpenRecordset(
      u"select m.Röðunarsvið, m.Einkennisstrengur, m.Tag FROM Móðurtafla m where m.id = " + number_text_blank(id),
      db::kSnapshot);
  rs_open = true;
  e.ID = id;
  if (rs->RecordCount() == 0) {
    e.SortKey = Variant(Text());
    e.Tag = -1;
  } else {
    e.SortKey = rs->field(u"Röðunarsvið");
    e.Einkennisstrengur = rs->field(u"Einkennisstrengur").to_text();
    e.Tag = rs->field(u"Tag").to_i16();
  }
  rs->Close();
  rs_open = false;
}

// The identifying string and kind of the hits at 1.. of TABLE (their IDs
// set), many records to a query; a record that is not there sorts as the
// empty text with kind -1.  OPEN is true while a query's rows are read.
// The numbers are given apart from the query's text, as one list, so a new
// list of hits costs no new query text.
void read_hits(db::Database& database, HitArray& table, bool& open) {
  constexpr std::size_t kHitsAQuery = 200;
  std::unordered_map<int32_t, std::size_t> at;
  std::vector<int64_t> ids;
  for (std::size_t from = 1; from < table.size(); from += kHitsAQuery) {
    std::size_t to = std::min(table.size(), from + kHitsAQuery);
    at.clear();
    ids.clear();
    for (std::size_t p = from; p < to; ++p) {
      HitRecord& e = table[p];
      e.SortKey = Variant(Text());
      e.Tag = -1;
      at.emplace(e.ID, p);
      ids.push_back(e.ID);
    }
    auto rows = OpenWithList(database, u"select m.ID, m.Einkennisstrengur, m.Tag FROM Móðurtafla m where m.ID IN (", ids,
                             u")");
    // The first row is read as the query opens: a fault there is the
    // opening's.
    bool row = rows->Next();
    open = true;
    for (; row; row = rows->Next()) {
      auto it = at.find(rows->Value(0).to_i32());
      if (it != at.end()) {
        HitRecord& e = table[it->second];
        e.Einkennisstrengur = rows->Value(1).to_text();
        e.Tag = rows->Value(2).to_i16();
      }
    }
    rows.reset();
    open = false;
  }
}

// The first K hits of TABLE (sorted) fetched, described and handed back.
// With KEYS_READ false the hits' identifying strings and kinds are not in
// TABLE yet: each is read by its record's fetch, from the same row (and
// by read_hits where the fetch could not read them).  OPEN as read_hits
// takes it.
int32_t describe(db::Database& database, HitArray& table, int32_t k, int16_t iRofi, SafeArray<Text>& aSvar,
                 SafeArray<int32_t>& aSvarID, SafeArray<Text>& aEinkenni, bool keys_read, bool& open) {
  aSvar.redim(0, k);
  aSvarID.redim(0, k);
  aEinkenni.redim(0, k);
  for (int32_t p = 1; p <= k; ++p) {
    if (p % 16 == 0) ReportWork("describing the results", p, k);
    HitRecord& e = table[std::size_t(p)];
    RecordKeys keys;
    CatalogueRecord record = FærslaFráID(database, e.ID, keys_read ? nullptr : &keys);
    if (!keys_read) {
      if (keys.read) {
        e.Einkennisstrengur = std::move(keys.Einkennisstrengur);
        e.Tag = keys.Tag;
      } else {
        HitArray one(2);
        one[1].ID = e.ID;
        read_hits(database, one, open);
        e = std::move(one[1]);
      }
    }
    Text description = BuildDescription(record, 0);
    if (e.Tag == 100) {
      Text volumes;
      if (BuildVolumeList(database, record, volumes)) description += volumes;
      if (iRofi != -1) description = JoinLines(description);
    }
    aSvar(p) = description;
    aSvarID(p) = e.ID;
    aEinkenni(p) = e.Einkennisstrengur;
  }
  if (k >= 16) ReportWork({}, 0, 0);
  return k;
}

// The result set a search has open: a failure while one is open ends the
// search quietly (Fremjaleit's failure rule).
struct OpenSet {
  std::unique_ptr<db::Recordset> rs;  // the last result set opened
  bool open = false;
};

// What the record of one catalogue state may keep for others: only what
// was read at that state (a long call's reads move on to newer states).
bool still_this_state(KeptSearch& kept, db::Database& database) {
  return !kept.shared() || database.Stamp().token == kept.stamp().token;
}

// The stored index, when it has each word's records.
StoredIndex* stored_postings(KeptSearch& kept) {
  return kept.stored() && kept.stored()->has_postings() ? kept.stored() : nullptr;
}

// The terms of SZSTR without the stop words (compared in upper case).
std::vector<Term> search_terms(const Text& szStr, const SafeArray<Text>& aEkkiOrð) {
  std::vector<Text> split = SearchTerms(szStr);
  std::vector<Term> terms;
  std::vector<Text> stops;
  for (int32_t j = 1; j <= aEkkiOrð.ubound(); ++j) stops.push_back(upper_is(aEkkiOrð(j)));
  for (std::size_t i = 1; i < split.size(); ++i) {
    if (stops.empty() || std::find(stops.begin(), stops.end(), upper_is(split[i])) == stops.end())
      terms.push_back(Term{split[i], 0, nullptr});
  }
  if (terms.empty()) throw OnlyStopWords();  // nothing left to search for
  if (terms.size() > 32767) throw Error(err::kOverflow);
  return terms;
}

// Each term's record numbers (kept, from the stored index, or read), then
// the terms intersected fewest hits first: RESULT gets the numbers at 1..,
// ascending.  False when the search ends there with nothing found (a term
// without hits or an empty intersection).
// With SHARED, a search of one term (and no progress shown) leaves RESULT
// alone and gets the term's list itself, which may be the one the search
// keeps: no copy of it is made.
bool intersect_terms(db::Database& database, KeptSearch& kept, std::vector<Term>& terms, int32_t lHópur,
                     int32_t lSvið, SearchProgress& progress, OpenSet& set, std::vector<int32_t>& result,
                     RecordNumbers* shared = nullptr) {
  StoredIndex* stored = stored_postings(kept);
  for (Term& t : terms) {
    progress.term_query(t.text);
    Text q = term_query(t.text, lHópur, lSvið);
    MeldaError(u"Fremjaleit", 0, u"Fyrir OpenRecordset, SQL: " + q, false);
    RecordNumbers numbers = kept.term_lists().find(q);
    bool from_index = false;
    if (!numbers && stored) {
      numbers = StoredTermRecords(database, *stored, t.text, lHópur, lSvið);
      from_index = numbers != nullptr;
    }
    bool read = !numbers;
    if (read) {
      ReportWork("reading the records of a term", 0, 0);
      set.rs = database.OpenRecordset(q);
      // All the rows at once (as MoveLast would read them), then counted.
      auto rows = std::make_shared<std::vector<int32_t>>(1, 0);
      set.open = true;
      if (set.rs->RecordCount() > 0) set.rs->ReadSortedIntegers(u"FærsluID", *rows, 1);
      ReportWork({}, 0, 0);
      numbers = rows;
    }
    // A kept list stands for a result set read just now: a failure of the
    // progress display while it is at hand ends the search the same way.
    set.open = true;
    int32_t h = int32_t(numbers->size() - 1);
    t.hits = numbers;
    if (h > 0) {
      t.count = h;
      MeldaError(u"Fremjaleit", 0, u"Eftir MoveLast " + number_text(h), false);
      progress.term_hits(h, t.text);
      progress.reset();
      if (progress.on())
        for (int32_t j = 1; j <= h; ++j) progress.row(j, h);
      progress.sorting_hits();
    }
    if (read) set.rs->Close();
    if ((read || from_index) && still_this_state(kept, database)) kept.term_lists().keep(q, numbers);
    set.open = false;
  }

  // Fewest hits first; equal counts keep their order.
  const std::size_t n = terms.size();
  if (n >= 2)
    for (std::size_t pass = 0; pass < n; ++pass)
      for (std::size_t i = 0; i + 1 < n; ++i)
        if (terms[i].count > terms[i + 1].count) std::swap(terms[i], terms[i + 1]);

  result.assign(1, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const Term& t = terms[i];
    progress.merge_started();
    progress.reset();
    if (i == 0) {
      if (t.count == 0) return false;
      if (shared && n == 1 && !progress.on()) {
        *shared = t.hits;
        progress.merge_done();
        return true;
      }
      // The hits are distinct and ascending already; the steps are shown
      // when the progress display is on.
      result.assign(t.hits->begin(), t.hits->end());
      if (progress.on())
        for (int32_t j = 1; j <= t.count; ++j) progress.merge_step(j, t.count);
      progress.merge_done();
      continue;
    }
    progress.merging_term(t.text);
    if (!progress.on()) {
      IntersectRecordNumbers(result, *t.hits);
    } else {
      // The linear merge, whose steps the progress bar follows.
      std::size_t last = result.size() - 1, r = 1, c = 0;
      for (int32_t j = 1; j <= t.count && r <= last;) {
        progress.merge_step(j, t.count);
        int32_t hit = t.hit(j);
        if (hit < result[r]) {
          ++j;
        } else if (hit > result[r]) {
          ++r;
        } else {
          result[++c] = result[r];
          ++r;
          ++j;
        }
      }
      result.resize(c + 1);
    }
    progress.merge_done();
    if (result.size() == 1) return false;
  }
  return true;
}

// With the order of all records at hand (kept from an earlier search, or
// worth working out now because the hits are many), RANKED gets the M
// records at HITS[0..M-1] (ascending) at 1.. sorted by their classes, the
// first K sure to be in their places; false, and nothing done, without it.
bool rank_hits(db::Database& database, KeptSearch& kept, const int32_t* hits, int32_t m, int32_t k,
               SearchProgress& progress, OpenSet& set, std::vector<RankedHit>& ranked) {
  std::shared_ptr<const RecordOrder> order = kept.order(database, m);
  if (!order) return false;
  ranked.assign(std::size_t(m) + 1, RankedHit{0, 0});
  const bool check = order->any_unreadable(), shown = progress.on();
  RankedHit* out = ranked.data();
  for (int32_t p = 1; p <= m; ++p) {
    int32_t id = hits[p - 1];
    if (check && order->unreadable(id)) {
      // Reading this hit's row fails, as reading the hits one by one
      // would have failed here.
      set.open = true;
      throw Error(err::kInvalidNull);
    }
    out[p] = RankedHit{order->rank(id), id};
    if (shown) progress.result(p, m);
  }
  progress.sorting_results();
  SortRankedHits(ranked, k);
  return true;
}

// Puts the records of RESULT (at 1.., ascending) in their order by sort
// text: TABLE gets the first K of that order at 1..K, with their
// identifying strings and kinds when DETAILS.  With the order of all
// records at hand (kept from an earlier search, or worth working out now
// because the hits are many) the hits are sorted by their classes and only
// the first K are read; otherwise every hit's row is read and the hits
// sorted by their texts.
void order_hits(db::Database& database, KeptSearch& kept, const std::vector<int32_t>& result, int32_t k, bool details,
                SearchProgress& progress, OpenSet& set, HitArray& table) {
  const int32_t m = int32_t(result.size()) - 1;
  progress.fetching_results();
  progress.reset();
  std::vector<RankedHit> ranked;
  if (rank_hits(database, kept, result.data() + 1, m, k, progress, set, ranked)) {
    table.assign(std::size_t(k) + 1, HitRecord{});
    for (int32_t p = 1; p <= k; ++p) table[std::size_t(p)].ID = ranked[std::size_t(p)].id;
    if (details) read_hits(database, table, set.open);
  } else {
    table.assign(std::size_t(m) + 1, HitRecord{});
    for (int32_t p = 1; p <= m; ++p) {
      read_hit(database, result[std::size_t(p)], table[std::size_t(p)], set.rs, set.open);
      progress.result(p, m);
    }
    progress.sorting_results();
    if (m >= 1) SortHits(table, k);
  }
}


}  // namespace

int32_t Fremjaleit(int32_t lHópur, int32_t lSvið, const Text& szStr, SafeArray<Text>& aSvar,
                   SafeArray<int32_t>& aSvarID, SafeArray<Text>& aEinkenni, const SafeArray<Text>& aEkkiOrð,
                   int32_t lMaxFj, int16_t iRofi, const Variant* ctrlC) {
  aSvar.redim(0, 0);
  aSvarID.redim(0, 0);
  aEinkenni.redim(0, 0);
  SearchProgress progress(iRofi, ctrlC);
  std::unique_ptr<db::Database> database;
  OpenSet set;
  auto finish = [&](int32_t result) {
    try {
      if (set.rs) set.rs->Close();
    } catch (...) {
    }
    try {
      if (database) database->Close();
    } catch (...) {
    }
    progress.finished();
    return result;
  };
  try {
    database = open_catalogue();
    progress.started();
    if (szStr.empty()) return finish(0);

    std::vector<Term> terms = search_terms(szStr, aEkkiOrð);
    std::shared_ptr<KeptSearch> kept = KeptSearch::For(*database);

    // Nothing to show on the way and nothing to log: the first records
    // straight from the stored index, when it can give them.
    StoredIndex* stored = stored_postings(*kept);
    if (stored && !progress.on() && !thread_state().bDebug && lMaxFj >= 0) {
      std::vector<Text> texts;
      for (const Term& t : terms) texts.push_back(t.text);
      FirstHits first = FindFirstHits(*database, *stored, texts, lHópur, lSvið, lMaxFj, kept.get());
      bool same_state = first.outcome != FirstHits::kNotAnswerable && still_this_state(*kept, *database);
      if (same_state)
        for (auto& keep : first.to_keep) keep();
      if (first.outcome == FirstHits::kFound && same_state) {
        const int32_t k = int32_t(first.ids.size());
        HitArray table;
        table.assign(std::size_t(k) + 1, HitRecord{});
        for (int32_t p = 1; p <= k; ++p) table[std::size_t(p)].ID = first.ids[std::size_t(p - 1)];
        // Every hit is a record the order placed, so its row is there
        // with an identifying string and a 16-bit kind, which reading
        // them with the record's fetch gives as read_hits would.
        return finish(describe(*database, table, k, iRofi, aSvar, aSvarID, aEinkenni, false, set.open));
      }
    }

    std::vector<int32_t> result;
    if (!intersect_terms(*database, *kept, terms, lHópur, lSvið, progress, set, result)) return finish(0);

    const int32_t m = int32_t(result.size()) - 1;
    const int32_t k = lMaxFj < 0 ? m : std::min(m, lMaxFj);
    // The result table serves this call alone (kept with the thread, a
    // search of many hits would leave them with every thread that ran one).
    HitArray table;
    order_hits(*database, *kept, result, k, true, progress, set, table);

    return finish(describe(*database, table, k, iRofi, aSvar, aSvarID, aEinkenni, true, set.open));
  } catch (...) {
    // With a result set open the search ends quietly with 0; otherwise
    // closing the missing result set fails too, and that reaches Leita.
    if (!set.open) throw;
    if (set.rs) set.rs->Close();
    database->Close();
    progress.finished();
    return 0;
  }
}

std::vector<int32_t> FindRecords(db::Database& database, int32_t lHópur, int32_t lSvið, const Text& szStr,
                                 const SafeArray<Text>& aEkkiOrð) {
  FoundRecords found = FindRecordNumbers(database, lHópur, lSvið, szStr, aEkkiOrð);
  return std::vector<int32_t>(found.numbers->begin() + 1, found.numbers->end());
}

FoundRecords FindRecordNumbers(db::Database& database, int32_t lHópur, int32_t lSvið, const Text& szStr,
                               const SafeArray<Text>& aEkkiOrð) {
  auto none = [] { return FoundRecords{std::make_shared<const std::vector<int32_t>>(1, 0), false}; };
  if (szStr.empty()) return none();
  std::vector<Term> terms = search_terms(szStr, aEkkiOrð);
  std::shared_ptr<KeptSearch> kept = KeptSearch::For(database);
  SearchProgress quiet(0, nullptr);
  OpenSet set;
  auto result = std::make_shared<std::vector<int32_t>>();
  RecordNumbers shared;
  // Nothing found lets go of what the intersection held.
  if (!intersect_terms(database, *kept, terms, lHópur, lSvið, quiet, set, *result, &shared)) return none();
  if (shared) return FoundRecords{std::move(shared), true};
  return FoundRecords{std::move(result), false};
}

PartlySortedHits LeitaOrder(db::Database& database, std::span<const int32_t> records) {
  if (records.empty()) return {};
  std::shared_ptr<KeptSearch> kept = KeptSearch::For(database);
  SearchProgress quiet(0, nullptr);
  OpenSet set;
  // Ranked hits are 8 bytes each where a hit table holds a text and a
  // variant: the server orders every hit of a search, however many.  None
  // is put in its place yet (keep 0): the caller sorts as far as it looks.
  std::vector<RankedHit> ranked;
  if (rank_hits(database, *kept, records.data(), int32_t(records.size()), 0, quiet, set, ranked))
    return PartlySortedHits(std::move(ranked));
  std::vector<int32_t> result(records.size() + 1);
  std::copy(records.begin(), records.end(), result.begin() + 1);
  HitArray table;
  order_hits(database, *kept, result, int32_t(records.size()), false, quiet, set, table);
  ranked.assign(1, RankedHit{0, 0});
  for (std::size_t p = 1; p < table.size(); ++p) ranked.push_back(RankedHit{int32_t(p), table[p].ID});
  return PartlySortedHits(std::move(ranked), true);
}

std::optional<FirstPlaces> LeitaFirstPlaces(db::Database& database, const std::string& state, int32_t lHópur,
                                            int32_t lSvið, const Text& szStr, const SafeArray<Text>& aEkkiOrð,
                                            std::size_t m, std::size_t count) {
  if (state.empty() || szStr.empty() || m == 0 || count == 0) return std::nullopt;
  std::shared_ptr<KeptSearch> kept = KeptSearch::For(database);
  if (kept->stamp().token != state) return std::nullopt;
  StoredIndex* stored = stored_postings(*kept);
  if (!stored) return std::nullopt;
  // The order LeitaOrder would rank these hits by, when it is ready (it is
  // made, or the hits counted towards making it, by LeitaOrder alone); one
  // that knows unreadable records leaves the ranking to find them as it
  // would.
  std::shared_ptr<const RecordOrder> order = kept->order_if_ready();
  if (!order || order->any_unreadable()) return std::nullopt;
  std::vector<Text> texts;
  for (const Term& t : search_terms(szStr, aEkkiOrð)) texts.push_back(t.text);
  const std::size_t k = std::min(m, count);
  FirstHits hits = FindFirstHits(database, *stored, texts, lHópur, lSvið, int32_t(k), kept.get());
  // Still the state the records were found at (and the order made at).
  bool same_state = hits.outcome != FirstHits::kNotAnswerable && database.Stamp().token == state;
  if (same_state)
    for (auto& keep : hits.to_keep) keep();
  if (hits.outcome != FirstHits::kFound || !same_state || hits.ids.size() != k) return std::nullopt;
  return FirstPlaces{std::move(hits.ids), std::move(order)};
}

PartlySortedHits LeitaOrderBy(const RecordOrder& order, std::span<const int32_t> records) {
  // As rank_hits ranks them, none put in its place yet.
  std::vector<RankedHit> ranked(records.size() + 1, RankedHit{0, 0});
  for (std::size_t p = 1; p <= records.size(); ++p) ranked[p] = RankedHit{order.rank(records[p - 1]), records[p - 1]};
  return PartlySortedHits(std::move(ranked));
}

HitsPage LeitaPage(db::Database& database, int32_t lHópur, int32_t lSvið, const Text& szStr,
                   const SafeArray<Text>& aEkkiOrð, std::size_t first, std::size_t count) {
  HitsPage page;
  if (szStr.empty()) return page;
  std::vector<Term> terms = search_terms(szStr, aEkkiOrð);
  std::shared_ptr<KeptSearch> kept = KeptSearch::For(database);
  SearchProgress quiet(0, nullptr);
  OpenSet set;
  std::vector<int32_t> result;
  if (!intersect_terms(database, *kept, terms, lHópur, lSvið, quiet, set, result)) return page;
  const std::size_t m = result.size() - 1;
  page.count = int64_t(m);
  if (first >= m) return page;
  const std::size_t last = std::min(m, first + count);
  // The stored index's first hits are the order's only while a page lies
  // near the start: further on, ranking every hit costs less.
  constexpr std::size_t kMostFirstHits = 1000;
  if (StoredIndex* stored = stored_postings(*kept); stored && last <= kMostFirstHits) {
    std::vector<Text> texts;
    for (const Term& t : terms) texts.push_back(t.text);
    FirstHits hits = FindFirstHits(database, *stored, texts, lHópur, lSvið, int32_t(last), kept.get());
    bool same_state = hits.outcome != FirstHits::kNotAnswerable && still_this_state(*kept, database);
    if (same_state)
      for (auto& keep : hits.to_keep) keep();
    if (hits.outcome == FirstHits::kFound && same_state && hits.ids.size() == last) {
      page.ids.assign(hits.ids.begin() + std::ptrdiff_t(first), hits.ids.end());
      return page;
    }
  }
  std::vector<RankedHit> ranked;
  if (rank_hits(database, *kept, result.data() + 1, int32_t(m), int32_t(last), quiet, set, ranked)) {
    for (std::size_t p = first + 1; p <= last; ++p) page.ids.push_back(ranked[p].id);
    return page;
  }
  HitArray table;
  order_hits(database, *kept, result, int32_t(last), false, quiet, set, table);
  for (std::size_t p = first + 1; p <= last; ++p) page.ids.push_back(table[p].ID);
  return page;
}

int32_t TermRecordCount(db::Database& database, const Text& word, int32_t lHópur, int32_t lSvið) {
  Text q = term_query(word, lHópur, lSvið);
  std::shared_ptr<KeptSearch> kept = KeptSearch::For(database);
  RecordNumbers numbers = kept->term_lists().find(q);
  if (!numbers) {
    if (StoredIndex* stored = stored_postings(*kept)) numbers = StoredTermRecords(database, *stored, word, lHópur, lSvið);
  }
  if (!numbers) {
    auto rs = database.OpenRecordset(q);
    auto rows = std::make_shared<std::vector<int32_t>>(1, 0);
    if (rs->RecordCount() > 0) rs->ReadSortedIntegers(u"FærsluID", *rows, 1);
    rs->Close();
    numbers = rows;
  }
  if (still_this_state(*kept, database)) kept->term_lists().keep(q, numbers);
  return int32_t(numbers->size() - 1);
}

}  // namespace kvistur
