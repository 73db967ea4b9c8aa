#include "formats/record_read.h"

#include <functional>
#include <map>
#include <set>

#include "formats/source_iso.h"
#include "kvistur/number.h"

namespace kvistur::formats {

namespace {

// One row of a query, read the same way through a cursor or a recordset.
class Row {
 public:
  virtual ~Row() = default;
  virtual Variant value(int i) = 0;
  // Column I as UTF-8 text; nullopt when it is null.
  virtual std::optional<std::string> utf8(int i) = 0;
  // Column I's bytes as they are stored, where the engine gives them and
  // the column holds text (a view valid until the next row); else nullopt.
  virtual std::optional<std::string_view> stored(int) { return std::nullopt; }
  Text text(int i) {
    Variant v = value(i);
    return v.is_null() ? Text() : v.to_text();
  }
};

class CursorRow : public Row {
 public:
  explicit CursorRow(db::Cursor& c) : c_(c) {}
  Variant value(int i) override { return c_.Value(i); }
  std::optional<std::string> utf8(int i) override {
    if (c_.IsNull(i)) return std::nullopt;
    // A text as it is stored, when it is UTF-8 and cannot be a number's
    // form; anything else as a recordset gives it (a number in its text
    // form, bytes that are not UTF-8 made so).
    if (!c_.IsInteger(i)) {
      std::string_view bytes = c_.Bytes(i);
      if (bytes.find_first_not_of("0123456789+-.eE") != std::string_view::npos && marc21::well_formed_utf8(bytes))
        return std::string(bytes);
    }
    return to_utf8(c_.Value(i).to_text());
  }
  std::optional<std::string_view> stored(int i) override {
    if (c_.IsNull(i) || c_.IsInteger(i)) return std::nullopt;
    return c_.Bytes(i);
  }

 private:
  db::Cursor& c_;
};

class RecordsetRow : public Row {
 public:
  RecordsetRow(db::Recordset& rs, const std::vector<const char16_t*>& columns) : rs_(rs), columns_(columns) {}
  Variant value(int i) override { return rs_.field(columns_[std::size_t(i)]); }
  std::optional<std::string> utf8(int i) override {
    Variant v = value(i);
    if (v.is_null()) return std::nullopt;
    return to_utf8(v.to_text());
  }

 private:
  db::Recordset& rs_;
  const std::vector<const char16_t*>& columns_;
};

// "SELECT a.C1, a.C2, ... FROM TABLE a WHERE a.KEY IN (ids)" for batches of
// record numbers: one cursor, run again for each later batch (its text
// read once), where the engine has cursors; a recordset a batch where it
// has not.
class Rows {
 public:
  Rows(db::Database& database, const char16_t* table, const char16_t* key, std::vector<const char16_t*> columns)
      : database_(database), columns_(std::move(columns)) {
    select_ = u"SELECT ";
    for (std::size_t i = 0; i < columns_.size(); ++i) select_ += (i ? u", a." : u"a.") + Text(columns_[i]);
    select_ += u" FROM " + Text(table) + u" a WHERE a." + Text(key) + u" IN (";
  }

  void each(const std::vector<int32_t>& ids, const std::function<void(Row&)>& f) {
    std::size_t size = 0;
    for (std::size_t from = 0; from < ids.size(); from += kIdsAtOnce) {
      // A later batch holds as many numbers as the first (its last one
      // repeated), so that it is the same query with other values.
      std::vector<int64_t> batch(ids.begin() + std::ptrdiff_t(from),
                                 ids.begin() + std::ptrdiff_t(std::min(ids.size(), from + kIdsAtOnce)));
      if (size == 0) size = batch.size();
      batch.resize(size, batch.back());
      run(batch, f);
    }
  }

 private:
  void run(const std::vector<int64_t>& batch, const std::function<void(Row&)>& f) {
    // The query with the batch's numbers written in it, for a first batch
    // and for an engine without cursors.
    auto written = [&] {
      Text list;
      for (int64_t id : batch) list += (list.empty() ? u"" : u", ") + number_text_blank(id);
      return select_ + list + u")";
    };
    if (cursor_) {
      cursor_->Again(std::vector<db::Literal>(batch.begin(), batch.end()));
    } else if (!without_cursor_) {
      try {
        cursor_ = database_.OpenCursor(written());
      } catch (const Error& e) {
        if (e.number() != 3251) throw;
        without_cursor_ = true;
      }
    }
    if (cursor_) {
      CursorRow row(*cursor_);
      while (cursor_->Next()) f(row);
      return;
    }
    auto rs = database_.OpenRecordset(written(), db::kSnapshot);
    RecordsetRow row(*rs, columns_);
    while (!rs->eof()) {
      f(row);
      rs->MoveNext();
    }
    rs->Close();
  }

