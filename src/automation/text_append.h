// Conversion into memory the caller keeps, for writers that put one long
// text together from many values: the bytes to_utf8 gives.
#pragma once

#include "kvistur/text.h"

namespace kvistur {

// Writes S as UTF-8 from TO on and gives the end: at most three bytes a
// unit (a lone surrogate becomes U+FFFD, as in to_utf8).
char* write_utf8(TextView s, char* to);

}  // namespace kvistur
