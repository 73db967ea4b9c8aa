// The whole-record text: the flat form in which a catalogue record's
// descriptive data is stored (column ÖllFærslan).
//
// Every value ends with character 5; a list is its elements followed by
// character 1 (the contents list by character 2).  The values come in a
// fixed order of their own (see record_text.cpp).  Positions are 1-based and
// 16-bit, as the format always had: a text can only be read where every
// value ends before character 32767.
//
// Faults pass to the caller: a value without its terminator, or a text that
// ends where a list end or an element should start, is invalid argument
// (5); a number or position past 16 (or 32) bits, or a list of more than
// 32767 elements, is overflow (6).
#pragma once

#include "record/catalogue_record.h"

namespace kvistur {

inline constexpr char16_t kValueEnd = 5;
inline constexpr char16_t kListEnd = 1;
inline constexpr char16_t kContentsEnd = 2;

// The value at position `pos` (1-based), up to its terminator; `pos` moves
// past the terminator.  A position before 1 or a value without terminator
// is invalid argument (5) and leaves `pos` as it was.
Text NextToken(int16_t& pos, TextView text);

CatalogueRecord ParseRecordText(TextView text);

}  // namespace kvistur
