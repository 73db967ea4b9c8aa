#!/bin/sh
# Import speed: `kvistur build` on a MARC file of N records (default 100 000)
# written by `kvistur generate --marc`, between two floors: the time
# `yaz-marcdump -n` takes only to read the same file (parsing, no output),
# and the time SQLite alone takes to insert the rows the build wrote
# (import_floor, on the catalogue just built).  Prints wall-clock, user and
# system seconds and records per second, the ratios, and build's own stage
# lines.
#
# With ROUNDS over 1 the build and the floor run by turns that many times
# on the same file, each round on its own line.  On a shared or virtual
# machine the speed of memory first touched moves by a factor of two from
# one minute to the next (the system seconds show it), so the ratio within
# a round is the figure to read, and the rounds show the spread.
#
#   bench/import_speed.sh [N] [ROUNDS]    KVISTUR=build/kvistur, FLOOR=build/import_floor by default
set -e
N=${1:-100000}
ROUNDS=${2:-1}
KVISTUR=${KVISTUR:-build/kvistur}
FLOOR=${FLOOR:-build/import_floor}
WORK=$(mktemp -d /tmp/kvistur-import-bench-XXXXXX)
trap 'rm -rf "$WORK"' EXIT
"$KVISTUR" generate --records "$N" --seed 1 --marc "$WORK/records.mrc" > /dev/null 2>&1
echo "$N records, $(du -m "$WORK/records.mrc" | cut -f1) MB of ISO 2709 (UTF-8)"

# Seconds: wall user system
measure() {
  /usr/bin/time -f "%e %U %S" -o "$WORK/time" "$@" > /dev/null 2> "$WORK/err" || { cat "$WORK/err"; exit 1; }
  cat "$WORK/time"
}
line() {  # what wall user system; system "-" when only the CPU seconds are known (under user)
  echo "$2 $3 $4" | awk -v n="$N" -v what="$1" '{
    sys = $3 == "-" ? "       -" : sprintf("%8.2f", $3)
    printf "%-24s %8.2f %8.2f %s %11.0f %11.0f\n", what, $1, $2, sys, n / $1, n / ($2 + $3) }'
}
yaz-marcdump -n "$WORK/records.mrc" > /dev/null  # into the page cache
printf "%-24s %8s %8s %8s %11s %11s\n" "" "wall s" "user s" "sys s" "records/s" "per CPU s"
line "yaz-marcdump -n (read)" $(measure yaz-marcdump -n "$WORK/records.mrc")
round=1
while [ "$round" -le "$ROUNDS" ]; do
  rm -rf "$WORK/catalogue"
  build=$(measure "$KVISTUR" build --marc "$WORK/records.mrc" --out "$WORK/catalogue")
  stages=$(cat "$WORK/err")
  # Its own figure (wall, CPU) for the writing alone, not the reading of the rows before it.
  rows=$("$FLOOR" "$WORK/catalogue/katalogur.sqlite" --link-rows 64 --out "$WORK/floor.sqlite" | awk '$1 == "floor" { print $3, $4 }')
  [ "$ROUNDS" -gt 1 ] && echo "round $round"
  line "kvistur build" $build
  line "import_floor (write)" $rows -
  echo "$build $rows" | awk '{ printf "build / floor: %.2f x wall\n", $1 / $4 }'
  echo "$stages" | grep -E '^(reading|cataloguing|word index|indexes):'
  round=$((round + 1))
done
