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

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer: the client, the fake
# library, the hardware module and every test built with both. The end-to-end tests fail on any
# report on the client's stderr; a report in a test process ends that process. An allocation that
# cannot be made answers null, as it does without the sanitizer, so the client's refusal of an
# impossible decoder count stays testable.
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo "-DZR8_SANITIZE=address,undefined" >/dev/null
cmake --build build-asan -j2
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j2
