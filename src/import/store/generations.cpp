#include "import/store/generations.h"

#include <sqlite3.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <set>
#include <stdexcept>

#include "import/store/folder_ops.h"
#include "platform/sqlite_journal.h"
#include "platform/sqlite_statement.h"
#include "search/word_file.h"

namespace kvistur::import {

namespace fs = std::filesystem;

namespace {

// The temporary name a new link is made under, in the catalogue folder (a
// rename over the old name is atomic only within one folder).
constexpr char kLinkPrefix[] = ".kvistur-link-";
// What SQLite keeps beside a database, by the database's name, and the
// search's word file (search/word_file.h).
constexpr const char* kSideFiles[] = {"-wal", "-shm", "-journal", stored::kWordFileSuffix};

// A name no earlier build of this folder used: the time (UTC) and the
// process.  Builds into one folder take its lock in turn.
std::string new_generation() {
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &utc);
  return std::string(stamp) + "-" + std::to_string(getpid());
}

// NAME without the side-file suffix it ends with, if any.
std::string database_of(const std::string& name) {
  for (const char* suffix : kSideFiles) {
    std::string s = suffix;
    if (name.size() > s.size() && name.compare(name.size() - s.size(), s.size(), s) == 0)
      return name.substr(0, name.size() - s.size());
  }
  return name;
}

}  // namespace

void FinishStagedDatabase(const std::string& file) {
  db::SqliteConnection db = db::OpenSqlite(file, SQLITE_OPEN_READWRITE);
  sqlite3_busy_timeout(db.get(), db::kWriterBusyTimeoutMs);
  try {
    db::UseWriteAheadLog(db.get());
  } catch (const std::exception& e) {
    throw std::runtime_error(file + ": " + e.what());
  }
}

void InstallGeneration(const std::vector<std::string>& staged, const std::string& dir) {
  if (staged.empty()) return;
  fs::path gens = fs::path(dir) / kGenerationFolder;
  if (!fs::is_directory(gens)) {
    std::error_code ec;
    fs::create_directory(gens, ec);
    if (ec) throw std::runtime_error("cannot make the folder " + gens.string() + ": " + ec.message());
    folder_ops::Sync(dir);
  }
  std::string generation = new_generation();
  std::vector<std::pair<std::string, std::string>> links;  // name in DIR, what it points at
  for (auto& s : staged) {
    fs::path from(s);
    std::string file = from.stem().string() + "-" + generation + from.extension().string();
    fs::path to = gens / file;
    for (const char* suffix : kSideFiles)
      if (fs::exists(s + suffix)) folder_ops::Rename(s + suffix, to.string() + suffix);
    folder_ops::Rename(s, to.string());
    links.emplace_back(from.filename().string(), std::string(kGenerationFolder) + "/" + file);
  }
  folder_ops::Sync(gens.string());
  for (auto& [name, target] : links) {
    std::string temporary = (fs::path(dir) / (kLinkPrefix + std::to_string(getpid()) + "-" + name)).string();
    folder_ops::Remove(temporary);
    folder_ops::Symlink(target, temporary);
    folder_ops::Rename(temporary, (fs::path(dir) / name).string());
  }
  folder_ops::Sync(dir);
}

void RemoveOldGenerations(const std::string& dir) {
  std::set<std::string> current;
  std::error_code ec;
  for (auto& e : fs::directory_iterator(dir, ec)) {
    std::string name = e.path().filename().string();
    if (name.rfind(kLinkPrefix, 0) == 0) {
      folder_ops::Remove(e.path().string());
      continue;
    }
    std::error_code lec;
    if (!e.is_symlink(lec)) continue;
    fs::path target = fs::read_symlink(e.path(), lec);
    if (lec || target.parent_path() != kGenerationFolder) continue;
    current.insert(target.filename().string());
    // What a plain file of that name (an older build's) left beside it:
    // nothing opens it through this name any more.
    for (const char* suffix : kSideFiles) folder_ops::Remove(e.path().string() + suffix);
  }
  for (auto& e : fs::directory_iterator(fs::path(dir) / kGenerationFolder, ec))
    if (!current.count(database_of(e.path().filename().string()))) folder_ops::Remove(e.path().string());
}

bool IsSideFile(const std::string& name) { return database_of(name) != name; }

std::string CatalogueFolderOf(const std::string& file) {
  fs::path folder = fs::absolute(file).lexically_normal().parent_path();
  if (folder.filename() == kGenerationFolder) folder = folder.parent_path();
  return folder.string();
}

}  // namespace kvistur::import
