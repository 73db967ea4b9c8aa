// kvistur: the command line of the catalogue search-and-display engine.
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string_view>

#include "command.h"
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

}  // namespace kvistur::cli

namespace {

void usage(std::FILE* to) {
  std::fputs("usage: kvistur COMMAND [ARGS...]\n\ncommands:\n", to);
  for (const auto& c : kvistur::cli::commands()) std::fprintf(to, "  %-34s %s\n", c.usage, c.summary);
  std::fputs("\nkvistur help COMMAND tells more of one; kvistur --version prints the version.\n", to);
}

// The documentation: installed beside the program (PREFIX/share/doc/kvistur
// for PREFIX/bin/kvistur), else the source tree's docs folder.
std::string doc_dir() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  std::filesystem::path installed = exe.parent_path().parent_path() / "share/doc/kvistur";
  if (!ec && std::filesystem::is_directory(installed, ec)) return installed.string();
  return KVISTUR_SOURCE_DOCS;
}

// kvistur help COMMAND: the command's usage, what it does, and where its
// settings and documentation are.
int help(const char* name) {
  for (const auto& c : kvistur::cli::commands()) {
    if (name != std::string_view(c.name)) continue;
    std::printf("usage: kvistur %s\n\n%s.\n\n", c.usage, c.summary);
    std::printf("Settings: the file named by LINDRIT_SETTINGS (default /etc/vardi/lindrit-1.0.ini); diagnostic log:\n"
                "KVISTUR_LOG (default /tmp/melding.txt).  Commands that read a catalogue log on as --user (default\n"
                "Admin) with --password (default empty).  Documentation: %s\n",
                doc_dir().c_str());
    return 0;
  }
  std::fprintf(stderr, "kvistur help: unknown command '%s' (kvistur --help lists them)\n", name);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kvistur::cli;
  if (argc >= 2 && (!std::strcmp(argv[1], "--version") || !std::strcmp(argv[1], "version"))) {
    std::printf("kvistur %s\n", KVISTUR_VERSION);
    return 0;
  }
  if (argc >= 3 && !std::strcmp(argv[1], "help")) return help(argv[2]);
  if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "help")) {
    usage(argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  std::string name = argv[1];
  for (const auto& c : commands()) {
    if (name != c.name) continue;
    Args args(argv + 2, argv + argc);
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) return help(c.name);
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
