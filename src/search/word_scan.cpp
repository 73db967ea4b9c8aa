#include "search/word_scan.h"

#include "kvistur/number.h"
#include "search/search.h"

namespace kvistur {

namespace {

// S as a text literal of a query: in single quotes, a quote in it doubled.
Text quoted(const Text& s) {
  Text out = u"'";
  for (char16_t c : s) out += c == u'\'' ? Text(u"''") : Text(1, c);
  return out + u"'";
}

}  // namespace

std::vector<ScannedWord> ScanWords(db::Database& database, const Text& start, bool down, std::size_t n, int32_t group,
                                   int32_t field, const std::function<void()>& check) {
  constexpr std::size_t kBatch = 50;
  std::vector<ScannedWord> out;
  std::size_t looked_at = 0;
  Text previous, from = start;
  const char16_t* op = down ? u" < " : u" >= ";
  while (out.size() < n) {
    if (looked_at >= kMaxWordsLookedAt) break;
    if (check) check();
    auto rs = database.OpenRecordset(u"SELECT TOP " + number_text(int32_t(kBatch)) +
                                         u" O.Orð FROM Orð AS O WHERE O.Orð" + op + quoted(from) +
                                         (down ? u" ORDER BY O.Orð DESC" : u" ORDER BY O.Orð"),
                                     db::kSnapshot);
    std::vector<Text> words;
    while (!rs->eof()) {
      Variant w = rs->field(u"Orð");
      words.push_back(w.is_null() ? Text() : w.to_text());
      rs->MoveNext();
    }
    rs->Close();
    if (words.empty()) break;
    for (const Text& w : words) {
      ++looked_at;
      if (w.empty() || w.find_first_of(u"'\"*") != Text::npos || upper_is(w) == upper_is(previous)) continue;
      previous = w;
      int32_t count = TermRecordCount(database, w, group, field);
      if (count > 0) out.push_back(ScannedWord{w, count});
      if (out.size() == n) break;
    }
    from = words.back();
    op = down ? u" < " : u" > ";
  }
  return out;
}

}  // namespace kvistur
