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
# programs they run built the same way. A report ends the program it comes from with a status of
# its own (halt_on_error), which fails its test; nothing waits at the end of a program
# (atexit_sleep_ms, a second by default, which the hundreds of programs the tests start added up
# to minutes). The two run one after the other: some tests interrupt a program once it has
# started writing, and a second suite on the same cores could delay that beyond the program's end.
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs" --target test_compress test_uncompress
export TSAN_OPTIONS=halt_on_error=1:atexit_sleep_ms=0
build/tsan/bin/test_compress
build/tsan/bin/test_uncompress
