#!/bin/sh
# Whether two builds of the command line write the same catalogue: builds
# the sample (data/sample/sample.xml) and N generated records (default
# 5 000, as ISO 2709) with each, dumps every table of both databases (the
# schema too) with every value quoted exactly, rows in rowid order (a table
# without rowid in the order of all its columns), and compares the dumps.
# Left out: the numbers drawn at random for each build (the stored index's
# and the facet data's build, the content stamp's instance), the checksums
# of the stored index's and facet data's rows (each is worked out from its
# build's number), and the time of the build that records without 005 get
# as their cataloguing date (a time between the build's start and end
# reads as "build time").  Those checksums are checked instead by
# `kvistur index --check` on each catalogue, which also compares the
# index's content with the tables.  Prints "same rows" or the first
# differences, and exits 1 on any.
#
#   bench/same_rows.sh OLD_KVISTUR NEW_KVISTUR [N]
#
# For a change to the build path: build the command line before the change
# into another folder (git worktree add, or a copy of build/kvistur) and run
# this against the new one.
set -e
[ $# -ge 2 ] || { echo "usage: $0 OLD_KVISTUR NEW_KVISTUR [N]" >&2; exit 2; }
OLD=$1
NEW=$2
N=${3:-5000}
HERE=$(cd "$(dirname "$0")/.." && pwd)
WORK=$(mktemp -d /tmp/kvistur-same-rows-XXXXXX)
trap 'rm -rf "$WORK"' EXIT

# dump FILE FROM TO: every table's rows, exactly, in a fixed order; a
# cataloguing date from FROM to TO is the build's own time.
dump() {
  sqlite3 "$1" "SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY type, name"
  for t in $(sqlite3 "$1" "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name"); do
    cols=$(sqlite3 "$1" "SELECT group_concat(CASE WHEN name IN ('build', 'instance') THEN 'NULL'
                         WHEN name = 'checksum' AND '$t' LIKE 'kv\_%' ESCAPE '\\' THEN 'NULL'
                         WHEN name = 'Skráning' THEN 'CASE WHEN Skráning BETWEEN ''$2'' AND ''$3'' THEN ''build time''
                         ELSE Skráning END' ELSE '\"' || name || '\"' END, ', ') FROM pragma_table_info('$t')")
    if sqlite3 "$1" "SELECT rowid FROM \"$t\" LIMIT 0" > /dev/null 2>&1; then
      select="SELECT rowid, $cols FROM \"$t\" ORDER BY rowid"
    else
      n=$(sqlite3 "$1" "SELECT count(*) FROM pragma_table_info('$t')")
      select="SELECT $cols FROM \"$t\" ORDER BY $(seq -s, 1 "$n")"
    fi
    echo "-- $t"
    sqlite3 -cmd ".mode quote" "$1" "$select"
  done
}

"$NEW" generate --records "$N" --seed 1 --marc "$WORK/generated.mrc" > /dev/null 2>&1
status=0
for input in "$HERE/data/sample/sample.xml" "$WORK/generated.mrc"; do
  name=$(basename "$input")
  for side in old new; do
    tool=$OLD
    [ $side = new ] && tool=$NEW
    from=$(date '+%Y-%m-%d %H:%M:%S')
    "$tool" build --marc "$input" --out "$WORK/$side-$name" > /dev/null 2> "$WORK/$side-$name.err" ||
      { echo "$side build of $name failed:"; cat "$WORK/$side-$name.err"; exit 1; }
    to=$(date '+%Y-%m-%d %H:%M:%S')
    "$tool" index --check "$WORK/$side-$name/katalogur.sqlite" > "$WORK/$side-$name.check" 2>&1 ||
      { echo "$side build of $name: the check of its stored index failed:"; head -5 "$WORK/$side-$name.check"; status=1; }
    for db in katalogur.sqlite skra.sqlite; do dump "$WORK/$side-$name/$db" "$from" "$to" > "$WORK/$side-$name-$db.dump"; done
  done
  for db in katalogur.sqlite skra.sqlite; do
    if cmp -s "$WORK/old-$name-$db.dump" "$WORK/new-$name-$db.dump"; then
      echo "$name $db: same rows ($(wc -l < "$WORK/new-$name-$db.dump") lines of dump)"
    else
      echo "$name $db: the rows differ:"
      diff "$WORK/old-$name-$db.dump" "$WORK/new-$name-$db.dump" | head -20
      status=1
    fi
  done
done
exit $status
