#!/usr/bin/env bash
# Installs what is missing, builds and runs every test: first the normal
# build, then the same suite built with AddressSanitizer and
# UndefinedBehaviorSanitizer, then every fuzz target for a bounded time, then
# the suite cross-built for the appliance (armhf) under qemu-arm.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/install-deps.sh"
BUILD_DIR=$top/build "$top/scripts/build.sh"
ctest --test-dir "$top/build" -j "$(nproc)" --output-on-failure --timeout 300
BUILD_DIR=$top/build-asan BUILD_TYPE=Debug "$top/scripts/build.sh" -DDRIFT_SANITIZE=ON -DDRIFT_BUILD_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$top/build-asan" -j "$(nproc)" --output-on-failure --timeout 600
"$top/scripts/run-fuzzers.sh" 20
# The appliance's architecture.  A machine that cannot install the cross
# toolchain (no armhf package index within reach) skips this stage and says
# so; a failing build or test fails the run like any other.
if "$top/scripts/cross-armhf.sh" install; then
  "$top/scripts/cross-armhf.sh" build
  "$top/scripts/cross-armhf.sh" test
else
  echo "test.sh: SKIPPED the armhf suite: the cross toolchain could not be installed" >&2
fi
