#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, if any is missing.
set -euo pipefail
# With the argument "windows": also the cross compiler, zlib for it, and Wine to run the result.
needed=(cmake g++ make zlib1g-dev libgtest-dev man-db groff-base python3 libtinygltf-dev
  nlohmann-json3-dev)
if [ "${1:-}" = windows ]; then
  needed+=(g++-mingw-w64-x86-64-posix libz-mingw-w64-dev binutils-mingw-w64-x86-64 wine wine64 googletest tmux locales)
fi
# With the argument "fuzz": clang and its runtime libraries, libFuzzer and the sanitizers among them.
if [ "${1:-}" = fuzz ]; then
  needed+=(clang libclang-rt-dev)
fi
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
