// The tables the search keeps of a catalogue's state charge the process's
// budget with what they really hold (the blocks the allocator hands out,
// counted here by the test's own operator new), keep within their own
// bound in bytes, give way to the budget, and give everything back.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "platform/kept_memory.h"
#include "search/once_table.h"
#include "search/term_lists.h"

namespace {

// The bytes of the blocks handed out and not yet given back, each with
// what glibc's allocator adds to it (a size word, rounded up to 16).
std::atomic<long long> live_bytes{0};
constexpr std::size_t kHeader = 16;
long long block(std::size_t n) { return std::max<long long>(32, (static_cast<long long>(n) + 8 + 15) & ~15LL); }

}  // namespace

void* operator new(std::size_t n) {
  void* p = std::malloc(n + kHeader);
  if (!p) throw std::bad_alloc();
  *static_cast<std::size_t*>(p) = n;
  live_bytes += block(n);
  return static_cast<char*>(p) + kHeader;
}
void operator delete(void* p) noexcept {
  if (!p) return;
  char* b = static_cast<char*>(p) - kHeader;
  live_bytes -= block(*reinterpret_cast<std::size_t*>(b));
  std::free(b);
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { operator delete(p); }
// The forms that return null rather than throw (std::stable_sort's buffer
// is one): left to the library, their blocks would come back here without
// the size word.
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return operator new(n);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p, const std::nothrow_t&) noexcept { operator delete(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { operator delete(p); }

using namespace kvistur;

namespace {

RecordNumbers numbers(std::size_t n) { return std::make_shared<const std::vector<int32_t>>(n, 0); }

Text query(int i, std::size_t length) {
  Text q = u"SELECT DISTINCT t0.FærsluID WHERE O0.Orð = '" + Text(length, char16_t(u'a' + i % 26)) + u"'";
  for (int n = i; n > 0; n /= 26) q += char16_t(u'a' + n % 26);
  return q;
}

TEST(KeptTables, ChargeWhatTheyHoldAndGiveItAllBack) {
  const std::size_t used_before = KeptMemory::Used();
  const long long live_before = live_bytes;
  {
    TermLists lists(std::size_t(1) << 30);
    OnceTable<std::vector<int64_t>> words(std::size_t(1) << 30);
    EXPECT_LT(live_bytes - live_before, 1024) << "tables start empty, sized to what they hold";
    for (int i = 0; i < 300; ++i) {
      // Long and short queries, empty lists and long ones.
      lists.keep(query(i, i % 3 ? 1500 : 4), numbers(std::size_t(i % 4 ? 0 : 50 * i)));
      words.note_use(to_utf8(query(i, i % 2 ? 700 : 3)));
    }
    const long long real = live_bytes - live_before;
    const std::size_t held = lists.bytes() + words.bytes();
    EXPECT_EQ(KeptMemory::Used() - used_before, held);
    EXPECT_GT(double(held), 0.9 * double(real)) << held << " charged for " << real << " held";
    EXPECT_LT(double(held), 1.1 * double(real)) << held << " charged for " << real << " held";
  }
  EXPECT_EQ(KeptMemory::Used(), used_before);
}

TEST(KeptTables, TermListsKeepTheMostRecentlyUsedWithinTheirBoundAndTheBudget) {
  const std::size_t one = TermLists::cost(u"a", *numbers(100));
  {
    TermLists kept(2 * one + one / 2);
    kept.keep(u"a", numbers(100));
    kept.keep(u"b", numbers(100));
    EXPECT_NE(kept.find(u"a"), nullptr);  // a is now the most recent
    kept.keep(u"c", numbers(100));        // three do not fit: b goes
    EXPECT_EQ(kept.find(u"b"), nullptr);
    EXPECT_NE(kept.find(u"a"), nullptr);
    EXPECT_NE(kept.find(u"c"), nullptr);
    kept.keep(u"a", numbers(100));  // kept again: replaced, not counted twice
    EXPECT_EQ(kept.bytes(), 2 * one);
    kept.keep(u"huge", numbers(1000));  // more than the bound: not kept, nothing lost
    EXPECT_EQ(kept.find(u"huge"), nullptr);
    EXPECT_EQ(kept.size(), 2u);
  }
  {
    // The query's text counts: empty lists of the longest queries fill the
    // bound as well as long lists do.
    TermLists kept(std::size_t(1) << 20);
    for (int i = 0; i < 100; ++i) kept.keep(query(i, 65000), numbers(1));
    EXPECT_LE(kept.bytes(), std::size_t(1) << 20);
    EXPECT_GE(kept.size(), 7u);
    EXPECT_LE(kept.size(), 8u);
  }
  {
    // The process's budget full: the table's own oldest lists go first.
    const std::size_t limit = KeptMemory::Limit();
    KeptMemory::SetLimit(KeptMemory::Used() + 3 * one);
    TermLists kept;
    for (const char16_t* q : {u"a", u"b", u"c", u"d"}) kept.keep(q, numbers(100));
    EXPECT_EQ(kept.find(u"a"), nullptr);
    EXPECT_NE(kept.find(u"d"), nullptr);
    EXPECT_EQ(kept.size(), 3u);
    kept.clear();
    KeptMemory::SetLimit(KeptMemory::Used() + one / 2);
    kept.keep(u"e", numbers(100));  // no room even alone: not kept
    EXPECT_EQ(kept.size(), 0u);
    KeptMemory::SetLimit(limit);
  }
}

}  // namespace
