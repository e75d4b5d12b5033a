#!/usr/bin/env bash
# Measures qz_compress, qz_uncompress and qz_import next to the least work their job takes and
# next to the tools a user would pick instead, side by side in one run, and prints the tables of
# bench/README.md (also written to $QZ_BENCH_DIR/report.md).
#
#   bench/run.sh            the full run, a few minutes
#   bench/run.sh --quick    small inputs and one round: checks that everything works
#
# Environment: QZ_BENCH_DIR (inputs, archives and extractions; default /dev/shm/qz-bench, else
# /tmp/qz-bench; about 2.6 GB), QZ_BENCH_BUILD (default build/bench).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

quick=0
[ "${1:-}" = --quick ] && quick=1

# ---- Tools: the build's, the baselines', and the programs of this folder ----
needed=(cmake g++ make zlib1g-dev libtinyobjloader-dev tar gzip zip unzip pigz)
missing=()
for p in "${needed[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

build=${QZ_BENCH_BUILD:-$root/build/bench}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQZ_BUILD_BENCH=ON -DQZ_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j1 --target qz_compress qz_uncompress qz_import qzb_run qzb_gen \
  qzb_deflate qzb_inflate qzb_tinyobj >/dev/null
bin=$build/bin

# ---- Inputs, made once per work folder ----
# A memory file system keeps the disk out of the comparison. On ext4, a tree deleted and made
# again and again also slows every new file down: the inode allocator steps over recently freed
# inodes, and that would dominate the unpackers' times.
if [ -n "${QZ_BENCH_DIR:-}" ]; then
  work=$QZ_BENCH_DIR
elif [ -d /dev/shm ] && [ "$(df -Pk /dev/shm | awk 'NR==2 {print $4}')" -gt 3000000 ]; then
  work=/dev/shm/qz-bench
else
  work=/tmp/qz-bench
fi
[ $quick = 1 ] && work=$work-quick
mkdir -p "$work"
work=$(cd "$work" && pwd)
if [ $quick = 1 ]; then
  nfiles=500 mib=16 reps=1 big_reps=1 import_reps=1 sizes="1000 4096" material_sizes="512 1000"
  large_sizes="32768 100000" large_reps=1
else
  nfiles=5000 mib=200 reps=5 big_reps=3 import_reps=25 sizes="1000 4096 8192 16384 32768"
  material_sizes="2048 16384" large_sizes="32768 1000000 4000000" large_reps=5
