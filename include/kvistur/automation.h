// All automation types in one include: Text, Variant, SafeArray, Error,
// number reading and writing, Dispatch.
#pragma once

#include "kvistur/dispatch.h"
#include "kvistur/error.h"
#include "kvistur/number.h"
#include "kvistur/safe_array.h"
#include "kvistur/text.h"
#include "kvistur/variant.h"
