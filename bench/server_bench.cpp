// A catalogue on a PostgreSQL server beside the same catalogue in files:
// the same answers, and what each costs.
//
//   kvistur generate --records N --out DIR
//   PGUSER=... PGPASSWORD=... kvistur generate --records N --out URI     (the same records)
//   PGUSER=... PGPASSWORD=... server_bench --files DIR --server URI MODE
//
// MODE:
//   check [--queries N]     every method's answers for a mix of calls, compared
//   latency [--reps R]      Leita (50 shown) by query class, record fetches
//                           and the directory, on both backends, interleaved
//   hosts [--hosts H] [--seconds S]
//                           H host processes, each logged on as its own user,
//                           searching and fetching for S seconds on one
//                           backend, then on the other: throughput and
//                           latency percentiles
//
// Each backend runs in a process of its own (the settings are per process),
// driven over a pipe, so that the two take turns query by query.  The
// server's administrator (PGUSER, PGPASSWORD) makes the roles the hosts log
// on as; in files they are users of the workgroup.
#include <libpq-fe.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "kvistur/faersla.h"
#include "platform/workgroup.h"

namespace {

using namespace kvistur;
using Clock = std::chrono::steady_clock;

struct Query {
  std::string kind;  // the class
  std::string text;
  int32_t group = -1, field = -1;
};

// Queries by class from the catalogue's word index: words by how many rows
// they have (very common: the 10 most; common: the rest of the top 2 %;
// rare: the lower half), a word truncated, a word in one group and field,
// and two and three words.
std::vector<Query> query_mix(const std::string& catalogue, int per_class) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(catalogue.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db,
                     "SELECT o.Orð, t.n, t.g, t.f FROM (SELECT OrðID, count(*) n, min(HópID) g, min(Orðtag) f FROM Tengill "
                     "GROUP BY OrðID) t JOIN Orð o ON o.ID = t.OrðID ORDER BY t.n DESC, o.ID",
                     -1, &st, nullptr);
  struct Word {
    std::string text;
    int group, field;
  };
  std::vector<Word> words;
  while (sqlite3_step(st) == SQLITE_ROW)
    words.push_back({reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), sqlite3_column_int(st, 2),
                     sqlite3_column_int(st, 3)});
  sqlite3_finalize(st);
  sqlite3_close(db);
  std::mt19937 rng(1);
  auto from = [&](std::size_t lo, std::size_t hi) -> const Word& {
    hi = std::max(lo + 1, std::min(hi, words.size()));
    return words[lo + rng() % (hi - lo)];
  };
  std::size_t n = words.size(), top = std::max<std::size_t>(11, n / 50);
  std::vector<Query> out;
  for (int i = 0; i < per_class; ++i) {
    out.push_back({"1 term, rare", from(n / 2, n).text});
    out.push_back({"1 term, common", from(10, top).text});
    out.push_back({"1 term, very common", from(0, 10).text});
    std::string prefix = from(10, top).text;
    out.push_back({"1 term, truncated", prefix.substr(0, std::min<std::size_t>(prefix.size(), 4)) + "*"});
    const Word& w = from(10, top);
    out.push_back({"1 term, group+field", w.text, w.group, w.field});
    out.push_back({"2 terms, common+rare", from(10, top).text + " " + from(n / 2, n).text});
    out.push_back({"2 terms, very common", from(0, 10).text + " " + from(0, 10).text});
    out.push_back({"3 terms", from(10, top).text + " " + from(10, top).text + " " + from(0, 10).text});
  }
  return out;
}

// ---- Answers as text ----

template <class T>
std::string text_of(const SafeArray<T>& a) {
  if (!a.allocated()) return "unallocated";
  std::ostringstream s;
  s << a.lbound() << ":";
  for (const T& v : a.items()) {
    if constexpr (std::is_same_v<T, Text>) s << to_utf8(v) << "\x1f";
    else s << v << ",";
  }
  return s.str();
}
std::string text_of(const Variant& v) { return std::string(type_name(v.type())) + ":" + (v.is_null() ? "" : to_utf8(v.to_text())); }

