#include "password_input.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <iostream>
#include <stdexcept>

namespace kvistur::cli {

namespace {

// The terminal's settings before echo was turned off, for a signal that
// ends the program while it is off.
termios g_saved;

void restore_and_end(int sig) {
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_saved);
  signal(sig, SIG_DFL);
  raise(sig);
}

// Echo off on the terminal of standard input while it lives; on again when
// it ends, also when Ctrl-C or a kill ends the program meanwhile.
class EchoOff {
 public:
  EchoOff() {
    if (tcgetattr(STDIN_FILENO, &g_saved) != 0) throw std::runtime_error("cannot turn the terminal's echo off");
    termios quiet = g_saved;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    quiet.c_lflag |= ECHONL;
    struct sigaction sa {};
    sa.sa_handler = restore_and_end;
    sigemptyset(&sa.sa_mask);
    for (int i = 0; i < kSignals; ++i) sigaction(kCaught[i], &sa, &old_[i]);
    if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) != 0) {
      restore_handlers();
      throw std::runtime_error("cannot turn the terminal's echo off");
    }
  }
  ~EchoOff() {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_saved);
    restore_handlers();
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  static constexpr int kSignals = 4;
  static constexpr int kCaught[kSignals] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
  void restore_handlers() {
    for (int i = 0; i < kSignals; ++i) sigaction(kCaught[i], &old_[i], nullptr);
  }
  struct sigaction old_[kSignals] {};
};

std::string read_line() {
  std::string line;
  if (!std::getline(std::cin, line) && !std::cin.eof()) throw std::runtime_error("cannot read standard input");
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

std::string read_new_password(const std::string& user) {
  if (isatty(STDIN_FILENO) != 1) return read_line();
  std::string first, again;
  {
    EchoOff quiet;
    std::cerr << "Password for " << user << ": " << std::flush;
    first = read_line();
    std::cerr << "The same again: " << std::flush;
    again = read_line();
  }
  if (first != again) throw std::runtime_error("the two passwords differ; nothing was changed");
  return first;
}

}  // namespace kvistur::cli
