#!/usr/bin/env bash
# Installs the dependencies, builds, and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
ctest --test-dir build --output-on-failure -j2

# The multi-file decode's read threads under ThreadSanitizer: only the client, the fake library and
# the end-to-end tests are built there. A report fails the run (and shows on the client's stderr,
# which those tests check).
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZR8_SANITIZE=thread >/dev/null
cmake --build build-tsan -j2 --target zr8_client_tests
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -j2 -R MultiFile
