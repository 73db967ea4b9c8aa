#!/bin/sh
# Writes a configuration for Debian's Zebra (package idzebra-2.0) into DIR,
# made from the package's own files, that indexes a catalogue's MARC
# records (ISO 2709 in UTF-8, as `kvistur generate --marc` writes them) the
# way Kvistur's word index does: the same fields and subfields under the same
# search fields, each of them also under Any (Bib-1 1016), words split and
# put in lower case by an ICU chain for Icelandic, the register in
# DIR/register.  Nothing is downloaded.
#
#   bench/zebra/configure.sh DIR
#
# Then: zebraidx -c DIR/zebra.cfg init && zebraidx -c DIR/zebra.cfg update FILE
# and zebrasrv -c DIR/zebra.cfg LISTENER; the database is "Default".
set -e
[ $# -eq 1 ] || { echo "usage: $0 DIR" >&2; exit 2; }
tab=/usr/share/idzebra-2.0/tab
for f in marc21.abs icu.idx words-icu.xml bib1.att usmarc.mar; do
  [ -f "$tab/$f" ] || { echo "$0: $tab/$f is missing: install idzebra-2.0 (scripts/deps)" >&2; exit 1; }
done
mkdir -p "$1/register"
dir=$(cd "$1" && pwd)

# The word chain: the package's own, with the Icelandic locale, and digits
# joined across a hyphen first, so that an ISBN is one word, as Kvistur
# indexes it ("978-9979-1" is 97899791).
sed -e 's/locale="en"/locale="is"/' \
    -e 's#^\( *\)<transform rule="\[:Control:\] Any-Remove"/>#\1<transliterate rule="[:Nd:] { \x27-\x27 } [:Nd:] \&gt; ;"/>\n&#' \
    "$tab/words-icu.xml" > "$dir/words-is.xml"
grep -q transliterate "$dir/words-is.xml" || { echo "$0: $tab/words-icu.xml is not as expected" >&2; exit 1; }
sed -e 's/words-icu\.xml/words-is.xml/' "$tab/icu.idx" > "$dir/catalogue.idx"

# The profile: the package's MARC 21 profile without its own indexing rules,
# and a rule for every subfield Kvistur's word index reads.
{
  grep -v -E '^(melm|all|name) ' "$tab/marc21.abs"
  echo "name catalogue"
  echo "encoding utf-8"
  while read -r tags codes use; do
    for tag in $(echo "$tags" | tr ',' ' '); do
      for code in $(echo "$codes" | sed 's/./& /g'); do
        echo "melm $tag\$$code $use,Any"
      done
    done
  done <<'EOF'
100,110,111,700,710,711 abcdq Author
245 abnp Title
245 c Author
246,740 abnp Title
773 t Title
505 t Title
505 r Author
505 a Note
600,610,611,630,650,651,655 abcdqtxyzv Subject-heading
490,440,830 anp Title-series
260,264 ab Publisher
260,264 c Identifier-standard
500,520 a Note
020,022,082,090 a Identifier-standard
EOF
} > "$dir/catalogue.abs"

cat > "$dir/zebra.cfg" <<EOF
profilePath: $dir:$tab
attset: bib1.att
index: catalogue.idx
recordType: grs.marcxml.catalogue
database: Default
encoding: UTF-8
register: $dir/register:256G
lockDir: $dir
keyTmpDir: $dir
setTmpDir: $dir
memMax: 256
EOF
