/* Times two Z39.50 servers on the same queries through YAZ's ZOOM API: a
 * search and a present of the first ten records (MARC 21) per query.
 *
 *   zebra_client latency QUERIES REPS NAME=TARGET NAME=TARGET
 *   zebra_client load QUERIES CLIENTS REQUESTS NAME=TARGET
 *   zebra_client ping TARGET
 *
 * QUERIES is a tab-separated file.  Its first line is "servers", then the
 * names of the servers it has a column for; every other line is a query:
 * its class, the database to search on each server (in the order of the
 * first line), and the query in PQF.  A NAME picks its column.
 *
 * latency: connects once to each server, asks every query of both and
 * stops (exit 3) unless the hit counts are equal, then times every query
 * REPS times, alternating which server goes first, and prints the median
 * and the 95th percentile of each class and their ratios (first / second).
 *
 * load: CLIENTS processes, each connected to the server before the clock
 * starts, each answering REQUESTS queries of the mix (search and present);
 * prints the requests a second over the wall clock and the failures (an
 * error, or a record missing).  Exit 1 when any request failed.
 *
 * ping: exit 0 when TARGET takes a connection now, 1 when it does not (the
 * bench's script asks while it waits for a server to start). */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <yaz/zoom.h>

enum {
  kRecordsShown = 10,      /* the records presented after each search */
  kMaxQueries = 10000,     /* lines of a query file */
  kMaxServers = 4,         /* database columns of a query file */
  kMaxClasses = 64,        /* query classes of a file */
  kLineBytes = 4096,       /* one line of a query file */
  kConnectSeconds = 30,    /* how long a server may take to start listening */
  kFailureBytes = 200      /* the first failure a load client reports */
};

struct query {
  char cls[128];
  char database[kMaxServers][128];
  char pqf[kLineBytes];
};

static struct query* queries;
static int n_queries;
static char server_names[kMaxServers][64];
static int n_servers;

static void die(const char* what, const char* detail) {
  fprintf(stderr, "zebra_client: %s%s%s\n", what, detail ? ": " : "", detail ? detail : "");
  exit(2);
}

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

/* Splits LINE at tabs in place; the number of fields. */
static int split_tabs(char* line, char** fields, int most) {
  int n = 0;
  line[strcspn(line, "\r\n")] = 0;
  for (char* p = line; n < most; ++n) {
    fields[n] = p;
    char* tab = strchr(p, '\t');
    if (!tab) return n + 1;
    *tab = 0;
    p = tab + 1;
  }
  return n;
}

static void copy_field(char* to, size_t size, const char* from, const char* what) {
  if (strlen(from) >= size) die("a field of the query file is too long", what);
  strcpy(to, from);
}

static void read_queries(const char* file) {
  FILE* in = fopen(file, "r");
  if (!in) die("cannot read the query file", file);
  queries = calloc(kMaxQueries, sizeof *queries);
  if (!queries) die("out of memory", NULL);
  char line[kLineBytes + 1024];
  char* f[kMaxServers + 2];
  if (!fgets(line, sizeof line, in)) die("the query file is empty", file);
  n_servers = split_tabs(line, f, kMaxServers + 1) - 1;
  if (strcmp(f[0], "servers") != 0 || n_servers < 1) die("the query file does not begin with \"servers\"", file);
  for (int s = 0; s < n_servers; ++s) copy_field(server_names[s], sizeof server_names[s], f[s + 1], f[s + 1]);
  while (fgets(line, sizeof line, in)) {
    if (line[0] == '\n' || line[0] == 0) continue;
    if (n_queries == kMaxQueries) die("too many queries in", file);
    if (split_tabs(line, f, kMaxServers + 2) != n_servers + 2) die("a query line without a column for each server", line);
    struct query* q = &queries[n_queries++];
    copy_field(q->cls, sizeof q->cls, f[0], f[0]);
    for (int s = 0; s < n_servers; ++s) copy_field(q->database[s], sizeof q->database[s], f[s + 1], f[s + 1]);
    copy_field(q->pqf, sizeof q->pqf, f[n_servers + 1], f[n_servers + 1]);
  }
  fclose(in);
  if (n_queries == 0) die("no queries in", file);
}

