#!/bin/sh
# What a search's first run costs when other work has emptied the
# processor's caches, counted rather than timed: callgrind with a
# simulated last-level cache (8 MB), 16 MB written before each search
# (compare_engines --evict 16), only the calls of Leita counted.  One class
# of compare_engines' mix is run twice, its first 100 queries and its first
# 300, each query once, and the difference divided by 200 is the cost of a
# call with what the first queries load once (the catalogue's schema, the
# stored index's summary, lists kept for later searches) taken out.
# Prints instructions and last-level misses (code, data read, data
# written) a call; the counts do not move with the machine's load, so two
# builds can be compared on a busy machine, one after the other.
#
#   bench/cold_call_cost.sh BUILD_DIR CATALOGUE_DIR "CLASS"
#
# CLASS is a class of the mix as compare_engines --mix prints it, such as
# "3 terms", "2 terms, common+rare" or "1 term, rare".  The catalogue needs
# no rival's index.  Takes a few minutes at a million records.
set -e
B=$1
CAT=$2
CLASS=$3
[ -x "$B/compare_engines" ] && [ -d "$CAT" ] && [ -n "$CLASS" ] ||
  { echo "usage: $0 BUILD_DIR CATALOGUE_DIR CLASS" >&2; exit 2; }
command -v valgrind > /dev/null || { echo "$0: valgrind is not installed" >&2; exit 1; }
OUT=$(mktemp -d /tmp/cold_call_cost.XXXXXX)
trap 'rm -rf "$OUT"' EXIT
"$B/compare_engines" --catalogue "$CAT" --mix --queries 300 > "$OUT/mix.txt"
awk -F'\t' -v c="$CLASS" '$1 == c { print $4 }' "$OUT/mix.txt" > "$OUT/queries.txt"
[ "$(wc -l < "$OUT/queries.txt")" -ge 300 ] || { echo "$0: the mix has no 300 queries of class \"$CLASS\"" >&2; exit 1; }

# The summary line of callgrind's file after N queries: Ir ... ILmr DLmr DLmw.
run() {
  q=$(head -n "$1" "$OUT/queries.txt" | paste -sd'|')
  valgrind --tool=callgrind --callgrind-out-file="$OUT/cg.$1" --toggle-collect='kvistur::Leita*' --cache-sim=yes \
    --LL=8388608,16,64 "$B/compare_engines" --catalogue "$CAT" --only "$q" --reps 1 --engine Kvistur --evict 16 \
    > /dev/null 2> "$OUT/valgrind.$1.log" || { cat "$OUT/valgrind.$1.log" >&2; exit 1; }
  grep '^summary:' "$OUT/cg.$1"
}
a=$(run 100)
b=$(run 300)
echo "$a
$b" | awk -v c="$CLASS" '
  NR == 1 { for (i = 2; i <= NF; i++) x[i] = $i }
  NR == 2 { for (i = 2; i <= NF; i++) d[i] = ($i - x[i]) / 200
            printf "%s: %.0f instructions a call; last-level misses %.0f (code %.0f, data read %.0f, data written %.0f)\n",
                   c, d[2], d[8] + d[9] + d[10], d[8], d[9], d[10] }'
