#!/usr/bin/env bash
# Installs what the build and the tests need on Debian (12 or later).
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  # The Debian package: cpack derives its dependencies with dpkg-shlibdeps and file.
  dpkg-dev file
  libgtest-dev googletest
  ffmpeg libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev
  ocl-icd-opencl-dev opencl-headers pocl-opencl-icd
  # Media of other toolchains: gst-launch-1.0 with its test sources, Ogg/Vorbis/Opus (base),
  # muxers, FLAC and MP3 (good) and x264enc (ugly); the encoders' own command-line tools.
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-ugly
  lame flac mkvtoolnix opus-tools vorbis-tools sox
  # Real sounds that Debian ships, read sample for sample.
  sound-theme-freedesktop
  # AVI with packed B-frames (XviD's packed bitstream), which FFmpeg cannot write.
  mencoder
  # The Windows build (posix thread model, for std::thread) and wine to test it; 64-bit only.
  g++-mingw-w64-x86-64-posix wine wine64
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
