// kvistur search TEXT: the catalogue's word-index search from the command
// line, on the catalogue named by the settings.  The command is a host of
// its own: it logs on, reads the stop words, passes a progress window that
// draws the status lines and a bar on standard error (only when standard
// error is a terminal) and prints one line per result, or JSON, or the
// printed list of the results.
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <stdexcept>
#include <string>

#include "command.h"
#include "kvistur/faersla.h"
#include "log_on.h"
#include "platform/engine.h"
#include "platform/open_database.h"
#include "print_output.h"
#include "settings/settings.h"
#include "settings/thread_state.h"

namespace kvistur::cli {
namespace {

using json = nlohmann::json;

// The progress window: status lines above a bar that is redrawn in place
// on the last line of the terminal.  While the window is shown the bar's
// line keeps turning a mark, with the step the search is in when it is one
// the host's form is not told of (thread_state().on_work), so that every
// step that takes time shows that work is going on.
class TerminalProgress : public Dispatch {
 public:
  explicit TerminalProgress(std::ostream& out) : out_(out) {}
  ~TerminalProgress() override { stop_turning(); }

  Variant invoke(TextView member, std::vector<Variant>&) override {
    std::lock_guard<std::mutex> lock(m_);
    if (member == u"Show") {
      shown_ = true;
      start_turning();
    } else if (member == u"Hide") {
      clear_bar();
      shown_ = false;
    } else if (member == u"Refresh") {
      if (shown_) draw_bar();
    } else {
      throw no_such_member(member);
    }
    return {};
  }
  Variant get(TextView member) override {
    if (member == u"lbLeit") return Variant(std::shared_ptr<Dispatch>(std::make_shared<List>(*this)));
    if (member == u"prgBarLeit") return Variant(std::shared_ptr<Dispatch>(std::make_shared<Bar>(*this)));
    throw no_such_member(member);
  }
  void put(TextView member, const Variant&) override { throw no_such_member(member); }

  // After the search: the mark stops and the bar's line goes.
  void finish() {
    stop_turning();
    std::lock_guard<std::mutex> lock(m_);
    clear_bar();
  }

  // A step of the search the form is not told of.
  void work(std::string_view what, int64_t done, int64_t total) {
    std::lock_guard<std::mutex> lock(m_);
    work_ = std::string(what);
    if (total > 0 && !what.empty()) work_ += " " + std::to_string(done * 100 / total) + "%";
    if (shown_) draw_bar();
  }

 private:
  struct List : Dispatch {
    TerminalProgress& w;
    explicit List(TerminalProgress& window) : w(window) {}
    Variant invoke(TextView member, std::vector<Variant>& args) override {
      std::lock_guard<std::mutex> lock(w.m_);
      if (member == u"Clear") {
        w.lines_ = 0;
        return {};
      }
      if (member == u"AddItem") {
        if (args.empty()) throw Error(err::kInvalidArgument);
        w.clear_bar();
        w.out_ << to_utf8(args[0].to_text()) << "\n";
        w.out_.flush();
        ++w.lines_;
        w.work_.clear();
        return {};
      }
      throw no_such_member(member);
    }
    Variant get(TextView member) override {
      std::lock_guard<std::mutex> lock(w.m_);
      if (member == u"NewIndex") return Variant(int32_t(w.lines_ - 1));
      if (member == u"ListIndex") return Variant(int32_t(w.selected_));
      throw no_such_member(member);
    }
    void put(TextView member, const Variant& value) override {
      if (member != u"ListIndex") throw no_such_member(member);
      std::lock_guard<std::mutex> lock(w.m_);
      w.selected_ = value.to_i32();
    }
  };
  struct Bar : Dispatch {
    TerminalProgress& w;
    explicit Bar(TerminalProgress& window) : w(window) {}
    Variant invoke(TextView member, std::vector<Variant>&) override { throw no_such_member(member); }
    Variant get(TextView member) override {
      std::lock_guard<std::mutex> lock(w.m_);
      if (member == u"Value") return Variant(int16_t(w.value_));
      throw no_such_member(member);
    }
    void put(TextView member, const Variant& value) override {
      if (member != u"Value") throw no_such_member(member);
      int32_t v = value.to_i32();
      std::lock_guard<std::mutex> lock(w.m_);
      w.value_ = v < 0 ? 0 : v > 100 ? 100 : v;
    }
  };

