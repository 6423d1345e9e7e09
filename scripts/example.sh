#!/usr/bin/env bash
# Installs the dependencies, builds, makes a short clip and runs the client on it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
cd build
ffmpeg -loglevel error -y -f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi \
  -i sine=frequency=440:sample_rate=48000 -t 4 -c:v libx264 -pix_fmt yuv420p -c:a aac \
  example.mp4
# Until the reader library is built, the test fake stands in for it.
[ -e libZr8Reader.so ] || cp libzr8fake.so libZr8Reader.so
./Zr8ReaderDllClient example.mp4 -brief || true
