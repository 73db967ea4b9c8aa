#include "web/catalogue.h"

#include <algorithm>

#include "formats/record_read.h"
#include "marc/description.h"
#include "marc/lists.h"
#include "marc/subfields.h"
#include "platform/open_database.h"
#include "print/layout.h"
#include "record/record_fetch.h"
#include "search/search.h"
#include "search/suggest.h"
#include "search/word_scan.h"
#include "search/volumes.h"
#include "settings/settings.h"
#include "settings/thread_state.h"
#include "web/hit_order.h"

namespace kvistur::web {

namespace {

struct Worker {
  std::unique_ptr<Faersla> faersla;
  bool logged_on = false;
};
thread_local Worker worker;

std::string text(const Text& t) { return to_utf8(trim(t)); }

Text joined_lines(const Text& t) {
  Text out;
  for (char16_t c : t) {
    if (c == u'\n') continue;
    out += c == u'\r' ? u' ' : c;
  }
  return out;
}

// The hit's call number: the four parts of the shelf mark, as the
// printed list writes them without its brackets.
std::string call_number(const CatalogueRecord& r) {
  return text(r.Marktákn1 + u" " + trim(r.Marktákn2 + u" " + trim(r.Marktákn3 + u" " + r.Marktákn4)));
}

// The description as Leita gives it (a periodical with its volumes on one
// line), without the call number, which the page shows apart.
std::string describe(db::Database& catalogue, const CatalogueRecord& r) {
  Text d = BuildDescription(r, 1);
  if (r.Tag == 100) {
    Text volumes;
    if (BuildVolumeList(catalogue, r, volumes)) d += volumes;
    d = joined_lines(d);
  }
  return text(d);
}

}  // namespace

Faersla* WorkerLogOn(const std::string& user, const std::string& password) {
  if (worker.logged_on) return worker.faersla.get();
  // A refused log-on leaves no workspace: the next request tries again.
  thread_state().workspace.reset();
  worker.faersla = std::make_unique<Faersla>();
  Text u = from_utf8(user), p = from_utf8(password);
  worker.faersla->LogOn(u, p);
  worker.logged_on = thread_state().workspace != nullptr;
  return worker.logged_on ? worker.faersla.get() : nullptr;
}

bool Directory::has_group(int32_t id) const {
  return id == -1 || std::any_of(groups.begin(), groups.end(), [&](const Choice& c) { return c.id == id; });
}

bool Directory::has_field(int32_t id) const {
  return id == -1 || std::any_of(fields.begin(), fields.end(), [&](const Choice& c) { return c.id == id; });
}

Directory ReadDirectory(Faersla& f) {
  Directory d;
  SafeArray<Text> groups, names, descriptions;
  SafeArray<int32_t> ids;
  int32_t n = f.SaekjaHopa(groups, ids, names, descriptions);
  if (n < 0) throw Error(err::kObjectNotSet);
  for (int32_t i = 1; i <= n; ++i) d.groups.push_back({ids(i), text(groups(i)), text(descriptions(i))});
  for (const Choice& g : d.groups) {
    int32_t group = g.id;
    SafeArray<Text> fields;
    SafeArray<int32_t> field_ids;
    int32_t k = f.SaekjaSvid(group, fields, field_ids);
    for (int32_t i = 1; i <= k; ++i) {
      std::string name = text(fields(i));
      if (std::none_of(d.fields.begin(), d.fields.end(), [&](const Choice& c) { return c.name == name; }))
        d.fields.push_back({field_ids(i), name, {}});
    }
  }
  for (const Choice& c : d.fields) {
    Text name = upper_is(from_utf8(c.name));
    if (name == u"EFNISORÐ") d.subject_field = c.id;
    if (name == u"RITRÖÐ") d.series_field = c.id;
    if (name == u"TITILL") d.title_field = c.id;
    if (name == u"HÖFUNDUR") d.author_field = c.id;
  }
  return d;
}

HitPage Search(Faersla& f, const SearchAsk& ask) {
  CallScope call;
  HitPage out;
  SafeArray<Text> stop_words;
  f.SaekjaEkkiOrð(stop_words);
  if (!stop_words.allocated()) stop_words = SafeArray<Text>(0, {Text()});
  std::unique_ptr<db::Database> catalogue = open_catalogue();
  const Text words = from_utf8(ask.words);
  const std::size_t first = std::size_t(ask.page - 1) * std::size_t(ask.page_size);
  std::vector<int32_t> ids;
  try {
    std::vector<int32_t> all = FindRecords(*catalogue, ask.group, ask.field, words, stop_words);
    std::shared_ptr<const facets::FacetTable> table = facets::FacetsFor(*catalogue);
    std::shared_ptr<const facets::Shelf> shelf = facets::ShelfOf(*catalogue, table);
    std::vector<int32_t> hits = facets::Narrow(*table, *shelf, all, ask.filter);
    out.count = int64_t(hits.size());
    if (!all.empty()) {
      out.facets = facets::Count(*table, *shelf, hits);
      out.places = table->places();
    }
    if (!ask.filter.any() && ask.order == Order::kCatalogue) {
      // Leita's own page: the first hits straight from the stored index.
      ids = LeitaPage(*catalogue, ask.group, ask.field, words, stop_words, first, std::size_t(ask.page_size)).ids;
    } else {
      ids = OrderedPage(*catalogue, hits, ask, *table, stop_words, first, std::size_t(ask.page_size));
    }
    if (out.count <= kFewHits && !ask.filter.any())
      for (const Suggestion& s : Suggest(*catalogue, ask.group, ask.field, words, stop_words, out.count))
        out.suggestions.emplace_back(to_utf8(s.words), s.hits);
  } catch (const OnlyStopWords&) {
    out.only_stop_words = true;
    return out;
  }
  for (int32_t id : ids) {
    CatalogueRecord r = FærslaFráID(id);
    if (r.ID == -1) continue;  // gone since the search
    Hit h{r.ID, describe(*catalogue, r), call_number(r), r.Aðfanganúmer.count(), 0};
    for (const HoldingItem& c : r.Aðfanganúmer) h.available += c.boolÍLáni == kTrue ? 0 : 1;
    out.hits.push_back(std::move(h));
  }
  catalogue->Close();
  return out;
}

std::vector<Heading> Headings(int32_t field, const std::string& from, bool down, std::size_t n) {
  CallScope call;
  std::unique_ptr<db::Database> catalogue = open_catalogue();
  std::vector<Heading> out;
  for (const ScannedWord& w : ScanWords(*catalogue, from_utf8(from), down, n, -1, field))
    out.push_back({to_utf8(w.word), w.records});
  catalogue->Close();
  return out;
}

std::optional<RecordView> ReadRecord(int32_t id) {
  CallScope call;
  RecordView v;
  v.record = FærslaFráID(id);
  const CatalogueRecord& r = v.record;
  if (r.ID == -1) return std::nullopt;
  std::unique_ptr<db::Database> catalogue = open_catalogue();
  v.description = describe(*catalogue, r);
  catalogue->Close();
  v.title = text(BuildTitle(r.Titlar, u""));
  v.call_number = call_number(r);
  for (const HoldingItem& c : r.Aðfanganúmer)
    v.holdings.push_back({c.Númer, text(c.Staðsetning), text(c.Athugasemd), c.boolÍLáni == kTrue});
  for (const TermPair& t : r.Efnisorð) v.subjects.push_back(text(FormatPair(t)));
  for (const ContentsEntry& c : r.Efnisyfirlit) v.contents.push_back(text(ContentsLine(c)));
  std::string series = text(BuildTitle(r.Ritröð.Titlar, u""));
  if (!series.empty()) v.series.push_back(series);
  return v;
}

std::optional<formats::StoredRecord> ReadStored(int32_t id) {
  CallScope call;
  std::unique_ptr<db::Database> catalogue = open_catalogue();
  std::optional<formats::StoredRecord> r = formats::ReadStoredRecords(*catalogue, {id}, formats::Purpose::Marc).front();
  catalogue->Close();
  return r;
}

PrintList LayOut(Faersla& f, const std::vector<int32_t>& ids, std::optional<int> list_type) {
  std::optional<ScopedSetting> type;
  if (list_type) type.emplace(u"Prentun", u"ListaTegund", from_utf8(std::to_string(*list_type)));
  std::vector<int32_t> numbers{0};
  numbers.insert(numbers.end(), ids.begin(), ids.end());
  SafeArray<int32_t> lID(0, numbers);
  SafeArray<int16_t> iTag;
  SafeArray<Text> szA1, szA2, szA3;
  PrintList out{std::make_shared<RtfControl>(), {}};
  Variant vCtrl(std::static_pointer_cast<Dispatch>(out.control));
  if (f.FormaFyrirPrentun(vCtrl, lID, iTag, szA1, szA2, szA3) < 0) throw Error(err::kObjectNotSet);
  // Each record starts one line; subject lines follow their entry.
  for (int32_t k = 1, j = 0; iTag.allocated() && k <= iTag.ubound(); ++k) {
    if (iTag(k) == kLineSubjects) continue;
    if (iTag(k) == kLineNotPrinted && j < int32_t(ids.size())) out.not_printed.push_back(ids[std::size_t(j)]);
    ++j;
  }
  return out;
}

}  // namespace kvistur::web
