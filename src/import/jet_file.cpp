#include "import/jet_file.h"

#include <iconv.h>
#include <mdbtools.h>
#include <unicode/ucnv.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "kvistur/text.h"

namespace kvistur::import {

namespace {

// The flags in the high bits of a row's place in a data page's row table.
constexpr int kRowOffsetMask = 0x1fff;
constexpr int kDeletedRow = 0x4000;

// A Memo or OLE value in a row is a 12-byte header: the length with two
// flags, and where the bytes are when they are not in the row itself.
constexpr int kLongValueHeader = MDB_MEMO_OVERHEAD;
constexpr uint32_t kLongValueInRow = 0x80000000;
constexpr uint32_t kLongValueOnePage = 0x40000000;
constexpr uint32_t kLongValueLength = 0x3fffffff;

// A JET4 or ACE text that starts with these two bytes is compressed:
// runs of one-byte characters (the low byte of UTF-16) and of two-byte
// ones, each switch marked by a zero byte.
constexpr unsigned char kCompressedText[2] = {0xff, 0xfe};

// Dates are days since 1899-12-30, the time of day the fraction.  Jet
// keeps them from the year 100 to 9999; anything else is not a date.
constexpr double kFirstDay = -657434.0;  // 0100-01-01
constexpr double kEndDay = 2958466.0;    // 10000-01-01
constexpr long kDaysFrom1970 = 25569;    // 1899-12-30 to 1970-01-01

// MSysObjects, the list of a file's objects, has its definition on page 2.
// The rows of MSysObjects that are user tables: Type 1 and neither flag
// of a system table; the low three bytes of Id are the definition's page.
constexpr unsigned long kObjectsPage = 2;
constexpr int64_t kTableObject = 1;
constexpr uint32_t kSystemObject = 0x80000002;
constexpr uint32_t kObjectPage = 0x00ffffff;

// Type numbers libmdb has no name for.
constexpr JetType kBigInt = 0x13;  // ACE 2016: a 64-bit integer

const char* version_name(guint32 v) {
  switch (v) {
    case MDB_VER_JET3: return "JET3";
    case MDB_VER_JET4: return "JET4";
    case MDB_VER_ACCDB_2007: return "ACE12";
    case MDB_VER_ACCDB_2010: return "ACE14";
    case MDB_VER_ACCDB_2013: return "ACE15";
    case MDB_VER_ACCDB_2016: return "ACE16";
    case MDB_VER_ACCDB_2019: return "ACE17";
  }
  return "Jet";
}

ColumnType column_type(JetType t) {
  switch (t) {
    case MDB_BOOL: case MDB_BYTE: case MDB_INT: case MDB_LONGINT: case MDB_COMPLEX: case kBigInt:
      return ColumnType::kInteger;
    case MDB_MONEY: case MDB_FLOAT: case MDB_DOUBLE: case MDB_NUMERIC:
      return ColumnType::kReal;
    case MDB_DATETIME: case MDB_TEXT: case MDB_MEMO: case MDB_REPID:
      return ColumnType::kText;
  }
  return ColumnType::kBlob;
}

// The bytes a fixed-size value of type T takes in a row (0: any).
int fixed_size(JetType t) {
  switch (t) {
    case MDB_BYTE: return 1;
    case MDB_INT: return 2;
    case MDB_LONGINT: case MDB_COMPLEX: case MDB_FLOAT: return 4;
    case MDB_MONEY: case MDB_DOUBLE: case MDB_DATETIME: case kBigInt: return 8;
    case MDB_REPID: return 16;
    case MDB_NUMERIC: return 17;
  }
  return 0;
}

template <typename T>
T read_le(const unsigned char* p) {
  T v;
  std::memcpy(&v, p, sizeof v);  // Jet files are little-endian, as this machine is
  return v;
}

struct HandleCloser {
  void operator()(MdbHandle* m) const { mdb_close(m); }
};
struct TableFreer {
  void operator()(MdbTableDef* t) const { mdb_free_tabledef(t); }
};
using Handle = std::unique_ptr<MdbHandle, HandleCloser>;
using Table = std::unique_ptr<MdbTableDef, TableFreer>;

std::string code_page_name(int n) { return "cp" + std::to_string(n); }

struct ConverterCloser {
  void operator()(UConverter* c) const { ucnv_close(c); }
};
using Converter = std::unique_ptr<UConverter, ConverterCloser>;

Converter open_converter(int n) {
  UErrorCode e = U_ZERO_ERROR;
  Converter c(ucnv_open(code_page_name(n).c_str(), &e));
  if (U_FAILURE(e)) c.reset();
  return c;
}

// Turns the stored bytes of a text into UTF-8.
class TextReader {
 public:
  TextReader(bool jet3, int code_page) : jet3_(jet3) {
    if (jet3) converter_ = open_converter(code_page);
  }

