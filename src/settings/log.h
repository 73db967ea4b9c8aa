// The diagnostic log.
//
// One appended line per event: local date and time as d.M.yyyy HH:mm:ss,
// "MeldaError: ", the text, ", ", the number (leading blank when >= 0),
// ", ", the description, CR LF.  The file is KVISTUR_LOG, default
// /tmp/melding.txt, opened and closed for every line; a line that cannot be
// written is silently lost.  Ordinary lines are written only when the
// thread's debug flag is set; forced lines always.
#pragma once

#include <cstdint>
#include <string>

#include "kvistur/text.h"

namespace kvistur {

inline constexpr char kDefaultLogPath[] = "/tmp/melding.txt";

std::string log_path();

// The line as it would be written, without the date and time prefix.
Text log_line_body(TextView text, int32_t number, TextView description);

// Writes one line when `force` or the debug flag is set.  Always returns 0.
int32_t MeldaError(TextView text, int32_t number, TextView description, bool force);

}  // namespace kvistur
