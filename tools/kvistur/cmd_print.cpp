// kvistur print: lays catalogue records out for printing.
#include <iostream>

#include "command.h"
#include "print_output.h"

KVISTUR_COMMAND(cmd_print, "print", "print ID... [--type N] [--rtf FILE | --text] [--user NAME] [--password PW]",
                "lay records out for printing: marked-up text, layout text or an RTF document") {
  using namespace kvistur::cli;
  Args rest = args;
  PrintOptions options = take_print_options(rest);
  reject_unknown_options(rest);
  if (rest.empty()) throw UsageError("print needs at least one record number");
  std::vector<int32_t> ids;
  for (const auto& a : rest) {
    long long id = parse_int(a, "a record number");
    if (id < INT32_MIN || id > INT32_MAX) throw UsageError("record number out of range: " + a);
    ids.push_back(int32_t(id));
  }
  // The records that can be printed are; one that cannot fails the command.
  return print_records(ids, options, std::cout) == 0 ? 0 : 1;
}
