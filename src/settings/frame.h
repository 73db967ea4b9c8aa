// The frame of every public method that touches a database.
//
//   return run_in_frame({u"SaekjaSvid inn", 0, u"SaekjaSvid út, normal", -1}, [&] { ...; return n; });
//
// Opens the call's scope (CallScope: the settings read once, what other layers
// keep for the call let go at its end), writes the entry
// line (ordinary, so only with debugging on), runs the work,
// writes the exit line and returns the work's result.  A failure inside the
// work (kvistur::Error or a standard exception) stops it at once: the result
// is `failure_result` and one ordinary line carries the error's source,
// number and description (unless `log_failure` is false).  Nothing the work
// already wrote to the caller is undone.
#pragma once

#include <exception>

#include "kvistur/error.h"
#include "settings/log.h"
#include "settings/settings.h"

namespace kvistur {

struct FrameTexts {
  TextView entry;
  int32_t entry_number = 0;
  TextView exit;
  int32_t failure_result = -1;
  bool log_failure = true;
};

// Writes the failure line of a frame.
void log_frame_failure(const Error& e);

template <typename Work>
int32_t run_in_frame(const FrameTexts& t, Work&& work) {
  CallScope call;  // one reading of the settings, one read of each file, for the whole call
  MeldaError(t.entry, t.entry_number, u"", false);
  int32_t result;
  try {
    result = work();
  } catch (const Error& e) {
    if (t.log_failure) log_frame_failure(e);
    return t.failure_result;
  } catch (const std::exception& e) {
    if (t.log_failure) log_frame_failure(error_from_std(e));
    return t.failure_result;
  }
  MeldaError(t.exit, 0, u"", false);
  return result;
}

}  // namespace kvistur
