// Printing records from the command line: `kvistur print` and
// `kvistur search --print` both come here.
//
//   PrintOptions o;
//   o.format = PrintFormat::kRtf;
//   o.rtf_file = "list.rtf";
//   print_records({12, 40}, o, std::cout);
//
// Logs on (o.user / o.password), lays the records out with
// FormaFyrirPrentun and writes the document.  Bad input and failures are
// thrown as UsageError / std::runtime_error with one line saying what was
// wrong.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace kvistur::cli {

enum class PrintFormat {
  kMarked,  // the control's text with <U>...</U>, one line per paragraph
  kRtf,     // an RTF document, to rtf_file ("-": the output stream)
  kText,    // text mode of the layout: call number, tab, marked-up text
};

struct PrintOptions {
  PrintFormat format = PrintFormat::kMarked;
  std::string rtf_file;
  std::optional<int> list_type;  // overrides Prentun/ListaTegund
  std::string user = "Admin";
  std::string password;
  bool logged_on = false;  // true: the caller has logged on already
  std::string command = "print";  // names the command in what it says on standard error
};

// Takes --rtf FILE, --text, --type N, --user, --password out of args.
PrintOptions take_print_options(std::vector<std::string>& args);

// Writes the printed list of the records; each record that is not printed
// (no such record, or of a kind that is not printed) is named on standard
// error.  Returns how many were not printed.
int print_records(const std::vector<int32_t>& ids, const PrintOptions& options, std::ostream& out);

}  // namespace kvistur::cli
