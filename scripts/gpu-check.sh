#!/usr/bin/env bash
# Proves that the reader library decodes on the GPU, on a machine with an NVIDIA GPU (a driver with
# NVDEC and NVML; Debian's FFmpeg has CUDA hardware acceleration). For 1080p H.264 and HEVC (8-bit),
# in order and in a shuffled order, it decodes each clip in software and on the GPU with
# zr8reader-gpucheck and fails unless
#   - the stream's decode preferences report the GPU from its open to its last frame,
#   - the GPU's video decoder shows load during the GPU run (NVML, else nvidia-smi dmon), and
#   - the GPU's pictures are byte-identical to the software's (these codings are bit-exact).
# A software fall-back therefore fails the check. It prints frames per second of every run.
#
#   scripts/gpu-check.sh [build directory, default build-gpu] [size, default 1920x1080]
#
# The build directory is used as it is when it holds zr8reader-gpucheck and libZr8Reader.so (a
# build carried from another machine of the same system); otherwise it is built here, which needs
# cmake, g++, pkg-config and FFmpeg's development packages. The clips are made with the ffmpeg
# tool, or taken from $ZR8_GPU_CLIPS (h264.mp4 and hevc.mp4) when it is set. No network is used.
# ZR8_GPU_KIND=INTEL or AMD decodes through VA-API instead (no load probe there: the decode
# preferences and the byte comparison decide).
#
# Exit status: 0 pass, 1 fail, 2 the machine lacks what the check needs (it says what).
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-gpu}
size=${2:-1920x1080}
kind=${ZR8_GPU_KIND:-NVIDIA}
case $kind in NVIDIA | INTEL | AMD) ;; *) echo "ZR8_GPU_KIND: NVIDIA, INTEL or AMD" >&2; exit 2 ;; esac

need() {  # need <what> <why>: report a missing requirement
  echo "MISSING: $1 ($2)" >&2
  missing=1
}
missing=0
if [ ! -x "$build/zr8reader-gpucheck" ] || [ ! -e "$build/libZr8Reader.so" ]; then
  for tool in cmake g++ pkg-config; do
    command -v $tool >/dev/null || need "$tool" "to build $build; or carry a built $build here"
  done
  if command -v pkg-config >/dev/null; then
    for lib in libavformat libavcodec libavutil libswscale libswresample OpenCL; do
      pkg-config --exists $lib || need "$lib development files" "Debian: libavcodec-dev etc., ocl-icd-opencl-dev"
    done
  fi
  [ $missing = 0 ] || exit 2
  # A directory CMake already configured (the test build running this as a test) is built as it
  # stands; only a new one is configured here.
  if [ ! -e "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DZR8_BUILD_TESTS=OFF -DZR8_BUILD_BENCH=OFF \
      >"$build.configure.log" 2>&1 || { cat "$build.configure.log" >&2; exit 1; }
  fi
  cmake --build "$build" -j"$(nproc)" --target zr8reader-gpucheck Zr8Reader zr8reader-detect ||
    exit 1
fi
check=$(cd "$build" && pwd)/zr8reader-gpucheck
if ldd "$check" "$(dirname "$check")/libZr8Reader.so" | grep -q "not found"; then
  need "run-time libraries" "$(ldd "$check" "$(dirname "$check")/libZr8Reader.so" |
    awk '/not found/ { print $1 }' | sort -u | tr '\n' ' ')"
fi
if [ "$kind" = NVIDIA ]; then
  for library in $("$check" --needs); do need "$library" "the NVIDIA driver's CUDA and NVDEC"; done
  ldconfig -p 2>/dev/null | grep -q "libnvidia-ml.so.1" || command -v nvidia-smi >/dev/null ||
    need "libnvidia-ml.so.1 or nvidia-smi" "to see the decoder's load"
fi
clips=${ZR8_GPU_CLIPS:-}
[ -n "$clips" ] || command -v ffmpeg >/dev/null || need "ffmpeg" "to make the clips; or set ZR8_GPU_CLIPS"
[ $missing = 0 ] || exit 2

