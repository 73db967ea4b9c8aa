#include "settings/thread_state.h"

#include <cstdio>

namespace kvistur {

ThreadState& thread_state() {
  thread_local ThreadState state;
  return state;
}

void notify_user(TextView message, TextView title) {
  ThreadState& ts = thread_state();
  if (ts.notifier) {
    ts.notifier(message, title);
    return;
  }
  std::string line = to_utf8(title) + (title.empty() ? "" : ": ") + to_utf8(message) + "\n";
  std::fputs(line.c_str(), stderr);
}

}  // namespace kvistur
