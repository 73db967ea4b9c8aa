#include "web/hit_order.h"

#include <algorithm>

#include "search/search.h"

namespace kvistur::web {

std::vector<int32_t> OrderedPage(db::Database& database, const std::vector<int32_t>& hits, const SearchAsk& ask,
                                 const facets::FacetTable& table, const SafeArray<Text>& stop_words,
                                 std::size_t first, std::size_t count) {
  PartlySortedHits ranked = LeitaOrder(database, hits);
  const std::size_t size = std::size_t(ranked.size());
  if (ask.order == Order::kCatalogue) {
    // Leita's own order: the hits put in their places up to the page's last only.
    if (first >= size) return {};
    const int32_t last = int32_t(std::min(size, first + count));
    return ranked.sorted_ids(int32_t(first) + 1, last);
  }
  // Every hit in Leita's order: the other orders keep it within what they put level.
  ranked.sort_to(ranked.size());
  std::vector<int32_t> order = ranked.ids(1, ranked.size());
  if (ask.order == Order::kTitle) {
    // The records the same words find in the title field.
    std::vector<int32_t> in_title;
    if (ask.title_field >= 0) {
      try {
        in_title = FindRecords(database, ask.group, ask.title_field, from_utf8(ask.words), stop_words);
      } catch (const OnlyStopWords&) {
      }
    }
    std::stable_partition(order.begin(), order.end(),
                          [&](int32_t id) { return std::binary_search(in_title.begin(), in_title.end(), id); });
  } else if (ask.order == Order::kNewest || ask.order == Order::kOldest) {
    const bool newest = ask.order == Order::kNewest;
    auto year = [&](int32_t id) {
      int32_t s = table.slot(id);
      return s == facets::kNoSlot ? 0 : table.year(s);
    };
    std::stable_sort(order.begin(), order.end(), [&](int32_t a, int32_t b) {
      int ya = year(a), yb = year(b);
      if (!ya || !yb) return ya && !yb;  // no known year: last
      return newest ? ya > yb : ya < yb;
    });
  }
  if (first >= order.size()) return {};
  return std::vector<int32_t>(order.begin() + std::ptrdiff_t(first),
                              order.begin() + std::ptrdiff_t(std::min(order.size(), first + count)));
}

}  // namespace kvistur::web