  db::Database& database_;
  std::vector<const char16_t*> columns_;
  Text select_;
  std::unique_ptr<db::Cursor> cursor_;
  bool without_cursor_ = false;
};

// Whether the catalogue has the table of source records, found out once
// per state of the file (kept in the engine's slot for derived data).
bool& source_table_present(db::Database& database) {
  std::shared_ptr<void>& slot = database.Derived("kvistur.formats.source-table");
  if (!slot) slot = std::make_shared<bool>(true);
  return *static_cast<bool*>(slot.get());
}

// Each record's source record, from the first row of its number.
void read_sources(db::Database& database, const std::vector<int32_t>& ids, std::map<int32_t, StoredRecord>& found) {
  if (!source_table_present(database)) return;
  std::set<int32_t> seen;
  try {
    Rows(database, u"Frumfærsla", u"ID", {u"ID", u"Færsla"}).each(ids, [&](Row& row) {
      Variant id = row.value(0);
      if (id.is_null() || !seen.insert(id.to_i32()).second) return;
      auto r = found.find(id.to_i32());
      if (r == found.end()) return;
      // A source record handed out as it stands is kept as it is stored
      // (it is all UTF-8, so it is also the text utf8() would give);
      // another is read now, to know whether it reads at all.
      if (std::optional<std::string_view> bytes = row.stored(1); bytes && HandedOutAsStored(*bytes))
        r->second.source.assign(*bytes);
      else if (std::optional<std::string> source = row.utf8(1))
        r->second.marc = SourceMarc(*source, r->first);
    });
  } catch (const Error& e) {
    if (e.number() != db::kTableNotFound) throw;
    source_table_present(database) = false;
  }
}

// The MARC lines of the records of IDS, for those made without a source
// record.
void read_marc_lines(db::Database& database, const std::vector<int32_t>& ids, std::map<int32_t, StoredRecord>& found) {
  std::set<int32_t> seen;
  Rows(database, u"Móðurtafla", u"ID", {u"ID", u"MarkSnið"}).each(ids, [&](Row& row) {
    Variant id = row.value(0);
    if (id.is_null() || !seen.insert(id.to_i32()).second) return;
    if (auto r = found.find(id.to_i32()); r != found.end()) r->second.marc_lines = row.text(1);
  });
}

// Each record's copies, in the order the table gives them.
void read_copies(db::Database& database, const std::vector<int32_t>& ids, std::map<int32_t, StoredRecord>& found) {
  Rows(database, u"Aðfanganúmer", u"Móðurbendir", {u"Móðurbendir", u"Aðfanganúmer", u"Staðsetning", u"Athugasemd"})
      .each(ids, [&](Row& row) {
        Variant owner = row.value(0), number = row.value(1);
        if (owner.is_null() || number.is_null()) return;
        auto r = found.find(owner.to_i32());
        if (r == found.end()) return;
        r->second.copies.push_back(
            Copy{number.to_i32(), row.utf8(2).value_or(std::string()), row.utf8(3).value_or(std::string())});
      });
}

}  // namespace

std::vector<std::optional<StoredRecord>> ReadStoredRecords(db::Database& database, const std::vector<int32_t>& ids,
                                                           Purpose purpose) {
  std::vector<std::optional<StoredRecord>> out(ids.size());
  if (ids.empty()) return out;
  // Each number once, so that no row is read twice.
  const std::set<int32_t> numbers(ids.begin(), ids.end());
  const std::vector<int32_t> distinct(numbers.begin(), numbers.end());
  // The display texts need the record's texts, read with its kind.
  const bool display = purpose == Purpose::Display;
  std::vector<const char16_t*> columns{u"ID", u"Tag", u"Safndeild"};
  if (display) columns.insert(columns.end(), {u"ÖllFærslan", u"MarkSnið"});
  std::map<int32_t, StoredRecord> found;
  Rows(database, u"Móðurtafla", u"ID", std::move(columns)).each(distinct, [&](Row& row) {
    Variant id = row.value(0);
    // A record number held twice: its first row counts.
    if (id.is_null() || found.count(id.to_i32())) return;
    StoredRecord& r = found[id.to_i32()];
    r.id = id.to_i32();
    Variant kind = row.value(1), collection = row.value(2);
    r.kind = kind.is_null() ? int16_t(0) : kind.to_i16();
    r.collection = collection.is_null() ? -1 : collection.to_i32();
    if (display) {
      r.whole_text = row.text(3);
      r.marc_lines = row.text(4);
    }
  });
  if (!found.empty() && !display) {
    read_sources(database, distinct, found);
    // The records without a source record that reads are made from their
    // MARC lines.
    std::vector<int32_t> rebuilt;
    for (auto& [id, r] : found)
      if (!r.marc && r.source.empty()) rebuilt.push_back(id);
    if (!rebuilt.empty()) read_marc_lines(database, rebuilt, found);
    read_copies(database, distinct, found);
  }
  for (std::size_t i = 0; i < ids.size(); ++i)
    if (auto r = found.find(ids[i]); r != found.end()) out[i] = r->second;
  return out;
}

}  // namespace kvistur::formats