fi
large_last=${large_sizes##* }
if [ ! -e "$work/in/.complete" ] || [ ! -e "$work/in/models/smooth-${sizes%% *}" ] ||
  [ ! -e "$work/in/models/large-$large_last/g.glb" ]; then
  echo "making the inputs in $work/in ..." >&2
  rm -rf "$work/in"
  mkdir -p "$work/in/big" "$work/in/models"
  "$bin/qzb_gen" tree "$work/in/tree" "$nfiles"
  "$bin/qzb_gen" mixed "$work/in/big/mixed.bin" "$mib"
  # The headers as plain files: every tool then packs the same bytes (tar and zip would store
  # or follow the links each in its own way).
  cp -rL /usr/include "$work/in/usrinclude" 2>/dev/null || true # a dangling link is left out
  for n in $sizes; do
    for kind in shared distinct smooth; do
      mkdir -p "$work/in/models/$kind-$n"
      "$bin/qzb_gen" obj "$work/in/models/$kind-$n/m.obj" "$n" "$kind"
    done
  done
  for n in $material_sizes; do
    mkdir -p "$work/in/models/materials-$n"
    "$bin/qzb_gen" obj "$work/in/models/materials-$n/m.obj" "$n" materials
  done
  for n in $large_sizes; do
    mkdir -p "$work/in/models/large-$n"
    "$bin/qzb_gen" obj "$work/in/models/large-$n/m.obj" "$n" large
    "$bin/qzb_gen" glb "$work/in/models/large-$n/g.glb" "$n"
  done
  touch "$work/in/.complete"
fi
rm -rf "$work/out" "$work/x"
mkdir -p "$work/out" "$work/x"

# ---- Helpers ----
# Runs qzb_run and keeps its lines (name median fastest cpu maxrss_kib) in $result.
result=""
measure() {
  result=$("$bin/qzb_run" "$@")
}
field() { # field NAME COLUMN: from $result
  awk -v n="$1" -v c="$2" '$1 == n {print $c}' <<<"$result"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
mb_per_s() { awk -v bytes="$1" -v s="$2" 'BEGIN {printf "%.1f", bytes / s / 1e6}'; }
mib() { awk -v k="$1" 'BEGIN {printf "%.1f", k / 1024}'; }
secs() { awk -v s="$1" 'BEGIN {printf (s < 1 ? "%.4f" : "%.3f"), s}'; }
bytes_of() { find "$1" -type f -printf '%s\n' | awk '{s += $1} END {printf "%d", s}'; }

report=$work/report.md
: >"$report"
out() { printf '%s\n' "$*" | tee -a "$report"; }

out "## Machine"
out ""
out "- CPU: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(nproc) cores"
out "- memory: $(free -g | awk '/^Mem:/ {print $2}') GiB; work folder: $(df -PT "$work" | awk 'NR==2 {print $2}') ($work)"
out "- $(uname -sr); zlib $(dpkg-query -W -f='${Version}' zlib1g); $(tar --version | head -1);" \
  "$(gzip --version | head -1); $(zip -v | sed -n 2p | sed 's/^ *//;s/ by .*//'); $(unzip -v | head -1 | sed 's/ by .*//')"
out "- load average when the run started: $(cut -d' ' -f1-3 /proc/loadavg)"
out ""

# ---- qz_compress ----
# Thread counts: one, two and the machine's cores (the default).
cores=$(nproc)
threads="1 2"
[ "$cores" -gt 2 ] && threads="$threads $cores"
out "## qz_compress"
out ""
out "Medians of $reps rounds ($big_reps for the 200 MiB file); the tools take turns within each round."
out "limit: zlib's deflate of the same files at the same level through the same 16 KiB buffers, written"
out "one stream after the other (qzb_deflate): the single-core limit. -j N: N threads. pigz: tar"
out "-I pigz, every core on one stream. Targets: -j 1 at most 1.05 x limit and at most 1.00 x tar -czf;"
out "-j 2 at most 0.60 x limit on the trees and faster than pigz; memory at most 64 MiB + 4 MiB x N."
out ""
out "| input | tool | seconds | MB/s | peak MiB | / limit | / tar | / pigz |"
out "|---|---|---:|---:|---:|---:|---:|---:|"
for input in tree usrinclude big; do
  case $input in
    tree) label="$nfiles small files" r=$reps ;;
    usrinclude) label="/usr/include" r=$reps ;;
    big) label="one $mib MiB file" r=$big_reps ;;
  esac
  bytes=$(bytes_of "$work/in/$input")
  runs=()
  for n in $threads; do
    runs+=("qz_compress-j$n" "$work/in" "rm -f ../out/$input.qz"
      "$bin/qz_compress -j $n $input ../out/$input.qz")
  done
  measure -w 1 "$r" "${runs[@]}" \
    limit "$work/in" - "$bin/qzb_deflate $input ../out/$input.raw" \
    tar "$work/in" "rm -f ../out/$input.tgz" "tar -czf ../out/$input.tgz $input" \
    pigz "$work/in" "rm -f ../out/$input.pigz.tgz" "tar -I pigz -cf ../out/$input.pigz.tgz $input" \
    zip "$work/in" "rm -f ../out/$input.zip" "zip -qr ../out/$input.zip $input"
  limit=$(field limit 2) tar=$(field tar 2) pigz=$(field pigz 2)
  for tool in $(for n in $threads; do echo "qz_compress-j$n"; done) limit tar pigz zip; do
    t=$(field "$tool" 2)
    out "| $label, $(mb_per_s "$bytes" 1) MB | ${tool/-j/ -j } | $(secs "$t") |" \
      "$(mb_per_s "$bytes" "$t") | $(mib "$(field "$tool" 5)") | $(ratio "$t" "$limit") |" \
      "$(ratio "$t" "$tar") | $(ratio "$t" "$pigz") |"
  done
