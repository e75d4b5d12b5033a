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
# The threads of the packer and the unpacker under ThreadSanitizer: their tests (the test preset
# picks them by their suites' labels), with the programs they run built the same way. A report
# ends the program it comes from with a status of its own (halt_on_error), which fails its test;
# nothing waits at the end of a program (atexit_sleep_ms, a second by default, which the hundreds
# of programs the tests start added up to minutes). Both are set in the test preset.
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs" --target test_compress test_uncompress
ctest --preset tsan -j "$jobs"
