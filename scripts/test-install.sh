#!/usr/bin/env bash
# Installs into a staging folder, builds a small consumer project against the installed CMake
# package, runs the installed programs on the bundled example and builds the .deb.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
top=$PWD
# The release build of the test run serves; it is made here when it is missing.
build=$top/build/release
stage=$top/build/stage
rm -rf "$stage"
cmake --preset release >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
DESTDIR=$stage cmake --install "$build" --prefix /usr >/dev/null

echo "== a consumer project builds against the installed package"
cmake -S tests/install/consumer -B "$build/consumer" -DCMAKE_PREFIX_PATH="$stage/usr" >/dev/null
cmake --build "$build/consumer" >/dev/null
"$build/consumer/qz_consumer" "$build/consumer/sample.object"

echo "== the installed programs pack and unpack the example tree"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r examples/tree "$work/tree"
(cd "$work" && "$stage/usr/bin/qz_compress" tree >/dev/null && "$stage/usr/bin/qz_uncompress" tree.qz >/dev/null)
diff -r "$work/tree" "$work/tree.0"

echo "== the .deb"
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/packages/*.deb | tail -n 1)
dpkg-deb --info "$deb" | sed -n 's/^ \(Package\|Version\|Depends\):/\1:/p'
dpkg-deb --contents "$deb" | awk '{print $6}'