struct server {
  const char* name;
  const char* target;
  int column;
  ZOOM_connection c;
};

static void parse_server(const char* arg, struct server* s) {
  const char* eq = strchr(arg, '=');
  if (!eq) die("a server is NAME=TARGET", arg);
  s->name = strndup(arg, (size_t)(eq - arg));
  s->target = eq + 1;
  s->column = -1;
  for (int i = 0; i < n_servers; ++i)
    if (strcmp(server_names[i], s->name) == 0) s->column = i;
  if (s->column < 0) die("the query file has no column for", s->name);
}

/* One attempt to connect: the connection, or NULL. */
static ZOOM_connection connect_once(const char* target) {
  ZOOM_options o = ZOOM_options_create();
  ZOOM_options_set(o, "piggyback", "0");
  ZOOM_options_set(o, "preferredRecordSyntax", "usmarc");
  ZOOM_options_set(o, "elementSetName", "F");
  ZOOM_connection c = ZOOM_connection_create(o);
  ZOOM_options_destroy(o);
  ZOOM_connection_connect(c, target, 0);
  const char *msg, *info;
  if (!ZOOM_connection_error(c, &msg, &info)) return c;
  ZOOM_connection_destroy(c);
  return NULL;
}

/* Connects, waiting for a server that is still starting. */
static ZOOM_connection connect_to(const char* target) {
  double give_up = now() + kConnectSeconds;
  for (;;) {
    ZOOM_connection c = connect_once(target);
    if (c) return c;
    if (now() > give_up) die("cannot connect to", target);
    struct timespec pause = {0, 100 * 1000 * 1000};
    nanosleep(&pause, NULL);
  }
}

/* One request: the search, then a present of the first records.  The hit
 * count, or -1 with WHY filled in when anything failed. */
static long ask(struct server* s, const struct query* q, char* why, size_t why_size) {
  const char *msg, *info;
  ZOOM_connection_option_set(s->c, "databaseName", q->database[s->column]);
  ZOOM_resultset rs = ZOOM_connection_search_pqf(s->c, q->pqf);
  long hits = -1;
  if (ZOOM_connection_error(s->c, &msg, &info)) {
    snprintf(why, why_size, "%s: search %.300s: %s %s", s->name, q->pqf, msg, info ? info : "");
  } else {
    hits = (long)ZOOM_resultset_size(rs);
    size_t shown = hits < kRecordsShown ? (size_t)hits : kRecordsShown;
    ZOOM_record records[kRecordsShown];
    if (shown > 0) ZOOM_resultset_records(rs, records, 0, shown);
    if (shown > 0 && ZOOM_connection_error(s->c, &msg, &info)) {
      snprintf(why, why_size, "%s: present %.300s: %s %s", s->name, q->pqf, msg, info ? info : "");
      hits = -1;
    }
    for (size_t i = 0; hits >= 0 && i < shown; ++i) {
      int len = 0;
      if (!records[i] || !ZOOM_record_get(records[i], "raw", &len) || len <= 0) {
        snprintf(why, why_size, "%s: present %.300s: record %zu missing", s->name, q->pqf, i + 1);
        hits = -1;
      }
    }
  }
  ZOOM_resultset_destroy(rs);
  return hits;
}

static int compare_doubles(const void* a, const void* b) {
  double x = *(const double*)a, y = *(const double*)b;
  return x < y ? -1 : x > y;
}

/* The P-th percentile of the N values (sorted in place). */
static double percentile(double* v, int n, double p) {
  if (n == 0) return 0;
  qsort(v, (size_t)n, sizeof *v, compare_doubles);
  int i = (int)(p * (n - 1) + 0.5);
  return v[i];
}

