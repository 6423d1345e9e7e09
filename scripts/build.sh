#!/usr/bin/env bash
# Configures and builds one build directory (default: build), two jobs at a time.
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build}"
shift || true
cmake -S . -B "$dir" --no-warn-unused-cli -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$dir" -j2
