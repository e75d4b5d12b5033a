#!/usr/bin/env bash
# Builds the tools and runs them on the bundled examples in a scratch folder: packs a small
# tree, unpacks it again and compares, then converts a small model.
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
echo "== everything is in $work"
