// Conversion into a string the caller keeps, for writers that put one long
// text together from many values: the bytes to_utf8 gives, appended.
#pragma once

#include <string>

#include "kvistur/text.h"

namespace kvistur {

void append_utf8(std::string& out, TextView s);

}  // namespace kvistur
