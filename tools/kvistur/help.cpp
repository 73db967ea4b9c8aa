#include "help.h"

#include <filesystem>
#include <string>
#include <vector>

#include "command.h"
#include "help_text.h"
#include "installed_folder.h"
#include "kvistur/version.h"
#include "settings/log.h"
#include "settings/settings.h"

namespace kvistur::cli {

namespace {

// Help is wrapped to fit a terminal of 80 columns.
constexpr std::size_t kWidth = 79;
// Options longer than this put their text on the next line.
constexpr std::size_t kOptionColumn = 24;

// Characters, not bytes: UTF-8 continuation bytes take no column.
std::size_t columns(std::string_view s) {
  std::size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

// TEXT wrapped at blanks into lines of at most kWidth columns, the first
// after FIRST (already written, of that many columns), the rest indented
// by INDENT.
std::string wrap(std::string_view text, std::size_t first, std::size_t indent) {
  std::string out;
  std::size_t at = first;
  bool line_start = true;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t end = text.find(' ', i);
    if (end == std::string_view::npos) end = text.size();
    std::string_view word = text.substr(i, end - i);
    i = end + 1;
    if (word.empty()) continue;
    if (!line_start && at + 1 + columns(word) > kWidth) {
      out += "\n" + std::string(indent, ' ');
      at = indent;
      line_start = true;
    }
    if (!line_start) out += ' ', ++at;
    out += word;
    at += columns(word);
    line_start = false;
  }
  return out + "\n";
}

std::vector<std::string_view> paragraphs(std::string_view text) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i <= text.size()) {
    std::size_t end = text.find("\n\n", i);
    if (end == std::string_view::npos) end = text.size();
    out.push_back(text.substr(i, end - i));
    i = end + 2;
  }
  return out;
}

const CommandInfo* registered(std::string_view name) {
  for (const CommandInfo& c : commands())
    if (name == c.name) return &c;
  return nullptr;
}

std::string sentence(const char* summary) {
  std::string s = summary;
  if (!s.empty() && s[0] >= 'a' && s[0] <= 'z') s[0] = char(s[0] - 'a' + 'A');
  return s + ".";
}

// Text as roff reads it literally: backslashes and minus signs escaped, a
// line never starting as a request.
std::string roff(std::string_view text) {
  std::string out;
  bool line_start = true;
  for (char c : text) {
    if (line_start && (c == '.' || c == '\'')) out += "\\&";
    if (c == '\\') out += "\\e";
    else if (c == '-') out += "\\-";
    else out += c;
    line_start = c == '\n';
  }
  return out;
}

}  // namespace

std::string DocumentationFolder() {
  return InstalledFolder(std::filesystem::path("..") / KVISTUR_INSTALL_DOCDIR, KVISTUR_SOURCE_DOCS);
}

void PrintOverview(std::FILE* to) {
  std::fputs("usage: kvistur COMMAND [ARGS...]\n\ncommands:\n", to);
  for (const CommandHelp& h : CommandHelps())
    if (const CommandInfo* c = registered(h.name)) {
      std::string head = "  " + std::string(c->name) + std::string(12 - std::string_view(c->name).size(), ' ');
      std::fputs((head + wrap(c->summary, head.size(), head.size())).c_str(), to);
    }
  std::fputs(
      "\nkvistur help COMMAND (or kvistur COMMAND --help) tells more of one, man kvistur\n"
      "tells all; kvistur --version prints the version.\n",
      to);
}

