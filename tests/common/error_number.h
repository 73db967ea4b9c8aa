// The number of the error a call fails with, for the tests of how calls fail.
#pragma once

#include "kvistur/error.h"

namespace kvistur::testing {

// The number of the Error CALL throws, 0 when it throws none.
template <typename F>
int error_number(F&& call) {
  try {
    call();
  } catch (const Error& e) {
    return e.number();
  }
  return 0;
}

}  // namespace kvistur::testing
