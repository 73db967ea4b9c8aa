// The state Kvistur keeps per thread, in one place.
//
// Every object on a thread shares it: the debug flag, the database engine,
// the log-on workspace and the catalogue state the search used last.  Each
// thread has its own; what the search keeps of a catalogue state is shared
// between threads (search/kept.h).  The layers
// above fill in the pieces they own (the engine types are only declared
// here, so that this layer does not depend on them).
#pragma once

#include <functional>
#include <memory>
#include <string_view>

#include "kvistur/text.h"

namespace kvistur {

namespace db {
class Engine;
class Workspace;
}  // namespace db

struct ThreadState {
  bool bDebug = false;
  std::shared_ptr<db::Engine> engine;
  std::shared_ptr<db::Workspace> workspace;  // the log-on workspace
  std::shared_ptr<void> search_kept;         // the search's last catalogue state (search/kept.h)
  // Shows a message to the user (the original's modal message box).  Empty:
  // the default notifier, which writes to standard error.
  std::function<void(TextView message, TextView title)> notifier;
  // Told of long steps of a search that the host's progress form is not
  // told of (the form gets exactly its own calls): WHAT names the step,
  // DONE of TOTAL is how far it is (TOTAL 0 when not known); an empty WHAT
  // ends the step.  The command line shows them; empty, nothing is called.
  std::function<void(std::string_view what, int64_t done, int64_t total)> on_work;
};

ThreadState& thread_state();

// Shows `message` through the thread's notifier.
void notify_user(TextView message, TextView title);

}  // namespace kvistur