done
out ""

# ---- qz_compress -u ----
# Copies of the inputs that the runs may change: /usr/include with one header grown by a line, and
# the 200 MiB file beside a small file that changes. old.qz: the archive before the change;
# now.qz: after it, for the run with nothing changed.
upd=$work/upd
rm -rf "$upd"
mkdir -p "$upd/big"
cp -r "$work/in/usrinclude" "$upd/usrinclude"
cp "$work/in/big/mixed.bin" "$upd/big/mixed.bin"
echo "small file" >"$upd/big/small.txt"
for tree in usrinclude big; do
  (cd "$upd" && "$bin/qz_compress" -q "$tree" "$tree.old.qz" >/dev/null)
done
changed=$(cd "$upd/usrinclude" && find . -type f -name '*.h' | sort | sed -n 1p) # reads all: no broken pipe
echo "/* changed */" >>"$upd/usrinclude/$changed"
echo "small file, changed" >"$upd/big/small.txt"
for tree in usrinclude big; do
  (cd "$upd" && "$bin/qz_compress" -q "$tree" "$tree.now.qz" >/dev/null)
done
out "## qz_compress -u"
out ""
out "Medians of $reps rounds, side by side, every core (-j $cores). full: a pack of the tree as it"
out "is; -u, one changed: over the archive of the tree before one file changed; -u, none changed:"
out "over the archive of the tree as it is. Targets: on /usr/include at most 0.20 x full with one"
out "file changed and 0.15 x with none; the 200 MiB file unchanged beside a changed small file at"
out "most 0.15 x full."
out ""
out "| tree | run | seconds | peak MiB | / full |"
out "|---|---|---:|---:|---:|"
for tree in usrinclude big; do
  case $tree in
    usrinclude) label="/usr/include" ;;
    big) label="$mib MiB file + a small one" ;;
  esac
  measure -w 1 "$reps" \
    full "$upd" "rm -f $tree.full.qz" "$bin/qz_compress -q $tree $tree.full.qz" \
    one "$upd" "cp $tree.old.qz $tree.u.qz" "$bin/qz_compress -q -u $tree $tree.u.qz" \
    none "$upd" "cp $tree.now.qz $tree.u.qz" "$bin/qz_compress -q -u $tree $tree.u.qz"
  cmp -s "$upd/$tree.u.qz" "$upd/$tree.full.qz" || echo "qz_compress -u: $tree differs from a full pack" >&2
  full=$(field full 2)
  for run in full one none; do
    case $run in
      full) what="full pack" ;;
      one) what="-u, one changed" ;;
      none) what="-u, none changed" ;;
    esac
    out "| $label | $what | $(secs "$(field $run 2)") | $(mib "$(field $run 5)") |" \
      "$(ratio "$(field $run 2)" "$full") |"
  done
done
rm -rf "$upd"
out ""

