#!/usr/bin/env bash
# By hand, on a machine with an NVIDIA GPU (driver with NVDEC, and an FFmpeg built with CUDA
# hardware acceleration, as Debian's is): builds the client and the reader library, makes a clip,
# decodes it with the client in software and on the GPU (-video -extract -hardware NVIDIA), and
# compares the two frame files picture by picture (PSNR of every frame above 40 dB), then prints
# the decode rate of both runs.
#
#   scripts/gpu-check.sh [build directory, default build-gpu] [size, default 1920x1080]
#
# ZR8_GPU_KIND=INTEL or AMD checks the VA-API path on such a machine the same way.
#
# Exit status 0 when every frame passes, 1 otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=${1:-build-gpu}
size=${2:-1920x1080}
width=${size%x*}
height=${size#*x}
kind=${ZR8_GPU_KIND:-NVIDIA}
case $kind in
  NVIDIA) ready="CUDA Init OK" ;;
  INTEL) ready="QSV Init OK" ;;
  AMD) ready="AMF Init OK" ;;
  *) echo "ZR8_GPU_KIND: NVIDIA, INTEL or AMD" >&2; exit 2 ;;
esac

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DZR8_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target Zr8ReaderDllClient Zr8Reader zr8reader-detect

work=$(mktemp -d)
dmon=
trap '[ -z "$dmon" ] || kill "$dmon" 2>/dev/null || true; rm -rf "$work"' EXIT
cp "$build/Zr8ReaderDllClient" "$build/libZr8Reader.so" "$build/zr8reader-detect" "$work/"
cd "$work"

# 150 frames (the client decodes the first 128) with B-frames and two GOPs per second.
ffmpeg -loglevel error -y -f lavfi -i "testsrc2=size=${size}:rate=25" -t 6 -c:v libx264 \
  -preset fast -pix_fmt yuv420p -g 12 -bf 2 clip.mp4

echo "== Hardware the library finds"
./Zr8ReaderDllClient x -hwcheck || true

run() {  # run <name> <client options...>: the frame file and the report of one decode
  local name=$1
  shift
  rm -f zr8reader.I420
  ./Zr8ReaderDllClient clip.mp4 -video -extract "$@" >"$name.txt" 2>&1 || true
  if [ ! -s zr8reader.I420 ]; then
    echo "FAIL: the $name run wrote no frames:" >&2
    cat "$name.txt" >&2
    exit 1
  fi
  mv zr8reader.I420 "$name.I420"
}

run software
# The GPU's decoder load while the hardware run goes on (informational).
if [ "$kind" = NVIDIA ] && command -v nvidia-smi >/dev/null; then
  nvidia-smi dmon -s u -d 1 >dmon.txt 2>/dev/null &
  dmon=$!
fi
run hardware -hardware "$kind"
if [ -n "$dmon" ]; then
  sleep 1
  kill "$dmon" 2>/dev/null || true
  dmon=
fi

if ! grep -q "$ready" hardware.txt; then
  echo "FAIL: the $kind set-up failed:" >&2
  head -20 hardware.txt >&2
  exit 1
fi
grep -A1 "$ready" hardware.txt || true

if [ "$(stat -c %s software.I420)" != "$(stat -c %s hardware.I420)" ]; then
  echo "FAIL: the runs wrote different amounts: $(stat -c %s software.I420) and" \
    "$(stat -c %s hardware.I420) bytes" >&2
  exit 1
fi
frames=$(($(stat -c %s software.I420) / (width * height + 2 * ((width + 1) / 2) * ((height + 1) / 2))))

ffmpeg -loglevel error -f rawvideo -pix_fmt yuv420p -s "$size" -i hardware.I420 \
  -f rawvideo -pix_fmt yuv420p -s "$size" -i software.I420 \
  -lavfi "[0:v][1:v]psnr=stats_file=psnr.log" -f null -
# Each line: n:<frame> mse_avg:... psnr_avg:<dB or inf> ...; "inf" for identical frames.
awk '{ for (i = 1; i <= NF; ++i) if ($i ~ /^psnr_avg:/) { split($i, v, ":"); print $1, v[2] } }' \
  psnr.log >frames.txt
failed=$(awk '$2 != "inf" && $2 + 0 <= 40' frames.txt | wc -l)
lowest=$(awk '$2 != "inf" && (min == "" || $2 + 0 < min) { min = $2 + 0 }
  END { print (min == "" ? "inf (identical)" : min " dB") }' frames.txt)
compared=$(wc -l <psnr.log)

echo "== Frames: $frames, compared: $compared, lowest PSNR: $lowest"
if cmp -s software.I420 hardware.I420; then echo "The frame files are identical."; fi
if [ -s dmon.txt ]; then
  echo "== GPU decoder load during the hardware run (nvidia-smi dmon, % per second):"
  awk '/^#/ && /dec/ { for (i = 1; i <= NF; ++i) if ($i == "dec") col = i - 1 }
       !/^#/ && col { printf "%s ", $col } END { print "" }' dmon.txt
fi
echo "== Decode rate"
printf '%-9s %s\n' "software:" "$(grep -h 'Frames per second' software.txt)"
printf '%-9s %s\n' "$kind:" "$(grep -h 'Frames per second' hardware.txt)"

if [ "$failed" != "0" ] || [ "$compared" != "$frames" ]; then
  echo "FAIL: $failed frame(s) at or below 40 dB" >&2
  awk '$2 != "inf" && $2 + 0 <= 40' frames.txt | head >&2
  exit 1
fi
echo "PASS"
cd "$root"