static int latency(int reps, struct server* a, struct server* b) {
  struct server* both[2] = {a, b};
  for (int k = 0; k < 2; ++k) both[k]->c = connect_to(both[k]->target);
  char why[512];
  int equal = 0;
  for (int i = 0; i < n_queries; ++i) {
    long hits[2];
    for (int k = 0; k < 2; ++k) {
      hits[k] = ask(both[k], &queries[i], why, sizeof why);
      if (hits[k] < 0) fprintf(stderr, "%s\n", why);
    }
    if (hits[0] >= 0 && hits[0] == hits[1]) ++equal;
    else fprintf(stderr, "differ: %s: %s: %s %ld, %s %ld\n", queries[i].cls, queries[i].pqf, a->name, hits[0], b->name, hits[1]);
  }
  printf("equal hit counts: %d of %d queries\n", equal, n_queries);
  if (equal != n_queries) return 3;

  /* times[server][query][rep], in milliseconds */
  double* times = calloc((size_t)(2 * n_queries * reps) + 1, sizeof *times);
  if (!times) die("out of memory", NULL);
  int failures = 0;
  for (int r = 0; r < reps; ++r)
    for (int i = 0; i < n_queries; ++i)
      for (int step = 0; step < 2; ++step) {
        int k = (step + r + i) % 2;
        double t0 = now();
        if (ask(both[k], &queries[i], why, sizeof why) < 0) ++failures, fprintf(stderr, "%s\n", why);
        times[(k * n_queries + i) * reps + r] = (now() - t0) * 1e3;
      }

  const char* classes[kMaxClasses];
  int n_classes = 0;
  for (int i = 0; i < n_queries; ++i) {
    int seen = 0;
    for (int c = 0; c < n_classes; ++c) seen |= strcmp(classes[c], queries[i].cls) == 0;
    if (!seen && n_classes < kMaxClasses) classes[n_classes++] = queries[i].cls;
  }
  printf("\nsearch + present of %d records, ms: median (95th percentile), %d runs a query\n\n", kRecordsShown, reps);
  printf("| query class | %s | %s | %s/%s median | %s/%s 95th |\n|---|---|---|---|---|\n", a->name, b->name, a->name,
         b->name, a->name, b->name);
  double* v = calloc((size_t)(n_queries * reps) + 1, sizeof *v);
  if (!v) die("out of memory", NULL);
  for (int c = 0; c < n_classes; ++c) {
    double median[2], p95[2];
    for (int k = 0; k < 2; ++k) {
      int n = 0;
      for (int i = 0; i < n_queries; ++i)
        if (strcmp(queries[i].cls, classes[c]) == 0)
          for (int r = 0; r < reps; ++r) v[n++] = times[(k * n_queries + i) * reps + r];
      median[k] = percentile(v, n, 0.5);
      p95[k] = percentile(v, n, 0.95);
    }
    printf("| %s | %.2f (%.2f) | %.2f (%.2f) | %.2f | %.2f |\n", classes[c], median[0], p95[0], median[1], p95[1],
           median[0] / median[1], p95[0] / p95[1]);
  }
  printf("\nfailed requests: %d\n", failures);
  for (int k = 0; k < 2; ++k) ZOOM_connection_destroy(both[k]->c);
  free(v);
  free(times);
  return failures ? 1 : 0;
}

/* What a load client sends back: its counts, its first failure, then one
 * latency (seconds) per request. */
struct load_report {
  long requests, failures;
  char first_failure[kFailureBytes];
};

