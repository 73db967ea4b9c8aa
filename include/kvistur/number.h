// Numbers as hosts see them.
//
// One reader takes the number at the start of a text (leading blanks and
// blanks between digits skipped, "." the decimal point whatever the locale,
// stop at the first character that cannot continue the number, 0 when there
// is none).  One rounding, half to even, brings a double into 16 or 32 bits;
// a value outside the range is overflow (error 6).  Numbers are written as
// text in two ways: plain ("-5", "12") and with a leading blank for 0 or more
// (" 12", "-5"), the form of the diagnostic log and several SQL texts.
#pragma once

#include <cstdint>
#include <optional>

#include "kvistur/text.h"

namespace kvistur {

// The number at the start of `s`; 0 when `s` does not begin with one.
double read_number(TextView s);

// The whole of `s` (blanks around it allowed) as a number, or nothing when
// `s` is not a number from end to end.  Used by variant conversions.
std::optional<double> parse_whole_number(TextView s);

// Half-to-even rounding into 16 and 32 bits; throws Error(6) out of range
// (also for NaN and infinities).
int16_t round_to_i16(double d);
int32_t round_to_i32(double d);

// "-5", "0", "12".
Text number_text(int64_t n);
// "-5", " 0", " 12".
Text number_text_blank(int64_t n);
// A double as the runtime writes it: up to 15 significant digits, no
// trailing zeros, "." as the point ("12.5", "-0.25", "1E+20").
Text double_text(double d);

}  // namespace kvistur
