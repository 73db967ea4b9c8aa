// kvistur: the command line of the catalogue search-and-display engine.
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>

#include "command.h"
#include "kvistur/error.h"
#include "kvistur/text.h"

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

}  // namespace kvistur::cli

namespace {

void usage(std::FILE* to) {
  std::fputs("usage: kvistur COMMAND [ARGS...]\n\ncommands:\n", to);
  for (const auto& c : kvistur::cli::commands()) std::fprintf(to, "  %-34s %s\n", c.usage, c.summary);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kvistur::cli;
  if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "help")) {
    usage(argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  std::string name = argv[1];
  for (const auto& c : commands()) {
    if (name != c.name) continue;
    Args args(argv + 2, argv + argc);
    try {
      return c.run(args);
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
  std::fprintf(stderr, "kvistur: unknown command '%s' (kvistur --help lists them)\n", name.c_str());
  return 2;
}
