// ICU's normaliser to normal form C, for every thread.
//
// ICU makes the instance at first use and guards that with atomics of its
// own, which a ThreadSanitizer build cannot see (ICU is not built with it):
// two mapping threads that met their first non-ASCII text together were
// reported as racing on the new instance.  Fetching it once, in a static
// the compiler guards, puts its making before every other thread's use
// where the sanitizer can see it, and spares ICU's look-up a call.
#pragma once

#include <unicode/normalizer2.h>

namespace kvistur {

// The NFC normaliser; null when ICU cannot give it (its data missing).
const icu::Normalizer2* NfcNormalizer();

}  // namespace kvistur
