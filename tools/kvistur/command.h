// Sub-commands of the `kvistur` command line.
//
// Each sub-command lives in its own file and registers itself:
//
//   KVISTUR_COMMAND(cmd_show, "show", "show ID", "print one record as a librarian reads it") {
//     ... args holds the words after "show" ...
//     return 0;
//   }
//
// A command reports bad input by throwing UsageError (or any exception):
// main prints one line "kvistur NAME: WHAT" to standard error and exits 2
// (1 for other failures).  What a command writes to standard output is
// checked when it returns: output that could not be written fails it.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace kvistur::cli {

using Args = std::vector<std::string>;
using CommandFn = int (*)(const Args& args);

struct CommandInfo {
  const char* name;
  const char* usage;
  const char* summary;
  CommandFn run;
};

bool register_command(const CommandInfo& info);
const std::vector<CommandInfo>& commands();

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Small helpers for option parsing: takes "--name VALUE" out of args.
bool take_flag(Args& args, const std::string& name);
bool take_option(Args& args, const std::string& name, std::string& value);
// A whole-number argument; UsageError naming `what` when it is not one.
long long parse_int(const std::string& s, const std::string& what);
// Whether WORD is written as an option ("--name", "-x"; "-" alone and a
// negative number are not).
bool is_option(const std::string& word);
// UsageError "unknown option X" for the first option left in ARGS, once a
// command has taken the ones it knows.
void reject_unknown_options(const Args& args);

}  // namespace kvistur::cli

#define KVISTUR_COMMAND(id, name, usage, summary)                                                      \
  static int id(const ::kvistur::cli::Args& args);                                                    \
  [[maybe_unused]] static const bool id##_registered = ::kvistur::cli::register_command({name, usage, summary, id}); \
  static int id(const ::kvistur::cli::Args& args)