  // False when the bytes cannot be a text (half a UTF-16 character).
  bool read(const unsigned char* p, std::size_t n, std::string& out) {
    units_.clear();
    if (jet3_) {
      units_.resize(n * 2 + 1);
      UErrorCode e = U_ZERO_ERROR;
      int32_t got = ucnv_toUChars(converter_.get(), units_.data(), int32_t(units_.size()),
                                  reinterpret_cast<const char*>(p), int32_t(n), &e);
      if (U_FAILURE(e)) return false;
      units_.resize(std::size_t(got));
    } else if (n >= 2 && p[0] == kCompressedText[0] && p[1] == kCompressedText[1]) {
      bool one_byte = true;
      for (std::size_t i = 2; i < n;) {
        if (p[i] == 0) {
          one_byte = !one_byte;
          ++i;
        } else if (one_byte) {
          units_ += char16_t(p[i++]);
        } else {
          if (i + 1 >= n) return false;
          units_ += char16_t(p[i] | p[i + 1] << 8);
          i += 2;
        }
      }
    } else {
      if (n % 2) return false;
      for (std::size_t i = 0; i < n; i += 2) units_ += char16_t(p[i] | p[i + 1] << 8);
    }
    out = to_utf8(units_);
    return true;
  }

 private:
  bool jet3_;
  Converter converter_;
  std::u16string units_;
};

// A date of Jet's as YYYY-MM-DD HH:MM:SS; false when it is none.
bool date_text(double d, std::string& out) {
  if (!(d >= kFirstDay && d < kEndDay)) return false;
  // Before 1899-12-30 the whole part counts days back and the fraction
  // still runs forward from midnight: -1.25 is 1899-12-29 06:00.
  double whole = std::trunc(d);
  long days = long(whole);
  long seconds = std::lround(std::fabs(d - whole) * 86400.0);
  if (seconds == 86400) ++days, seconds = 0;
  // Days since 1970-01-01 to a civil date (the proleptic Gregorian calendar).
  long z = days - kDaysFrom1970 + 719468;
  long era = (z >= 0 ? z : z - 146096) / 146097;
  long doe = z - era * 146097;
  long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  long mp = (5 * doy + 2) / 153;
  long day = doy - (153 * mp + 2) / 5 + 1;
  long month = mp < 10 ? mp + 3 : mp - 9;
  long year = yoe + era * 400 + (month <= 2);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", int(year), int(month), int(day),
                int(seconds / 3600), int(seconds / 60 % 60), int(seconds % 60));
  out = buf;
  return true;
}

// A Jet file starts with its format's name and version, and holds at
// least the header page, one more, and the definition of MSysObjects.
constexpr std::size_t kHeaderSize = 0x15;
constexpr std::size_t kVersionAt = 0x14;
constexpr char kJetName[] = "Standard Jet DB", kAceName[] = "Standard ACE DB";
constexpr unsigned char kHeaderStart[4] = {0x00, 0x01, 0x00, 0x00};
constexpr uint64_t kJet3PageSize = 2048, kPageSize = 4096;

void check_header(const unsigned char* head, uint64_t size) {
  const char* name = reinterpret_cast<const char*>(head) + sizeof kHeaderStart;
  bool named = std::memcmp(name, kJetName, sizeof kJetName) == 0 || std::memcmp(name, kAceName, sizeof kAceName) == 0;
  if (std::memcmp(head, kHeaderStart, sizeof kHeaderStart) != 0 || !named || head[kVersionAt] > MDB_VER_ACCDB_2019)
    throw JetError("not a Jet database file");
  uint64_t page = head[kVersionAt] == MDB_VER_JET3 ? kJet3PageSize : kPageSize;
  if (size < (kObjectsPage + 1) * page) throw JetError("the file is damaged (it ends before its list of tables)");
}

class FileReader {
 public:
  FileReader(Handle mdb, int code_page, uint64_t size) : mdb_(std::move(mdb)), size_(size) {
    jet3_ = IS_JET3(mdb_.get());
    info_.version = version_name(mdb_->f->jet_version);
    if (jet3_) {
      info_.code_page = code_page ? code_page : mdb_->f->code_page ? int(mdb_->f->code_page) : kDefaultCodePage;
      try {
        CheckCodePage(info_.code_page);
      } catch (const JetError&) {
        if (code_page) throw;
        throw JetError("its texts are in code page " + std::to_string(info_.code_page) +
                       ", which cannot be read here; name the one they are in with --code-page");
      }
      // libmdb reads the names with iconv, in the code page of this
      // variable; it is read when the conversion is set up.
      setenv("MDB_JET3_CHARSET", code_page_name(info_.code_page).c_str(), 1);
      mdb_iconv_close(mdb_.get());
      mdb_iconv_init(mdb_.get());
    }
    text_ = std::make_unique<TextReader>(jet3_, info_.code_page);
  }

