// The MARC files a build or an update reads, read whole before anything is
// written: a component part may come before its host, and an article's
// kind depends on whether its host is a periodical.  Every record is
// checked before any is used (ISO 2709 in UTF-8 on every core, once the
// file is cut into records), and decoded only when it is used.  Records
// that cannot be read are reported on standard error with their file and
// position, in the order of the file.
#pragma once

#include <string>
#include <vector>

#include "import/store/text_numbers.h"
#include "marc21/marc_reader.h"

namespace kvistur::cli {

struct MarcInput {
  std::vector<std::string> files;
  std::vector<marc21::MarcReader> readers;  // they hold the bytes of records not decoded yet
  struct Read {
    std::size_t file;  // in files
    marc21::KeptRecord record;
  };
  std::vector<Read> records;
  long problems = 0;  // records that could not be read
  // Each control number (001) read, numbered from 1, and whether the last
  // record of it is a periodical (serial[number - 1]).
  import::TextNumbers control_numbers;
  std::vector<bool> serial;

  // Whether the host named by the record's 773 $w is a periodical: known
  // from the input, else UNKNOWN (a host outside the input) decides.
  template <typename Unknown>
  bool host_is_serial(const marc21::MarcRecord& m, Unknown unknown) const {
    const marc21::MarcField* f773 = m.first("773");
    if (!f773 || f773->sub_view('w').empty()) return false;
    const std::string host = f773->sub('w');
    const int32_t number = control_numbers.find(host);
    return number ? serial[std::size_t(number) - 1] : unknown(host);
  }
};

// Reads FILES, with a "reading" stage of progress.  Throws
// std::runtime_error when a file cannot be opened or read to its end (the
// message then says that TARGET, the catalogue the records were for, is
// left as it was).
MarcInput ReadMarcFiles(const std::vector<std::string>& files, const std::string& target);

// "FILE..." after --marc (or --jet), up to the next option.
std::vector<std::string> TakeFiles(const std::vector<std::string>& args, std::size_t& i);

}  // namespace kvistur::cli
