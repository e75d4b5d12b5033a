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

# One persistent Wine server for the whole run, or every test pays for a start. Wine reads this
# system's file names in the locale's character set: a UTF-8 one keeps non-ASCII names intact.
export WINEDEBUG=-all LC_ALL=C.UTF-8
wineserver -p 2>/dev/null || true # one may be running already
wineboot -i >/dev/null 2>&1
# Drive Q: is an empty folder of its own, for the tests of a drive's root, and the share
# \\qzhost\share another, for the tests of UNC paths.
devices="${WINEPREFIX:-$HOME/.wine}/dosdevices"
mkdir -p build/windows/test-drive build/windows/test-share "$devices/unc/qzhost"
ln -sfn "$PWD/build/windows/test-drive" "$devices/q:"
ln -sfn "$PWD/build/windows/test-share" "$devices/unc/qzhost/share"
trap 'rm -rf "$devices/q:" "$devices/unc/qzhost"; wineserver -k || true' EXIT
suite() { QZ_TEST_DRIVE=Q: QZ_TEST_SHARE='\\qzhost\share' ctest --preset windows "$@"; }
if ! suite -j "$jobs"; then
  # Now and then Wine fails to start a program: the test fails at once and prints nothing, not
  # even the test framework's first line. Such tests run once more; a failure that printed
  # anything, or a second one, fails the run.
  tmp=build/windows/Testing/Temporary
  silent=$(awk '/^[0-9]+\/[0-9]+ Test: / { name = $3 }
               /^Output:$/ { getline; getline; if ($0 == "<end of output>") print name }' \
             "$tmp/LastTest.log" | sort)
  failed=$(cut -d: -f2- "$tmp/LastTestsFailed.log" | sort)
  [ -n "$failed" ] && [ -z "$(comm -23 <(echo "$failed") <(echo "$silent"))" ] || exit 1
  echo "Wine started these tests without output; once more:" $failed >&2
  suite --rerun-failed
fi

# The Linux and the Windows programs side by side: the same names stored, each unpacking the
# other's archives. The Linux build is scripts/test.sh's; it is brought up to date (or made) here.
# The Japanese and Chinese locales, for Wine's code pages 932 and 936, are made in the build tree:
# nothing of the system's changes.
locales=build/windows/locales
mkdir -p "$locales"
for l in ja_JP zh_CN; do
  [ -d "$locales/$l.UTF-8" ] || localedef -i "$l" -f UTF-8 "$locales/$l.UTF-8"
done
cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs" --target test_compress qz_compress qz_uncompress
log=build/windows/cross-build.log
QZ_WINDOWS_BIN="$PWD/build/windows/bin" QZ_TEST_LOCPATH="$PWD/$locales" build/release/bin/test_compress \
  --gtest_filter='CrossBuild.*' | tee "$log"
# A test that skips or a filter that matches nothing passes unseen otherwise.
if grep -q '^\[  SKIPPED \]' "$log" || ! grep -Eq '^\[  PASSED  \] [1-9][0-9]* tests?\.' "$log"; then
  echo "the cross-build tests did not all run" >&2
  exit 1
fi

# The Windows programs as a zip, for those who do not build them.
(cd build/windows && cpack -G ZIP >/dev/null)
ls build/windows/packages/*.zip