static int write_all(int fd, const void* p, size_t n) {
  for (const char* b = p; n > 0;) {
    ssize_t w = write(fd, b, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return -1;
    b += w, n -= (size_t)w;
  }
  return 0;
}

static size_t read_all(int fd, void* p, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = read(fd, (char*)p + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += (size_t)r;
  }
  return got;
}

static void load_client(int number, int requests, struct server* s, int ready, int go, int out) {
  struct load_report report = {0, 0, ""};
  double* latencies = calloc((size_t)requests + 1, sizeof *latencies);
  s->c = connect_to(s->target);
  char byte = 1, why[512];
  if (write_all(ready, &byte, 1) != 0) _exit(2);
  while (read(go, &byte, 1) > 0) {
  }
  for (int r = 0; r < requests; ++r) {
    double t0 = now();
    /* Each client starts at a different place in the mix. */
    if (ask(s, &queries[(number * 7 + r) % n_queries], why, sizeof why) < 0) {
      if (report.failures++ == 0) snprintf(report.first_failure, sizeof report.first_failure, "%.*s", kFailureBytes - 1, why);
    }
    latencies[report.requests++] = now() - t0;
  }
  ZOOM_connection_destroy(s->c);
  if (write_all(out, &report, sizeof report) != 0 ||
      write_all(out, latencies, sizeof *latencies * (size_t)report.requests) != 0)
    _exit(2);
  _exit(0);
}

static int load(int clients, int requests, struct server* s) {
  int ready[2], go[2];
  if (pipe(ready) != 0 || pipe(go) != 0) die("pipe", strerror(errno));
  int* out = calloc((size_t)clients, sizeof *out);
  pid_t* pids = calloc((size_t)clients, sizeof *pids);
  if (!out || !pids) die("out of memory", NULL);
  fflush(NULL);
  for (int i = 0; i < clients; ++i) {
    int p[2];
    if (pipe(p) != 0) die("pipe", strerror(errno));
    pids[i] = fork();
    if (pids[i] < 0) die("fork", strerror(errno));
    if (pids[i] == 0) {
      close(ready[0]), close(go[1]), close(p[0]);
      load_client(i, requests, s, ready[1], go[0], p[1]);
    }
    close(p[1]);
    out[i] = p[0];
  }
  close(ready[1]), close(go[0]);
  /* Every client connected (and logged on) before the clock starts; closing
   * the pipe they wait on lets them all go at once. */
  char byte;
  for (int i = 0; i < clients; ++i)
    if (read_all(ready[0], &byte, 1) != 1) die("a load client stopped before it connected", NULL);
  double t0 = now();
  close(go[1]);
  long total = 0, failures = 0;
  char first[kFailureBytes] = "";
  double* latencies = calloc((size_t)clients * (size_t)requests + 1, sizeof *latencies);
  if (!latencies) die("out of memory", NULL);
  for (int i = 0; i < clients; ++i) {
    struct load_report r;
    if (read_all(out[i], &r, sizeof r) != sizeof r) {
      failures += requests;
      snprintf(first, sizeof first, "load client %d gave no report", i);
      continue;
    }
    size_t n = read_all(out[i], latencies + total, sizeof *latencies * (size_t)r.requests) / sizeof *latencies;
    total += (long)n;
    failures += r.failures;
    if (!first[0] && r.first_failure[0]) snprintf(first, sizeof first, "%s", r.first_failure);
    close(out[i]);
  }
  for (int i = 0; i < clients; ++i) waitpid(pids[i], NULL, 0);
  double seconds = now() - t0;
  printf("%s: %d clients x %d requests: %ld requests in %.2f s, %.0f requests/s, %ld failed, latency ms median %.2f, "
         "95th %.2f\n",
         s->name, clients, requests, total, seconds, (double)total / seconds, failures,
         percentile(latencies, (int)total, 0.5) * 1e3, percentile(latencies, (int)total, 0.95) * 1e3);
  if (first[0]) printf("first failure: %s\n", first);
  free(latencies);
  free(out);
  free(pids);
  return failures ? 1 : 0;
}

static int positive(const char* s, const char* what) {
  char* end;
  long v = strtol(s, &end, 10);
  if (*end || v < 1 || v > 1000000) die(what, s);
  return (int)v;
}

int main(int argc, char** argv) {
  if (argc == 6 && strcmp(argv[1], "latency") == 0) {
    read_queries(argv[2]);
    struct server a, b;
    parse_server(argv[4], &a);
    parse_server(argv[5], &b);
    return latency(positive(argv[3], "REPS is a number from 1 to 1000000"), &a, &b);
  }
  if (argc == 6 && strcmp(argv[1], "load") == 0) {
    read_queries(argv[2]);
    struct server s;
    parse_server(argv[5], &s);
    return load(positive(argv[3], "CLIENTS is a number from 1 to 1000000"),
                positive(argv[4], "REQUESTS is a number from 1 to 1000000"), &s);
  }
  if (argc == 3 && strcmp(argv[1], "ping") == 0) {
    ZOOM_connection c = connect_once(argv[2]);
    int listening = c != NULL;
    ZOOM_connection_destroy(c);
    return listening ? 0 : 1;
  }
  fprintf(stderr,
          "usage: zebra_client latency QUERIES REPS NAME=TARGET NAME=TARGET\n"
          "       zebra_client load QUERIES CLIENTS REQUESTS NAME=TARGET\n"
          "       zebra_client ping TARGET\n");
  return 2;
}