// One search: its result, ids, keys and shown texts.
std::string leita(Faersla& f, const Query& q, int32_t max, std::vector<std::string>* keys = nullptr) {
  Variant g(q.group), fl(q.field), s(from_utf8(q.text));
  SafeArray<Text> svar, einkenni, stop(0, {u"", u"og", u"í"});
  SafeArray<int32_t> ids;
  int32_t n = f.Leita(g, fl, s, svar, ids, einkenni, stop, max);
  if (keys && einkenni.allocated())
    for (int32_t i = 1; i <= einkenni.ubound() && i <= 3; ++i) keys->push_back(to_utf8(einkenni(i)));
  return std::to_string(n) + "|" + text_of(ids) + "|" + text_of(einkenni) + "|" + text_of(svar);
}

// A record's texts, holdings and subjects.
std::string record(Faersla& f, int32_t id) {
  Variant v(id), oll, mark, rodun;
  int32_t r = f.FaerslaFraID(v, oll, mark, rodun);
  SafeArray<Text> copies, subjects;
  int32_t a = f.AdfanganumerAFaerslu(id, copies), e = f.EfnisordAFaerslu(id, subjects);
  return std::to_string(r) + text_of(oll) + text_of(mark) + text_of(rodun) + std::to_string(a) + text_of(copies) +
         std::to_string(e) + text_of(subjects);
}

std::string directory(Faersla& f) {
  SafeArray<Text> groups, names, descriptions, words;
  SafeArray<int32_t> ids;
  std::string out = std::to_string(f.SaekjaHopa(groups, ids, names, descriptions)) + text_of(groups) + text_of(ids) +
                    text_of(names) + text_of(descriptions);
  for (int32_t g : {-1, 0, 1, 2, 3}) {
    SafeArray<Text> fields, dnames, ddescs;
    SafeArray<int32_t> field_ids, dbs;
    out += std::to_string(f.SaekjaSvid(g, fields, field_ids)) + text_of(fields) + text_of(field_ids);
    out += std::to_string(f.SaekjaSofn(g, dbs, dnames, ddescs)) + text_of(dbs) + text_of(dnames) + text_of(ddescs);
  }
  return out + std::to_string(f.SaekjaEkkiOrð(words)) + text_of(words);
}

std::string collections(Faersla& f, const std::string& key) {
  Variant k(from_utf8(key));
  SafeArray<int32_t> ids, collection_ids;
  SafeArray<Text> names;
  return std::to_string(f.SofnMedFaerslu(k, ids, names, collection_ids)) + text_of(ids) + text_of(names) +
         text_of(collection_ids);
}

std::string print(Faersla& f, std::vector<int32_t> ids) {
  Variant ctrl(int32_t(1));
  ids.insert(ids.begin(), 0);
  SafeArray<int32_t> l(0, ids);
  SafeArray<int16_t> tags;
  SafeArray<Text> a1, a2, a3;
  return std::to_string(f.FormaFyrirPrentun(ctrl, l, tags, a1, a2, a3)) + text_of(tags) + text_of(a1) + text_of(a2) +
         text_of(a3);
}

// ---- A backend in a process of its own ----

class Backend {
 public:
  // Runs HANDLE in a child process with LINDRIT_SETTINGS=SETTINGS, for
  // every line the parent sends; the answer goes back as one line.
  Backend(const std::string& settings, std::function<std::string(Faersla&, const std::string&)> handle,
          const std::string& user, const std::string& password) {
    int down[2], up[2];
    if (pipe(down) != 0 || pipe(up) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      close(down[1]);
      close(up[0]);
      setenv("LINDRIT_SETTINGS", settings.c_str(), 1);
      FILE* in = fdopen(down[0], "r");
      FILE* out = fdopen(up[1], "w");
      Faersla f;
      Text u = from_utf8(user), p = from_utf8(password);
      f.LogOn(u, p);
      char* line = nullptr;
      std::size_t cap = 0;
      while (getline(&line, &cap, in) > 0) {
        std::string request(line);
        request.pop_back();
        std::string answer = handle(f, request);
        for (char& c : answer)
          if (c == '\n') c = '\x1e';
        std::fprintf(out, "%s\n", answer.c_str());
        std::fflush(out);
      }
      _exit(0);
    }
    close(down[0]);
    close(up[1]);
    to_ = fdopen(down[1], "w");
    from_ = fdopen(up[0], "r");
  }
  ~Backend() {
    std::fclose(to_);
    std::fclose(from_);
    waitpid(pid_, nullptr, 0);
  }
  std::string ask(const std::string& request) {
    std::fprintf(to_, "%s\n", request.c_str());
    std::fflush(to_);
    char* line = nullptr;
    std::size_t cap = 0;
    std::string answer;
    if (getline(&line, &cap, from_) > 0) answer.assign(line, std::strlen(line) - 1);
    std::free(line);
    return answer;
  }

