#include "search/facet_table.h"

#include <algorithm>
#include <stdexcept>

#include "kvistur/number.h"
#include "record/record_text.h"
#include "search/stored_index.h"

namespace kvistur::facets {

namespace {

constexpr uint16_t kMostCopies = UINT16_MAX;

uint64_t zigzag(int64_t v) { return (uint64_t(v) << 1) ^ uint64_t(v >> 63); }
int64_t unzigzag(uint64_t v) { return int64_t(v >> 1) ^ -int64_t(v & 1); }

uint64_t get(std::string_view s, std::size_t& at) {
  return stored::GetVarint(s, at);  // throws std::runtime_error at the end
}

Text text_of(db::Cursor& rows, int i) {
  return rows.IsNull(i) ? Text() : rows.Value(i).to_text();
}

}  // namespace

int64_t ChunkChecksum(int64_t build, int64_t chunk, std::string_view data) {
  // FNV-1a over the build, the chunk number and the bytes.
  uint64_t h = 0xcbf29ce484222325ull;
  auto mix = [&](uint8_t b) { h = (h ^ b) * 0x100000001b3ull; };
  for (int i = 0; i < 8; ++i) mix(uint8_t(uint64_t(build) >> (8 * i)));
  for (int i = 0; i < 8; ++i) mix(uint8_t(uint64_t(chunk) >> (8 * i)));
  for (char c : data) mix(uint8_t(c));
  return int64_t(h & INT64_MAX);
}

void FacetTable::Builder::record(int32_t id, int tag, int32_t origin, const Facts& facts) {
  bool has = tag == 1 || tag == 2;
  rows_.push_back(Row{id, tag == 2 ? origin : id, has, facts});
}

void FacetTable::Builder::copy(int32_t holder, std::string_view place) {
  Copies& c = copies_[holder];
  ++c.count;
  std::string name = to_utf8(trim(from_utf8(std::string(place))));
  if (name.empty()) return;
  auto it = place_ids_.find(name);
  if (it == place_ids_.end()) {
    if (places_.size() >= kMaxPlaces) return;
    it = place_ids_.emplace(name, uint16_t(places_.size())).first;
    places_.push_back(name);
  }
  if (std::find(c.places.begin(), c.places.end(), it->second) == c.places.end()) c.places.push_back(it->second);
}

std::unique_ptr<FacetTable> FacetTable::Builder::finish() {
  std::sort(rows_.begin(), rows_.end(), [](const Row& a, const Row& b) { return a.id < b.id; });
  rows_.erase(std::unique(rows_.begin(), rows_.end(), [](const Row& a, const Row& b) { return a.id == b.id; }),
              rows_.end());
  // Places numbered in the Icelandic order of their names would need the
  // collator here; the pages sort them by count, so the order of first
  // sight serves.
  auto t = std::make_unique<FacetTable>();
  t->place_names_ = places_;
  static const Copies none;
  for (const Row& r : rows_) {
    auto it = r.has_holder ? copies_.find(r.holder) : copies_.end();
    const Copies& c = it == copies_.end() ? none : it->second;
    std::vector<uint16_t> places = c.places;
    std::sort(places.begin(), places.end());
    t->add(r.id, r.facts.kind, r.facts.year, c.count, r.holder, r.has_holder, places);
  }
  t->Seal();
  return t;
}

void FacetTable::add(int32_t id, Kind kind, int year, uint32_t copies, int32_t holder, bool has_holder,
                     const std::vector<uint16_t>& places) {
  ids_.push_back(id);
  kind_.push_back(kind);
  year_.push_back(uint16_t(year));
  copies_.push_back(uint16_t(std::min<uint32_t>(copies, kMostCopies)));
  holder_id_.push_back(holder);
  has_holder_.push_back(has_holder);
  places_.insert(places_.end(), places.begin(), places.end());
  place_start_.push_back(uint32_t(places_.size()));
}

std::vector<std::string> FacetTable::EncodeChunks() const {
  std::vector<std::string> out;
  for (std::size_t from = 0; from < ids_.size(); from += kChunkRecords) {
    std::string data;
    int64_t prev = 0;
    for (std::size_t s = from; s < std::min(ids_.size(), from + kChunkRecords); ++s) {
      stored::PutVarint(data, zigzag(int64_t(ids_[s]) - prev));
      prev = ids_[s];
      stored::PutVarint(data, kind_[s]);
      stored::PutVarint(data, year_[s]);
      stored::PutVarint(data, copies_[s]);
      int32_t h = holder_[s];
      uint64_t holder = h < 0 ? 0 : holder_id_[s] == ids_[s] ? 1 : 2 + zigzag(int64_t(holder_id_[s]) - ids_[s]);
      stored::PutVarint(data, holder);
      stored::PutVarint(data, place_start_[s + 1] - place_start_[s]);
      for (uint32_t p = place_start_[s]; p < place_start_[s + 1]; ++p) stored::PutVarint(data, places_[p]);
    }
    out.push_back(std::move(data));
  }
  return out;
}

void FacetTable::DecodeChunk(std::string_view data, std::size_t records) {
  std::size_t at = 0;
  int64_t prev = 0;
  std::vector<uint16_t> places;
  for (std::size_t i = 0; i < records; ++i) {
    int64_t id = prev + unzigzag(get(data, at));
    if (id < INT32_MIN || id > INT32_MAX || (!ids_.empty() && id <= ids_.back()))
      throw std::runtime_error("kv_facets: record numbers out of order");
    prev = id;
    uint64_t kind = get(data, at), year = get(data, at), copies = get(data, at), holder = get(data, at);
    uint64_t n = get(data, at);
    if (kind >= uint64_t(kKinds) || year > uint64_t(kLastYear) || copies > kMostCopies || n > place_names_.size())
      throw std::runtime_error("kv_facets: a value out of range");
    places.clear();
    for (uint64_t k = 0; k < n; ++k) {
      uint64_t p = get(data, at);
      if (p >= place_names_.size()) throw std::runtime_error("kv_facets: no such place");
      places.push_back(uint16_t(p));
    }
    int64_t h = holder <= 1 ? id : id + unzigzag(holder - 2);
    if (h < INT32_MIN || h > INT32_MAX) throw std::runtime_error("kv_facets: a holder out of range");
    add(int32_t(id), Kind(kind), int(year), uint32_t(copies), int32_t(h), holder != 0, places);
  }
  if (at != data.size()) throw std::runtime_error("kv_facets: bytes after the last record");
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
  if (stamp.token.empty()) return nullptr;
  try {
    auto meta = database.OpenCursor(
        u"SELECT f.format, f.build, f.records, f.chunks, f.built_records, f.built_links FROM kv_facet_meta AS f");
    if (!meta->Next()) return nullptr;
    for (int i = 0; i < 6; ++i)
      if (!meta->IsInteger(i)) return nullptr;
    if (meta->Integer(0) != kFormat || meta->Integer(4) != stamp.records || meta->Integer(5) != stamp.links)
      return nullptr;
    const int64_t build = meta->Integer(1), records = meta->Integer(2), chunks = meta->Integer(3);
    if (records < 0 || records > INT32_MAX || chunks != (records + int64_t(kChunkRecords) - 1) / int64_t(kChunkRecords))
      return nullptr;
    meta.reset();
    auto table = std::make_shared<FacetTable>();
    std::vector<std::string> names;
    auto places = database.OpenCursor(u"SELECT p.id, p.name FROM kv_facet_places AS p ORDER BY p.id");
    while (places->Next()) {
      if (!places->IsInteger(0) || places->Integer(0) != int64_t(names.size()) || names.size() >= kMaxPlaces)
        return nullptr;
      names.emplace_back(places->Bytes(1));
    }
    table->set_places(std::move(names));
    auto rows = database.OpenCursor(
        u"SELECT c.chunk, c.build, c.records, c.data, c.checksum FROM kv_facets AS c ORDER BY c.chunk");
    int64_t c = 0;
    for (; rows->Next(); ++c) {
      for (int i : {0, 1, 2, 4})
        if (!rows->IsInteger(i)) return nullptr;
      int64_t n = std::min<int64_t>(int64_t(kChunkRecords), records - c * int64_t(kChunkRecords));
      std::string_view data = rows->Bytes(3);
      if (rows->Integer(0) != c || rows->Integer(1) != build || rows->Integer(2) != n ||
          rows->Integer(4) != ChunkChecksum(build, c, data))
        return nullptr;
      table->DecodeChunk(data, std::size_t(n));
    }
    if (c != chunks) return nullptr;
    table->Seal();
    return table;
  } catch (const Error&) {
    return nullptr;  // no facet tables, or none this engine can read
  } catch (const std::runtime_error&) {
    return nullptr;  // bytes that are not ours: worked out from the tables
  }
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
