// The help of the command line: `kvistur --help` (every command in one
// line), `kvistur help COMMAND` (one command in full) and `kvistur help
// --man` (the manual page, in roff, from the same text; the build installs
// it as kvistur(1)).
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace kvistur::cli {

void PrintOverview(std::FILE* to);
// 0; 2 with one line on standard error when NAME is not a command.
int PrintCommandHelp(std::string_view name, std::FILE* to);
void PrintManual(std::FILE* to);

// Where the documentation is: installed beside the program
// (PREFIX/share/doc/kvistur for PREFIX/bin/kvistur), else the source
// tree's docs folder (a program run from its build folder).
std::string DocumentationFolder();

}  // namespace kvistur::cli
