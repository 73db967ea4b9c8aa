// kvistur search TEXT: the catalogue's word-index search from the command
// line, on the catalogue named by the settings.  The command is a host of
// its own: it logs on, reads the stop words, passes a progress window that
// draws the status lines and a bar on standard error (only when standard
// error is a terminal) and prints one line per result, or JSON, or the
// printed list of the results.  What the search itself does is a host's
// search exactly; the command adds checks of the group and field, the
// count behind a cut list and a suggestion for a text written otherwise
// than the word index writes it (search_hint.h).
#include <unistd.h>

#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "catalogue_groups.h"
#include "command.h"
#include "kvistur/faersla.h"
#include "log_on.h"
#include "platform/engine.h"
#include "platform/open_database.h"
#include "print_output.h"
#include "search/search.h"
#include "search_hint.h"
#include "settings/settings.h"
#include "settings/thread_state.h"
#include "terminal_progress.h"

namespace kvistur::cli {
namespace {

using json = nlohmann::json;

// The most records shown when neither --max nor Leit/Fjöldi says.
constexpr int32_t kDefaultMax = 50;

int32_t int_option(Args& a, const char* name, int32_t fallback) {
  std::string v;
  if (!take_option(a, name, v)) return fallback;
  long long n = parse_int(v, std::string("the value of ") + name);
  if (n < INT32_MIN || n > INT32_MAX) throw UsageError(std::string(name) + " must fit in 32 bits, not " + v);
  return int32_t(n);
}

// --max N (1 or more) or --max all (-1, which Leita reads as every hit);
// 0 when not given.
int32_t max_option(Args& a) {
  std::string v;
  if (!take_option(a, "--max", v)) return 0;
  if (v == "all") return -1;
  long long n = parse_int(v, "the value of --max");
  if (n < 1 || n > INT32_MAX) throw UsageError("--max must be a count from 1 up, or all, not " + v);
  return int32_t(n);
}

struct Hits {
  int32_t n = 0;
  SafeArray<Text> descriptions, keys;
  SafeArray<int32_t> ids;
};

class Search {
 public:
  Search(Faersla& f, int32_t group, int32_t field, int32_t max) : f_(f), group_(group), field_(field), max_(max) {
    f_.SaekjaEkkiOrð(stop_words_);
    if (!stop_words_.allocated()) stop_words_ = SafeArray<Text>(0, {Text()});
  }

  // Leita with a progress window on standard error when it is a terminal.
  Hits run(const std::string& text) {
    bool on_terminal = isatty(2) == 1;
    Variant window;
    std::shared_ptr<TerminalProgress> terminal;
    if (on_terminal) {
      terminal = std::make_shared<TerminalProgress>(std::cerr);
      window = Variant(std::shared_ptr<Dispatch>(terminal));
      thread_state().on_work = [terminal](std::string_view what, int64_t done, int64_t total) {
        terminal->work(what, done, total);
      };
    }
    int16_t rofi = on_terminal ? 1 : 0;
    Variant vGroup(group_), vField(field_), vText(from_utf8(text));
    Hits h;
    int32_t max = max_;
    h.n = f_.Leita(vGroup, vField, vText, h.descriptions, h.ids, h.keys, stop_words_, max, &rofi,
                   on_terminal ? &window : nullptr);
    thread_state().on_work = nullptr;
    if (terminal) terminal->finish();
    return h;
  }

  // How many records TEXT finds in all, found as Leita finds them; -1 when
  // that cannot be told.  Read in the caller's call, the search's.
  int64_t count(const std::string& text) {
    try {
      std::unique_ptr<db::Database> catalogue = open_catalogue();
      int64_t n = int64_t(FindRecords(*catalogue, group_, field_, from_utf8(text), stop_words_).size());
      catalogue->Close();
      return n;
    } catch (const std::exception&) {
      return -1;
    }
  }

