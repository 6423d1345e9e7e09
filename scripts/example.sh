#!/usr/bin/env bash
# Installs the dependencies, builds, makes a short clip and runs the client's timed video decode on
# it with the reader library built beside the client.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
cd build
ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=size=1280x720:rate=25 -f lavfi \
  -i sine=frequency=440:sample_rate=48000 -t 8 -c:v libx264 -pix_fmt yuv420p -bf 2 -c:a aac \
  example.mp4
# The client exits with -1 (255) after the video mode whatever its outcome.
./Zr8ReaderDllClient example.mp4 -video -extract || true
echo "The decoded pictures are in build/zr8reader.I420 (1280x720 I420)."
