// kvistur parse [FILE]: reads one whole-record text (a file, or standard
// input when FILE is absent or "-") and prints the record it gives as JSON,
// every member under its own name.  The text is read as UTF-8 exactly as it
// stands: line breaks (CR LF too) are part of the values; only a leading
// byte-order mark is dropped.  A text that does not parse, or a FILE that
// cannot be read, gives one line saying why and exit status 1.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>

#include "command.h"
#include "record/record_text.h"
#include "record_json.h"

namespace kvistur::cli {
namespace {

std::string read_all(std::istream& in) {
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string read_input(const Args& args) {
  if (args.empty() || args[0] == "-") {
    std::string s = read_all(std::cin);
    if (std::cin.bad()) throw std::runtime_error("cannot read standard input");
    return s;
  }
  std::error_code ec;
  if (std::filesystem::is_directory(args[0], ec)) throw std::runtime_error(args[0] + " is a folder, not a file");
  std::ifstream f(args[0], std::ios::binary);
  if (!f) throw std::runtime_error("cannot open '" + args[0] + "'");
  std::string s = read_all(f);
  if (f.bad()) throw std::runtime_error("cannot read '" + args[0] + "'");
  return s;
}

}  // namespace

KVISTUR_COMMAND(cmd_parse, "parse", "parse [FILE]", "print a whole-record text (file or standard input) as JSON") {
  if (args.size() > 1) throw UsageError("expected at most one file, got " + std::to_string(args.size()));
  reject_unknown_options(args);
  std::string bytes = read_input(args);
  if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) bytes.erase(0, 3);
  CatalogueRecord record;
  try {
    record = ParseRecordText(from_utf8(bytes));
  } catch (const Error& e) {
    throw std::runtime_error("the record text cannot be read: " + to_utf8(e.description()) + " (error " +
                             std::to_string(e.number()) + ")");
  }
  std::cout << host::record_json(record).dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  return 0;
}

}  // namespace kvistur::cli