work=$(mktemp -d)
dmon=
trap '[ -z "$dmon" ] || kill "$dmon" 2>/dev/null; rm -rf "$work"' EXIT
if [ -z "$clips" ]; then
  clips=$work
  # 10 s at 25 frames per second, B-frames, two GOPs a second.
  ffmpeg -loglevel error -y -f lavfi -i "testsrc2=size=${size}:rate=25" -t 10 -pix_fmt yuv420p \
    -c:v libx264 -preset fast -g 12 -bf 2 "$clips/h264.mp4" &&
    ffmpeg -loglevel error -y -f lavfi -i "testsrc2=size=${size}:rate=25" -t 10 -pix_fmt yuv420p \
      -c:v libx265 -preset fast -x265-params log-level=error:keyint=12:bframes=2 -tag:v hvc1 \
      "$clips/hevc.mp4" || { echo "FAIL: the clips could not be made" >&2; exit 1; }
fi

value() { awk -v key="$1:" '$1 == key { print $2 }' "$2"; }  # value <key> <report>
echo "== $kind check, $size"
failed=0
table="codec  order       software fps  $kind fps  decoder load"
for codec in h264 hevc; do
  for order in sequential random; do
    run="$codec $order"
    "$check" "$clips/$codec.mp4" NONE "$order" "$work/sw.yuv" >"$work/sw.txt" ||
      { echo "FAIL: $run: the software decode failed" >&2; exit 1; }
    if [ "$kind" = NVIDIA ] && command -v nvidia-smi >/dev/null; then
      nvidia-smi dmon -s u -d 1 >"$work/dmon.txt" 2>/dev/null &
      dmon=$!
    fi
    "$check" "$clips/$codec.mp4" "$kind" "$order" "$work/hw.yuv" >"$work/hw.txt" ||
      { echo "FAIL: $run: the $kind decode failed" >&2; cat "$work/hw.txt" >&2; exit 1; }
    if [ -n "$dmon" ]; then
      sleep 1
      kill "$dmon" 2>/dev/null
      wait "$dmon" 2>/dev/null
      dmon=
    fi
    load=$(value decoder-load-max "$work/hw.txt")
    if [ "$load" = unavailable ] && [ -s "$work/dmon.txt" ]; then
      # nvidia-smi dmon: the "dec" column of its header names the decoder's load in percent.
      load=$(awk '/^#/ && / dec/ { for (i = 2; i <= NF; ++i) if ($i == "dec") col = i - 1 }
        !/^#/ && col && $col + 0 > max { max = $col + 0 } END { print max + 0 }' "$work/dmon.txt")
    fi
    if [ "$(value hardware-throughout "$work/hw.txt")" != yes ]; then
      echo "FAIL: $run: the decode preferences did not report $kind throughout (a software fall-back)" >&2
      failed=1
    fi
    if [ "$kind" = NVIDIA ] && ! [ "${load:-0}" -gt 0 ] 2>/dev/null; then
      echo "FAIL: $run: the GPU's decoder showed no load (${load:-unknown})" >&2
      failed=1
    fi
    if ! cmp -s "$work/sw.yuv" "$work/hw.yuv"; then
      echo "FAIL: $run: the $kind pictures differ from the software's" \
        "($(stat -c %s "$work/sw.yuv") and $(stat -c %s "$work/hw.yuv") bytes)" >&2
      failed=1
    fi
    table+=$(printf '\n%-6s %-11s %13s %10s  %s' "$codec" "$order" "$(value fps "$work/sw.txt")" \
      "$(value fps "$work/hw.txt")" "${load:-n/a}%")
  done
done
echo "$table"
if [ "$kind" = NVIDIA ] && command -v nvidia-smi >/dev/null; then
  echo "GPU: $(nvidia-smi --query-gpu=name,driver_version --format=csv,noheader | head -1)"
fi
[ $failed = 0 ] && echo PASS || echo FAIL
exit $failed