 private:
  pid_t pid_;
  FILE *to_, *from_;
};

// ---- Set-up ----

struct Site {
  std::string files, server, dir, files_ini, server_ini, admin, admin_password;
};

Site set_up(const std::string& files, const std::string& server) {
  Site s;
  s.files = files;
  s.server = server;
  s.dir = std::filesystem::temp_directory_path() / ("kvistur-server-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(s.dir);
  std::ifstream in(files + "/lindrit-1.0.ini");
  std::string ini((std::istreambuf_iterator<char>(in)), {}), server_ini;
  std::istringstream lines(ini);
  for (std::string l; std::getline(lines, l);) server_ini += (l.rfind("Slóð=", 0) == 0 ? "Slóð=" + server : l) + "\n";
  s.files_ini = files + "/lindrit-1.0.ini";
  s.server_ini = s.dir + "/server.ini";
  std::ofstream(s.server_ini) << server_ini;
  setenv("KVISTUR_LOG", (s.dir + "/melding.txt").c_str(), 1);
  s.admin = getenv("PGUSER") ? getenv("PGUSER") : "";
  s.admin_password = getenv("PGPASSWORD") ? getenv("PGPASSWORD") : "";
  return s;
}

// H users on both backends: roles that may read the schemas, and
// workgroup users.
void make_users(const Site& s, int hosts) {
  PGconn* c = PQconnectdb(s.server.c_str());
  if (PQstatus(c) != CONNECTION_OK) throw std::runtime_error(PQerrorMessage(c));
  std::string sql;
  for (int i = 1; i <= hosts; ++i) {
    std::string role = "kvbench" + std::to_string(i);
    sql += "DO $$ BEGIN CREATE ROLE " + role + " LOGIN PASSWORD 'bench'; EXCEPTION WHEN duplicate_object THEN NULL; END $$;"
           "GRANT USAGE ON SCHEMA katalogur, skra TO " + role + ";GRANT SELECT ON ALL TABLES IN SCHEMA katalogur, skra TO " +
           role + ";";
    db::workgroup_set_user(s.files + "/System.mdw", from_utf8(role), u"bench");
  }
  PGresult* r = PQexec(c, sql.c_str());
  if (PQresultStatus(r) != PGRES_COMMAND_OK) throw std::runtime_error(PQresultErrorMessage(r));
  PQclear(r);
  PQfinish(c);
}

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, std::size_t(p * double(v.size())))];
}

// ---- Modes ----

