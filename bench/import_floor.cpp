// The floor under `kvistur build`: the time SQLite alone takes to insert a
// catalogue's rows, with nothing read, parsed or mapped.  The rows come from
// a catalogue `kvistur build` made (read into memory first, untimed); the
// program writes them into a new file with the same tables in the build's
// order (each record with its source record and holdings, the words first
// met in it after it, the word index in key order at the end) through
// prepared statements whose values SQLite reads in place, and prints the
// seconds of each part and records a second.  The indexes and the stored
// search index are not part of the floor: a catalogue needs them, but they
// are made from rows already written.
//
//   import_floor CATALOGUE [--page-size N] [--cache-mib N] [--link-rows N] [--out FILE]
//
// --page-size is the new file's page size (default 4096, the build's),
// --cache-mib its page cache, --link-rows the word-index rows one INSERT
// writes (default 1: one row a statement).  bench/import_speed.sh runs it
// beside the build.
#include <sqlite3.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "import/catalogue_writer.h"
#include "import/indexes.h"
#include "import/sqlite_statement.h"

namespace {

using namespace kvistur;
using import::ExecSql;
using import::SqliteStatement;

// One table's rows as read: every value a cell, text and blobs in one
// buffer, so that the insert binds them in place without a copy.
struct Table {
  std::string name;
  int columns = 0;
  struct Cell {
    int type = SQLITE_NULL;
    int64_t number = 0;  // an integer, or where the bytes start
    std::size_t length = 0;
  };
  std::vector<Cell> cells;
  std::string bytes;

  std::size_t rows() const { return columns ? cells.size() / std::size_t(columns) : 0; }
  const Cell* row(std::size_t r) const { return &cells[r * std::size_t(columns)]; }
};

Table read_table(sqlite3* db, const char* name, const char* order) {
  Table t;
  t.name = name;
  SqliteStatement q(db, std::string("SELECT * FROM ") + name + " ORDER BY " + order);
  t.columns = sqlite3_column_count(q.get());
  while (q.step()) {
    for (int c = 0; c < t.columns; ++c) {
      Table::Cell cell;
      cell.type = sqlite3_column_type(q.get(), c);
      if (cell.type == SQLITE_INTEGER) {
        cell.number = sqlite3_column_int64(q.get(), c);
      } else if (cell.type == SQLITE_TEXT || cell.type == SQLITE_BLOB) {
        const void* p = cell.type == SQLITE_TEXT ? static_cast<const void*>(sqlite3_column_text(q.get(), c))
                                                 : sqlite3_column_blob(q.get(), c);
        cell.length = std::size_t(sqlite3_column_bytes(q.get(), c));
        cell.number = int64_t(t.bytes.size());
        t.bytes.append(static_cast<const char*>(p), cell.length);
      } else if (cell.type == SQLITE_FLOAT) {
        throw std::runtime_error(std::string("a real number in ") + name + ", which the build never writes");
      }
      t.cells.push_back(cell);
    }
  }
  return t;
}

// Inserts a table's rows through one prepared statement of ROWS rows each.
class Inserter {
 public:
  Inserter(sqlite3* db, const Table& t, int rows) : table_(t), rows_(rows), one_(db, sql(t, 1)), many_(db, sql(t, rows)) {}

  // Inserts rows [from, to).
  void insert(std::size_t from, std::size_t to) {
    while (from < to) {
      bool whole = to - from >= std::size_t(rows_);
      SqliteStatement& st = whole ? many_ : one_;
      int n = whole ? rows_ : 1;
      for (int k = 0; k < n; ++k, ++from) bind(st, k * table_.columns, table_.row(from));
      st.step();
      sqlite3_reset(st.get());
    }
  }

 private:
  static std::string sql(const Table& t, int rows) {
    std::string row = "(?";
    for (int c = 1; c < t.columns; ++c) row += ",?";
    row += ")";
    std::string s = "INSERT INTO " + t.name + " VALUES " + row;
    for (int r = 1; r < rows; ++r) s += "," + row;
    return s;
  }
  void bind(SqliteStatement& st, int first, const Table::Cell* cells) {
    for (int c = 0; c < table_.columns; ++c) {
      const Table::Cell& cell = cells[c];
      int i = first + c + 1;
      if (cell.type == SQLITE_INTEGER) st.bind(i, cell.number);
      else if (cell.type == SQLITE_TEXT) st.bind_in_place(i, std::string_view(table_.bytes).substr(std::size_t(cell.number), cell.length));
      else if (cell.type == SQLITE_BLOB) st.bind_blob_in_place(i, std::string_view(table_.bytes).substr(std::size_t(cell.number), cell.length));
      else st.bind_null(i);
    }
  }
  const Table& table_;
  int rows_;
  SqliteStatement one_, many_;
};

double cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Clock {
  std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
  double cpu = cpu_seconds();
  void print(const char* what, std::size_t rows) {
    double w = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count(), c = cpu_seconds() - cpu;
    std::printf("%-34s %10zu %8.2f %8.2f\n", what, rows, w, c);
    *this = Clock();
  }
};

long option(int argc, char** argv, const char* name, long otherwise) {
  for (int i = 2; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], name) == 0) return std::stol(argv[i + 1]);
  return otherwise;
}

