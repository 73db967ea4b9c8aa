#!/bin/sh
# Instructions of each search in compare_engines' own order, by callgrind:
# Kvistur alone (--engines none), every query of the mix once (the first
# runs) and then twice more (the last pass is "repeated"), each Leita
# counted with what it calls (describing included) and nothing of the
# program around it.  Prints, for each class, the five first runs and the
# five repeated runs, and the median of each.  Instruction counts do not
# change with the machine's load, so two builds can be compared on a busy
# machine: run it with each build's compare_engines on the same catalogue.
#
#   bench/call_cost.sh BUILD_DIR CATALOGUE_DIR [OUT_DIR]
#
# OUT_DIR (default a new folder under /tmp) keeps one callgrind file per
# Leita (OUT_DIR/cg.N, N counting from 1 in the order they ran) for
# callgrind_annotate.
set -e
B=$1
CAT=$2
OUT=${3:-$(mktemp -d /tmp/call_cost.XXXXXX)}
[ -x "$B/compare_engines" ] && [ -d "$CAT" ] || { echo "usage: $0 BUILD_DIR CATALOGUE_DIR [OUT_DIR]" >&2; exit 2; }
mkdir -p "$OUT"
rm -f "$OUT"/cg.*
"$B/compare_engines" --catalogue "$CAT" --mix > "$OUT/mix.txt"
valgrind --tool=callgrind --callgrind-out-file="$OUT/cg" --dump-after='(anonymous namespace)::run_kvistur*' \
  "$B/compare_engines" --catalogue "$CAT" --engines none --reps 2 > /dev/null 2> "$OUT/valgrind.log"
n=$(wc -l < "$OUT/mix.txt")
i=0
for f in $(ls "$OUT"/cg.* | sort -t. -k2,2n); do
  i=$((i + 1))
  ir=$(callgrind_annotate --inclusive=yes "$f" 2> /dev/null | grep -m1 'kvistur::Faersla::Leita' | awk '{gsub(",", "", $1); print $1}')
  q=$(( (i - 1) % n + 1 ))
  printf '%s\t%s\t%s\n' $(( (i - 1) / n )) "$(sed -n "${q}p" "$OUT/mix.txt" | cut -f1)" "$ir"
done > "$OUT/all.txt"
cut -f1 "$OUT/mix.txt" | awk '!seen[$0]++' | while read -r cls; do
  for pass in 0 2; do
    awk -F'\t' -v c="$cls" -v p=$pass '$1 == p && $2 == c {print $3}' "$OUT/all.txt" | sort -n > "$OUT/one.txt"
    printf '%s\t%s\t%s\tmedian %s\n' "$cls" "$( [ $pass = 0 ] && echo first || echo repeated)" \
      "$(paste -sd' ' "$OUT/one.txt")" "$(sed -n "$(( ($(wc -l < "$OUT/one.txt") + 1) / 2 ))p" "$OUT/one.txt")"
  done
done
echo "callgrind files: $OUT" >&2
