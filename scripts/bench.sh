#!/usr/bin/env bash
# Installs the peers the benchmark compares against (Debian's PyAV and OpenCV for Python, and
# ffms2's indexer for the long files), builds, and runs the benchmark:
# bash scripts/bench.sh [work directory] [--runs N] [--only ...]
# The media are made in the work directory (default /tmp/zr8bench) on the first run and kept.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

packages=(python3-av python3-opencv ffmsindex)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

[ -f build/CMakeCache.txt ] || cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2 --target zr8_bench
./build/zr8_bench "$@"
