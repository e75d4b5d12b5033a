#!/usr/bin/env bash
# Builds the tools and runs them on the bundled examples in a scratch folder: packs a small
# tree, unpacks it again and compares, converts a small model, then shows and checks the archive
# and the object file and converts the object back to OBJ and again.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc 2>/dev/null || echo 2)" >/dev/null
bin=$PWD/build/release/bin
work=$(mktemp -d)
cp -r examples/tree examples/model "$work"
cd "$work"

echo "== pack the tree, leaving out backup files"
"$bin/qz_compress" tree --exclude '*.bak'
echo "== unpack it again (the tree itself is in the way, so it goes to tree.0)"
"$bin/qz_uncompress" tree.qz
diff -r -x '*.bak' tree tree.0 && echo "== tree.0 holds the same bytes as tree"

if [ -x "$bin/qz_import" ]; then
  echo "== convert the model"
  "$bin/qz_import" 'model\crate.obj'
  echo "== files written:"
  ls -l model/*.object model/*.material_new
fi

if [ -x "$bin/qz_info" ]; then
  echo "== look inside the archive and check it"
  "$bin/qz_info" tree.qz
  "$bin/qz_info" -c tree.qz
  if [ -f model/crate.object ]; then
    echo "== look inside the object file and check it"
    "$bin/qz_info" 'model\crate.object'
    "$bin/qz_info" -c 'model\crate.object'
    echo "== write it back as OBJ and convert that again: the same object file comes out"
    "$bin/qz_info" -x 'model\crate.object' back.obj
    mkdir again
    cp model/back.obj model/back.mtl model/back.paths model/*.tga again/
    "$bin/qz_import" 'again\back.obj' >/dev/null
    cmp model/crate.object again/back.object && echo "== again/back.object holds the same bytes"
  fi
fi
echo "== everything is in $work"
