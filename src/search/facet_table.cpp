#include "search/facet_table.h"

#include <algorithm>
#include <stdexcept>

#include "kvistur/number.h"
#include "record/record_text.h"
#include "search/stored_index.h"

namespace kvistur::facets {

static_assert(kKinds == int(stored::kFacetKinds) && kLastYear == int(stored::kFacetLastYear));

namespace {

Text text_of(db::Cursor& rows, int i) {
  return rows.IsNull(i) ? Text() : rows.Value(i).to_text();
}

// The rows of one of the chunked tables, each checked, in chunk order.
template <typename Decode>
int64_t read_chunks(const std::function<std::unique_ptr<db::Cursor>(const std::u16string&)>& open,
                    const std::u16string& table, stored::FacetRowKind kind, int64_t build, Decode decode) {
  auto rows = open(u"SELECT c.chunk, c.data, c.checksum FROM " + table + u" AS c ORDER BY c.chunk");
  int64_t entries = 0;
  while (rows->Next()) {
    if (!rows->IsInteger(0) || !rows->IsInteger(2)) throw stored::Damaged(to_utf8(table) + ": a number that is not one");
    const int64_t chunk = rows->Integer(0);
    std::string_view data = rows->Bytes(1);
    const std::string where = to_utf8(table) + " chunk " + std::to_string(chunk);
    if (rows->Integer(2) != stored::FacetRowSum(build, kind, chunk, data))
      throw stored::Damaged(where + ": the checksum does not match");
    try {
      entries += decode(chunk, data);
    } catch (const stored::Damaged& d) {
      throw stored::Damaged(where + ": " + d.what());
    }
  }
  return entries;
}

}  // namespace

Stored ReadFacetHead(const std::function<std::unique_ptr<db::Cursor>(const std::u16string&)>& open,
                     StoredFacets& out) {
  {
    auto format = open(u"SELECT f.format FROM kv_facet_meta AS f");
    if (!format->Next()) return Stored::kNone;
    if (!format->IsInteger(0) || format->Integer(0) != stored::kFacetFormat) return Stored::kOtherFormat;
  }
  auto meta = open(u"SELECT " + stored::Columns(stored::FacetSummary::kColumns, "f") + u" FROM kv_facet_meta AS f");
  stored::CursorRow row{*meta};
  meta->Next();
  out.meta = stored::FacetSummary::Read(row);
  if (meta->Next()) throw stored::Damaged("kv_facet_meta: more than one row");
  out.meta.check();
  const int64_t build = out.meta.build;
  FacetRows& rows = out.rows;
  rows = FacetRows{};
  auto places = open(u"SELECT p.id, p.name, p.checksum FROM kv_facet_places AS p ORDER BY p.id");
  while (places->Next()) {
    const int64_t id = int64_t(rows.places.size());
    std::string_view name = places->Bytes(1);
    if (!places->IsInteger(0) || places->Integer(0) != id || id >= out.meta.places || !places->IsInteger(2) ||
        places->Integer(2) != stored::FacetPlaceSum(build, id, name))
      throw stored::Damaged("kv_facet_places id " + std::to_string(id) + ": missing or the checksum does not match");
    rows.places.emplace_back(name);
  }
  if (int64_t(rows.places.size()) != out.meta.places) throw stored::Damaged("kv_facet_places: a row missing");
  return Stored::kRead;
}

Stored ReadStoredFacets(const std::function<std::unique_ptr<db::Cursor>(const std::u16string&)>& open,
                        StoredFacets& out) {
  Stored head = ReadFacetHead(open, out);
  if (head != Stored::kRead) return head;
  const int64_t build = out.meta.build;
  FacetRows& rows = out.rows;
  int64_t records = read_chunks(open, u"kv_facets", stored::FacetRowKind::kRecords, build, [&](int64_t c, auto data) {
    auto got = stored::DecodeFacetRecords(c, data);
    rows.records.insert(rows.records.end(), got.begin(), got.end());
    return int64_t(got.size());
  });
  int64_t holders = read_chunks(open, u"kv_facet_copies", stored::FacetRowKind::kHolders, build, [&](int64_t c, auto data) {
    auto got = stored::DecodeFacetHolders(c, data, out.meta.places);
    for (auto& h : got) rows.holders.push_back(std::move(h));
    return int64_t(got.size());
  });
  if (records != out.meta.records || holders != out.meta.holders)
    throw stored::Damaged("kv_facet_meta: not as many entries as the rows hold");
  return Stored::kRead;
}

FacetTable::Builder::Builder(std::vector<std::string> places) : places_(std::move(places)) {
  for (std::size_t i = 0; i < places_.size(); ++i) place_ids_.emplace(places_[i], uint16_t(i));
}

void FacetTable::Builder::record(int32_t id, int tag, int32_t origin, const Facts& facts) {
  stored::FacetRecord r;
  r.id = id;
  r.kind = uint8_t(facts.kind);
  r.year = uint16_t(facts.year);
  r.has_holder = tag == 1 || tag == 2;
  r.holder = !r.has_holder ? 0 : tag == 2 ? origin : id;
  records_.push_back(r);
}

void FacetTable::Builder::copy(int32_t holder, std::string_view place) {
  stored::FacetHolder& c = copies_[holder];
  c.id = holder;
  if (c.copies < stored::kFacetMostCopies) ++c.copies;
  std::string name = to_utf8(trim(from_utf8(std::string(place))));
  if (name.empty()) return;
  auto it = place_ids_.find(name);
  if (it == place_ids_.end()) {
    if (places_.size() >= kMaxPlaces) return;
    it = place_ids_.emplace(name, uint16_t(places_.size())).first;
    places_.push_back(name);
  }
  auto at = std::lower_bound(c.places.begin(), c.places.end(), it->second);
  if (at == c.places.end() || *at != it->second) c.places.insert(at, it->second);
}

FacetRows FacetTable::Builder::rows() {
  FacetRows out;
  auto by_id = [](const auto& a, const auto& b) { return a.id < b.id; };
  std::stable_sort(records_.begin(), records_.end(), by_id);
  records_.erase(std::unique(records_.begin(), records_.end(), [](auto& a, auto& b) { return a.id == b.id; }),
                 records_.end());
  out.records = std::move(records_);
  for (auto& [id, c] : copies_) out.holders.push_back(std::move(c));
  std::sort(out.holders.begin(), out.holders.end(), by_id);
  // Places are numbered in the order of first sight: the pages order them
  // by count and name, never by number.
  out.places = std::move(places_);
  *this = Builder();
  return out;
}

std::unique_ptr<FacetTable> FacetTable::Make(const FacetRows& rows) {
  auto t = std::make_unique<FacetTable>();
  t->place_names_ = rows.places;
  for (const stored::FacetRecord& r : rows.records) {
    const stored::FacetHolder* copies = nullptr;
    if (r.has_holder) {
      auto it = std::lower_bound(rows.holders.begin(), rows.holders.end(), r.holder,
                                 [](const stored::FacetHolder& h, int32_t id) { return h.id < id; });
      if (it != rows.holders.end() && it->id == r.holder) copies = &*it;
    }
    t->add(r, copies);
  }
  t->Seal();
  return t;
}

void FacetTable::add(const stored::FacetRecord& r, const stored::FacetHolder* copies) {
  ids_.push_back(r.id);
  kind_.push_back(r.kind);
  year_.push_back(r.year);
  copies_.push_back(copies ? uint16_t(std::min<uint32_t>(copies->copies, stored::kFacetMostCopies)) : 0);
  holder_id_.push_back(r.holder);
  has_holder_.push_back(r.has_holder);
  if (copies) places_.insert(places_.end(), copies->places.begin(), copies->places.end());
  place_start_.push_back(uint32_t(places_.size()));
}

void FacetTable::Seal() {
  const std::size_t n = ids_.size();
  if (n) {
    int64_t range = int64_t(ids_.back()) - ids_.front() + 1;
    dense_ = range <= int64_t(n) * 4 + 1024;
    if (dense_) {
      first_ = ids_.front();
      slot_of_.assign(std::size_t(range), kNoSlot);
      for (std::size_t s = 0; s < n; ++s) slot_of_[std::size_t(int64_t(ids_[s]) - first_)] = int32_t(s);
    }
  }
  // Holders that are records are their slots; the others are numbered on.
  holder_.assign(n, -1);
  for (std::size_t s = 0; s < n; ++s) {
    if (!has_holder_[s]) continue;
    int32_t h = holder_id_[s];
    int32_t at = slot(h);
    if (at == kNoSlot) {
      auto it = std::lower_bound(extra_holders_.begin(), extra_holders_.end(), std::make_pair(h, INT32_MIN));
      if (it == extra_holders_.end() || it->first != h)
        it = extra_holders_.insert(it, {h, int32_t(n + extra_holders_.size())});
      at = it->second;
    }
    holder_[s] = at;
  }
  has_holder_.clear();
  has_holder_.shrink_to_fit();
}

int32_t FacetTable::holder_index(int32_t id) const {
  int32_t s = slot(id);
  if (s != kNoSlot) return s;
  auto it = std::lower_bound(extra_holders_.begin(), extra_holders_.end(), std::make_pair(id, INT32_MIN));
  return it != extra_holders_.end() && it->first == id ? it->second : -1;
}

int32_t FacetTable::sparse_slot(int32_t id) const {
  auto it = std::lower_bound(ids_.begin(), ids_.end(), id);
  return it != ids_.end() && *it == id ? int32_t(it - ids_.begin()) : kNoSlot;
}

std::size_t FacetTable::memory() const {
  std::size_t b = sizeof(FacetTable) + HeapBytes(ids_) + HeapBytes(kind_) + HeapBytes(year_) + HeapBytes(copies_) +
                  HeapBytes(holder_id_) + HeapBytes(holder_) + HeapBytes(place_start_) + HeapBytes(places_) +
                  HeapBytes(place_names_) + HeapBytes(extra_holders_) + HeapBytes(slot_of_);
  for (const std::string& p : place_names_) b += HeapBytes(p);
  return b;
}

std::shared_ptr<FacetTable> FacetTable::Open(db::Database& database, const db::ContentStamp& stamp) {
  // Without facts followed, a copy moved or a source record changed since
  // it was written would not show.
  if (stamp.token.empty() || !stamp.facts_followed) return nullptr;
  StoredFacets data;
  try {
    Stored got = ReadStoredFacets([&](const std::u16string& sql) { return database.OpenCursor(sql); }, data);
    if (got == Stored::kOtherFormat)
      stored::SayOnce(stamp.token + " facets format", "the facet data is in a format this version does not read; "
                                                      "the facets are worked out from the tables until `kvistur "
                                                      "index` writes it again");
    if (got != Stored::kRead) return nullptr;
  } catch (const stored::Damaged& d) {
    stored::SayOnce(stamp.token + " facets", std::string("the facet data is damaged (") + d.what() +
                                                 "); the facets are worked out from the tables until `kvistur "
                                                 "index` writes it again");
    return nullptr;
  } catch (const Error&) {
    return nullptr;  // no facet tables, or none this engine can read
  }
  // Of another state: the update that changed it did not keep it (another
  // program's change, or a version before the facets).
  if (data.meta.built_records != stamp.records || data.meta.built_links != stamp.links ||
      data.meta.built_facts != stamp.facts)
    return nullptr;
  return Make(data.rows);
}

std::shared_ptr<FacetTable> FacetTable::FromTables(db::Database& database) {
  Builder b;
  std::unordered_map<int32_t, std::string> sources;
  try {
    auto src = database.OpenCursor(u"SELECT f.ID, f.Færsla FROM Frumfærsla AS f");
    while (src->Next())
      if (src->IsInteger(0)) sources.emplace(int32_t(src->Integer(0)), std::string(src->Bytes(1)));
  } catch (const Error&) {
    sources.clear();  // a catalogue without its source records
  }
  auto rows = database.OpenCursor(u"SELECT m.ID, m.Tag, m.Upprunafærsla, m.ÖllFærslan FROM Móðurtafla AS m");
  while (rows->Next()) {
    if (rows->IsNull(0)) continue;
    int32_t id = rows->Value(0).to_i32();
    int tag = rows->IsNull(1) ? 0 : rows->Value(1).to_i32();
    int32_t origin = rows->IsNull(2) ? 0 : rows->Value(2).to_i32();
    Facts facts;
    if (auto it = sources.find(id); it != sources.end()) {
      facts = FactsFromSource(it->second);
    } else {
      Text date;
      try {
        date = ParseRecordText(text_of(*rows, 3)).Útgáfutími;
      } catch (const Error&) {
      }
      facts = FactsFromEntry(tag, date);
    }
    b.record(id, tag, origin, facts);
  }
  sources.clear();
  auto copies = database.OpenCursor(u"SELECT a.Móðurbendir, a.Staðsetning FROM Aðfanganúmer AS a");
  while (copies->Next())
    if (!copies->IsNull(0)) b.copy(copies->Value(0).to_i32(), to_utf8(text_of(*copies, 1)));
  return b.finish();
}

}  // namespace kvistur::facets
