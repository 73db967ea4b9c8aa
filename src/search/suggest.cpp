#include "search/suggest.h"

#include <algorithm>
#include <bit>
#include <memory>

#include "search/kept.h"
#include "search/search.h"
#include "search/terms.h"

namespace kvistur {

namespace {

// Words longer than this are not corrected (nor offered).
constexpr std::size_t kLongestWord = 40;
// The nearest words whose record counts are looked up, per term.
constexpr std::size_t kCandidates = 12;

// The letters of a word as bits (a letter's code modulo 64): an edit adds
// or takes away at most one letter, so two words whose masks differ by
// more than N letters either way are more than N edits apart, which rules
// out most words without working out their distance.
uint64_t letters(const Text& w) {
  uint64_t m = 0;
  for (char16_t c : w) m |= uint64_t(1) << (c % 64);
  return m;
}

// The index's words, lower case, each with its form without accents and
// that form's letters, indexed by that form's length.
struct Lexicon {
  std::vector<Text> words, plain;
  std::vector<uint64_t> masks;
  std::vector<std::vector<uint32_t>> by_length = std::vector<std::vector<uint32_t>>(kLongestWord + 1);
  std::size_t memory() const {
    std::size_t b = sizeof(Lexicon) + HeapBytes(words) + HeapBytes(plain) + HeapBytes(masks) + HeapBytes(by_length);
    for (const Text& w : words) b += HeapBytes(w);
    for (const Text& w : plain) b += HeapBytes(w);
    for (const auto& l : by_length) b += HeapBytes(l);
    return b;
  }
};

std::shared_ptr<const Lexicon> lexicon(db::Database& database) {
  std::shared_ptr<KeptSearch> kept = KeptSearch::For(database);
  return std::static_pointer_cast<const Lexicon>(kept->extra("lexicon", [&] {
    auto lex = std::make_shared<Lexicon>();
    std::vector<Text> all;
    auto rows = database.OpenCursor(u"SELECT O.Orð FROM Orð AS O");
    while (rows->Next())
      if (!rows->IsNull(0)) all.push_back(lower_is(from_utf8(std::string(rows->Bytes(0)))));
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());
    for (Text& w : all) {
      Text p = WithoutAccents(w);
      if (w.empty() || p.size() > kLongestWord || w.find_first_of(u"'\"*?") != Text::npos) continue;
      lex->by_length[p.size()].push_back(uint32_t(lex->words.size()));
      lex->words.push_back(std::move(w));
      lex->masks.push_back(letters(p));
      lex->plain.push_back(std::move(p));
    }
    bool same = !kept->shared() || database.Stamp().token == kept->stamp().token;
    return KeptSearch::Extra{lex, lex->memory(), same};
  }));
}

struct Candidate {
  uint32_t word;
  int distance, accents;  // without accents, and with them
  int64_t records = 0;
};

// The nearest words to TERM (lower case) that some record has in GROUP and
// FIELD, best first, none of them STOPS.
std::vector<Candidate> nearest(db::Database& database, const Lexicon& lex, const Text& term, int32_t group,
                               int32_t field, const std::vector<Text>& stops) {
  const Text plain = WithoutAccents(term);
  const int most = plain.size() <= 4 ? 1 : 2;
  const uint64_t mask = letters(plain);
  std::vector<Candidate> found;
  for (std::size_t len = plain.size() > std::size_t(most) ? plain.size() - std::size_t(most) : 1;
       len <= std::min(kLongestWord, plain.size() + std::size_t(most)); ++len)
    for (uint32_t w : lex.by_length[len]) {
      const uint64_t m = lex.masks[w];
      if (std::popcount(mask & ~m) > most || std::popcount(m & ~mask) > most) continue;
      int d = EditDistance(plain, lex.plain[w], most);
      if (d > most || lex.words[w] == term) continue;
      found.push_back({w, d, EditDistance(term, lex.words[w], most + 2), 0});
    }
  std::sort(found.begin(), found.end(), [](const Candidate& a, const Candidate& b) {
    return a.distance != b.distance ? a.distance < b.distance : a.accents < b.accents;
  });
  std::vector<Candidate> out;
  for (Candidate& c : found) {
    if (out.size() == kCandidates) break;
    if (std::find(stops.begin(), stops.end(), upper_is(lex.words[c.word])) != stops.end()) continue;
    c.records = TermRecordCount(database, lex.words[c.word], group, field);
    if (c.records > 0) out.push_back(c);
  }
  std::stable_sort(out.begin(), out.end(), [](const Candidate& a, const Candidate& b) {
    if (a.distance != b.distance) return a.distance < b.distance;
    return a.records != b.records ? a.records > b.records : a.accents < b.accents;
  });
  return out;
}

int64_t hits_of(db::Database& database, int32_t group, int32_t field, const Text& words,
                const SafeArray<Text>& stop_words) {
  try {
    return int64_t(FindRecords(database, group, field, words, stop_words).size());
  } catch (const OnlyStopWords&) {
    return 0;
  }
}

}  // namespace