  void Read(JetSink& sink) {
    entries_ = read_catalogue();
    std::vector<Table> tables;
    for (auto& entry : entries_) {
      Table t = read_table(entry.get());
      if (!t) throw JetError(std::string("the definition of table ") + entry->object_name + " cannot be read");
      info_.tables.push_back(describe(t.get()));
      tables.push_back(std::move(t));
    }
    sink.Tables(info_);
    for (std::size_t i = 0; i < tables.size(); ++i) {
      sink.BeginTable(i);
      sink.EndTable(i, read_rows(tables[i].get(), info_.tables[i], nullptr,
                                 [&](std::span<const Cell> row) { sink.Row(row); }));
    }
  }

 private:
  // A table's definition and columns, or none when they cannot be read.
  // libmdb takes an empty map of the table's pages for one and reads
  // through the null pointer it keeps for it.
  static Table read_table(MdbCatalogEntry* entry) {
    Table t(mdb_read_table(entry));
    if (!t || !t->usage_map || t->map_sz < 1 || !mdb_read_columns(t.get())) return nullptr;
    return t;
  }

  JetTable describe(MdbTableDef* t) {
    JetTable d;
    d.shape.name = t->name;
    d.rows = t->num_rows;
    for (unsigned c = 0; c < t->num_cols; ++c) {
      auto* col = static_cast<MdbColumn*>(g_ptr_array_index(t->columns, c));
      if (col->col_type == MDB_NUMERIC && (col->col_prec > 28 || col->col_scale > col->col_prec))
        throw JetError(d.shape.name + ": column " + col->name + " has a precision or scale no Decimal can have");
      d.shape.columns.push_back({col->name, column_type(col->col_type)});
      d.jet_types.push_back(col->col_type);
    }
    return d;
  }

