#!/bin/sh
# Import speed: `kvistur build` on a MARC file of N records (default 100 000)
# written by `kvistur generate --marc`, between two floors: the time
# `yaz-marcdump -n` takes only to read the same file (parsing, no output),
# and the time SQLite alone takes to insert the rows the build wrote
# (import_floor, on the catalogue just built).  Prints wall-clock and CPU
# seconds and records per second, the ratios, and build's own stage lines.
# A whole-program run: on a busy machine the CPU seconds are the steadier
# figure.
#
#   bench/import_speed.sh [N]    KVISTUR=build/kvistur, FLOOR=build/import_floor by default
set -e
N=${1:-100000}
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
yaz-marcdump -n "$WORK/records.mrc" > /dev/null  # into the page cache
floor=$(measure yaz-marcdump -n "$WORK/records.mrc")
build=$(measure "$KVISTUR" build --marc "$WORK/records.mrc" --out "$WORK/catalogue")
stages=$(cat "$WORK/err")
# Its own figure (wall, CPU) for the writing alone, not the reading of the rows before it.
rows=$("$FLOOR" "$WORK/catalogue/katalogur.sqlite" --link-rows 64 --out "$WORK/floor.sqlite" | awk '$1 == "floor" { print $3, "0", $4 }')
echo "$floor $build $rows" | awk -v n="$N" '{
  fc = $2 + $3; bc = $5 + $6; rc = $9
  printf "%-24s %8s %8s %12s %12s\n", "", "wall s", "CPU s", "records/s", "per CPU s"
  printf "%-24s %8.2f %8.2f %12.0f %12.0f\n", "yaz-marcdump -n (read)", $1, fc, n / $1, n / fc
  printf "%-24s %8.2f %8.2f %12.0f %12.0f\n", "import_floor (write)", $7, rc, n / $7, n / rc
  printf "%-24s %8.2f %8.2f %12.0f %12.0f\n", "kvistur build", $4, bc, n / $4, n / bc
  printf "build / reading: %.1f x wall, %.1f x CPU\n", $4 / $1, bc / fc
  printf "build / writing: %.1f x wall, %.1f x CPU\n", $4 / $7, bc / rc
}'
echo "$stages"
