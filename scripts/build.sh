#!/usr/bin/env bash
# Configures and builds into BUILD_DIR (default: build).  Extra arguments go
# to cmake's configure step, e.g. -DDRIFT_SANITIZE=ON.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} "$@" >/dev/null
cmake --build "$build" -j "$(nproc)"