  // The user tables, from the rows of MSysObjects (its definition is on
  // page 2), read as any table's are.  libmdb's own reader of this list
  // also parses every object's property blob, and reads past its buffers
  // when a blob is damaged; the properties are not needed here.
  std::vector<std::unique_ptr<MdbCatalogEntry>> read_catalogue() {
    MdbCatalogEntry objects{};
    objects.mdb = mdb_.get();
    objects.object_type = MDB_TABLE;
    objects.table_pg = kObjectsPage;
    std::snprintf(objects.object_name, sizeof objects.object_name, "MSysObjects");
    Table t = read_table(&objects);
    if (!t) throw JetError("the list of tables cannot be read");
    JetTable d = describe(t.get());
    d.shape.name = "the list of tables";
    auto column = [&](const char* name) {
      for (std::size_t c = 0; c < d.shape.columns.size(); ++c)
        if (d.shape.columns[c].name == name) return c;
      throw JetError(std::string("the list of tables has no column ") + name + "; the file is damaged");
    };
    std::size_t id = column("Id"), name = column("Name"), type = column("Type"), flags = column("Flags");
    std::vector<bool> wanted(d.shape.columns.size());
    for (std::size_t c : {id, name, type, flags}) wanted[c] = true;
    std::vector<std::unique_ptr<MdbCatalogEntry>> tables;
    read_rows(t.get(), d, &wanted, [&](std::span<const Cell> row) {
      if (row[type].kind != Cell::kInteger || row[type].integer != kTableObject) return;
      if (row[id].kind != Cell::kInteger || row[name].kind != Cell::kText) return;
      if (row[flags].kind == Cell::kInteger && (uint32_t(row[flags].integer) & kSystemObject)) return;
      auto e = std::make_unique<MdbCatalogEntry>();
      e->mdb = mdb_.get();
      e->object_type = MDB_TABLE;
      e->table_pg = uint32_t(row[id].integer) & kObjectPage;
      e->flags = row[flags].kind == Cell::kInteger ? int(row[flags].integer) : 0;
      std::snprintf(e->object_name, sizeof e->object_name, "%s", row[name].bytes.c_str());
      tables.push_back(std::move(e));
    });
    return tables;
  }

  // Reads every row of table T, calling EACH for each, and returns how
  // many.  Fewer rows than the table's definition counts are lost rows;
  // more (a file that was not closed properly counts too few) are not.
  // When WANTED is given, only the columns it marks are read; the others
  // are Null.
  uint64_t read_rows(MdbTableDef* t, const JetTable& d, const std::vector<bool>* wanted,
                     const std::function<void(std::span<const Cell>)>& each) {
    MdbHandle* mdb = mdb_.get();
    const int row_table = mdb->fmt->row_count_offset;
    const int page_size = int(mdb->fmt->pg_size);
    std::vector<MdbField> fields(t->num_cols);
    std::vector<Cell> row(t->num_cols);
    uint64_t count = 0;
    mdb_rewind_table(t);
    while (mdb_read_next_dpg(t)) {
      unsigned long page = mdb->cur_pg;
      int rows = mdb_get_int16(mdb->pg_buf, row_table);
      if (row_table + 2 + rows * 2 > page_size)
        throw JetError(d.shape.name + ": page " + std::to_string(page) + " holds more rows than fit on it");
      for (int r = 0; r < rows; ++r) {
        auto fail = [&](const std::string& why) {
          return JetError(d.shape.name + ": row " + std::to_string(r) + " of page " + std::to_string(page) +
                          " cannot be read (" + why + ")");
        };
        int start = 0;
        size_t size = 0;
        if (mdb_find_row(mdb, r, &start, &size) != 0) throw fail("its place on the page is wrong");
        if ((start & kDeletedRow) || size == 0) continue;
        start &= kRowOffsetMask;
        int columns = mdb_crack_row(t, start, size, fields.data());
        if (columns < 0) throw fail("its columns cannot be told apart");
        for (unsigned c = 0; c < t->num_cols; ++c) {
          const MdbField& f = fields[c];
          auto* col = static_cast<MdbColumn*>(g_ptr_array_index(t->columns, f.colnum));
          if (wanted && !(*wanted)[std::size_t(f.colnum)]) {
            row[f.colnum].kind = Cell::kNull;
            continue;
          }
          const char* why = convert(col, f, start, int(size), row[f.colnum]);
          if (why) throw fail(std::string("column ") + col->name + ": " + why);
        }
        each(row);
        ++count;
      }
    }
    if (count < d.rows)
      throw JetError(d.shape.name + ": the table's definition counts " + std::to_string(d.rows) + " rows, " +
                     std::to_string(count) + " could be read");
    return count;
  }

