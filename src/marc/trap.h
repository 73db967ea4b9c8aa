// The fault trap of the display builders.
//
// Every builder of a display string catches the faults that can arise while
// it works (an Error from a conversion or a record fetch, a standard-library
// exception such as bad_alloc) and then gives an empty text: a display shows
// less rather than failing.  Only these two kinds are caught, so that thread
// cancellation and the like still unwind.
#pragma once

#include <exception>

#include "kvistur/error.h"
#include "kvistur/text.h"

namespace kvistur::marc_detail {

template <typename F>
Text trap_faults(F&& work) {
  try {
    return work();
  } catch (const Error&) {
    return {};
  } catch (const std::exception&) {
    return {};
  }
}

}  // namespace kvistur::marc_detail
