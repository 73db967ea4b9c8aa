// The state each Faersla object keeps: the catalogue's databases as LogOn
// read them (names and numbers at indexes 1..n; unallocated until the first
// LogOn whose query returns rows).
#pragma once

#include "kvistur/automation.h"

namespace kvistur {

struct FaerslaState {
  SafeArray<Text> aDbNames;
  SafeArray<int32_t> aDbID;
};

}  // namespace kvistur