int check(const Site& s, int per_class) {
  std::vector<Query> queries = query_mix(s.files + "/katalogur.sqlite", per_class);
  auto handle = [&](Faersla& f, const std::string& r) -> std::string {
    char kind = r[0];
    std::string arg = r.substr(2);
    if (kind == 'q') {
      std::vector<std::string> keys;
      std::string a = leita(f, queries[std::stoul(arg)], 50, &keys);
      for (auto& k : keys) a += "|" + collections(f, k);
      return a;
    }
    if (kind == 'r') return record(f, std::stoi(arg));
    if (kind == 'p') {
      std::vector<int32_t> ids;
      for (std::istringstream ss(arg); ss >> arg;) ids.push_back(std::stoi(arg));
      return print(f, ids);
    }
    return directory(f);
  };
  Backend files(s.files_ini, handle, "Admin", ""), server(s.server_ini, handle, s.admin, s.admin_password);
  std::vector<std::string> requests = {"d -"};
  for (std::size_t i = 0; i < queries.size(); ++i) requests.push_back("q " + std::to_string(i));
  std::mt19937 rng(2);
  for (int i = 0; i < 200; ++i) requests.push_back("r " + std::to_string(rng() % 120000));
  for (int i = 0; i < 10; ++i) {
    std::string ids;
    for (int k = 0; k < 20; ++k) ids += std::to_string(rng() % 100000) + " ";
    requests.push_back("p " + ids);
  }
  int differ = 0;
  for (const std::string& r : requests) {
    std::string a = files.ask(r), b = server.ask(r);
    if (a != b && ++differ <= 5) std::cout << "differ: " << r << "\n  files:  " << a.substr(0, 300) << "\n  server: " << b.substr(0, 300) << "\n";
  }
  std::cout << requests.size() << " calls of every method, " << differ << " answers differ\n";
  return differ ? 1 : 0;
}

