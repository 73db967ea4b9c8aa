// Many threads at once: eight threads, each with its own objects and its own
// LogOn, call every public method against the same sample catalogue, and
// every answer must equal the answer of the same call made on one thread
// beforehand.  Open descriptors are counted before and after.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

#include "common/site.h"
#include "kvistur/faersla.h"
#include "tools/run_tool.h"

using namespace kvistur;
using kvistur::testing::run_tool;
using kvistur::testing::Site;
using kvistur::testing::sql_rows;

namespace {

constexpr int kThreads = 8;
// 8 x 1260 > 10 000 calls in all; STRESS_CALLS_PER_THREAD makes the run
// shorter where every call is slow (under ThreadSanitizer).
int calls_per_thread() {
  const char* env = std::getenv("STRESS_CALLS_PER_THREAD");
  return env ? std::atoi(env) : 1260;
}

template <typename T>
std::string show(const SafeArray<T>& a) {
  if (!a.allocated()) return "-";
  std::string s = std::to_string(a.lbound()) + ":";
  for (auto& v : a.items()) {
    if constexpr (std::is_same_v<T, Text>) s += to_utf8(v) + "|";
    else s += std::to_string(v) + "|";
  }
  return s;
}
std::string show(const Variant& v) {
  try {
    return v.is_null() ? "null" : to_utf8(v.to_text());
  } catch (const Error&) {
    return "?";
  }
}

int open_descriptors() { return int(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {})); }

struct Workload {
  std::vector<Text> terms;
  std::vector<int32_t> ids;
  std::vector<Text> keys;
};

// One call of the mix, chosen by k; returns everything the call handed back.
std::string call(Faersla& f, const Workload& w, int k) {
  std::ostringstream out;
  int32_t id = w.ids[std::size_t(k) % w.ids.size()];
  switch (k % 9) {
    case 0: {
      SafeArray<Text> g, n, d;
      SafeArray<int32_t> ids;
      out << f.SaekjaHopa(g, ids, n, d) << show(g) << show(ids);
      int32_t group = ids.allocated() && ids.size() > 1 ? ids(1) : 0;
      SafeArray<Text> fields;
      SafeArray<int32_t> fids;
      out << f.SaekjaSvid(group, fields, fids) << show(fields) << show(fids);
      SafeArray<int32_t> dbs;
      out << f.SaekjaSofn(group, dbs, n, d) << show(dbs) << show(n);
      break;
    }
    case 1: {
      SafeArray<Text> words;
      out << f.SaekjaEkkiOrð(words) << show(words);
      break;
    }
    case 2: {
      Variant key(w.keys[std::size_t(k) % w.keys.size()]);
      SafeArray<int32_t> ids, coll_ids;
      SafeArray<Text> colls;
      out << f.SofnMedFaerslu(key, ids, colls, coll_ids) << show(ids) << show(colls);
      break;
    }
    case 3: {
      Variant vid(id), oll, mark, rodun;
      out << f.FaerslaFraID(vid, oll, mark, rodun) << show(oll) << show(mark) << show(rodun);
      Variant o2 = oll, m2 = mark;
      try {
        out << to_utf8(f.SkilaRSv(o2, m2)) << to_utf8(f.SkilaAN(o2)) << to_utf8(f.SkilaEN(o2)) << to_utf8(f.SkilaGF(o2));
      } catch (const Error& e) {
        out << "error " << e.number();
      }
      break;
    }
    case 4: {
      SafeArray<Text> anr, efni;
      int32_t lid = id;
      out << f.AdfanganumerAFaerslu(lid, anr) << show(anr);
      out << f.EfnisordAFaerslu(lid, efni) << show(efni);
      break;
    }
    case 5:
    case 6: {
      Text t = w.terms[std::size_t(k) % w.terms.size()];
      if (k % 9 == 6) t += u"*";
      Variant group(int32_t(-1)), field(int32_t(-1)), str(t);
      SafeArray<Text> svar, einkenni, stop(0, {u"", u"OG"});
      SafeArray<int32_t> svar_id;
      int32_t max = 20;
      out << f.Leita(group, field, str, svar, svar_id, einkenni, stop, max) << show(svar) << show(svar_id)
          << show(einkenni);
      break;
    }
    case 7: {
      Variant mode(int32_t(1));
      SafeArray<int32_t> ids(0, {0, id, w.ids[0]});
      SafeArray<int16_t> kinds(0, {0, 1, 1});
      SafeArray<Text> a1, a2, a3;
      out << f.FormaFyrirPrentun(mode, ids, kinds, a1, a2, a3) << show(a1) << show(a2) << show(a3);
      break;
    }
    default:
      try {
        out << f.MaxResultCount();
      } catch (const Error& e) {
        out << "error " << e.number();
      }
  }
  return out.str();
}

TEST(Stress, EightThreadsAnswerAsOneThreadDoes) {
  Site site(false);
  std::string cat = site.dir() + "/cat";
  auto built = run_tool({"build", "--marc", std::string(KVISTUR_SOURCE_DIR) + "/data/sample/sample.xml", "--out", cat});
  ASSERT_EQ(built.exit_code, 0) << built.err;
  site.set("Grunnur", "Slóð", cat);
  site.set("Leit", "Fjöldi", "20");

  Workload w;
  for (auto& s : sql_rows(cat + "/katalogur.sqlite", "SELECT Orð FROM Orð ORDER BY ID LIMIT 40")) w.terms.push_back(from_utf8(s));
  for (auto& s : sql_rows(cat + "/katalogur.sqlite", "SELECT ID FROM Móðurtafla ORDER BY ID LIMIT 60"))
    w.ids.push_back(std::stoi(s));
  for (auto& s : sql_rows(cat + "/katalogur.sqlite", "SELECT Einkennisstrengur FROM Móðurtafla LIMIT 20"))
    w.keys.push_back(from_utf8(s));
  w.keys.push_back(u"x' OR '1'='1");
  w.terms.push_back(u"ó'; DROP TABLE Orð; --");
  ASSERT_FALSE(w.ids.empty());

  // The answers of one thread.
  std::map<int, std::string> expected;
  std::thread([&] {
    Faersla f;
    Text user = u"Admin", pw = u"";
    f.LogOn(user, pw);
    for (int k = 0; k < 9 * 60; ++k) expected[k] = call(f, w, k);
  }).join();

  int fds_before = open_descriptors();
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      Faersla f, g;  // two objects on one thread, each with its own database list
      Text user = u"Admin", pw = u"";
      f.LogOn(user, pw);
      g.LogOn(user, pw);
      for (int i = 0; i < calls_per_thread(); ++i) {
        int k = (i * 7 + t * 13) % (9 * 60);
        std::string got = call(i % 2 ? f : g, w, k);
        if (got != expected[k] && mismatches++ < 3)
          ADD_FAILURE() << "call " << k << " gave\n" << got.substr(0, 600) << "\ninstead of\n" << expected[k].substr(0, 600);
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(open_descriptors(), fds_before) << "descriptors left open by threads that ended";
}

}  // namespace
