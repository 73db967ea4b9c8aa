#!/bin/sh
# Installs Kvistur into a fresh prefix, builds the tiny host outside the
# tree against it (CMake package, shared and static; pkg-config), runs each
# against the sample catalogue, reads the installed manual page with man,
# serves the catalogue with kvistur web from the installed templates,
# and makes the Debian package and checks the runtime dependencies it
# declares and that it holds the manual page and the web's templates.
#   check_install.sh SOURCE_DIR BUILD_DIR
set -eu
src=$1 build=$2
work=$(mktemp -d /tmp/kvistur-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
"$prefix/bin/kvistur" --version
# man kvistur finds the installed page, and kvistur help points at the
# installed documentation.
MANPATH="$prefix/share/man" MANWIDTH=100 man kvistur >"$work/man.txt"
grep -q "kvistur search TEXT" "$work/man.txt" || { echo "man kvistur: no search command" >&2; exit 1; }
"$prefix/bin/kvistur" help search | tr '\n' ' ' | grep -q "More: man kvistur, and search.md in $prefix/share/doc/kvistur" ||
  { echo "kvistur help does not name the installed documentation" >&2; exit 1; }
"$prefix/bin/kvistur" build --marc "$src/data/sample/sample.xml" --out "$work/cat" >/dev/null
export LINDRIT_SETTINGS="$work/cat/lindrit-1.0.ini" KVISTUR_LOG="$work/melding.txt"
libdir=$(dirname "$(find "$prefix" -name 'libkvistur.so.1' | head -1)")
export LD_LIBRARY_PATH="$libdir"

cmake -S "$src/tests/install" -B "$work/host" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/host" >/dev/null
export PKG_CONFIG_PATH="$libdir/pkgconfig"
c++ -std=c++20 -o "$work/host_pc" "$src/tests/install/host.cpp" $(pkg-config --cflags --libs kvistur)
c++ -std=c++20 -static-libstdc++ -o "$work/host_pc_static" "$src/tests/install/host.cpp" \
  $(pkg-config --cflags --static kvistur) "$libdir/libkvistur.a" $(pkg-config --libs --static kvistur | sed 's/-lkvistur//')
expected=$("$prefix/bin/kvistur" search saga --max 3 | cut -f1 | tr '\n' ' ')
for host in "$work/host/host" "$work/host/host_static" "$work/host_pc" "$work/host_pc_static"; do
  out=$("$host" saga)
  echo "$out" | head -1
  got=$(echo "$out" | tail -n +2 | cut -d' ' -f1 | tr '\n' ' ')
  [ "$got" = "$expected" ] || { echo "$host: records $got, expected $expected" >&2; exit 1; }
done
ldd "$work/host/host" | grep -q "libkvistur.so.1 => $libdir" || { echo "host does not use the installed library" >&2; exit 1; }

# kvistur web serves its pages from the templates installed beside it, and a
# stop ends it with 0.
port=$(node -e "const s = require('net').createServer().listen(0, '127.0.0.1', () => { console.log(s.address().port); s.close(); })")
"$prefix/bin/kvistur" web "127.0.0.1:$port" --access-log /dev/null 2>"$work/web.err" &
web=$!
for i in $(seq 100); do curl -sf "http://127.0.0.1:$port/" -o "$work/web.html" && break; sleep 0.1; done
kill $web
wait $web || { echo "kvistur web did not end with 0 on SIGTERM" >&2; exit 1; }
grep -q "templates $prefix/share/kvistur/web)" "$work/web.err" ||
  { echo "kvistur web: not the installed templates: $(cat "$work/web.err")" >&2; exit 1; }
grep -q '<input id="q"' "$work/web.html" || { echo "kvistur web: no search form at /" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null)
deb=$(ls "$work"/deb/*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for lib in libicu libsqlite3 libpq5 libsodium libmicrohttpd libstdc++ libc6; do
  echo "$depends" | grep -q "$lib" || { echo "the package does not declare $lib" >&2; exit 1; }
done
dpkg-deb -c "$deb" >"$work/contents"
grep -q "usr/lib.*/cmake/Kvistur/KvisturConfig.cmake" "$work/contents"
grep -q "usr/include/kvistur/faersla.h" "$work/contents"
grep -q "usr/share/man/man1/kvistur.1.gz" "$work/contents"
grep -q "usr/share/kvistur/web/templates/layout.mustache" "$work/contents"
echo "installed package checked"
