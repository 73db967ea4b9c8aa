#!/bin/sh
# What a search's first run costs when other work has emptied the
# processor's caches, counted rather than timed.  One class of
# compare_engines' mix is run twice, its first 100 queries and its first
# 300, each query once, and the difference divided by 200 is the cost of a
# call with what the first queries load once (the catalogue's schema, the
# stored index's summary, lists kept for later searches) taken out.  The
# counts do not move with the machine's load, so two builds, or Kvistur and
# a rival, can be compared on a busy machine.
#
#   bench/cold_call_cost.sh BUILD_DIR CATALOGUE_DIR "CLASS" [ENGINE]
#
# CLASS is a class of the mix as compare_engines --mix prints it, such as
# "3 terms", "2 terms, common+rare" or "1 term, rare".
#
# Without ENGINE: Kvistur's calls of Leita alone, through callgrind with a
# simulated 8 MB last level and 16 MB written before each search
# (compare_engines --evict 16); prints instructions and last-level misses
# (code, data read, data written) a call.  The catalogue needs no rival's
# index.
#
# With ENGINE (Kvistur, FTS5 or Xapian, whose indexes a full
# compare_engines run made): the whole process through cachegrind, the
# same for every engine (callgrind's collection switched on and off by
# function does not survive Xapian's code), so a call here is the engine's
# search with its describing of the hits, as the full run times it.  Each
# count is run twice more: without eviction, for the instructions and the
# misses of a call whose code and data are still in the caches, and with
# 16 MB written before each search, for the last-level misses of a cold
# call (its instructions include the writing, so they are not printed).
# The kernel's work (the rivals read their blocks with pread, SQLite reads
# pages the same way) is in neither count.
#
# Takes a few minutes at a million records; needs valgrind.
set -e
B=$1
CAT=$2
CLASS=$3
ENGINE=$4
[ -x "$B/compare_engines" ] && [ -d "$CAT" ] && [ -n "$CLASS" ] ||
  { echo "usage: $0 BUILD_DIR CATALOGUE_DIR CLASS [ENGINE]" >&2; exit 2; }
command -v valgrind > /dev/null || { echo "$0: valgrind is not installed" >&2; exit 1; }
OUT=$(mktemp -d /tmp/cold_call_cost.XXXXXX)
trap 'rm -rf "$OUT"' EXIT
"$B/compare_engines" --catalogue "$CAT" --mix --queries 300 > "$OUT/mix.txt"
awk -F'\t' -v c="$CLASS" '$1 == c { print $4 }' "$OUT/mix.txt" > "$OUT/queries.txt"
[ "$(wc -l < "$OUT/queries.txt")" -ge 300 ] || { echo "$0: the mix has no 300 queries of class \"$CLASS\"" >&2; exit 1; }

# The summary line of the tool's file after N queries, evicting EVICT MB.
run() {
  q=$(head -n "$1" "$OUT/queries.txt" | paste -sd'|')
  f="$OUT/out.$1.$2"
  if [ -z "$ENGINE" ]; then
    set -- valgrind --tool=callgrind --callgrind-out-file="$f" --toggle-collect='kvistur::Leita*' --cache-sim=yes \
      --LL=8388608,16,64 "$B/compare_engines" --catalogue "$CAT" --only "$q" --reps 1 --engine Kvistur --evict "$2"
  else
    set -- valgrind --tool=cachegrind --cachegrind-out-file="$f" --cache-sim=yes --LL=8388608,16,64 \
      "$B/compare_engines" --catalogue "$CAT" --only "$q" --reps 1 --engine "$ENGINE" --evict "$2"
  fi
  "$@" > /dev/null 2> "$OUT/valgrind.log" || { cat "$OUT/valgrind.log" >&2; exit 1; }
  grep '^summary:' "$f"
}
# The difference of two summaries, a call: callgrind's events are Ir Dr Dw
# I1mr D1mr D1mw ILmr DLmr DLmw, cachegrind's Ir I1mr ILmr Dr D1mr DLmr Dw
# D1mw DLmw.
per_call() {
  printf '%s\n%s\n' "$1" "$2" | awk '
    NR == 1 { for (i = 2; i <= NF; i++) x[i] = $i }
    NR == 2 { for (i = 2; i <= NF; i++) printf "%.0f ", ($i - x[i]) / 200; print "" }'
}
if [ -z "$ENGINE" ]; then
  per_call "$(run 100 16)" "$(run 300 16)" | awk -v c="$CLASS" '{
    printf "%s: %.0f instructions a call; last-level misses %.0f (code %.0f, data read %.0f, data written %.0f)\n",
           c, $1, $7 + $8 + $9, $7, $8, $9 }'
else
  warm=$(per_call "$(run 100 0)" "$(run 300 0)")
  cold=$(per_call "$(run 100 16)" "$(run 300 16)")
  echo "$warm$cold" | awk -v c="$CLASS" -v e="$ENGINE" '{
    printf "%s, %s: %.0f instructions a call; warm: first-level misses code %.0f, data read %.0f; cold: last-level misses code %.0f, data read %.0f\n",
           e, c, $1, $2, $5, $12, $15 }'
fi
