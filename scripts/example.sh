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
rm -f zr8reader.I420
# The client exits with -1 (255) after the video mode whatever its outcome.
./Zr8ReaderDllClient example.mp4 -video -extract || true
[ -s zr8reader.I420 ] || { echo "The client wrote no pictures." >&2; exit 1; }

# Something to look at: the decoded pictures (raw I420, 1280x720) as a clip, and every 16th of
# them on one contact sheet.
raw=(-f rawvideo -pix_fmt yuv420p -video_size 1280x720 -framerate 25 -i zr8reader.I420)
ffmpeg -nostdin -loglevel error -y "${raw[@]}" -c:v libx264 -pix_fmt yuv420p example-decoded.mp4
ffmpeg -nostdin -loglevel error -y "${raw[@]}" \
  -vf "select='not(mod(n,16))',scale=320:-2,tile=4x2:padding=4:margin=4" -frames:v 1 \
  example-contact-sheet.png
echo
echo "The decoded pictures: build/zr8reader.I420 (1280x720 I420, $(($(stat -c %s zr8reader.I420) / 1382400)) frames)"
echo "  as a clip:          build/example-decoded.mp4 (ffplay build/example-decoded.mp4)"
echo "  every 16th frame:   build/example-contact-sheet.png"