 private:
  Faersla& f_;
  int32_t group_, field_, max_;
  SafeArray<Text> stop_words_;
};

// At a terminal, whether the user wants INSTEAD searched for; elsewhere
// the suggestion is only said.
bool offer(const std::string& text, const std::string& instead) {
  std::string found = "kvistur search: nothing found for '" + text + "'";
  if (isatty(0) != 1 || isatty(2) != 1) {
    std::cerr << found << "; try '" << instead
              << "' (the word index cuts words at hyphens and keeps an ISBN as its digits)\n";
    return false;
  }
  std::cerr << found << "; search for '" << instead << "' instead? [Y/n] " << std::flush;
  std::string answer;
  std::getline(std::cin, answer);
  return answer.empty() || answer[0] == 'y' || answer[0] == 'Y' || answer[0] == 'j' || answer[0] == 'J';
}

}  // namespace

KVISTUR_COMMAND(cmd_search, "search",
                "search TEXT [--group N] [--field N] [--max N|all] [--json] [--print [--type N] [--rtf FILE | --text]] "
                "[--user NAME] [--password PW]",
                "search the catalogue's word index; one line per record: ID, description, identifying string") {
  Args a = args;
  bool as_json = take_flag(a, "--json");
  bool print = take_flag(a, "--print");
  std::string user = "Admin", password;
  take_option(a, "--user", user);
  take_option(a, "--password", password);
  PrintOptions po;
  if (print) {
    po = take_print_options(a);
    po.user = user;
    po.password = password;
    po.command = "search";
  } else {
    std::string ignored;
    if (take_option(a, "--rtf", ignored) || take_flag(a, "--text") || take_option(a, "--type", ignored))
      throw UsageError("--rtf, --text and --type need --print");
  }
  int32_t group = int_option(a, "--group", -1);
  int32_t field = int_option(a, "--field", -1);
  int32_t max = max_option(a);
  reject_unknown_options(a);
  if (a.size() != 1)
    throw UsageError(a.empty() ? "no search text given" : "one search text expected (quote a text of several words)");
  if (as_json && print) throw UsageError("--json and --print cannot be used together");

  Faersla f;
  log_on(f, user, password);
  check_group_and_field(catalogue_groups(f), group, field);
  if (max == 0) max = f.MaxResultCount();
  if (max == 0) max = kDefaultMax;

  Search search(f, group, field, max);
  std::string text = a[0];
  // A search is one call: its hits, the count behind a cut list and the
  // records laid out for printing are of one state of the catalogue, even
  // while an update commits.  What it shows is written out after the call
  // has ended, so that a reader who waits (a pager) holds nothing open;
  // nor is a call held while the user is asked about another spelling.
  Hits hits;
  int64_t all = -1;
  std::ostringstream printed;
  po.logged_on = true;
  auto search_once = [&](const std::string& t) {
    CallScope call;
    hits = search.run(t);
    if (max > 0 && hits.n == max) all = search.count(t);
    if (print && hits.n > 0) {
      std::vector<int32_t> list;
      for (int32_t i = 1; i <= hits.n; ++i) list.push_back(hits.ids(i));
      print_records(list, po, printed);
    }
  };
  search_once(text);
  if (hits.n == 0) {
    std::string instead = search_instead(text);
    if (instead.empty()) {
      std::cerr << "kvistur search: nothing found for '" << text << "'\n";
    } else if (offer(text, instead)) {
      search_once(text = instead);
      if (hits.n == 0) std::cerr << "kvistur search: nothing found for '" << text << "' either\n";
    }
  }
  if (hits.n < 0) {
    std::cerr << "kvistur search: the search failed: " << failure_reason() << "\n";
    return 1;
  }
  if (print) {
    std::cout << printed.str();
  } else if (as_json) {
    json results = json::array();
    for (int32_t i = 1; i <= hits.n; ++i)
      results.push_back(
          {{"id", hits.ids(i)}, {"description", to_utf8(hits.descriptions(i))}, {"key", to_utf8(hits.keys(i))}});
    std::cout << json{{"results", results}}.dump(-1, ' ', false, json::error_handler_t::replace) << "\n";
  } else {
    for (int32_t i = 1; i <= hits.n; ++i)
      std::cout << hits.ids(i) << "\t" << to_utf8(hits.descriptions(i)) << "\t" << to_utf8(hits.keys(i)) << "\n";
  }
  // A cut list says so, after the list, where the eye ends.
  if (max > 0 && hits.n == max) {
    std::cout.flush();
    if (all > hits.n)
      std::cerr << "kvistur search: showing " << hits.n << " of " << all << " records (--max all shows every one)\n";
  }
  return 0;
}

}  // namespace kvistur::cli