# ---- qz_uncompress ----
out "## qz_uncompress"
out ""
out "The archives just written. limit: zlib's inflate of the same streams through 64 KiB buffers,"
out "each piece written to its file as it comes (qzb_inflate), on one core. Targets: -j 1 at most"
out "1.10 x limit and at most 1.00 x tar -xzf; -j 2 at most 0.75 x limit on the trees; memory at most"
out "64 MiB + 4 MiB x N (the last column: peak minus the largest file's compressed plus"
out "uncompressed size, which the one-piece inflate of -j 1 used to need)."
out ""
out "| archive | tool | seconds | MB/s | peak MiB | / limit | / tar | / pigz | over one file, MiB |"
out "|---|---|---:|---:|---:|---:|---:|---:|---:|"
for input in tree usrinclude big; do
  case $input in
    tree) label="$nfiles small files" r=$reps ;;
    usrinclude) label="/usr/include" r=$reps ;;
    big) label="one $mib MiB file" r=$big_reps ;;
  esac
  x=$work/x/$input
  mkdir -p "$x"
  cp "$work/out/$input.qz" "$work/out/$input.tgz" "$work/out/$input.pigz.tgz" \
    "$work/out/$input.zip" "$x/"
  read -r pair bytes < <("$bin/qzb_inflate" --largest "$x/$input.qz")
  runs=()
  for n in $threads; do
    runs+=("qz_uncompress-j$n" "$x" "rm -rf $input" "$bin/qz_uncompress -j $n $input.qz")
  done
  measure -w 1 "$r" "${runs[@]}" \
    limit "$x" "rm -rf limit" "$bin/qzb_inflate $input.qz limit" \
    tar "$x" "rm -rf tar && mkdir tar" "tar -C tar -xzf $input.tgz" \
    pigz "$x" "rm -rf pigz && mkdir pigz" "tar -I pigz -C pigz -xf $input.pigz.tgz" \
    unzip "$x" "rm -rf unzip" "unzip -q $input.zip -d unzip"
  limit=$(field limit 2) tar=$(field tar 2) pigz=$(field pigz 2)
  for tool in $(for n in $threads; do echo "qz_uncompress-j$n"; done) limit tar pigz unzip; do
    t=$(field "$tool" 2)
    over=""
    [ "${tool%-j*}" = qz_uncompress ] && over=$(awk -v k="$(field "$tool" 5)" -v p="$pair" \
      'BEGIN {printf "%.1f", (k * 1024 - p) / 1048576}')
    out "| $label | ${tool/-j/ -j } | $(secs "$t") | $(mb_per_s "$bytes" "$t") |" \
      "$(mib "$(field "$tool" 5)") | $(ratio "$t" "$limit") | $(ratio "$t" "$tar") |" \
      "$(ratio "$t" "$pigz") | $over |"
  done
  rm -rf "$x"
done
out ""

# ---- qz_import ----
out "## qz_import"
out ""
out "Medians of $import_reps rounds. Generated models: \"shared\" is a grid whose corners are shared by"
out "up to six triangles; \"distinct\" has no two corners alike (98,304 vertex entries at 32,768"
out "triangles). One material per 4,096 triangles, except in \"materials\": the shared grid with a"
out "material of its own for every triangle (and as many material files to write); \"smooth\": the"
out "shared grid without normals, in one smoothing group, so that qz_import makes them. tinyobj:"
out "tinyobjloader's LoadObj of the same files (qzb_tinyobj). qz_import also writes the object and"
out "material files. Targets: at 32,768 distinct triangles no slower than tinyobj, time growing"
out "linearly with the model, and making the normals at most 1.30 x the time of the same model with"
out "them (smooth / shared)."
out ""
out "| model | triangles | OBJ MB | qz_import s | tinyobj s | qz / tinyobj | qz us per triangle | qz peak MiB | tinyobj peak MiB |"
out "|---|---:|---:|---:|---:|---:|---:|---:|---:|"
declare -A qz_time tiny_time normals_ratio
for kind in shared distinct smooth materials; do
  list=$sizes
  [ $kind = materials ] && list=$material_sizes
  for n in $list; do
    m=$work/in/models/$kind-$n
    # The model without normals is measured side by side with the same one with them.
    given=()
    [ $kind = smooth ] && given=(given "$work/in/models/shared-$n" "rm -f m.object *.material_new"
      "$bin/qz_import m.obj")
    measure -w 1 "$import_reps" \
      qz_import "$m" "rm -f m.object *.material_new" "$bin/qz_import m.obj" \
      tinyobj "$m" - "$bin/qzb_tinyobj m.obj" "${given[@]}"
    q=$(field qz_import 2) t=$(field tinyobj 2)
    [ $kind = smooth ] && normals_ratio[$n]=$(ratio "$q" "$(field given 2)")
    qz_time[$kind-$n]=$q
    tiny_time[$kind-$n]=$t
    out "| $kind | $n | $(mb_per_s "$(stat -c %s "$m/m.obj")" 1) | $(secs "$q") | $(secs "$t") |" \
      "$(ratio "$q" "$t") | $(awk -v s="$q" -v n="$n" 'BEGIN {printf "%.2f", s / n * 1e6}') |" \
      "$(mib "$(field qz_import 5)") | $(mib "$(field tinyobj 5)") |"
  done