  // The mark turns every 200 ms while the window is shown.
  void start_turning() {
    if (ticker_.joinable()) return;
    ticker_ = std::thread([this] {
      std::unique_lock<std::mutex> lock(m_);
      while (!stopping_) {
        if (tick_.wait_for(lock, std::chrono::milliseconds(200)) == std::cv_status::timeout && shown_) {
          ++turn_;
          draw_bar();
        }
      }
    });
  }
  void stop_turning() {
    {
      std::lock_guard<std::mutex> lock(m_);
      stopping_ = true;
    }
    tick_.notify_all();
    if (ticker_.joinable()) ticker_.join();
  }
  void draw_bar() {
    constexpr int kWidth = 40;
    static const char kMarks[] = "|/-\\";
    int filled = value_ * kWidth / 100;
    out_ << "\r[" << std::string(std::size_t(filled), '#') << std::string(std::size_t(kWidth - filled), ' ') << "] "
         << value_ << "% " << kMarks[turn_ % 4] << (work_.empty() ? "" : " " + work_) << "\x1b[K";
    out_.flush();
    bar_drawn_ = true;
  }
  void clear_bar() {
    if (!bar_drawn_) return;
    out_ << "\r\x1b[K";
    out_.flush();
    bar_drawn_ = false;
  }

  std::ostream& out_;
  std::mutex m_;
  std::condition_variable tick_;
  std::thread ticker_;
  bool stopping_ = false;
  bool shown_ = false, bar_drawn_ = false;
  int lines_ = 0, selected_ = -1, value_ = 0;
  unsigned turn_ = 0;
  std::string work_;
};

int32_t int_option(Args& a, const char* name, int32_t fallback) {
  std::string v;
  if (!take_option(a, name, v)) return fallback;
  long long n = parse_int(v, std::string("the value of ") + name);
  if (n < INT32_MIN || n > INT32_MAX) throw UsageError(std::string(name) + " must fit in 32 bits, not " + v);
  return int32_t(n);
}

}  // namespace

KVISTUR_COMMAND(cmd_search, "search",
                "search TEXT [--group N] [--field N] [--max N] [--json] [--print [--rtf FILE | --text]] [--user U "
                "--password P]",
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
  } else {
    std::string ignored;
    if (take_option(a, "--rtf", ignored) || take_flag(a, "--text")) throw UsageError("--rtf and --text need --print");
  }
  int32_t group = int_option(a, "--group", -1);
  int32_t field = int_option(a, "--field", -1);
  bool max_given = false;
  int32_t max = 0;
  {
    std::string v;
    if (take_option(a, "--max", v)) {
      long long n = parse_int(v, "the value of --max");
      if (n < 0 || n > INT32_MAX) throw UsageError("--max must be a count from 0 up, not " + v);
      max = int32_t(n);
      max_given = true;
    }
  }
  for (const std::string& s : a)
    if (s.size() > 1 && s[0] == '-' && s[1] == '-') throw UsageError("unknown option " + s);
  if (a.size() != 1)
    throw UsageError(a.empty() ? "no search text given" : "one search text expected (quote a text of several words)");
  if (as_json && print) throw UsageError("--json and --print cannot be used together");

  Faersla f;
  log_on(f, user, password);
  if (!max_given) {
    max = f.MaxResultCount();
    if (max == 0) max = 50;
  }

  SafeArray<Text> stop_words;
  f.SaekjaEkkiOrð(stop_words);
  if (!stop_words.allocated()) stop_words = SafeArray<Text>(0, {Text()});

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

  Variant vGroup(group), vField(field), vText(from_utf8(a[0]));
  SafeArray<Text> descriptions, keys;
  SafeArray<int32_t> ids;
  int32_t n = f.Leita(vGroup, vField, vText, descriptions, ids, keys, stop_words, max, &rofi,
                      on_terminal ? &window : nullptr);
  thread_state().on_work = nullptr;
  if (terminal) terminal->finish();
  if (n < 0) {
    std::cerr << "kvistur search: the search failed: " << failure_reason() << "\n";
    return 1;
  }
  if (n == 0) std::cerr << "kvistur search: nothing found for '" << a[0] << "'\n";

  if (print) {
    std::vector<int32_t> list;
    for (int32_t i = 1; i <= n; ++i) list.push_back(ids(i));
    po.logged_on = true;
    if (!list.empty()) print_records(list, po, std::cout);
    return 0;
  }
  if (as_json) {
    json results = json::array();
    for (int32_t i = 1; i <= n; ++i)
      results.push_back({{"id", ids(i)}, {"description", to_utf8(descriptions(i))}, {"key", to_utf8(keys(i))}});
    std::cout << json{{"results", results}}.dump(-1, ' ', false, json::error_handler_t::replace) << "\n";
    return 0;
  }
  for (int32_t i = 1; i <= n; ++i)
    std::cout << ids(i) << "\t" << to_utf8(descriptions(i)) << "\t" << to_utf8(keys(i)) << "\n";
  return 0;
}

}  // namespace kvistur::cli
