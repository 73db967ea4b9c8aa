// kvistur: the command line of the catalogue search-and-display engine.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <string_view>

#include "command.h"
#include "help.h"
#include "kvistur/error.h"
#include "kvistur/text.h"
#include "kvistur/version.h"

namespace kvistur::cli {

namespace {
std::vector<CommandInfo>& registry() {
  static std::vector<CommandInfo> r;
  return r;
}
}  // namespace

bool register_command(const CommandInfo& info) {
  registry().push_back(info);
  return true;
}

const std::vector<CommandInfo>& commands() { return registry(); }

bool take_flag(Args& args, const std::string& name) {
  for (auto it = args.begin(); it != args.end(); ++it)
    if (*it == name) {
      args.erase(it);
      return true;
    }
  return false;
}

bool take_option(Args& args, const std::string& name, std::string& value) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == name) {
      if (i + 1 >= args.size()) throw UsageError(name + " needs a value");
      value = args[i + 1];
      args.erase(args.begin() + i, args.begin() + i + 2);
      return true;
    }
    if (args[i].rfind(name + "=", 0) == 0) {
      value = args[i].substr(name.size() + 1);
      args.erase(args.begin() + i);
      return true;
    }
  }
  return false;
}

long long parse_int(const std::string& s, const std::string& what) {
  if (s.empty()) throw UsageError(what + " must be a whole number");
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(s.c_str(), &end, 10);
  if (*end != '\0' || errno == ERANGE) throw UsageError(what + " must be a whole number, not '" + s + "'");
  return v;
}

bool is_option(const std::string& word) {
  return word.size() > 1 && word[0] == '-' && !(word[1] >= '0' && word[1] <= '9');
}

void reject_unknown_options(const Args& args) {
  for (const std::string& a : args)
    if (is_option(a)) throw UsageError("unknown option " + a);
}

}  // namespace kvistur::cli

namespace {

bool is_help(const std::string& word) { return word == "--help" || word == "-h"; }

// What a command wrote to standard output reached it: a full disk or a
// closed file fails the command instead of losing the output unsaid.
bool output_written(const char* name) {
  errno = 0;
  int why = std::cout.flush().fail() ? errno : 0;
  bool ok = !std::cout.fail();
  if (std::fflush(stdout) != 0) ok = false, why = errno;
  if (std::ferror(stdout)) ok = false;
  if (ok) return true;
  std::fprintf(stderr, "kvistur %s: the output could not be written%s%s\n", name, why ? ": " : "",
               why ? std::strerror(why) : "");
  return false;
}

int run(const kvistur::cli::CommandInfo& c, const kvistur::cli::Args& args) {
  using namespace kvistur::cli;
  try {
    int status = c.run(args);
    return output_written(c.name) ? status : 1;
  } catch (const UsageError& e) {
    std::fprintf(stderr, "kvistur %s: %s (usage: kvistur %s)\n", c.name, e.what(), c.usage);
    return 2;
  } catch (const kvistur::Error& e) {
    std::fprintf(stderr, "kvistur %s: %s (error %d)\n", c.name, kvistur::to_utf8(e.description()).c_str(),
                 e.number());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kvistur %s: %s\n", c.name, e.what());
    return 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kvistur::cli;
  std::vector<std::string> words(argv + 1, argv + argc);
  if (!words.empty() && (words[0] == "--version" || words[0] == "version")) {
    std::printf("kvistur %s\n", KVISTUR_VERSION);
    return output_written("--version") ? 0 : 1;
  }
  if (words.size() == 2 && words[0] == "help" && words[1] == "--man") {
    PrintManual(stdout);
    return output_written("help") ? 0 : 1;
  }
  if (words.size() >= 2 && words[0] == "help") {
    int status = PrintCommandHelp(words[1], stdout);
    return output_written("help") ? status : 1;
  }
  if (words.empty() || is_help(words[0]) || words[0] == "help") {
    PrintOverview(words.empty() ? stderr : stdout);
    if (words.empty()) return 2;
    return output_written("help") ? 0 : 1;
  }
  for (const auto& c : commands()) {
    if (words[0] != c.name) continue;
    Args args(words.begin() + 1, words.end());
    // --help anywhere asks for help: never a file, user or listener of that name.
    for (const std::string& a : args)
      if (is_help(a)) return PrintCommandHelp(c.name, stdout) == 0 && output_written(c.name) ? 0 : 1;
    return run(c, args);
  }
  std::fprintf(stderr, "kvistur: unknown command '%s' (kvistur --help lists them)\n", words[0].c_str());
  return 2;
}
