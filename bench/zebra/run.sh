#!/bin/sh
# Kvistur's Z39.50 server beside Debian's Zebra on the same records: the
# import of both, then the query mix of bench/compare_engines over Z39.50
# (search and present of 10 records, median and 95th percentile a class,
# the two servers taking turns, hit counts checked equal before anything is
# timed), then N client processes at once against each server.
#
#   bench/zebra/run.sh [--records N] [--queries N] [--reps N] [--clients "8 32"]
#                      [--requests N] [--work DIR]
#
# Defaults: 100 000 records, 5 queries a class, 20 timed runs of each,
# 8 and 32 clients of 200 requests each, DIR /tmp/kvistur-zebra-N.  DIR
# keeps the records (records.mrc), the catalogue (kvistur/), Zebra's
# configuration and register (zebra/), the query mix (queries.tsv) and the
# servers' logs; what is there already is used again (remove DIR to import
# afresh).  The programs come from BUILD (default ./build): kvistur,
# compare_engines, zebra_client.  The servers listen on KVISTUR_LISTEN and
# ZEBRA_LISTEN (default tcp:127.0.0.1:9302 and :9301).  Exit 0 when the
# hit counts were equal and no request failed.
set -e
records=100000 per_class=5 reps=20 clients="8 32" requests=200 work=""
while [ $# -gt 0 ]; do
  case "$1" in
    --records) records=$2 ;;
    --queries) per_class=$2 ;;
    --reps) reps=$2 ;;
    --clients) clients=$2 ;;
    --requests) requests=$2 ;;
    --work) work=$2 ;;
    *) echo "usage: $0 [--records N] [--queries N] [--reps N] [--clients \"8 32\"] [--requests N] [--work DIR]" >&2
       exit 2 ;;
  esac
  [ $# -ge 2 ] || { echo "$0: $1 needs a value" >&2; exit 2; }
  shift 2
done
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${BUILD:-build}" && pwd)
for p in kvistur compare_engines zebra_client; do
  [ -x "$build/$p" ] || { echo "$0: $build/$p is missing: build it first" >&2; exit 1; }
done
for p in zebraidx zebrasrv; do
  command -v $p >/dev/null || { echo "$0: $p is missing: install idzebra-2.0 (scripts/deps)" >&2; exit 1; }
done
work=${work:-/tmp/kvistur-zebra-$records}
mkdir -p "$work"
work=$(cd "$work" && pwd)
kvistur_listen=${KVISTUR_LISTEN:-tcp:127.0.0.1:9302}
zebra_listen=${ZEBRA_LISTEN:-tcp:127.0.0.1:9301}

now() { date +%s.%N; }
rate() { awk -v n="$1" -v a="$2" -v b="$3" 'BEGIN { printf "%.0f records a second (%.1f s)", n / (b - a), b - a }'; }

if [ ! -f "$work/records.mrc" ]; then
  "$build/kvistur" generate --records "$records" --marc "$work/records.mrc.tmp" >/dev/null
  mv "$work/records.mrc.tmp" "$work/records.mrc"
fi
if [ ! -f "$work/kvistur/lindrit-1.0.ini" ]; then
  rm -rf "$work/kvistur"
  t0=$(now)
  "$build/kvistur" build --marc "$work/records.mrc" --out "$work/kvistur" >/dev/null
  echo "import, Kvistur: $(rate "$records" "$t0" "$(now)")"
  # The search fields that have no Bib-1 use attribute of their own in the
  # server's table, under the attributes Zebra's profile gives them.
  printf '[Z3950]\n63=Athugasemdir\n1007=Númer og ár\n' >> "$work/kvistur/lindrit-1.0.ini"
fi
if [ ! -f "$work/zebra/indexed" ]; then
  rm -rf "$work/zebra"
  sh "$here/configure.sh" "$work/zebra"
  t0=$(now)
  zebraidx -c "$work/zebra/zebra.cfg" -l "$work/zebra/zebraidx.log" init
  zebraidx -c "$work/zebra/zebra.cfg" -l "$work/zebra/zebraidx.log" update "$work/records.mrc"
  echo "import, Zebra: $(rate "$records" "$t0" "$(now)")"
  touch "$work/zebra/indexed"
fi
export LINDRIT_SETTINGS="$work/kvistur/lindrit-1.0.ini" KVISTUR_LOG="$work/kvistur.log"

# The query mix, in PQF: a term is a word (Bib-1 use 1016, any field, or
# the search field's attribute) or its start (truncation 5=1), a query of
# several terms their AND.  A group is a database of Kvistur's; Zebra has
# one, which holds every record, as the group does in a generated catalogue.
"$build/compare_engines" --catalogue "$work/kvistur" --queries "$per_class" --mix > "$work/mix.tsv"
"$build/kvistur" groups > "$work/groups.txt"
{
  printf 'servers\tkvistur\tzebra\n'
  awk -F '\t' -v groups="$work/groups.txt" '
    BEGIN {
      while ((getline line < groups) > 0)
        if (match(line, /^group [0-9]+: /)) {
          n = substr(line, 7, RLENGTH - 8)
          name[n] = substr(line, RLENGTH + 1)
          sub(/ - .*/, "", name[n])
        }
      split("1003 4 21 5 1018 63 1007", use, " ")
    }
    {
      attr = $3 < 0 ? 1016 : use[$3]
      n = split($4, terms, " ")
      pqf = ""
      for (i = 1; i < n; ++i) pqf = pqf "@and "
      for (i = 1; i <= n; ++i) {
        t = terms[i]
        if (t ~ /\*$/) pqf = pqf "@attr 1=" attr " @attr 5=1 " substr(t, 1, length(t) - 1)
        else pqf = pqf "@attr 1=" attr " " t
        if (i < n) pqf = pqf " "
      }
      printf "%s\t%s\tDefault\t%s\n", $1, $2 < 0 ? "Default" : name[$2], pqf
    }' "$work/mix.tsv"
} > "$work/queries.tsv"

# Both servers' files read once, so that neither starts from the disk (the
# machines these runs are made on let cached pages go within minutes).
find "$work/kvistur" "$work/zebra" -type f -exec cat {} + > /dev/null

# The two servers, stopped whatever happens next.
zebrasrv -c "$work/zebra/zebra.cfg" -l "$work/zebrasrv.log" "$zebra_listen" &
zebra_pid=$!
"$build/kvistur" serve "$kvistur_listen" --access-log "$work/kvistur-access.log" \
  --server-log "$work/kvistur-server.log" &
kvistur_pid=$!
trap 'kill $zebra_pid $kvistur_pid 2>/dev/null; wait $zebra_pid $kvistur_pid 2>/dev/null' EXIT INT TERM

# Each server listening before anything is asked of it; one that stops as
# it starts ends the run at once, with the end of its log.
started() {
  tries=0
  until "$build/zebra_client" ping "$3"; do
    if ! kill -0 "$2" 2>/dev/null; then
      echo "$0: $1 stopped as it started; the end of $4:" >&2
      tail -n 5 "$4" >&2
      exit 1
    fi
    tries=$((tries + 1))
    [ $tries -lt 300 ] || { echo "$0: $1 is not listening on $3 after 30 s" >&2; exit 1; }
    sleep 0.1
  done
}
started zebrasrv $zebra_pid "$zebra_listen" "$work/zebrasrv.log"
started "kvistur serve" $kvistur_pid "$kvistur_listen" "$work/kvistur-server.log"

status=0
echo "records: $records, queries: $(($(wc -l < "$work/queries.tsv") - 1))"
"$build/zebra_client" latency "$work/queries.tsv" "$reps" "kvistur=$kvistur_listen" "zebra=$zebra_listen" || status=$?
[ $status -eq 3 ] && { echo "$0: the hit counts differ: nothing timed" >&2; exit 3; }
[ $status -eq 2 ] && exit 2
echo
for n in $clients; do
  "$build/zebra_client" load "$work/queries.tsv" "$n" "$requests" "zebra=$zebra_listen" || status=1
  "$build/zebra_client" load "$work/queries.tsv" "$n" "$requests" "kvistur=$kvistur_listen" || status=1
done
exit $status
