#!/usr/bin/env bash
# Cross-builds the programs and the tests for 64-bit Windows and runs the whole suite under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh windows
jobs=$(nproc 2>/dev/null || echo 2)
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"

# Each program must stand alone: nothing but the system's own libraries.
for exe in build/windows/bin/*.exe; do
  imports=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\tDLL Name: //p' | sort -u | tr '\n' ' ')
  if [ "$imports" != "KERNEL32.dll msvcrt.dll " ]; then
    echo "$exe imports: $imports" >&2
    exit 1
  fi
done

# One persistent Wine server for the whole run, or every test pays for a start.
export WINEDEBUG=-all
wineserver -p
wineboot -i >/dev/null 2>&1
trap 'wineserver -k || true' EXIT
ctest --preset windows -j "$jobs"

# The Windows programs as a zip, for those who do not build them.
(cd build/windows && cpack -G ZIP >/dev/null)
ls build/windows/packages/*.zip