Text WithoutAccents(const Text& word) {
  Text out;
  for (char16_t c : word) {
    switch (c) {
      case u'á': out += u'a'; break;
      case u'ð': out += u'd'; break;
      case u'é': out += u'e'; break;
      case u'í': out += u'i'; break;
      case u'ó': case u'ö': out += u'o'; break;
      case u'ú': out += u'u'; break;
      case u'ý': out += u'y'; break;
      case u'þ': out += u"th"; break;
      case u'æ': out += u"ae"; break;
      default: out += c;
    }
  }
  return out;
}

int EditDistance(const Text& a, const Text& b, int most) {
  const std::size_t n = a.size(), m = b.size();
  if ((n > m ? n - m : m - n) > std::size_t(most)) return most + 1;
  // Three rows of the table (two back for a swap), on the stack for the
  // words of the index: this runs for thousands of words a suggestion.
  constexpr std::size_t kRow = kLongestWord + 8;
  int stack[3][kRow];
  std::vector<int> heap;
  int *before = stack[0], *prev = stack[1], *row = stack[2];
  if (m + 1 > kRow) {
    heap.resize(3 * (m + 1));
    before = heap.data(), prev = before + m + 1, row = prev + m + 1;
  }
  for (std::size_t j = 0; j <= m; ++j) prev[j] = int(j);
  for (std::size_t i = 1; i <= n; ++i) {
    row[0] = int(i);
    int least = row[0];
    for (std::size_t j = 1; j <= m; ++j) {
      int cost = a[i - 1] == b[j - 1] ? 0 : 1;
      int v = std::min({prev[j] + 1, row[j - 1] + 1, prev[j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) v = std::min(v, before[j - 2] + 1);
      row[j] = v;
      least = std::min(least, v);
    }
    if (least > most) return most + 1;
    std::swap(before, prev);
    std::swap(prev, row);
  }
  return std::min(prev[m], most + 1);
}

std::vector<Suggestion> Suggest(db::Database& database, int32_t group, int32_t field, const Text& words,
                                const SafeArray<Text>& stop_words, int64_t hits) {
  std::vector<Suggestion> out;
  if (hits > kFewHits) return out;
  std::vector<Text> terms = SearchTerms(words);
  terms.erase(terms.begin());
  std::vector<Text> stops;
  for (int32_t j = 1; j <= stop_words.ubound(); ++j) stops.push_back(upper_is(stop_words(j)));
  std::shared_ptr<const Lexicon> lex;
  // Each weak term's nearest words, by the term's place.
  std::vector<std::vector<Candidate>> options(terms.size());
  bool any = false;
  for (std::size_t i = 0; i < terms.size(); ++i) {
    const Text& t = terms[i];
    if (t.find_first_of(u"*?#[") != Text::npos) return out;  // a pattern: nothing to correct
    if (std::find(stops.begin(), stops.end(), upper_is(t)) != stops.end()) continue;
    if (TermRecordCount(database, t, group, field) > kFewHits) continue;
    if (!lex) lex = lexicon(database);
    options[i] = nearest(database, *lex, lower_is(t), group, field, stops);
    any = any || !options[i].empty();
  }
  if (!any) return out;
  // The k-th suggestion takes each weak term's k-th nearest word (its last
  // when it has fewer).
  for (std::size_t k = 0; k < kMaxSuggestions; ++k) {
    Text s;
    bool changed = false;
    for (std::size_t i = 0; i < terms.size(); ++i) {
      Text w = terms[i];
      if (!options[i].empty()) {
        const Candidate& c = options[i][std::min(k, options[i].size() - 1)];
        w = lex->words[c.word];
        changed = changed || k < options[i].size();
      }
      s += (s.empty() ? u"" : u" ") + w;
    }
    if (!changed || std::any_of(out.begin(), out.end(), [&](const Suggestion& x) { return x.words == s; })) continue;
    int64_t n = hits_of(database, group, field, s, stop_words);
    if (n > hits) out.push_back({s, n});
  }
  return out;
}

}  // namespace kvistur