int latency(const Site& s, int reps) {
  std::vector<Query> queries = query_mix(s.files + "/katalogur.sqlite", 3);
  auto handle = [&](Faersla& f, const std::string& r) -> std::string {
    auto start = Clock::now();
    char kind = r[0];
    int n = std::stoi(r.substr(2));
    if (kind == 'q') leita(f, queries[std::size_t(n)], 50);
    else if (kind == 'r') record(f, n);
    else if (kind == 'l') {
      Text u = u"Admin", p;
      if (getenv("KVISTUR_BENCH_USER")) u = from_utf8(getenv("KVISTUR_BENCH_USER")), p = from_utf8(getenv("KVISTUR_BENCH_PASSWORD"));
      f.LogOn(u, p);
    } else directory(f);
    return std::to_string(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  };
  setenv("KVISTUR_BENCH_USER", s.admin.c_str(), 1);
  setenv("KVISTUR_BENCH_PASSWORD", s.admin_password.c_str(), 1);
  Backend server(s.server_ini, handle, s.admin, s.admin_password);
  unsetenv("KVISTUR_BENCH_USER");
  Backend files(s.files_ini, handle, "Admin", "");
  std::map<std::string, std::vector<double>> first[2], repeated[2];
  std::vector<std::string> order;
  std::mt19937 rng(3);
  auto run = [&](const std::string& kind, const std::string& request, int rep) {
    if (std::find(order.begin(), order.end(), kind) == order.end()) order.push_back(kind);
    bool server_first = (rng() & 1) != 0;
    for (int b : {server_first ? 1 : 0, server_first ? 0 : 1}) {
      double ms = std::stod((b ? server : files).ask(request));
      (rep == 0 ? first : repeated)[b][kind].push_back(ms);
    }
  };
  for (int rep = 0; rep <= reps; ++rep) {
    for (std::size_t i = 0; i < queries.size(); ++i) run(queries[i].kind, "q " + std::to_string(i), rep);
    for (int i = 0; i < 10; ++i) run("record fetch (text, holdings, subjects)", "r " + std::to_string(rng() % 100000 + 1), rep);
    run("directory (groups, fields, collections, stop words)", "d 0", rep);
    run("LogOn", "l 0", rep);
  }
  auto table = [&](std::map<std::string, std::vector<double>>* m, const char* title) {
    std::cout << "\n" << title << " (ms: median (95th percentile))\n\n| class | files | server | server/files |\n|---|---|---|---|\n";
    for (const std::string& k : order) {
      double a = percentile(m[0][k], 0.5), b = percentile(m[1][k], 0.5);
      std::printf("| %s | %.2f (%.2f) | %.2f (%.2f) | %.2f |\n", k.c_str(), a, percentile(m[0][k], 0.95), b,
                  percentile(m[1][k], 0.95), a > 0 ? b / a : 0);
    }
  };
  table(repeated, "Repeated calls");
  table(first, "First call of each");
  return 0;
}

int hosts(const Site& s, int count, double seconds) {
  make_users(s, count);
  std::vector<Query> queries = query_mix(s.files + "/katalogur.sqlite", 5);
  for (const char* which : {"files", "server"}) {
    std::string settings = std::string(which) == "files" ? s.files_ini : s.server_ini;
    std::vector<int> pipes;
    std::vector<pid_t> pids;
    for (int h = 1; h <= count; ++h) {
      int fd[2];
      if (pipe(fd) != 0) return 1;
      pid_t pid = fork();
      if (pid == 0) {
        close(fd[0]);
        setenv("LINDRIT_SETTINGS", settings.c_str(), 1);
        Faersla f;
        Text u = from_utf8("kvbench" + std::to_string(h)), p = u"bench";
        f.LogOn(u, p);
        std::mt19937 rng{unsigned(h)};
        std::string out;
        // Warm: each host's first searches work out what it keeps.
        for (int i = 0; i < 10; ++i) leita(f, queries[rng() % queries.size()], 50);
        auto end = Clock::now() + std::chrono::duration<double>(seconds);
        while (Clock::now() < end) {
          auto start = Clock::now();
          bool search = rng() % 10 < 7;
          if (search) leita(f, queries[rng() % queries.size()], 50);
          else record(f, int32_t(rng() % 100000 + 1));
          out += (search ? "s " : "f ") + std::to_string(std::chrono::duration<double, std::milli>(Clock::now() - start).count()) + "\n";
        }
        if (write(fd[1], out.data(), out.size()) < 0) _exit(1);
        _exit(0);
      }
      close(fd[1]);
      pipes.push_back(fd[0]);
      pids.push_back(pid);
    }
    std::vector<double> searches, fetches;
    for (std::size_t i = 0; i < pipes.size(); ++i) {
      std::string all;
      char buf[65536];
      ssize_t n;
      while ((n = read(pipes[i], buf, sizeof buf)) > 0) all.append(buf, std::size_t(n));
      close(pipes[i]);
      waitpid(pids[i], nullptr, 0);
      std::istringstream ss(all);
      std::string kind;
      double ms;
      while (ss >> kind >> ms) (kind == "s" ? searches : fetches).push_back(ms);
    }
    std::printf("%s: %d hosts, %.0f s: %zu searches (%.1f/s), %zu record fetches (%.1f/s)\n", which, count, seconds,
                searches.size(), double(searches.size()) / seconds, fetches.size(), double(fetches.size()) / seconds);
    for (auto& [name, v] : std::vector<std::pair<const char*, std::vector<double>*>>{{"search", &searches}, {"fetch", &fetches}})
      std::printf("  %s ms: p50 %.2f  p90 %.2f  p99 %.2f  max %.2f\n", name, percentile(*v, 0.5), percentile(*v, 0.9),
                  percentile(*v, 0.99), percentile(*v, 1.0));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string files, server, mode;
  int number = -1;
  double seconds = 30;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--files" && i + 1 < argc) files = argv[++i];
    else if (a == "--server" && i + 1 < argc) server = argv[++i];
    else if ((a == "--queries" || a == "--reps" || a == "--hosts") && i + 1 < argc) number = std::atoi(argv[++i]);
    else if (a == "--seconds" && i + 1 < argc) seconds = std::atof(argv[++i]);
    else mode = a;
  }
  if (files.empty() || server.empty() || (mode != "check" && mode != "latency" && mode != "hosts")) {
    std::cerr << "usage: server_bench --files DIR --server URI check [--queries N] | latency [--reps R] | hosts [--hosts H] "
                 "[--seconds S]\n";
    return 2;
  }
  try {
    Site s = set_up(files, server);
    int rc = mode == "check" ? check(s, number < 0 ? 10 : number)
           : mode == "latency" ? latency(s, number < 0 ? 5 : number)
                               : hosts(s, number < 0 ? 16 : number, seconds);
    std::filesystem::remove_all(s.dir);
    return rc;
  } catch (const std::exception& e) {
    std::cerr << "server_bench: " << e.what() << "\n";
    return 1;
  }
}
