#!/usr/bin/env bash
# Peak memory of the runs that need the most of it, next to the bound the README states:
#
#   qz_uncompress, 40 entries of 33,000,000 zero bytes (each inflated in one piece) at -j 16
#   qz_uncompress, 1,000,000 empty entries, -j 1 and -j 2
#   qz_compress -j 256 on /usr/include and on four files of 50 MiB of random bytes
#
#   bench/memory.sh         about two minutes; QZ_BENCH_DIR and QZ_BENCH_BUILD as for run.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/deps.sh # the build tools, zlib and python3
build=${QZ_BENCH_BUILD:-$root/build/bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQZ_BUILD_BENCH=ON -DQZ_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target qz_compress qz_uncompress qzb_run >/dev/null
bin=$build/bin
# A memory file system: a million files on ext4 would measure its inode allocator.
if [ -n "${QZ_BENCH_DIR:-}" ]; then
  work=$QZ_BENCH_DIR/memory
elif [ -d /dev/shm ] && [ "$(df -Pk /dev/shm | awk 'NR==2 {print $4}')" -gt 3000000 ]; then
  work=/dev/shm/qz-bench-memory
else
  work=/tmp/qz-bench-memory
fi
mkdir -p "$work"
cd "$work"

if [ ! -e .complete ]; then
  rm -rf zeros empty random
  mkdir -p zeros random
  for i in $(seq 1 40); do head -c 33000000 /dev/zero >"zeros/f$i"; done
  "$bin/qz_compress" -q zeros >/dev/null
  python3 - <<'EOF'
import os, random
for d in range(1000):
    os.makedirs("empty/d%03d" % d)
for i in range(1000000):
    os.close(os.open("empty/d%03d/f%07d" % (i % 1000, i), os.O_CREAT | os.O_WRONLY, 0o644))
r = random.Random(7)
for i in range(4):
    with open("random/r%d" % i, "wb") as f:
        f.write(r.randbytes(50 << 20))
EOF
  "$bin/qz_compress" -q empty >/dev/null
  rm -rf zeros empty
  touch .complete
fi

peak() { # peak NAME DIR PREPARE COMMAND: the peak resident KiB of one run
  "$bin/qzb_run" -w 0 1 "$@" | awk '{print $5}'
}
row() { # row CASE PEAK_KIB BOUND_MIB
  awk -v c="$1" -v k="$2" -v b="$3" \
    'BEGIN {printf "| %s | %.1f | %.1f | %.2f |\n", c, k / 1024, b, k / 1024 / b}'
}

echo "| run | peak MiB | bound MiB | peak / bound |"
echo "|---|---:|---:|---:|"
# Unpacking: 64 MiB + 4 MiB per thread + 60 bytes per entry (85 with more than one thread).
k=$(peak zeros . "rm -rf zeros" "$bin/qz_uncompress -q -j 16 zeros.qz")
row "qz_uncompress -j 16, 40 entries of 33,000,000 zeros" "$k" 128
for j in 1 2; do
  per=$([ $j = 1 ] && echo 60 || echo 85)
  k=$(peak empty . "rm -rf empty" "$bin/qz_uncompress -q -j $j empty.qz")
  row "qz_uncompress -j $j, 1,000,000 empty entries" "$k" \
    "$(awk -v j=$j -v p="$per" 'BEGIN {print 64 + 4 * j + 1e6 * p / 1048576}')"
done
rm -rf zeros empty
# Packing: 64 MiB of streams made ahead + 1 MiB per thread.
k=$(peak include . "rm -f include.qz" "$bin/qz_compress -q -j 256 /usr/include include.qz")
row "qz_compress -j 256, /usr/include" "$k" 320
k=$(peak random . "rm -f random.qz" "$bin/qz_compress -q -j 256 random")
row "qz_compress -j 256, 4 files of 50 MiB of random bytes" "$k" 320
rm -f include.qz random.qz