int PrintCommandHelp(std::string_view name, std::FILE* to) {
  const CommandInfo* c = registered(name);
  const CommandHelp* h = FindCommandHelp(name);
  if (!c || !h) {
    std::fprintf(stderr, "kvistur help: unknown command '%.*s' (kvistur --help lists them)\n", int(name.size()),
                 name.data());
    return 2;
  }
  std::string out = "usage: kvistur " + wrap(c->usage, 15, 8) + "\n" + wrap(sentence(c->summary), 0, 0);
  for (std::string_view p : paragraphs(h->text)) out += "\n" + wrap(p, 0, 0);
  if (!h->options.empty()) out += "\nOptions:\n";
  for (const OptionHelp& o : h->options) {
    std::string head = "  " + std::string(o.option);
    if (head.size() + 2 > kOptionColumn) head += "\n" + std::string(kOptionColumn, ' ');
    else head += std::string(kOptionColumn - head.size(), ' ');
    out += head + wrap(o.text, kOptionColumn, kOptionColumn);
  }
  out += "\nExample:\n  " + std::string(h->example) + "\n\n";
  if (h->reads_settings)
    out += wrap("Settings: the file LINDRIT_SETTINGS names (now " + settings_path() + "; default " +
                    kDefaultSettingsPath + "). Diagnostic log: KVISTUR_LOG (now " + log_path() + ").",
                0, 0);
  out += wrap("More: man kvistur, and " + std::string(h->page) + " in " + DocumentationFolder() + ".", 0, 0);
  std::fputs(out.c_str(), to);
  return 0;
}

void PrintManual(std::FILE* to) {
  std::string out =
      "'\\\" -*- coding: UTF-8 -*-\n"
      ".TH KVISTUR 1 \"\" \"kvistur " KVISTUR_VERSION "\" \"User Commands\"\n"
      // Options and paths are never hyphenated at a line's end.
      ".nh\n.ad l\n"
      ".SH NAME\nkvistur \\- the search and display engine of an Icelandic library catalogue\n"
      ".SH SYNOPSIS\n";
  for (const CommandHelp& h : CommandHelps())
    if (const CommandInfo* c = registered(h.name)) out += ".B kvistur\n" + roff(c->usage) + "\n.br\n";
  out += ".SH DESCRIPTION\n" +
         roff("kvistur searches and shows the records of a library catalogue, lays them out for printing, serves "
              "them over Z39.50 and SRU and to browsers, drives the catalogue's engine for programs in other "
              "languages, and makes and keeps the catalogue: SQLite files in a folder, or schemas of a PostgreSQL "
              "database. The commands that read a catalogue find it through the settings file.") +
         "\n.SH COMMANDS\n";
  for (const CommandHelp& h : CommandHelps()) {
    const CommandInfo* c = registered(h.name);
    if (!c) continue;
    out += ".SS \"" + roff(h.name) + "\"\n.B kvistur\n" + roff(c->usage) + "\n.PP\n" + roff(sentence(c->summary)) +
           "\n";
    for (std::string_view p : paragraphs(h.text)) out += ".PP\n" + roff(p) + "\n";
    for (const OptionHelp& o : h.options) out += ".TP\n.B " + roff(o.option) + "\n" + roff(o.text) + "\n";
    out += ".PP\nExample:\n.PP\n.RS\n.nf\n" + roff(h.example) + "\n.fi\n.RE\n";
  }
  out += ".SH ENVIRONMENT\n"
         ".TP\n.B LINDRIT_SETTINGS\n" +
         roff(std::string("the settings file (default ") + kDefaultSettingsPath +
              "): where the catalogue is (Grunnur/Slóð, GrunnNafn, kv_local), the result limit (Leit/Fjöldi), the "
              "print-list type (Prentun/ListaTegund), the diagnostics (Debug/NoDebug)") +
         "\n.TP\n.B KVISTUR_LOG\n" +
         roff(std::string("the diagnostic log (default ") + kDefaultLogPath + ")") +
         "\n.TP\n.B PGUSER, PGPASSWORD\n" +
         roff("the role that build, update, index and generate write a PostgreSQL database as; a URI on the "
              "command line never carries a user or a password") +
         "\n.SH FILES\n.TP\n.B System.mdw\n" +
         roff("the workgroup file of users and password hashes, in the database folder") +
         "\n.SH EXIT STATUS\n" +
         roff("0 when the command did what it was asked; 1 when it failed (one line on standard error says why, "
              "and a catalogue it was writing is left as it was); 2 for a command line that cannot be read.") +
         "\n.SH SEE ALSO\n" +
         roff("The documentation installed with the program (share/doc/kvistur beside its bin folder; "
              "/usr/share/doc/kvistur from the Debian package): README.md, and search.md, printing.md, "
              "import.md, postgresql.md, server.md, web.md, host-protocol.md.") +
         "\n";
  std::fputs(out.c_str(), to);
}

}  // namespace kvistur::cli
