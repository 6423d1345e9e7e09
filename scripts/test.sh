#!/usr/bin/env bash
# Installs the dependencies, builds the Linux client (build/) and the Windows client (build-windows/),
# and runs the tests: the Windows unit tests under wine, then in build/ the Linux lane and the
# Windows lane (the same end-to-end tests against the Windows build under wine).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/install-deps.sh
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
ctest --test-dir build --output-on-failure -j2
