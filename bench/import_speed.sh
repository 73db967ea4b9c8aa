#!/bin/sh
# Import speed: `kvistur build` on a MARC file of N records (default 100 000)
# written by `kvistur generate --marc`, beside the time `yaz-marcdump -n`
# takes only to read the same file (the floor: parsing, no output).  Prints
# wall-clock and CPU seconds and records per second for both, the ratio,
# and build's own stage lines.  A whole-program run: on a busy machine the
# CPU seconds are the steadier figure.
#
#   bench/import_speed.sh [N]          KVISTUR=build/kvistur by default
set -e
N=${1:-100000}
KVISTUR=${KVISTUR:-build/kvistur}
WORK=$(mktemp -d /tmp/kvistur-import-bench-XXXXXX)
trap 'rm -rf "$WORK"' EXIT
"$KVISTUR" generate --records "$N" --seed 1 --marc "$WORK/records.mrc" > /dev/null 2>&1
echo "$N records, $(du -m "$WORK/records.mrc" | cut -f1) MB of ISO 2709 (UTF-8)"

# Seconds: wall user system
measure() {
  /usr/bin/time -f "%e %U %S" -o "$WORK/time" "$@" > /dev/null 2> "$WORK/err" || { cat "$WORK/err"; exit 1; }
  cat "$WORK/time"
}
yaz-marcdump -n "$WORK/records.mrc" > /dev/null  # into the page cache
floor=$(measure yaz-marcdump -n "$WORK/records.mrc")
build=$(measure "$KVISTUR" build --marc "$WORK/records.mrc" --out "$WORK/catalogue")
stages=$(cat "$WORK/err")
echo "$floor $build" | awk -v n="$N" '{
  fc = $2 + $3; bc = $5 + $6
  printf "%-24s %8s %8s %12s %12s\n", "", "wall s", "CPU s", "records/s", "per CPU s"
  printf "%-24s %8.2f %8.2f %12.0f %12.0f\n", "yaz-marcdump -n (floor)", $1, fc, n / $1, n / fc
  printf "%-24s %8.2f %8.2f %12.0f %12.0f\n", "kvistur build", $4, bc, n / $4, n / bc
  printf "build / floor: %.1f x wall, %.1f x CPU\n", $4 / $1, bc / fc
}'
echo "$stages"
