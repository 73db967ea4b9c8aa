// What the tests of the methods call through a Faersla object as a host
// would: a log-on, and a search with every answer written out.
#pragma once

#include <string>

#include "kvistur/faersla.h"

namespace kvistur::testing {

inline int32_t log_on(Faersla& f, const char16_t* user = u"Admin", const char16_t* password = u"") {
  Text u = user, pw = password;
  return f.LogOn(u, pw);
}

// A search for TEXT in every group and field, at most ten answers: the count,
// then each answer's record number and text ("-1" when the search fails).
inline std::string search(Faersla& f, const Text& text) {
  Variant g(int32_t(-1)), fl(int32_t(-1)), s{text};
  SafeArray<Text> svar, keys, stop(0, {u""});
  SafeArray<int32_t> ids;
  int32_t max = 10;
  int32_t n = f.Leita(g, fl, s, svar, ids, keys, stop, max);
  std::string out = std::to_string(n);
  for (int32_t i = 1; i <= n; ++i) out += "|" + std::to_string(ids(i)) + " " + to_utf8(svar(i));
  return out;
}

}  // namespace kvistur::testing
