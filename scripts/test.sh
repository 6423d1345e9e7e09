#!/usr/bin/env bash
# Installs the dependencies, builds the Linux client (build/) and the Windows client (build-windows/),
# and runs the tests: the Windows unit tests under wine, then in build/ the Linux lane and the
# Windows lane (the same end-to-end tests against the Windows build under wine).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/install-deps.sh

# Every command and GStreamer element that the test media recipes run (tests/library/media.txt,
# tests/fuzz/seeds.txt), with the Debian package that brings it: a missing one stops the run here
# rather than failing the tests that need it.
missing=()
for tool in ffmpeg:ffmpeg ffprobe:ffmpeg lame:lame flac:flac mkvmerge:mkvtoolnix opusenc:opus-tools \
  oggenc:vorbis-tools sox:sox mencoder:mencoder gst-launch-1.0:gstreamer1.0-tools \
  gst-inspect-1.0:gstreamer1.0-tools; do
  command -v "${tool%%:*}" >/dev/null || missing+=("${tool#*:} (for ${tool%%:*})")
done
if command -v gst-inspect-1.0 >/dev/null; then
  for element in videotestsrc:base audiotestsrc:base audioconvert:base oggmux:base vorbisenc:base \
    opusenc:base avimux:good matroskamux:good mp4mux:good flacenc:good lamemp3enc:good \
    x264enc:ugly; do
    gst-inspect-1.0 "${element%%:*}" >/dev/null 2>&1 ||
      missing+=("gstreamer1.0-plugins-${element#*:} (for the element ${element%%:*})")
  done
fi
[ -d /usr/share/sounds/freedesktop/stereo ] ||
  missing+=("sound-theme-freedesktop (for /usr/share/sounds/freedesktop/stereo)")
if [ ${#missing[@]} -gt 0 ]; then
  echo "scripts/test.sh: the test media need these Debian packages; install them (apt-get install):" >&2
  printf '  %s\n' "${missing[@]}" >&2
  exit 1
fi
scripts/build.sh build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
scripts/build.sh build -DZR8_WINDOWS_BUILD_DIR="$root/build-windows"

# One wine prefix for the Windows build, made on first use, and one wineserver for the whole run,
# so that each client run under wine takes a fraction of a second. Wine's background services start
# here, with this script's output, and end with the server.
export WINEPREFIX="$root/build-windows/wineprefix" WINEDEBUG=-all
mkdir -p "$WINEPREFIX"
wineserver -p 2>/dev/null || true  # (one may already serve this prefix)
trap 'wineserver -k 2>/dev/null || true' EXIT
# No .NET or HTML engine: a console program needs neither, and nothing is downloaded.
WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1

ctest --test-dir build-windows --output-on-failure -j2
# In build/, consumer.InstallPackageAndUse also installs the build under DESTDIR and builds its
# Debian package, and builds and runs tests/consumer against both (tests/consumer/run.sh).
ctest --test-dir build --output-on-failure -j2

# The multi-file decode's read threads under ThreadSanitizer: the client, the fake library and the
# end-to-end tests. A report fails the run (and shows on the client's stderr,
# which those tests check).
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZR8_SANITIZE=thread >/dev/null
cmake --build build-tsan -j2 --target zr8_client_tests
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -j2 -R MultiFile
# The reader library's shared state (thread budget, pools, picture recycler, kept pictures,
# streams on several threads, the client's read threads on real media) under ThreadSanitizer too.
cmake --build build-tsan -j2 --target zr8_library_tests
TSAN_OPTIONS="halt_on_error=1 suppressions=$root/tests/library/tsan.supp" \
  ctest --test-dir build-tsan --output-on-failure -j2 \
  -R "^(RealVideo|DecodingPositionsTest|ThreadsTest|MemoryPoolTest|PictureReuseTest|FrameCacheTest)\."

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer: the client, the fake
# library, the reader library, its hardware module and every test built with both. The end-to-end tests fail on any
# report on the client's stderr; a report in a test process ends that process. An allocation that
# cannot be made answers null, as it does without the sanitizer, so the client's refusal of an
# impossible decoder count stays testable.
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DZR8_SANITIZE=address,undefined" \
  -DZR8_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j2
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j2