  // One value of the row at ROW_START (ROW_SIZE bytes) on the current
  // page into CELL; the reason when it cannot be read.
  const char* convert(MdbColumn* col, const MdbField& f, int row_start, int row_size, Cell& cell) {
    const JetType type = col->col_type;
    cell.bytes.clear();
    if (type == MDB_BOOL) {  // kept in the row's null mask: set is Yes
      cell.kind = Cell::kInteger;
      cell.integer = f.is_null ? 0 : -1;
      return nullptr;
    }
    if (f.is_null) {
      cell.kind = Cell::kNull;
      return nullptr;
    }
    if (f.siz < 0 || f.start < row_start || f.start + f.siz > row_start + row_size) return "its value lies outside the row";
    const unsigned char* p = mdb_->pg_buf + f.start;
    int need = fixed_size(type);
    if (need && f.siz < need) return "its value is cut short";
    switch (type) {
      case MDB_BYTE: return integer(cell, p[0]);
      case MDB_INT: return integer(cell, read_le<int16_t>(p));
      case MDB_LONGINT: case MDB_COMPLEX: return integer(cell, read_le<int32_t>(p));
      case kBigInt: return integer(cell, read_le<int64_t>(p));
      case MDB_MONEY: return real(cell, double(read_le<int64_t>(p)) / 10000.0);
      case MDB_DOUBLE: return real(cell, read_le<double>(p));
      case MDB_FLOAT: {
        float v = read_le<float>(p);
        char buf[32];
        auto end = std::to_chars(buf, buf + sizeof buf, v).ptr;
        double d = 0;
        std::from_chars(buf, end, d);
        return std::isfinite(v) ? real(cell, d) : "not a number";
      }
      case MDB_NUMERIC: {
        char* s = mdb_numeric_to_string(mdb_.get(), f.start, col->col_scale, col->col_prec);
        double d = s ? std::strtod(s, nullptr) : 0;
        g_free(s);
        return real(cell, d);
      }
      case MDB_DATETIME:
        cell.kind = Cell::kText;
        return date_text(read_le<double>(p), cell.bytes) ? nullptr : "not a date";
      case MDB_REPID: {
        char* s = mdb_uuid_to_string(mdb_->pg_buf, f.start);
        cell.kind = Cell::kText;
        cell.bytes = s;
        g_free(s);
        return nullptr;
      }
      case MDB_TEXT:
        cell.kind = Cell::kText;
        return text_->read(p, std::size_t(f.siz), cell.bytes) ? nullptr : "not a text";
      case MDB_MEMO: {
        cell.kind = Cell::kText;
        if (const char* why = long_value(f.start, f.siz, raw_)) return why;
        return text_->read(reinterpret_cast<const unsigned char*>(raw_.data()), raw_.size(), cell.bytes)
                   ? nullptr
                   : "not a text";
      }
      case MDB_OLE:
        cell.kind = Cell::kBlob;
        return long_value(f.start, f.siz, cell.bytes);
      default:
        cell.kind = Cell::kBlob;
        cell.bytes.assign(reinterpret_cast<const char*>(p), std::size_t(f.siz));
        return nullptr;
    }
  }

  static const char* integer(Cell& c, int64_t v) {
    c.kind = Cell::kInteger;
    c.integer = v;
    return nullptr;
  }
  static const char* real(Cell& c, double v) {
    if (std::isnan(v)) return "not a number";
    c.kind = Cell::kReal;
    c.real = v;
    return nullptr;
  }