done
out ""
first=${sizes%% *} last=${sizes##* }
[ $quick = 0 ] && first=4096
out "Scaling from $first to $last triangles ($(ratio "$last" "$first") x the model; linear"
out "growth is at most that, less where a fixed cost such as starting the process counts):"
out ""
for kind in shared distinct; do
  out "- $kind: qz_import $(ratio "${qz_time[$kind-$last]}" "${qz_time[$kind-$first]}") x," \
    "tinyobj $(ratio "${tiny_time[$kind-$last]}" "${tiny_time[$kind-$first]}") x"
done
first=${material_sizes%% *} last=${material_sizes##* }
out "- materials, from $first to $last triangles and materials ($(ratio "$last" "$first") x):" \
  "qz_import $(ratio "${qz_time[materials-$last]}" "${qz_time[materials-$first]}") x," \
  "tinyobj $(ratio "${tiny_time[materials-$last]}" "${tiny_time[materials-$first]}") x"
out ""
out "Normals made: the smooth model against the shared one of the same size with its normals,"
out "measured side by side (target at most 1.30 x):"
out ""
for n in $sizes; do
  out "- $n triangles: ${normals_ratio[$n]} x"
done
out ""
out "### Large models"
out ""
out "Medians of $large_reps rounds. \"large\": the shared grid with half as many of each of v, vt and vn"
out "as triangles and four materials, as a scanned or sculpted model is (1,000,000 triangles: 100 MB"
out "of OBJ). Targets: at 1,000,000 triangles at most tinyobj's time, and at most 1.5 x its peak"
out "memory; time and memory growing linearly."
out ""
out "| triangles | OBJ MB | qz_import s | tinyobj s | qz / tinyobj | qz ns per triangle | qz peak MiB | tinyobj peak MiB | qz / tinyobj peak |"
out "|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
# The OBJ, tinyobj and the same model as .glb side by side, for both tables.
declare -A large_results
for n in $large_sizes; do
  m=$work/in/models/large-$n
  measure -w 1 "$large_reps" \
    qz_import "$m" "rm -f m.object *.material_new" "$bin/qz_import m.obj" \
    tinyobj "$m" - "$bin/qzb_tinyobj m.obj" \
    glb "$m" "rm -f g.object *.material_new" "$bin/qz_import g.glb"
  large_results[$n]=$result
done
for n in $large_sizes; do
  m=$work/in/models/large-$n result=${large_results[$n]}
  q=$(field qz_import 2) t=$(field tinyobj 2)
  qm=$(field qz_import 5) tm=$(field tinyobj 5)
  out "| $n | $(mb_per_s "$(stat -c %s "$m/m.obj")" 1) | $(secs "$q") | $(secs "$t") |" \
    "$(ratio "$q" "$t") | $(awk -v s="$q" -v n="$n" 'BEGIN {printf "%.0f", s / n * 1e9}') |" \
    "$(mib "$qm") | $(mib "$tm") | $(ratio "$qm" "$tm") |"
done
out ""
out "The same models as binary glTF (qzb_gen glb: the same grid, floats and 32-bit indices, one"
out "primitive per material sharing the attributes), side by side with the OBJ. Target: at"
out "1,000,000 triangles no slower than the OBJ."
out ""
out "| triangles | .glb MB | OBJ s | .glb s | glb / OBJ | OBJ peak MiB | .glb peak MiB |"
out "|---:|---:|---:|---:|---:|---:|---:|"
for n in $large_sizes; do
  m=$work/in/models/large-$n result=${large_results[$n]}
  o=$(field qz_import 2) g=$(field glb 2)
  out "| $n | $(mb_per_s "$(stat -c %s "$m/g.glb")" 1) | $(secs "$o") | $(secs "$g") |" \
    "$(ratio "$g" "$o") | $(mib "$(field qz_import 5)") | $(mib "$(field glb 5)") |"
done
echo "" >&2
echo "report: $report" >&2
