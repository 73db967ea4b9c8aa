// The progress window that `kvistur search` gives the search on a terminal:
// the status lines above a bar redrawn in place on the last line of
// standard error, with the members a host's progress window has (Show,
// Hide, Refresh, lbLeit, prgBarLeit).
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>

#include "kvistur/automation.h"
#include "kvistur/dispatch.h"
#include "kvistur/error.h"

namespace kvistur::cli {

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

}  // namespace kvistur::cli
