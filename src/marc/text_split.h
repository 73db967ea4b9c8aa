// Cutting a text into clean parts, and writing a text of several lines as
// one line.
#pragma once

#include <vector>

#include "kvistur/text.h"

namespace kvistur {

// Trims `text` and collapses runs of blanks (in the caller's variable), then
// appends to `parts` (slot 0 kept as the caller had it) each non-blank piece
// between separators, trimmed, and always the last piece.  Returns 0.
int SplitText(Text& text, std::vector<Text>& parts, TextView separator);
// The lines (CR LF) of a text, each cleaned as SplitText cleans parts,
// joined by the two characters "\n".
Text JoinLines(TextView text);

}  // namespace kvistur
