// Reading a result set into the caller's arrays: the count-then-walk
// pattern every list method uses.
#pragma once

#include "kvistur/automation.h"
#include "platform/engine.h"

namespace kvistur {

// The largest index a 16-bit row counter reaches: the counter passes it
// after the last row, so 32 767 rows already overflow.
inline constexpr int32_t kMaxCounter16 = 32767;

// When the result set has rows: calls size(n) with the row count, then
// row(i) for i = 1, 2, ... on each row in turn, and returns n.  With no rows
// neither is called and the result is 0.  `counter16` makes the row counter
// a 16-bit integer, which overflows (error 6) when it passes 32 767.
template <typename Size, typename Row>
int32_t read_rows(db::Recordset& rs, bool counter16, Size&& size, Row&& row) {
  if (rs.RecordCount() <= 0) return 0;
  rs.MoveLast();
  int32_t n = rs.RecordCount();
  size(n);
  rs.MoveFirst();
  int64_t i = 1;
  while (!rs.eof()) {
    row(static_cast<int32_t>(i));
    rs.MoveNext();
    ++i;
    if (counter16 && i > kMaxCounter16) throw Error(err::kOverflow);
  }
  return static_cast<int32_t>(i - 1);
}

// A column as text, with Null read as an empty text.
inline Text text_or_empty(const Variant& v) { return v.is_null() ? Text() : v.to_text(); }

}  // namespace kvistur