int run(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: import_floor CATALOGUE [--page-size N] [--cache-mib N] [--link-rows N] [--out FILE]\n");
    return 2;
  }
  long page_size = option(argc, argv, "--page-size", 4096), cache_mib = option(argc, argv, "--cache-mib", 64);
  int link_rows = int(option(argc, argv, "--link-rows", 1));
  std::string out = "/tmp/kvistur-floor-" + std::to_string(getpid()) + ".sqlite";
  for (int i = 2; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "--out") == 0) out = argv[i + 1];

  import::SqliteConnection in = import::OpenSqlite(argv[1], SQLITE_OPEN_READONLY);
  Table records = read_table(in.get(), "Móðurtafla", "ID"), sources = read_table(in.get(), "Frumfærsla", "ID"),
        copies = read_table(in.get(), "Aðfanganúmer", "Móðurbendir, rowid"),
        words = read_table(in.get(), "Orð", "ID"),
        links = read_table(in.get(), "Tengill", "OrðID, FærsluID, HópID, Orðtag");
  in.reset();
  // The record each word was first met in: the build writes a word's row
  // right after that record's.
  std::vector<int64_t> first_met(words.rows() + 1, INT64_MAX);
  for (std::size_t r = 0; r < links.rows(); ++r) {
    const Table::Cell* l = links.row(r);  // FærsluID, OrðID, HópID, Orðtag
    int64_t word = l[1].number;
    if (word > 0 && std::size_t(word) < first_met.size()) first_met[std::size_t(word)] = std::min(first_met[std::size_t(word)], l[0].number);
  }
  if (records.rows() != sources.rows()) throw std::runtime_error("Móðurtafla and Frumfærsla differ in rows");

  std::filesystem::remove(out);
  std::printf("%zu records, %zu holdings, %zu words, %zu word-index rows; page %ld, cache %ld MiB, %d rows an insert\n",
              records.rows(), copies.rows(), words.rows(), links.rows(), page_size, cache_mib, link_rows);
  std::printf("%-34s %10s %8s %8s\n", "", "rows", "wall s", "CPU s");
  Clock total, part;
  {
    import::SqliteConnection db = import::CreateDatabase(out);
    std::string pragmas = "PRAGMA page_size=" + std::to_string(page_size) + "; PRAGMA cache_size=-" +
                          std::to_string(cache_mib * 1024) +
                          "; PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; PRAGMA locking_mode=EXCLUSIVE;"
                          " PRAGMA temp_store=MEMORY;";
    ExecSql(db.get(), pragmas.c_str());
    ExecSql(db.get(), import::kCatalogueTables);
    ExecSql(db.get(), "BEGIN");
    Inserter record(db.get(), records, 1), source(db.get(), sources, 1), copy(db.get(), copies, 1),
        word(db.get(), words, 1), link(db.get(), links, link_rows);
    std::size_t at_copy = 0, at_word = 1;
    for (std::size_t r = 0; r < records.rows(); ++r) {
      int64_t id = records.row(r)[0].number;
      record.insert(r, r + 1);
      source.insert(r, r + 1);
      std::size_t end_copy = at_copy;
      while (end_copy < copies.rows() && copies.row(end_copy)[3].number == id) ++end_copy;
      copy.insert(at_copy, end_copy);
      at_copy = end_copy;
      std::size_t end_word = at_word;
      while (end_word < first_met.size() && first_met[end_word] <= id) ++end_word;
      word.insert(at_word - 1, end_word - 1);
      at_word = end_word;
    }
    copy.insert(at_copy, copies.rows());  // holdings of no record
    word.insert(at_word - 1, words.rows());
    part.print("records, sources, holdings, words", records.rows());
    link.insert(0, links.rows());
    part.print("word index", links.rows());
    ExecSql(db.get(), "COMMIT");
    part.print("commit", 0);
  }
  total.print("floor", records.rows());
  std::filesystem::remove(out);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "import_floor: %s\n", e.what());
    return 1;
  }
}
