#include "help_text.h"

namespace kvistur::cli {

namespace {

constexpr OptionHelp kUser{"--user NAME", "log on as NAME (default Admin)"};
constexpr OptionHelp kPassword{"--password PW", "with the password PW (default empty)"};

constexpr char kPrintTypes[] =
    "the print-list type, 0 to 4, instead of the setting Prentun/ListaTegund (0 when it is missing): "
    "0 names, title and publication; 1, 2 and 4 the areas after the title and the call number (4 gives an "
    "article its citation alone); 3 as 1 with a line of subject headings; any other number names and title "
    "only";

}  // namespace

const std::vector<CommandHelp>& CommandHelps() {
  static const std::vector<CommandHelp> helps = {
      {"search",
       "Searches the word index of the catalogue the settings name, as a host's search does, and prints one "
       "line per record, in the order of the records' sort texts: the record number, a tab, the one-line "
       "description, a tab, the identifying string. On a terminal a progress bar is drawn on standard error.\n\n"
       "A record is found when it holds every word of TEXT. Letter case does not matter, accents do; a * at the "
       "start or end of a word stands for any letters (saga*). Stop words are left out. The word index keeps "
       "words as runs of letters and digits, so a word written with a hyphen is two words (brennu njáls, not "
       "Brennu-Njáls) and an ISBN is its digits (9789970010264); when such a text finds nothing, the command "
       "says what to search for instead, and offers to at a terminal.\n\n"
       "When more records are found than are shown, standard error says \"showing N of M\". Nothing found is "
       "not a failure (exit 0, one line on standard error).",
       {{"--group N",
         "search only the group of databases numbered N (kvistur groups lists the numbers); default -1, every "
         "group"},
        {"--field N",
         "search only the search field numbered N, such as author or title (kvistur groups lists each group's "
         "fields); default -1, every field"},
        {"--max N",
         "show at most N records, the first in order (N from 1 up, or all); default the setting Leit/Fjöldi, "
         "50 when it is missing or 0"},
        {"--json", "print {\"results\":[{\"id\":N,\"description\":T,\"key\":T},...]} instead of the lines"},
        {"--print", "lay the records found out for printing instead, as kvistur print does"},
        {"--type N", kPrintTypes},
        {"--rtf FILE", "with --print: write an RTF document to FILE (- for standard output)"},
        {"--text", "with --print: the layout's text mode, one line each: call number, a tab, the text"},
        kUser,
        kPassword},
       "kvistur search 'njáls saga' --field 2 --max 10",
       "search.md",
       true},
      {"groups",
       "Lists the groups of databases of the catalogue the settings name, and under each its search fields: "
       "the numbers that kvistur search takes with --group and --field, with their names and descriptions.",
       {kUser, kPassword},
       "kvistur groups",
       "search.md",
       true},
      {"show",
       "Prints one record as a librarian reads it: its one-line description, its copies with their accession "
       "numbers (* marks a copy on loan), its subject headings and its contents. ID is the record number that "
       "kvistur search prints first. A record that is not in the catalogue fails the command.",
       {{"--json",
         "print the record as JSON: id, kind, selected, description, holdings (number, note, location, onLoan, "
         "line), subjects and contents"},
        kUser,
        kPassword},
       "kvistur show 172",
       "search.md",
       true},
      {"print",
       "Lays records out for printing as a host's print list does, in the order given, and writes them as "
       "marked-up text (<U>...</U> around underlined runs, a blank line between records), as the layout's "
       "text mode, or as an RTF document. A record that is not printed (not in the catalogue, or of a kind "
       "that is not printed) is named on standard error and fails the command; the others are still printed.",
       {{"--type N", kPrintTypes},
        {"--rtf FILE", "write an RTF document (A4, Times New Roman) to FILE; - for standard output"},
        {"--text", "the layout's text mode, one line each: call number, a tab, the text"},
        kUser,
        kPassword},
       "kvistur print 172 87 --rtf listi.rtf",
       "printing.md",
       true},
      {"parse",
       "Reads one whole-record text, as the catalogue keeps it in ÖllFærslan, from FILE or from standard input "
       "(no FILE, or -), and prints the record it gives as JSON, every member under its own name. A text that "
       "cannot be read fails the command with the reason.",
       {},
       "sqlite3 katalogur.sqlite 'select ÖllFærslan from Móðurtafla where ID = 172' | kvistur parse",
       "host-protocol.md",
       false},
      {"build",
       "Makes a catalogue ready to search: the catalogue and directory databases, the workgroup file "
       "System.mdw (one user, Admin, with an empty password) and the settings files lindrit-1.0.ini and "
       "lindrit.ini, from MARC 21 records or from Jet files. Everything is written beside what is there and "
       "put in place only when all is written: a failed build leaves the old catalogue as it was. A rebuild "
       "keeps the settings a library added and rewrites only the values the build owns.",
       {{"--marc FILE...",
         "MARC 21 records: ISO 2709 (MARC-8 or UTF-8) or MARCXML; one file or more. Records that cannot be "
         "read are named on standard error and skipped; a file that ends inside a record fails the build"},
        {"--jet FILE...",
         "Jet files (.mdb, .accdb) holding the catalogue and the directory database, every table and row "
         "brought over"},
        {"--code-page N",
         "with --jet: the code page of a JET3 file whose header names the wrong one (1257, 861, ...); default "
         "the one the file names"},
        {"--out DIR|URI",
         "the folder to write, made when it is missing; or a PostgreSQL URI (postgresql://HOST/DATABASE, "
         "without a user or password: the role comes from PGUSER and PGPASSWORD or ~/.pgpass), whose schemas "
         "katalogur and skra are written, and the settings for it are printed"}},
       "kvistur build --marc records.mrc --out /srv/lindrit/gogn",
       "import.md",
       false},
      {"update",
       "Applies the day's new, changed and deleted MARC records to a catalogue in place, in one transaction, "
       "while hosts go on searching. Each record is matched by its control number (001), and by 003 when both "
       "have one: a record whose leader/05 is d deletes its match; any other replaces its match (keeping its "
       "record number) or is added with a number never given before. Records that cannot be applied are named "
       "on standard error; when none can be, nothing changes and the command fails. Ctrl-C rolls the update "
       "back.",
       {{"--marc FILE...", "the records, ISO 2709 or MARCXML, one file or more"},
        {"CATALOGUE_DIR|FILE|URI",
         "the catalogue: a folder holding katalogur.sqlite, the file itself, or a PostgreSQL URI (a schema "
         "other than katalogur named after a \\)"}},
       "kvistur update --marc day.mrc /srv/lindrit/gogn",
       "import.md",
       false},
      {"index",
       "Adds the indexes and the stored search index that make searches fast to a catalogue made by another "
       "tool, or writes the stored index again after another program changed the catalogue (and after updates, "
       "whole). Searches give the same records without them, only more slowly.",
       {{"--check",
         "write nothing: say whether the indexes and the stored search index are sound, a line for each thing "
         "found and one to close, and fail when anything was found"},
        {"CATALOGUE|DIR|URI",
         "the catalogue file, the folder holding katalogur.sqlite, or a PostgreSQL URI (a schema other than "
         "katalogur named after a \\)"}},
       "kvistur index /srv/lindrit/gogn/katalogur.sqlite",
       "import.md",
       false},
      {"generate",
       "Writes a synthetic catalogue of any size, for benchmarks: records with Icelandic words drawn so that a "
       "few are very common and most rare, or the same records as one ISO 2709 file.",
       {{"--records N", "how many records, 1 to 100000000"},
        {"--out DIR|URI", "write a catalogue, as kvistur build writes one"},
        {"--marc FILE", "write the records as ISO 2709 instead (either --out or --marc)"},
        {"--seed S", "the seed of the random choices (default 1): the same seed gives the same records"},
        {"--words FILE",
         "the vocabulary, one word per line (a hunspell .dic file works); default /usr/share/hunspell/is.dic "
         "when it is installed, else words made of Icelandic syllables"}},
       "kvistur generate --records 100000 --out /tmp/gervi",
       "benchmarks.md",
       false},
      {"workgroup",
       "Manages the workgroup file (System.mdw in the database folder): the users who may log on, each with a "
       "salted Argon2id hash of the password, never the password itself. User names match without regard to "
       "letter case and keep the spelling they were added with. A catalogue on a PostgreSQL server has no "
       "workgroup file: the server's roles decide.",
       {{"init FILE", "make a new workgroup file with one user, Admin, whose password is empty"},
        {"add-user FILE NAME", "add a user; a name that is there already is refused (see set-password)"},
        {"set-password FILE NAME", "give a user a new password"},
        {"remove-user FILE NAME", "remove a user"},
        {"list FILE", "list the users"},
        {"--password PW",
         "with add-user and set-password: the password. Without it the password is asked for twice at a "
         "terminal, not shown as it is typed, or read as the first line of standard input"}},
       "kvistur workgroup add-user /srv/lindrit/gogn/System.mdw Guðrún",
       "host-protocol.md",
       false},
      {"serve",
       "Serves the catalogue the settings name over Z39.50 and SRU on the same listeners, for every library "
       "client, until SIGTERM or SIGINT. Each client session logs on with its own user and password, or as "
       "--user.",
       {{"LISTENER...", "where to listen: tcp:@:2100 (every address; the default), tcp:127.0.0.1:9999, unix:PATH"},
        {"--user NAME", "the server's own log-on, and that of sessions that give none (default Admin)"},
        kPassword,
        {"--access-log FILE", "one line per request, appended (default standard output)"},
        {"--server-log FILE", "the server's own messages (default standard error)"}},
       "kvistur serve tcp:@:2100 --access-log /var/log/kvistur/access.log",
       "server.md",
       true},
      {"web",
       "Serves the catalogue the settings name to browsers, for patrons and staff, until SIGTERM or SIGINT: a "
       "search form, result pages, each record with its copies and loan state, print lists (a page or an RTF "
       "document), the record as MARC 21, MARCXML or RIS, JSON at /api/search and an OpenSearch description; "
       "results narrowed by kind, year, location and copies on the shelf, in other orders, with suggestions for "
       "mistyped words, and the title, author and subject indexes to browse at /browse. "
       "Each worker thread logs on as --user; while the catalogue cannot be read the pages say so (503) and "
       "every request tries again.\n\n"
       "The settings section [Vefur] may set the listener (Hlustun), the hits a page shows (Síðustærð), the "
       "library's name (Nafn), the templates folder (Sniðmát), the public address (Slóð) and the limits "
       "(Tengingar, Biðtími, Þræðir); the options win.",
       {{"ADDRESS:PORT", "where to listen: 127.0.0.1:8080 (the default), 0.0.0.0:8080, [::]:8080"},
        {"--user NAME", "the log-on of every worker (default Admin)"},
        kPassword,
        {"--templates DIR", "the library's own copy of the templates, texts and static files (default the installed "
                            "share/kvistur/web)"},
        {"--access-log FILE", "one line per request, appended (default standard output)"}},
       "kvistur web 127.0.0.1:8080 --access-log /var/log/kvistur/web.log",
       "web.md",
       true},
      {"host",
       "Drives Faersla objects for a program in any language: reads requests from standard input, one JSON "
       "object a line, and answers each with one line of JSON on standard output, until the input ends.",
       {},
       "printf '%s\\n' '{\"op\":\"new\",\"obj\":\"f\"}' | kvistur host",
       "host-protocol.md",
       true},
  };
  return helps;
}

const CommandHelp* FindCommandHelp(std::string_view name) {
  for (const CommandHelp& h : CommandHelps())
    if (name == h.name) return &h;
  return nullptr;
}

}  // namespace kvistur::cli
