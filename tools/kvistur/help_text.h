// What `kvistur help COMMAND` says of each command beyond the usage line
// and summary it registers with (command.h), and what the manual page
// (`man kvistur`) is made from: what the command does, every option with
// its values and default, one example and the page of the documentation
// that tells more.
//
//   const CommandHelp* h = FindCommandHelp("search");
//   for (const OptionHelp& o : h->options) ... o.option, o.text ...
#pragma once

#include <string_view>
#include <vector>

namespace kvistur::cli {

struct OptionHelp {
  const char* option;  // as it is written: "--group N"
  const char* text;    // what it does, its values and its default
};

struct CommandHelp {
  const char* name;
  const char* text;     // what the command does: paragraphs split by "\n\n"
  std::vector<OptionHelp> options;
  const char* example;  // one command line
  const char* page;     // the page of the installed documentation
  bool reads_settings;  // reads the catalogue the settings name
};

// Every command, in the order the manual lists them.
const std::vector<CommandHelp>& CommandHelps();
// The help of NAME; nullptr for a name that is not a command.
const CommandHelp* FindCommandHelp(std::string_view name);

}  // namespace kvistur::cli
