// A tiny host, built outside the tree against the installed library: logs
// on, lists the groups and searches the catalogue named by the settings.
#include <cstdio>

#include "kvistur/faersla.h"
#include "kvistur/version.h"

int main(int argc, char** argv) {
  kvistur::Faersla f;
  kvistur::Text user = u"Admin", password = u"";
  if (f.LogOn(user, password) != 0) return 1;
  kvistur::SafeArray<kvistur::Text> groups, names, descriptions;
  kvistur::SafeArray<int32_t> group_ids;
  int32_t n = f.SaekjaHopa(groups, group_ids, names, descriptions);
  kvistur::Variant group(int32_t(-1)), field(int32_t(-1)), text(kvistur::from_utf8(argc > 1 ? argv[1] : "saga"));
  kvistur::SafeArray<kvistur::Text> hits, keys, stop_words(0, std::vector<kvistur::Text>{u""});
  kvistur::SafeArray<int32_t> ids;
  int32_t max = 3;
  int32_t found = f.Leita(group, field, text, hits, ids, keys, stop_words, max);
  std::printf("kvistur %s: %d groups, %d hits\n", KVISTUR_VERSION, n, found);
  for (int32_t i = 1; i <= found; ++i) std::printf("%d %s\n", ids(i), kvistur::to_utf8(hits(i)).c_str());
  return found > 0 ? 0 : 1;
}
