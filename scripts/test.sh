#!/usr/bin/env bash
# Builds the release and the sanitizer configuration and runs the whole test suite in both, then
# the packer's and the unpacker's tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc 2>/dev/null || echo 2)
for preset in release debug; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done
# The threads of the packer and the unpacker under ThreadSanitizer: their tests, with the
# programs they run built the same way.
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs" --target test_compress test_uncompress
TSAN_OPTIONS=halt_on_error=1 build/tsan/bin/test_compress
TSAN_OPTIONS=halt_on_error=1 build/tsan/bin/test_uncompress