  // The bytes of a Memo or OLE value whose header is at START of the
  // current page: in the row, on one page of their own, or on a chain of
  // pages, each row of the chain starting with where the next is.
  const char* long_value(int start, int size, std::string& out) {
    MdbHandle* mdb = mdb_.get();
    out.clear();
    if (size == 0) return nullptr;
    if (size < kLongValueHeader) return "its long value's header is cut short";
    uint32_t head = uint32_t(mdb_get_int32(mdb->pg_buf, start));
    uint32_t length = head & kLongValueLength;
    if (head & kLongValueInRow) {
      if (length != uint32_t(size - kLongValueHeader)) return "its long value's length is wrong";
      out.assign(reinterpret_cast<const char*>(mdb->pg_buf) + start + kLongValueHeader, length);
      return nullptr;
    }
    if (length > size_) return "its long value is longer than the file";
    bool one_page = head & kLongValueOnePage;
    if (!one_page && (head & ~kLongValueLength)) return "its long value has flags no long value has";
    uint32_t pg_row = uint32_t(mdb_get_int32(mdb->pg_buf, start + 4));
    while (out.size() < length) {
      if (pg_row == 0) return "its long value's chain of pages ends early";
      void* buf = nullptr;
      int off = 0;
      size_t len = 0;
      if (mdb_find_pg_row(mdb, int(pg_row), &buf, &off, &len) != 0) return "its long value points outside the file";
      const char* p = static_cast<const char*>(buf) + off;
      if (one_page) {
        out.assign(p, len);
        break;
      }
      if (len <= 4) return "its long value's chain of pages holds an empty link";
      pg_row = uint32_t(mdb_get_int32(buf, off));
      out.append(p + 4, len - 4);
    }
    if (out.size() != length) return "its long value's length is wrong";
    return nullptr;
  }

  Handle mdb_;
  std::vector<std::unique_ptr<MdbCatalogEntry>> entries_;  // the tables' definitions point at these
  uint64_t size_;
  bool jet3_ = false;
  JetInfo info_;
  std::unique_ptr<TextReader> text_;
  std::string raw_;
};

}  // namespace

void CheckCodePage(int n) {
  bool ok = n > 0 && open_converter(n) != nullptr;
  if (ok) {
    iconv_t cd = iconv_open("UTF-8", ("CP" + std::to_string(n)).c_str());
    ok = cd != iconv_t(-1);
    if (ok) iconv_close(cd);
  }
  if (!ok) throw JetError("no such code page: " + std::to_string(n));
}

void ReadJet(const std::string& file, int code_page, JetSink& sink) {
  std::error_code ec;
  if (std::filesystem::is_directory(file, ec)) throw JetError("a folder, not a Jet database file");
  std::ifstream f(file, std::ios::binary);
  if (!f) throw JetError(std::string("cannot be opened: ") + std::strerror(errno));
  unsigned char head[kHeaderSize] = {};
  f.read(reinterpret_cast<char*>(head), sizeof head);
  f.seekg(0, std::ios::end);
  uint64_t size = uint64_t(f.tellg());
  check_header(head, size);
  Handle mdb(mdb_open(file.c_str(), MDB_NOFLAGS));
  if (!mdb) throw JetError("not a Jet database file");
  FileReader(std::move(mdb), code_page, size).Read(sink);
}

void ReadJetBytes(std::span<const uint8_t> bytes, int code_page, JetSink& sink) {
  unsigned char head[kHeaderSize] = {};
  std::memcpy(head, bytes.data(), std::min(bytes.size(), sizeof head));
  check_header(head, bytes.size());
  Handle mdb(mdb_open_buffer(const_cast<uint8_t*>(bytes.data()), bytes.size(), MDB_NOFLAGS));
  if (!mdb) throw JetError("not a Jet database file");
  FileReader(std::move(mdb), code_page, bytes.size()).Read(sink);
}

}  // namespace kvistur::import
